# Installs the built package into a scratch prefix, then configures, builds and runs a small
# project that finds it with find_package(Velm CONFIG REQUIRED).
file(REMOVE_RECURSE ${SCRATCH_DIR})
execute_process(COMMAND ${CMAKE_COMMAND_PATH} --install ${VELM_BINARY_DIR} --prefix ${SCRATCH_DIR}/prefix
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND_PATH} -S ${CONSUMER_SOURCE_DIR} -B ${SCRATCH_DIR}/build
  -DCMAKE_PREFIX_PATH=${SCRATCH_DIR}/prefix -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure of the consumer failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND_PATH} --build ${SCRATCH_DIR}/build RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "build of the consumer failed: ${rc}")
endif()
execute_process(COMMAND ${SCRATCH_DIR}/build/velm_consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer failed: ${rc}")
endif()
