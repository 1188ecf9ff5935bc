# What `cmake --install` (and so the Debian package) puts where: the programs, the bash completion,
# the udev rule for the bootloader, the desktop entry and its icon, the manual pages, the copyright
# and the changelog.
# Included at the end of the top-level CMakeLists.txt, after the programs' folders, so that only the
# programs this build configures are installed.

include(GNUInstallDirs)

# udev reads its rules from lib/udev/rules.d below the prefix (/usr/lib/udev/rules.d for the
# package, /usr/local/lib/udev/rules.d for a local install); CMAKE_INSTALL_LIBDIR would be the
# multiarch folder, where udev does not look.
set(QUARNEL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder for the udev rule, relative to the install prefix or absolute")

set(_quarnel_linux ${PROJECT_SOURCE_DIR}/packaging/linux)
set(_quarnel_deb ${PROJECT_SOURCE_DIR}/packaging/deb)
set(_quarnel_man ${PROJECT_SOURCE_DIR}/docs/man)

# The package's changelog must name the version the package gets.
file(STRINGS ${_quarnel_deb}/changelog _quarnel_changelog_top LIMIT_COUNT 1)
if(NOT _quarnel_changelog_top MATCHES "^quarnel-flash \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/deb/changelog starts with \"${_quarnel_changelog_top}\"; "
                  "add an entry for version ${PROJECT_VERSION}")
endif()

# Programs
set(QUARNEL_INSTALLED_PROGRAMS "")
foreach(_program quarnel quarnel-flash quarnel-flash-demo)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND QUARNEL_INSTALLED_PROGRAMS ${_program})
  endif()
endforeach()

# The command line's bash completion, where bash-completion looks it up by the command's name.
if(TARGET quarnel)
  install(FILES ${QUARNEL_BASH_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# The example images with their sources, for the demo and the user's first tries
# (share/quarnel-flash/examples, where the demo looks for them beside its bin/ folder).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quarnel-flash/examples)

# The browser page, when ./scripts/web has built it (emscripten is not part of this build): the
# static files of build-web/ in share/quarnel-flash/web, ready for any static server.
set(QUARNEL_WEB_SITE ${PROJECT_SOURCE_DIR}/build-web CACHE PATH "The built browser page (./scripts/web)")
install(DIRECTORY ${QUARNEL_WEB_SITE}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quarnel-flash/web OPTIONAL
        PATTERN ".*" EXCLUDE)

# Access to the bootloader for the user at the seat; useful to every program.
install(FILES ${_quarnel_linux}/70-quarnel-flash.rules DESTINATION ${QUARNEL_UDEV_RULES_DIR})

# Desktop entry and icon of the window
if(TARGET quarnel-flash)
  install(FILES ${_quarnel_linux}/quarnel-flash.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${_quarnel_linux}/quarnel-flash.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
# The demo's own menu entry, so that it is never taken for the real program
if(TARGET quarnel-flash-demo)
  install(FILES ${_quarnel_linux}/quarnel-flash-demo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# Manual pages and the package's changelog, compressed at build time (Debian wants gzip -9n).
find_program(QUARNEL_GZIP gzip)
if(NOT QUARNEL_GZIP)
  message(WARNING "gzip not found: the manual pages and the changelog are not installed")
else()
  set(_quarnel_gz_outputs "")
  set(_quarnel_gz_script ${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake)
  set(_quarnel_man_out ${PROJECT_BINARY_DIR}/man/man1)

  set(_quarnel_pages "")
  if(TARGET quarnel)
    list(APPEND _quarnel_pages quarnel)
  endif()
  if(TARGET quarnel-flash OR TARGET quarnel-flash-demo)
    list(APPEND _quarnel_pages quarnel-flash)
  endif()
  foreach(_page ${_quarnel_pages})
    set(_out ${_quarnel_man_out}/${_page}.1.gz)
    add_custom_command(
      OUTPUT ${_out}
      COMMAND ${CMAKE_COMMAND} -DGZIP=${QUARNEL_GZIP} -DINPUT=${_quarnel_man}/${_page}.1 -DOUTPUT=${_out}
              -DVERSION=${PROJECT_VERSION} -P ${_quarnel_gz_script}
      DEPENDS ${_quarnel_man}/${_page}.1 ${_quarnel_gz_script}
      COMMENT "Compressing manual page ${_page}.1"
      VERBATIM)
    list(APPEND _quarnel_gz_outputs ${_out})
    install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # quarnel-flash-demo is described in quarnel-flash(1).
  if(TARGET quarnel-flash-demo)
    file(MAKE_DIRECTORY ${_quarnel_man_out})
    file(CREATE_LINK quarnel-flash.1.gz ${_quarnel_man_out}/quarnel-flash-demo.1.gz SYMBOLIC)
    install(FILES ${_quarnel_man_out}/quarnel-flash-demo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()

  # A package whose version has no Debian revision is a native one: its changelog is changelog.gz.
  set(_out ${PROJECT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(
    OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -DGZIP=${QUARNEL_GZIP} -DINPUT=${_quarnel_deb}/changelog -DOUTPUT=${_out}
            -P ${_quarnel_gz_script}
    DEPENDS ${_quarnel_deb}/changelog ${_quarnel_gz_script}
    COMMENT "Compressing the package changelog"
    VERBATIM)
  list(APPEND _quarnel_gz_outputs ${_out})
  install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  add_custom_target(quarnel_compressed_docs ALL DEPENDS ${_quarnel_gz_outputs})
endif()

install(FILES ${_quarnel_deb}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
