# The Windows package: one ZIP to unpack anywhere, the programs at its top with the target
# images in firmware\ beside them (where the programs look first after the user's own folder),
# the README, the licence and a short note for Windows users.
#
#   cmake --build build-win --target package     (or: cd build-win && cpack -G ZIP)
#
# makes build-win/tessel-<version>-win64.zip.
install(TARGETS tessel tessel-sim RUNTIME DESTINATION . COMPONENT tessel)
file(GLOB TESSEL_FIRMWARE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/firmware/*.bin)
install(FILES ${TESSEL_FIRMWARE_FILES} DESTINATION firmware COMPONENT tessel)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
              ${CMAKE_SOURCE_DIR}/packaging/windows/Windows.txt
        DESTINATION . COMPONENT tessel)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR "The Tessel developers")
set(CPACK_PACKAGE_FILE_NAME tessel-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
