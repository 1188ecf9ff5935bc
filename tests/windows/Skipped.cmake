# What the Windows build leaves out of its tests, and why. Everything else runs under Wine.

quarnel_windows_exclude_file(session/FileSafetyTest.cpp
  "its cases fork a child, limit the file size with setrlimit and put FIFOs in place of kept files")
quarnel_windows_exclude_file(cli/HostileRunTest.cpp
  "its cases send SIGINT and SIGTERM, close pipes under SIGPIPE and write to FIFOs and /dev/full")

quarnel_windows_skip(quarnel_boot_tests "compares with images made by srec_cat and gputils, Linux tools"
  "HexParseToolchainTest.Pic16ImageEqualsSrecCat*" "*HexParseSrecTest.*")
quarnel_windows_skip(quarnel_boot_tests "makes a FIFO and a character device its input"
  "HexIntakeTest.OnlyRegularFilesAndStandardInputAreRead")
quarnel_windows_skip(quarnel_boot_tests "reads /proc/self/mem for a read error"
  "HexIntakeTest.ReadErrorFailsTheParse")
quarnel_windows_skip(quarnel_session_tests "checks POSIX permission bits (Windows keeps only read-only)"
  "TSimpleIniFileTest.ReplacementKeepsFileMode")
quarnel_windows_skip(quarnel_cli_tests "fires a uevent through /sys for the udev monitor"
  "DeviceWaiterKernel.*")
quarnel_windows_skip(quarnel_cli_tests "the bash completion is built and installed for Linux only"
  "QuarnelConventions.BashCompletionFromTheOptionTable")
quarnel_windows_skip(quarnel_cli_tests
  "writes its non-ASCII file through std::ofstream, which the MinGW runtime names in the ANSI code page (tests/windows/checks.sh flashes a non-ASCII name)"
  "QuarnelConventions.SerialDashesAndCharacterWidths")
quarnel_windows_skip(quarnel_cli_tests "its table gives /dev/zero and a FIFO as the HEX file"
  "QuarnelHexIntake.RefusedFilesAndStandardInput")
quarnel_windows_skip(quarnel_cli_tests
  "label realtime on Linux too (sleeps through the pauses), tests/windows/checks.sh runs and prints a real-time run"
  "*RealTime*")
quarnel_windows_skip(quarnel_cli_tests
  "Wine 8.0's cfgmgr32 lacks CM_Get_Device_Interface_PropertyW, so hidapi cannot start there: list says so with exit 2 (tests/windows/checks.sh)"
  "QuarnelList.NoHidDevicesOnThisMachine")
quarnel_windows_skip(quarnel_cli_tests "udev-rule is offered on Linux only (tests/windows/checks.sh checks it is not on Windows)"
  "QuarnelUdevRule.*")
