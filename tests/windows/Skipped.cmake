# What the Windows build leaves out of its tests, and why. Everything else runs under Wine.

quarnel_windows_exclude_file(session/FileSafetyTest.cpp
  "its cases fork a child, limit the file size with setrlimit and put FIFOs in place of kept files")
