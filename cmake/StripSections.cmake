# CPack pre-build script: takes the .comment and .note sections out of the packaged programs, as
# Debian's own packages do; CPACK_STRIP_FILES has already removed the symbols.

if(NOT CPACK_QUARNEL_STRIP)
  return()
endif()
file(GLOB _programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
if(NOT _programs)
  message(WARNING "StripSections.cmake: no programs in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin")
endif()
foreach(_program ${_programs})
  if(IS_SYMLINK "${_program}" OR IS_DIRECTORY "${_program}")
    continue()
  endif()
  execute_process(COMMAND "${CPACK_QUARNEL_STRIP}" --remove-section=.comment --remove-section=.note
                          "${_program}"
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "strip failed on ${_program}")
  endif()
endforeach()
