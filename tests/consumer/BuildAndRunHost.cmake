# Configures, builds and runs the host project; fails on the first step that fails. The host
# runs in its build directory, where it writes its log.
file(MAKE_DIRECTORY ${BUILD})
foreach(step configure build run)
  if(step STREQUAL "configure")
    set(cmd ${CMAKE_COMMAND} -S ${SOURCE} -B ${BUILD} -DCMAKE_PREFIX_PATH=${PREFIX})
  elseif(step STREQUAL "build")
    set(cmd ${CMAKE_COMMAND} --build ${BUILD})
  else()
    set(cmd ${BUILD}/tarn_host)
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${BUILD})
  message("${out}${err}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "host ${step} failed: ${rc}")
  endif()
endforeach()
