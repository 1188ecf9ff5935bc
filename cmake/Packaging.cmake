# The Debian package, made by `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package does all of it). Its content is what Install.cmake
# installs.

set(QUARNEL_PACKAGE_MAINTAINER "Quarnel Flash developers <dev@quarnel-flash.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(QUARNEL_PACKAGE_HOMEPAGE "https://quarnel-flash.invalid/" CACHE STRING
    "Homepage field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarnel-flash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quarnel Flash developers")
set(CPACK_PACKAGE_CONTACT "${QUARNEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QUARNEL_PACKAGE_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "flash utility for microcontrollers with a USB-HID bootloader")
set(CPACK_PACKAGE_DESCRIPTION [=[
Quarnel Flash programs PIC16, PIC18, PIC18FJ, PIC24, dsPIC and PIC32
microcontrollers through their USB-HID bootloader. It reads an Intel HEX
file, erases the flash below the bootloader, writes the image, plants the
jump to the bootloader at the reset vector and reports the free flash left.

The package holds three programs: quarnel-flash, the window; quarnel, the
command-line flasher for scripts, test benches and continuous integration;
and quarnel-flash-demo, the window on a virtual target, to try the program
without a board. A udev rule gives the user at the seat access to the
bootloader.]=])

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_QUARNEL_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StripSections.cmake)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# quarnel-flash_<version>_<arch>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${QUARNEL_PACKAGE_HOMEPAGE}")
# The libraries (hidapi, libudev, Qt...) come from dpkg-shlibdeps, from package dpkg-dev.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET quarnel-flash OR TARGET quarnel-flash-demo)
  # No library links to the platform plugins, yet the window cannot open without one.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
# Maintainer scripts that reload the udev rules; CPack gives them mode 0755.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Only the binary package; the sources are shipped from the repository.
set(CPACK_SOURCE_GENERATOR "")

include(CPack)

# The package check (label "package": it builds a package and takes a while, so the normal test run
# leaves it out; run it with `ctest -L package`).
if(QUARNEL_TESTS)
  set(_quarnel_expected "")
  if(QUARNEL_CLI)
    list(APPEND _quarnel_expected quarnel)
  endif()
  if(QUARNEL_GUI)
    list(APPEND _quarnel_expected quarnel-flash quarnel-flash-demo)
  endif()
  string(REPLACE ";" "," _quarnel_expected "${_quarnel_expected}")
  add_test(NAME package_deb
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/check-deb.sh
                   --build-dir ${PROJECT_BINARY_DIR} --version ${PROJECT_VERSION}
                   --programs "${_quarnel_expected}")
  set_tests_properties(package_deb PROPERTIES LABELS package TIMEOUT 1800)
endif()
