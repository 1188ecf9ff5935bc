# Writes the bash completion of quarnel: cmake -DPROGRAM=quarnel -DOUTPUT=file -P BashCompletion.cmake
execute_process(COMMAND ${PROGRAM} completion bash OUTPUT_VARIABLE _script RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR _script STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} completion bash failed (${_rc})")
endif()
file(WRITE ${OUTPUT} "${_script}")
