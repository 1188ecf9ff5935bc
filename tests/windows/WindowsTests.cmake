# Under Wine each test program is one CTest (label windows): one Wine process per program instead of
# one per test case. Tests that need what Windows lacks are listed here by name, each with its reason,
# and left out through the program's --gtest_filter; GoogleTest prints them as not run.

set(QUARNEL_WINDOWS_SKIPPED "" CACHE INTERNAL "")

# quarnel_windows_skip(<program> <reason> <test pattern>...)
function(quarnel_windows_skip program reason)
  foreach(pattern ${ARGN})
    set_property(GLOBAL APPEND PROPERTY QUARNEL_WINDOWS_SKIP_${program} ${pattern})
    set_property(GLOBAL APPEND PROPERTY QUARNEL_WINDOWS_SKIP_REASONS "${program} ${pattern}: ${reason}")
  endforeach()
endfunction()

# Whole files that cannot be built for Windows, each with its reason (printed by scripts/windows).
# quarnel_windows_exclude_file(<file relative to tests/> <reason>)
function(quarnel_windows_exclude_file file reason)
  set_property(GLOBAL APPEND PROPERTY QUARNEL_WINDOWS_EXCLUDED_FILES ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  set_property(GLOBAL APPEND PROPERTY QUARNEL_WINDOWS_SKIP_REASONS "${file} (whole file): ${reason}")
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/Skipped.cmake)
target_compile_options(quarnel_test_support PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/TestPosixOnWindows.h)
target_include_directories(quarnel_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)

# The list scripts/windows prints before the Windows tests run.
function(quarnel_windows_write_skip_list)
  get_property(reasons GLOBAL PROPERTY QUARNEL_WINDOWS_SKIP_REASONS)
  list(JOIN reasons "\n" text)
  file(WRITE ${PROJECT_BINARY_DIR}/windows-skipped.txt "${text}\n")
endfunction()

function(quarnel_windows_test program)
  get_property(skipped GLOBAL PROPERTY QUARNEL_WINDOWS_SKIP_${program})
  set(args "")
  if(skipped)
    list(JOIN skipped ":" filter)
    set(args "--gtest_filter=-${filter}")
  endif()
  add_test(NAME ${program} COMMAND ${program} ${args})
  set_tests_properties(${program} PROPERTIES LABELS windows TIMEOUT 600)
endfunction()

# The Windows pieces on their own (tests/windows/WindowsPlatformTest.cpp).
function(quarnel_windows_platform_tests)
  add_executable(quarnel_windows_tests ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/WindowsPlatformTest.cpp)
  target_link_libraries(quarnel_windows_tests PRIVATE quarnel_test_support quarnel_cli_lib quarnel_platform)
  quarnel_windows_test(quarnel_windows_tests)
endfunction()
