# Embeds the target images of src/firmware into its library, checking each one's size, so
# that a wrong file is caught when building rather than on the target.
set(TESSEL_FIRMWARE_DIR ${CMAKE_SOURCE_DIR}/src/firmware)
set(TESSEL_FIRMWARE_IMAGES
  "Block1StubA:stub_block1_a.bin:368"
  "Block1StubHL:stub_block1_hl.bin:368"
  "ExternalStub:stub_external.bin:368"
  "ExternalBsl:external_bsl.bin:1152"
  "Upgrade11E:upgrade_11e_11f.bin:1280"
  "MonitorA16Block0:monitor_a16_block0.bin:4096"
  "MonitorA32Block0:monitor_a32_block0.bin:4096"
  "MonitorA16Block1:monitor_a16_block1.bin:1024"
  "MonitorA32Block1:monitor_a32_block1.bin:1024"
  "MonitorHL64D:monitor_hl64d.bin:4096"
  "MonitorHL32B:monitor_hl32b.bin:4096")

set(out "// Generated from src/firmware at configure time.\n#include \"firmware/Firmware.h\"\n\nnamespace tessel {\n\nnamespace {\n")
set(table "")
foreach(entry ${TESSEL_FIRMWARE_IMAGES})
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 id)
  list(GET parts 1 file)
  list(GET parts 2 size)
  set(path ${TESSEL_FIRMWARE_DIR}/${file})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  file(SIZE ${path} actual)
  if(NOT actual EQUAL size)
    message(FATAL_ERROR "firmware image ${file} has ${actual} bytes, expected ${size}")
  endif()
  file(READ ${path} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND out "const uint8_t k${id}[${size}] = {${bytes}};\n")
  string(APPEND table "    {FirmwareId::${id}, \"${id}\", \"src/firmware/${file}\", k${id}, ${size}},\n")
endforeach()
string(APPEND out "}  // namespace\n\nconst FirmwareImage kFirmwareImages[kFirmwareCount] = {\n${table}};\n\n}  // namespace tessel\n")
set(generated ${CMAKE_BINARY_DIR}/generated/FirmwareData.cpp)
file(CONFIGURE OUTPUT ${generated} CONTENT "${out}" @ONLY)
target_sources(tessel_firmware PRIVATE ${generated})
