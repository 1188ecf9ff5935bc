# What the Windows build takes from the Linux host instead of packages of its own (scripts/windows):
# the header-only CLI11 and nlohmann/json, GoogleTest built from Debian's source, and hidapi's Windows
# back end compiled from Debian's hidapi source package (QUARNEL_HIDAPI_SOURCE).

set(QUARNEL_HIDAPI_SOURCE "" CACHE PATH "hidapi's source tree (apt-get source hidapi)")
if(NOT EXISTS ${QUARNEL_HIDAPI_SOURCE}/windows/hid.c)
  message(FATAL_ERROR "QUARNEL_HIDAPI_SOURCE must name hidapi's source tree (windows/hid.c not found)")
endif()

# Only these two folders of /usr/include: the rest is the host's C library.
set(_quarnel_headers ${PROJECT_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${_quarnel_headers})
foreach(_dir CLI nlohmann)
  if(NOT EXISTS ${_quarnel_headers}/${_dir})
    file(CREATE_LINK /usr/include/${_dir} ${_quarnel_headers}/${_dir} SYMBOLIC)
  endif()
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_quarnel_headers})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_quarnel_headers})

# The core's POSIX file calls on the wide Windows API (platform/windows/PosixOnWindows.h), for every target.
add_library(quarnel_posix_windows STATIC ${PROJECT_SOURCE_DIR}/platform/windows/PosixOnWindows.cpp
            ${PROJECT_SOURCE_DIR}/platform/windows/WindowsText.cpp)
target_include_directories(quarnel_posix_windows PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(quarnel_posix_windows PUBLIC _WIN32_WINNT=0x0A00 NOMINMAX)
string(APPEND CMAKE_CXX_FLAGS " -include ${PROJECT_SOURCE_DIR}/platform/windows/PosixOnWindows.h")
link_libraries(quarnel_posix_windows)
include_directories(BEFORE ${PROJECT_SOURCE_DIR}/platform/windows/include)

# hidapi on the Windows HID API, unchanged; it loads hid.dll and cfgmgr32 itself.
enable_language(C)
add_library(hidapi_windows STATIC ${QUARNEL_HIDAPI_SOURCE}/windows/hid.c)
target_include_directories(hidapi_windows PUBLIC ${QUARNEL_HIDAPI_SOURCE}/hidapi ${QUARNEL_HIDAPI_SOURCE}/windows)
target_compile_options(hidapi_windows PRIVATE -w)
target_link_libraries(hidapi_windows PUBLIC setupapi)
# hidapi marks its functions for export from a DLL (__declspec(dllexport), kept as -export: lines in
# the objects' .drectve sections); linked into quarnel.exe they would make the program export them.
# The program exports nothing: the directives are dropped from the library.
add_custom_command(TARGET hidapi_windows POST_BUILD
                   COMMAND ${CMAKE_OBJCOPY} --remove-section=.drectve $<TARGET_FILE:hidapi_windows>
                   VERBATIM)

if(QUARNEL_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Each test program is one CTest under Wine (tests/CMakeLists.txt), not one per test case.
endif()
