# Installing and packaging: the programs, their man pages and shell completion (generated
# from the programs' own option definitions), the firmware images, the desktop entry with its
# icon and metainfo, and the udev rule for USB-serial adapters; cpack -G DEB builds the
# Debian package from the same rules. The tests are never installed.
include(GNUInstallDirs)

set(TESSEL_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(TESSEL_DOCS_DIR ${CMAKE_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${TESSEL_DOCS_DIR}/completion)
# A sanitizer build's programs report leaks of the option parser at exit; the text they
# print is the same.
set(TESSEL_RUN_ENV ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0)

find_program(HELP2MAN help2man)
find_program(RSVG_CONVERT rsvg-convert)
if(NOT HELP2MAN OR NOT RSVG_CONVERT)
  message(FATAL_ERROR "help2man and rsvg-convert are needed for the man pages and the icon "
                      "(Debian: help2man librsvg2-bin; tools/bootstrap.sh installs them)")
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
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

add_custom_target(docs ALL DEPENDS
  ${TESSEL_DOCS_DIR}/tessel.1 ${TESSEL_DOCS_DIR}/tessel-sim.1 ${TESSEL_DOCS_DIR}/completion/tessel
  ${TESSEL_ICON_PNGS})

set(TESSEL_PROGRAMS tessel tessel-sim)
if(TARGET tessel-gui)
  list(APPEND TESSEL_PROGRAMS tessel-gui)
endif()
install(TARGETS ${TESSEL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TESSEL_DOCS_DIR}/tessel.1 ${TESSEL_DOCS_DIR}/tessel-sim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TESSEL_DOCS_DIR}/completion/tessel
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# Every image of src/firmware, so that an image added there is installed without an edit here.
file(GLOB TESSEL_FIRMWARE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/firmware/*.bin)
install(FILES ${TESSEL_FIRMWARE_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/tessel/firmware)
install(FILES ${TESSEL_PACKAGING_DIR}/70-tessel-usb-serial.rules DESTINATION lib/udev/rules.d)
install(FILES ${TESSEL_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARGET tessel-gui)
  install(FILES ${TESSEL_PACKAGING_DIR}/tessel-gui.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${TESSEL_PACKAGING_DIR}/local.tessel.Tessel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${TESSEL_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR "The Tessel developers")
set(CPACK_PACKAGE_CONTACT "The Tessel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "programmer for Norvik51 microcontrollers through their boot-strap loader")
# The summary is the first line of the description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tessel programs Norvik51 microcontrollers, 8051-compatible parts with two
on-chip flash blocks, through their boot-strap loader (firmware 1.1E and
1.1F) on a serial line: it detects the chip, reads, downloads (Intel HEX or
binary), compares and erases flash, and drives the lock, remap and
configuration bits, the loader's password and the demonstration board's
external flash.
.
The package holds the command-line tool tessel, the desktop program
tessel-gui, the stand-in board tessel-sim that answers like a real target on
a pseudo-terminal, and a udev rule that lets the user at the console open
common USB-serial adapters.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
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
    set_tests_properties(package.${check} PROPERTIES LABELS package)
  endforeach()
  # Both install the build into folders of their own, but share its install manifest.
  set_tests_properties(package.install package.deb PROPERTIES RESOURCE_LOCK tessel_install)
endif()
