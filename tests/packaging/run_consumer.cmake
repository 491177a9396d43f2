# Script mode: install, configure the consumer against the prefix, build it, run it.
set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/consumer-build")
file(REMOVE_RECURSE "${WORK_DIR}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${SDK_BUILD_DIR}" --prefix "${prefix}")
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S "${CONSUMER_SOURCE_DIR}" -B "${consumer_build}" -G Ninja
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE} "-DCMAKE_CXX_FLAGS=${flags}"
  "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build "${consumer_build}")
run("${consumer_build}/consumer")
if(NOT last_output MATCHES "consumer ok")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()
message(STATUS "${last_output}")

# An example folder builds out of the tree against the installed package, as a user's would.
if(EXAMPLE_SOURCE_DIR)
  set(example_build "${WORK_DIR}/example-build")
  run(${CMAKE_COMMAND} -S "${EXAMPLE_SOURCE_DIR}" -B "${example_build}" -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} "-DCMAKE_CXX_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
  run(${CMAKE_COMMAND} --build "${example_build}")
  run("${example_build}/rsi_reversion" --help)
  if(NOT last_output MATCHES "--symbol")
    message(FATAL_ERROR "unexpected example output: ${last_output}")
  endif()
endif()

# The installed local back end starts from its install folder and finds the SDK's libraries.
run("${prefix}/bin/tolbu-sim" --help)
if(NOT last_output MATCHES "Usage: tolbu-sim")
  message(FATAL_ERROR "unexpected tolbu-sim output: ${last_output}")
endif()
