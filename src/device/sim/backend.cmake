# Simulated device: fibers on Boost.Context's fcontext, blocks on a thread pool.
find_package(Threads REQUIRED)
find_library(SIMDEV_BOOST_CONTEXT NAMES boost_context REQUIRED)
target_link_libraries(devseam PRIVATE ${SIMDEV_BOOST_CONTEXT} Threads::Threads ${CMAKE_DL_LIBS})
# Kernel names for the call log come from the compiler's libbacktrace.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libbacktrace.a
                OUTPUT_VARIABLE SIMDEV_LIBBACKTRACE OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include/backtrace.h
                OUTPUT_VARIABLE SIMDEV_BACKTRACE_H OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${SIMDEV_LIBBACKTRACE}" OR NOT EXISTS "${SIMDEV_BACKTRACE_H}")
  message(FATAL_ERROR "the compiler's libbacktrace is missing (gcc's libgcc-dev package)")
endif()
# The header by its path: its directory holds the compiler's own headers too.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/sim/names.cpp PROPERTIES
                            COMPILE_DEFINITIONS "SIMDEV_BACKTRACE_H=\"${SIMDEV_BACKTRACE_H}\"")
target_link_libraries(devseam PRIVATE ${SIMDEV_LIBBACKTRACE})
# The PTX executor behind the driver's modules; directed rounding needs the
# compiler to keep each operation inside its rounding mode.
file(GLOB SIMDEV_PTX_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sim/ptx/*.cpp)
target_sources(devseam PRIVATE ${SIMDEV_PTX_SOURCES})
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/sim/ptx/round.cpp PROPERTIES
                            COMPILE_OPTIONS "-frounding-math")
# Under ThreadSanitizer (the sim-tsan preset) the scheduler is left
# uninstrumented: it marks the kernels' happens-before edges itself.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  target_compile_definitions(devseam PRIVATE SIMDEV_TSAN=1)
  # Names of PTX instructions in race reports: the hook must be the program's.
  target_sources(devseam INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/sim/race_hook.cpp)
  target_link_options(devseam INTERFACE -Wl,--export-dynamic-symbol=__tsan_symbolize_external)
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/sim/scheduler.cpp PROPERTIES
                              COMPILE_OPTIONS "-fno-sanitize=thread")
endif()
