# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads, for std::thread).
# Used by scripts/windows; tests run under Wine as the cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_quarnel_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_quarnel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_quarnel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_quarnel_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_quarnel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One file to copy: the C and C++ runtimes and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(QUARNEL_WINE NAMES wine wine64)
if(QUARNEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARNEL_WINE})
endif()
