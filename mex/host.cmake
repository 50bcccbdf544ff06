# The MEX host the module is built for: GNU Octave's headers and libraries,
# found through mkoctfile. Defines the interface target mex_host and
# MEX_HOST_FOUND; without Octave the MEX files are not built.
if(TARGET mex_host)
  set(MEX_HOST_FOUND ON)
  return()
endif()
find_program(MKOCTFILE mkoctfile)
set(MEX_HOST_FOUND OFF)
if(MKOCTFILE)
  execute_process(COMMAND ${MKOCTFILE} -p OCTINCLUDEDIR OUTPUT_VARIABLE OCT_INCLUDE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${MKOCTFILE} -p OCTLIBDIR OUTPUT_VARIABLE OCT_LIBDIR
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  find_library(OCT_INTERP octinterp HINTS ${OCT_LIBDIR})
  find_library(OCT_LIBOCTAVE octave HINTS ${OCT_LIBDIR})
  if(EXISTS "${OCT_INCLUDE}/mex.h" AND OCT_INTERP AND OCT_LIBOCTAVE)
    set(MEX_HOST_FOUND ON)
    add_library(mex_host INTERFACE IMPORTED GLOBAL)
    target_include_directories(mex_host INTERFACE ${OCT_INCLUDE})
    target_link_libraries(mex_host INTERFACE ${OCT_INTERP} ${OCT_LIBOCTAVE})
    target_compile_definitions(mex_host INTERFACE PKR_HOST_OCTAVE=1)
  endif()
endif()
if(NOT MEX_HOST_FOUND)
  message(STATUS "Octave's mkoctfile, headers or libraries not found: MEX files are not built")
endif()

# A MEX file exports mexFunction and nothing else: hosts load MEX files into
# one namespace, where a second module's calls of its own SDK functions would
# otherwise reach the first module's.
function(pkr_mex_exports target)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/mex/exports.map)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${PROJECT_SOURCE_DIR}/mex/exports.map"
                        "LINKER:--exclude-libs,ALL")
  endif()
endfunction()

# A MEX file `name`.mex in the build's mex directory from the SDK runtime and
# the module's sources.
function(pkr_mex_module name)
  add_library(${name} MODULE ${ARGN}
              ${PROJECT_SOURCE_DIR}/mex/calls.cpp ${PROJECT_SOURCE_DIR}/mex/err.cpp
              ${PROJECT_SOURCE_DIR}/mex/host.cpp)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".mex"
                        LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/mex)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/mex)
  target_link_libraries(${name} PRIVATE pelkor64 devseam mex_host)
  pkr_mex_exports(${name})
endfunction()
