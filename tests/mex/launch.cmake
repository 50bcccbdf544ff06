# The launch command end to end: octave-cli runs knorlmex, nvcc on PATH
# compiles the kernels, the simulated device (capability 7.5, the PTX
# target) or the GPU runs them; launch_retry.m injects device faults and
# runs on the simulated device only. launch_*.m run as they are; scratch_*.m through
# octave/isolated.sh as an unprivileged user with /tmp read-only in a mount
# namespace of their own (skipped where one cannot be made).
find_program(KNORL_NVCC nvcc HINTS /usr/local/cuda/bin)
if(TARGET sdkprobe AND KNORL_NVCC)
  get_filename_component(nvcc_dir ${KNORL_NVCC} DIRECTORY)
  if(TORVANE_SANITIZE)
    # The sanitizer runtime preloaded into Octave must not reach nvcc.
    set(nvcc_dir ${CMAKE_CURRENT_BINARY_DIR}/nvcc-unsanitized)
    file(WRITE ${nvcc_dir}/nvcc "#!/bin/sh\nunset LD_PRELOAD\nexec '${KNORL_NVCC}' \"$@\"\n")
    file(CHMOD ${nvcc_dir}/nvcc PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  add_library(simdev MODULE octave/simdev.cpp)
  set_target_properties(simdev PROPERTIES PREFIX "" SUFFIX ".mex"
                        LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/mex)
  target_link_libraries(simdev PRIVATE devseam mex_host)
  set(launch_env ${octave_env} "PATH=${nvcc_dir}:$ENV{PATH}" "SIMDEV_DEVICES=7.5")
  set(octave_args --no-init-file --no-site-file --no-history --quiet --eval)
  set(octave_path "addpath('${CMAKE_CURRENT_SOURCE_DIR}/octave', '${PROJECT_BINARY_DIR}/mex')")
  file(GLOB LAUNCH_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/octave/launch_*.m
       ${CMAKE_CURRENT_SOURCE_DIR}/octave/scratch_*.m)
  foreach(script IN LISTS LAUNCH_TESTS)
    get_filename_component(name ${script} NAME_WE)
    if(name STREQUAL "launch_retry" AND NOT DEV_BACKEND STREQUAL "sim")
      continue()
    endif()
    set(eval "warning('off', 'Octave:shadowed-function'); ${octave_path}; run_case('${name}')")
    if(name MATCHES "^scratch_")
      set(mode readonly-tmp)
      if(name STREQUAL "scratch_shared")
        set(mode shared-tmp)
      elseif(name STREQUAL "scratch_hostile")
        set(mode hostile-tmp)
      endif()
      add_test(NAME octave.${name} COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/octave/isolated.sh ${mode}
               ${OCTAVE_CLI} ${octave_args} "${eval}")
      set_tests_properties(octave.${name} PROPERTIES SKIP_RETURN_CODE 77)
    else()
      add_test(NAME octave.${name} COMMAND ${OCTAVE_CLI} ${octave_args} "${eval}")
    endif()
    set_tests_properties(octave.${name} PROPERTIES TIMEOUT 180 LABELS "octave;launch"
                         ENVIRONMENT "${launch_env}")
  endforeach()
endif()

torvane_test(mex_launch_test SOURCES launch_test.cpp ${SDK_SOURCES} ${KNORL_SOURCES}
             LIBS pelkor64_fake fakemx devseam)
target_include_directories(mex_launch_test PRIVATE ${PROJECT_SOURCE_DIR}/mex)
