# The command line's tests in the Windows build: its pieces in-process and quarnel.exe end to end,
# started through RunQuarnelWindows.cpp. Cases left out are listed in tests/windows/Skipped.cmake.
set(quarnel_cli_test_files
  CliOptionsTest.cpp
  DecoratorBackendTest.cpp
  DeviceWaiterTest.cpp
  OutputTest.cpp
  BoardFarmTest.cpp
  ConventionsTest.cpp
  HostileRunTest.cpp
  QuarnelProgramTest.cpp
  HexIntakeCliTest.cpp
  HidStartTest.cpp)
get_property(excluded GLOBAL PROPERTY QUARNEL_WINDOWS_EXCLUDED_FILES)
foreach(file ${excluded})
  get_filename_component(name ${file} NAME)
  list(REMOVE_ITEM quarnel_cli_test_files ${name})
endforeach()
add_executable(quarnel_cli_tests ${quarnel_cli_test_files} RunQuarnelWindows.cpp RunQuarnelCommon.cpp)
target_link_libraries(quarnel_cli_tests PRIVATE quarnel_test_support quarnel_cli_lib nlohmann_json::nlohmann_json)
target_compile_definitions(quarnel_cli_tests PRIVATE
  QUARNEL_CLI_BINARY="$<TARGET_FILE:quarnel>"
  QUARNEL_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
  QUARNEL_CLI_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
  QUARNEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QUARNEL_TEST_VERSION="${PROJECT_VERSION}"
  QUARNEL_BASH_COMPLETION_FILE="")
add_dependencies(quarnel_cli_tests quarnel)
quarnel_windows_test(quarnel_cli_tests)

# quarnel.exe under Wine as a user would run it: the examples, a fault, --all, a non-ASCII file name,
# --trace beside and onto the HEX file, and a real-time run against its protocol floor.
add_test(NAME quarnel_windows_checks
         COMMAND sh ${PROJECT_SOURCE_DIR}/tests/windows/checks.sh $<TARGET_FILE:quarnel> ${PROJECT_SOURCE_DIR}/examples
                 ${PROJECT_VERSION})
set_tests_properties(quarnel_windows_checks PROPERTIES LABELS windows TIMEOUT 600)
