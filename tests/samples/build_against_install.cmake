# An application builds against the installed SDK and runs, with no environment variable set.
#
#   LAYOUT=one-level   installs BUILD_DIR as it is (library in <prefix>/lib)
#   LAYOUT=two-level   configures and builds a tree of SOURCE_DIR without tests, viewer and
#                      simulated camera, whose library goes to <prefix>/lib/<multiarch> as on a
#                      system prefix, and installs that
#
# In the installed tree the SDK's own programs start (their run path finds the library); the
# enumeration sample (C++) and the first program (C) are built with find_package and with the
# pkg-config line and run, the first program on the installed simulated camera; the installed
# tree still works after it is moved elsewhere.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
# Nothing may help the programs find the library but what the SDK installs.
unset(ENV{LD_LIBRARY_PATH})
unset(ENV{PKG_CONFIG_PATH})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err WORKING_DIRECTORY ${WORK_DIR})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(last_out "${out}" PARENT_SCOPE)
endfunction()

if(LAYOUT STREQUAL "two-level")
  set(libdir_rel lib/x86_64-linux-gnu)
  set(tree ${WORK_DIR}/sdk-build)
  set(launcher)
  if(LAUNCHER)
    set(launcher -DCMAKE_C_COMPILER_LAUNCHER=${LAUNCHER} -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
  endif()
  # Unoptimised and without debug information: only the installed layout is checked here.
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${tree} -G ${GENERATOR} ${launcher}
      -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0
      -DCMAKE_INSTALL_LIBDIR=${libdir_rel} -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF -DQX_BUILD_VIEWER=OFF
      -DQX_BUILD_SIMCAM=OFF -DQX_EXCLUDE=)
  run(${CMAKE_COMMAND} --build ${tree})
  run(${CMAKE_COMMAND} --install ${tree} --prefix ${prefix})
else()
  set(libdir_rel lib)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Unspecified)
endif()
foreach(f include/QxCamApi.h ${libdir_rel}/libQxCamApi.so ${libdir_rel}/pkgconfig/QxCamApi.pc
          ${libdir_rel}/cmake/QxCamApi/QxCamApiConfig.cmake bin/QxEnumSample)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "${f} was not installed")
  endif()
endforeach()

# The pkg-config file names the installed directories.
set(pcdir ${prefix}/${libdir_rel}/pkgconfig)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
foreach(var libdir includedir)
  run(pkg-config --variable=${var} QxCamApi)
  string(STRIP "${last_out}" value)
  get_filename_component(value "${value}" REALPATH)
  set(expected ${prefix}/${libdir_rel})
  if(var STREQUAL includedir)
    set(expected ${prefix}/include)
  endif()
  if(NOT value STREQUAL expected)
    message(FATAL_ERROR "pkg-config's ${var} is ${value}, not ${expected}")
  endif()
endforeach()

# Runs a program that prints the SDK version, in a private network namespace where one can be
# made (enumeration broadcasts).
function(run_version_program exe)
  execute_process(COMMAND ${NETNS} ${exe} 1 50 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK_DIR})
  if(rc EQUAL 77)
    execute_process(COMMAND ${exe} 1 50 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                    WORKING_DIRECTORY ${WORK_DIR})
  endif()
  if(NOT rc EQUAL 0 OR NOT out MATCHES "QxCamApi SDK version 2.1.0 \\(0x02010000\\)")
    message(FATAL_ERROR "${exe} failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

# find_package(QxCamApi)
run(${CMAKE_COMMAND} -S ${SAMPLE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
if(GRAB_SAMPLE_DIR)
  run(${CMAKE_COMMAND} -S ${GRAB_SAMPLE_DIR} -B ${WORK_DIR}/grab-build -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/grab-build)
endif()

# The pkg-config line: c++ main.cpp $(pkg-config --cflags --libs QxCamApi)
run(pkg-config --cflags --libs QxCamApi)
string(STRIP "${last_out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 ${SAMPLE_DIR}/main.cpp ${flags} -o ${WORK_DIR}/sample-pc)

foreach(exe ${prefix}/bin/QxEnumSample ${WORK_DIR}/cmake-build/QxEnumSample ${WORK_DIR}/sample-pc)
  run_version_program(${exe})
endforeach()

# The first program, in C, both ways: cc main.c $(pkg-config --cflags --libs QxCamApi). It
# takes ten frames from the installed simulated camera (when this tree installed one) and
# saves one as PNG; with no camera it says so and ends with 2.
run(${CMAKE_COMMAND} -S ${FIRST_DIR} -B ${WORK_DIR}/first-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/first-build)
run(cc ${FIRST_DIR}/main.c ${flags} -o ${WORK_DIR}/first-pc)
foreach(exe ${WORK_DIR}/first-build/QxFirstSample ${WORK_DIR}/first-pc)
  get_filename_component(name ${exe} NAME)
  set(png ${WORK_DIR}/${name}.png)
  if(EXISTS ${prefix}/bin/qx-sim-gige-camera)
    set(command ${RUNNER} ${prefix}/bin/qx-sim-gige-camera -- ${exe} ${png})
    set(expected_rc 0)
    set(expected "1 camera\\(s\\) found, connecting SimGigeCamera SIMCAM0001\n10 frames taken, saved ${png}\n")
  else()
    set(command ${exe} ${png})
    set(expected_rc 2)
    set(expected "^No camera found; QxCamSdk-Log/rotating_log.txt names the adapters searched\n$")
  endif()
  execute_process(COMMAND ${NETNS} ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK_DIR})
  if(rc EQUAL 77)
    message(STATUS "${name} not run: no private network namespace here")
  elseif(NOT rc EQUAL expected_rc OR NOT out MATCHES "${expected}")
    message(FATAL_ERROR "${name} ended with ${rc}, not ${expected_rc}:\n${out}\n${err}")
  elseif(expected_rc EQUAL 0)
    execute_process(COMMAND pngcheck ${png} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "\\(640x480, 8-bit grayscale")
      message(FATAL_ERROR "${name} saved no 640x480 grey PNG: ${out}")
    endif()
  endif()
endforeach()

# The installed tree moved elsewhere: its programs still find its library, and its pkg-config
# file names the new place.
set(moved ${WORK_DIR}/moved)
file(RENAME ${prefix} ${moved})
run_version_program(${moved}/bin/QxEnumSample)
set(ENV{PKG_CONFIG_PATH} ${moved}/${libdir_rel}/pkgconfig)
run(pkg-config --variable=libdir QxCamApi)
string(STRIP "${last_out}" value)
get_filename_component(value "${value}" REALPATH)
if(NOT value STREQUAL ${moved}/${libdir_rel})
  message(FATAL_ERROR "after the move pkg-config's libdir is ${value}, not ${moved}/${libdir_rel}")
endif()
message(STATUS "${LAYOUT} libdir: installed programs run; samples built with find_package and pkg-config run")
