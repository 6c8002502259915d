# Installing and packaging: the programs, their man pages and shell completion (generated
# from the programs' own option definitions), the firmware images, the desktop entry with its
# icon and metainfo, and the udev rule for USB-serial adapters. cpack -G DEB builds two Debian
# packages from the same rules: tessel (the command line, the stand-in board and everything
# they use; no Qt) and tessel-gui (the desktop program). The tests are never installed.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tessel)

set(TESSEL_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(TESSEL_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${TESSEL_DOCS_DIR}/completion ${TESSEL_DOCS_DIR}/gz)
# A sanitizer build's programs report leaks of the option parser at exit; the text they
# print is the same. The defaults under the user's folders are spelt "~/..." whoever builds.
set(TESSEL_RUN_ENV ${CMAKE_COMMAND} -E env --unset=XDG_STATE_HOME HOME=~ ASAN_OPTIONS=detect_leaks=0)

find_program(HELP2MAN help2man)
find_program(RSVG_CONVERT rsvg-convert)
find_program(GZIP gzip)
if(NOT HELP2MAN OR NOT RSVG_CONVERT OR NOT GZIP)
  message(FATAL_ERROR "help2man, rsvg-convert and gzip are needed for the man pages and the icon "
                      "(Debian: help2man librsvg2-bin gzip; tools/bootstrap.sh installs them)")
endif()

# Man pages, from --help and --version of the built programs.
add_custom_command(OUTPUT ${TESSEL_DOCS_DIR}/tessel-commands.h2m
  COMMAND ${TESSEL_RUN_ENV} ${CMAKE_COMMAND} -DTESSEL=$<TARGET_FILE:tessel> -DWHAT=man-commands
          -DOUTPUT=${TESSEL_DOCS_DIR}/tessel-commands.h2m -P ${CMAKE_SOURCE_DIR}/cmake/GenerateDocs.cmake
  DEPENDS tessel ${CMAKE_SOURCE_DIR}/cmake/GenerateDocs.cmake VERBATIM)
add_custom_command(OUTPUT ${TESSEL_DOCS_DIR}/tessel.1
  COMMAND ${TESSEL_RUN_ENV} ${HELP2MAN} --no-info --section=1
          "--name=program Norvik51 microcontrollers through their boot-strap loader"
          --include=${TESSEL_DOCS_DIR}/tessel-commands.h2m
          --include=${TESSEL_PACKAGING_DIR}/tessel.h2m
          --output=${TESSEL_DOCS_DIR}/tessel.1 $<TARGET_FILE:tessel>
  DEPENDS tessel ${TESSEL_DOCS_DIR}/tessel-commands.h2m ${TESSEL_PACKAGING_DIR}/tessel.h2m VERBATIM)
add_custom_command(OUTPUT ${TESSEL_DOCS_DIR}/tessel-sim.1
  COMMAND ${TESSEL_RUN_ENV} ${HELP2MAN} --no-info --section=1
          "--name=a stand-in Norvik51 board on a pseudo-terminal"
          --include=${TESSEL_PACKAGING_DIR}/tessel-sim.h2m
          --output=${TESSEL_DOCS_DIR}/tessel-sim.1 $<TARGET_FILE:tessel-sim>
  DEPENDS tessel-sim ${TESSEL_PACKAGING_DIR}/tessel-sim.h2m VERBATIM)
set(TESSEL_MAN_PAGES tessel tessel-sim)
if(TARGET tessel-gui)
  # tessel-gui answers --help and --version without a display.
  add_custom_command(OUTPUT ${TESSEL_DOCS_DIR}/tessel-gui.1
    COMMAND ${TESSEL_RUN_ENV} ${HELP2MAN} --no-info --section=1
            "--name=the desktop program for Norvik51 microcontrollers' boot-strap loader"
            --include=${TESSEL_PACKAGING_DIR}/tessel-gui.h2m
            --output=${TESSEL_DOCS_DIR}/tessel-gui.1 $<TARGET_FILE:tessel-gui>
    DEPENDS tessel-gui ${TESSEL_PACKAGING_DIR}/tessel-gui.h2m VERBATIM)
  list(APPEND TESSEL_MAN_PAGES tessel-gui)
endif()

# What Debian wants compressed, compressed without a time stamp so that a rebuild is the same:
# the man pages and the changelog.
configure_file(${TESSEL_PACKAGING_DIR}/changelog.in ${TESSEL_DOCS_DIR}/changelog @ONLY)
set(TESSEL_GZ_FILES "")
foreach(file ${TESSEL_MAN_PAGES} changelog)
  if(file STREQUAL "changelog")
    set(plain ${TESSEL_DOCS_DIR}/changelog)
    set(packed ${TESSEL_DOCS_DIR}/gz/changelog.gz)
  else()
    set(plain ${TESSEL_DOCS_DIR}/${file}.1)
    set(packed ${TESSEL_DOCS_DIR}/gz/${file}.1.gz)
  endif()
  add_custom_command(OUTPUT ${packed}
    COMMAND sh -c "${GZIP} -9 -n -c \"$1\" >\"$2\"" gzip ${plain} ${packed}
    DEPENDS ${plain} VERBATIM)
  list(APPEND TESSEL_GZ_FILES ${packed})
endforeach()

# Bash completion, from tessel --completion-table.
add_custom_command(OUTPUT ${TESSEL_DOCS_DIR}/completion/tessel
  COMMAND ${TESSEL_RUN_ENV} ${CMAKE_COMMAND} -DTESSEL=$<TARGET_FILE:tessel> -DWHAT=completion
          -DTEMPLATE=${TESSEL_PACKAGING_DIR}/tessel.bash.in -DOUTPUT=${TESSEL_DOCS_DIR}/completion/tessel
          -P ${CMAKE_SOURCE_DIR}/cmake/GenerateDocs.cmake
  DEPENDS tessel ${TESSEL_PACKAGING_DIR}/tessel.bash.in ${CMAKE_SOURCE_DIR}/cmake/GenerateDocs.cmake VERBATIM)

# The application icon at the sizes desktops look for, rendered from the SVG the window
# itself shows, so that the desktop entry and the window carry one icon.
set(TESSEL_ICON_SVG ${CMAKE_SOURCE_DIR}/apps/gui/tessel.svg)
set(TESSEL_ICON_SIZES 16 24 32 48 64 128 256)
set(TESSEL_ICON_PNGS "")
foreach(size ${TESSEL_ICON_SIZES})
  set(png ${TESSEL_DOCS_DIR}/icons/${size}x${size}/tessel.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TESSEL_DOCS_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${TESSEL_ICON_SVG}
    DEPENDS ${TESSEL_ICON_SVG} VERBATIM)
  list(APPEND TESSEL_ICON_PNGS ${png})
  if(TARGET tessel-gui)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT gui)
  endif()
