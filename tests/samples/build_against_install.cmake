file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err WORKING_DIRECTORY ${WORK_DIR})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(last_out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Unspecified)
if(NOT EXISTS ${prefix}/include/QxCamApi.h)
  message(FATAL_ERROR "the header was not installed")
endif()

# find_package(QxCamApi)
run(${CMAKE_COMMAND} -S ${SAMPLE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)

# pkg-config
file(GLOB pcdir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
run(pkg-config --cflags --libs QxCamApi)
string(STRIP "${last_out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 ${SAMPLE_DIR}/main.cpp ${flags} -o ${WORK_DIR}/sample-pc)

# Run both in a private network namespace (enumeration may broadcast).
file(GLOB libdir ${prefix}/lib*/libQxCamApi.so ${prefix}/lib/*/libQxCamApi.so)
get_filename_component(libdir "${libdir}" DIRECTORY)
set(ENV{LD_LIBRARY_PATH} "${libdir}")
foreach(exe ${WORK_DIR}/cmake-build/QxEnumSample ${WORK_DIR}/sample-pc)
  execute_process(COMMAND ${NETNS} ${exe} 1 50 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK_DIR})
  if(rc EQUAL 77)
    execute_process(COMMAND ${exe} 1 50 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err WORKING_DIRECTORY ${WORK_DIR})
  endif()
  if(NOT rc EQUAL 0 OR NOT out MATCHES "QxCamApi SDK version 2.1.0 \\(0x02010000\\)")
    message(FATAL_ERROR "${exe} failed (${rc}):\n${out}\n${err}")
  endif()
endforeach()
message(STATUS "sample built against the installed SDK with find_package and pkg-config")
