# Runs one fuzz target for CTest (cmake -P).
#   MODE=fuzz    copies CORPUS to WORK/corpus and fuzzes for SECONDS with that copy as the corpus that
#                grows and the SEEDS folders ("|"-separated) as extra seeds; a crash input is kept
#                in WORK/artifacts.
#   MODE=replay  runs every file in INPUTS once.

if(MODE STREQUAL "fuzz")
  file(REMOVE_RECURSE ${WORK}/corpus)
  file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
  if(IS_DIRECTORY ${CORPUS})
    file(GLOB seedFiles ${CORPUS}/*)
    if(seedFiles)
      file(COPY ${seedFiles} DESTINATION ${WORK}/corpus)
    endif()
  endif()
  set(dirs ${WORK}/corpus)
  string(REPLACE "|" ";" seedList "${SEEDS}")
  foreach(d IN LISTS seedList)
    if(IS_DIRECTORY ${d})
      list(APPEND dirs ${d})
    endif()
  endforeach()
  execute_process(COMMAND ${FUZZER} -max_total_time=${SECONDS} -rss_limit_mb=2048 -timeout=20
                          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${dirs}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(GLOB crashes ${WORK}/artifacts/*)
    message(FATAL_ERROR "${FUZZER} failed (${rc}); inputs kept: ${crashes}")
  endif()
elseif(MODE STREQUAL "replay")
  file(GLOB inputs ${INPUTS}/*)
  list(FILTER inputs EXCLUDE REGEX "/README[^/]*$")
  if(NOT inputs)
    message(STATUS "no inputs in ${INPUTS}")
    return()
  endif()
  execute_process(COMMAND ${FUZZER} ${inputs} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${rc}) on an input of ${INPUTS}")
  endif()
else()
  message(FATAL_ERROR "MODE must be fuzz or replay")
endif()
