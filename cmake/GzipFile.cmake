# Compresses one file the way Debian wants it (gzip -9n: best compression, no name or time stamp, so
# the same input gives the same bytes). Run as a script:
#
#   cmake -DGZIP=/bin/gzip -DINPUT=src -DOUTPUT=dst.gz [-DVERSION=x.y.z] -P GzipFile.cmake
#
# With VERSION, INPUT is a manual page whose .TH line names the package as "Quarnel Flash"; the
# version is added there, so that it is kept in one place only (project() in CMakeLists.txt).

foreach(var GZIP INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "GzipFile.cmake: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" text)
if(DEFINED VERSION)
  string(REGEX MATCH "\n\\.TH [^\n]*\"Quarnel Flash\"" th "\n${text}")
  if(NOT th)
    message(FATAL_ERROR "${INPUT}: no .TH line with \"Quarnel Flash\" to put the version in")
  endif()
  string(REPLACE "\"Quarnel Flash\"" "\"Quarnel Flash ${VERSION}\"" th_new "${th}")
  string(REPLACE "${th}" "${th_new}" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
endif()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
if(plain STREQUAL OUTPUT)
  message(FATAL_ERROR "GzipFile.cmake: OUTPUT must end in .gz")
endif()
file(WRITE "${plain}" "${text}")
execute_process(COMMAND "${GZIP}" -9nf "${plain}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${plain}: ${rc}")
endif()