endforeach()

add_custom_target(docs ALL DEPENDS ${TESSEL_GZ_FILES} ${TESSEL_DOCS_DIR}/completion/tessel ${TESSEL_ICON_PNGS})

install(TARGETS tessel tessel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tessel)
install(FILES ${TESSEL_DOCS_DIR}/gz/tessel.1.gz ${TESSEL_DOCS_DIR}/gz/tessel-sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tessel)
install(FILES ${TESSEL_DOCS_DIR}/completion/tessel
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tessel)
# bash-completion loads a program's completion from the file of its name: the same one serves both.
install(FILES ${TESSEL_DOCS_DIR}/completion/tessel
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tessel-sim COMPONENT tessel)
# Every image of src/firmware, so that an image added there is installed without an edit here.
file(GLOB TESSEL_FIRMWARE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/firmware/*.bin)
install(FILES ${TESSEL_FIRMWARE_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/tessel/firmware COMPONENT tessel)
install(FILES ${TESSEL_PACKAGING_DIR}/70-tessel-usb-serial.rules DESTINATION lib/udev/rules.d COMPONENT tessel)
# Each package carries its own copyright and changelog; the README goes with the command line.
install(FILES ${TESSEL_PACKAGING_DIR}/copyright ${TESSEL_DOCS_DIR}/gz/changelog.gz ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessel COMPONENT tessel)
if(TARGET tessel-gui)
  install(TARGETS tessel-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${TESSEL_DOCS_DIR}/gz/tessel-gui.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  install(FILES ${TESSEL_PACKAGING_DIR}/copyright ${TESSEL_DOCS_DIR}/gz/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessel-gui COMPONENT gui)
  install(FILES ${TESSEL_PACKAGING_DIR}/tessel-gui.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${TESSEL_PACKAGING_DIR}/local.tessel.Tessel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
    COMPONENT gui)
  install(FILES ${TESSEL_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
endif()

# The Debian packages, one per component. Native packages: the changelog is Debian's own.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR "The Tessel developers")
set(CPACK_PACKAGE_CONTACT "The Tessel developers <tessel@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# As dh_strip does: the compiler's .comment and the .note section go too.
set(CPACK_TESSEL_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/StripPackaged.cmake)
set(CPACK_DEBIAN_TESSEL_PACKAGE_NAME tessel)
# The first line of each description is its summary.
set(CPACK_DEBIAN_TESSEL_DESCRIPTION "programmer for Norvik51 microcontrollers through their boot-strap loader
Tessel programs Norvik51 microcontrollers, 8051-compatible parts with two
on-chip flash blocks, through their boot-strap loader (firmware 1.1E and
1.1F) on a serial line: it detects the chip, reads, downloads (Intel HEX or
binary), compares and erases flash, and drives the lock, remap and
configuration bits, the loader's password and the demonstration board's
external flash.
.
This package holds the command-line tool tessel, the stand-in board
tessel-sim that answers like a real target on a pseudo-terminal, the target
images, and a udev rule that lets the user at the console open common
USB-serial adapters. The desktop program is in tessel-gui.")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME tessel-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_GUI_DEPENDS tessel)
# Loaded as a plug-in for the window's SVG icon, so the library scan cannot see it.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS libqt6svg6)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_GUI_DESCRIPTION "desktop program for Norvik51 microcontrollers' boot-strap loader
Tessel programs Norvik51 microcontrollers, 8051-compatible parts with two
on-chip flash blocks, through their boot-strap loader on a serial line.
.
This package holds tessel-gui, the desktop program (Qt 6): detection, read,
download, compare and erase of the flash, the lock, remap and configuration
bits and the loader's password in one window, with its desktop entry, icon
and metainfo. It uses the stand-in board and the target images of the tessel
package.")
include(CPack)

# The checks of the generated files, the validators and the package. A sanitizer build's
# programs are not for installing; its suite runs without them.
if(TESSEL_TESTS AND NOT TESSEL_SANITIZE AND NOT TESSEL_TSAN)
  if(TARGET tessel-gui)
    set(with_gui ON)
  else()
    set(with_gui OFF)
  endif()
  foreach(check man completion validate install deb)
    add_test(NAME package.${check}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/package/check_package.sh ${check}
              ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${with_gui})
    tessel_test_environment(package.${check} environment)
    set_tests_properties(package.${check} PROPERTIES LABELS package ENVIRONMENT "${environment}")
  endforeach()
  # Both install the build into folders of their own, but share its install manifest.
  set_tests_properties(package.install package.deb PROPERTIES RESOURCE_LOCK tessel_install)
endif()
