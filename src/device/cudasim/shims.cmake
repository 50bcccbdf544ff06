# cuda-sim mode: the cuda build's own binaries run on the simulated device.
# Three libraries stand in for the CUDA driver (libcuda.so.1), runtime
# (libcudart.so.13) and legacy cuBLAS (libcublas.so.13), put first on the
# library path when the tests run. The driver library holds the simulated
# device, built from its sources with every symbol hidden, since libdevseam
# exports the seam's names too; the other two call it through bridge.h.
# Included from src/device/CMakeLists.txt, whose directory the simulated
# device's source properties belong to.
set(CUDASIM_DIR ${CMAKE_CURRENT_SOURCE_DIR}/cudasim)
set(CUDASIM_OUT ${CMAKE_CURRENT_BINARY_DIR}/cudasim)
find_package(Threads REQUIRED)
find_library(CUDASIM_BOOST_CONTEXT NAMES boost_context REQUIRED)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libbacktrace.a
                OUTPUT_VARIABLE CUDASIM_LIBBACKTRACE OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include/backtrace.h
                OUTPUT_VARIABLE CUDASIM_BACKTRACE_H OUTPUT_STRIP_TRAILING_WHITESPACE)

file(GLOB CUDASIM_SIM_SOURCES CONFIGURE_DEPENDS sim/*.cpp sim/ptx/*.cpp)
add_library(cudasim_driver SHARED ${CUDASIM_SIM_SOURCES} staging.cpp ${CUDASIM_DIR}/core.cpp
                                  ${CUDASIM_DIR}/driver.cpp)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/sim/names.cpp PROPERTIES
                            COMPILE_DEFINITIONS "SIMDEV_BACKTRACE_H=\"${CUDASIM_BACKTRACE_H}\"")
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/sim/ptx/round.cpp PROPERTIES
                            COMPILE_OPTIONS "-frounding-math")
target_compile_definitions(cudasim_driver PRIVATE DEV_BACKEND_SIM=1)
set_target_properties(cudasim_driver PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(cudasim_driver PRIVATE ${PROJECT_SOURCE_DIR}/src ${CUDAToolkit_INCLUDE_DIRS})
target_link_libraries(cudasim_driver PRIVATE ${CUDASIM_BOOST_CONTEXT} ${CUDASIM_LIBBACKTRACE}
                                             Threads::Threads ${CMAKE_DL_LIBS})

add_library(cudasim_runtime SHARED ${CUDASIM_DIR}/runtime.cpp)
add_library(cudasim_blas SHARED ${CUDASIM_DIR}/blas.cpp)
foreach(pair "cudasim_driver;cuda;1" "cudasim_runtime;cudart;13" "cudasim_blas;cublas;13")
  list(GET pair 0 target)
  list(GET pair 1 name)
  list(GET pair 2 so)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} SOVERSION ${so}
                        LIBRARY_OUTPUT_DIRECTORY ${CUDASIM_OUT}
                        LINK_DEPENDS ${CUDASIM_DIR}/${name}.map)
  target_link_options(${target} PRIVATE -Wl,--version-script=${CUDASIM_DIR}/${name}.map -Wl,-z,defs)
endforeach()
foreach(target cudasim_runtime cudasim_blas)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${CUDAToolkit_INCLUDE_DIRS})
  target_link_libraries(${target} PRIVATE cudasim_driver)
endforeach()
add_custom_target(cudasim ALL DEPENDS cudasim_driver cudasim_runtime cudasim_blas)
