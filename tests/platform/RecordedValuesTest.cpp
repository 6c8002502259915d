// What the platform layer decides from values alone, checked by every build (the Windows one
// under Wine too): SHA-256's standard vectors, and Windows' ports and names as recorded there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/PortList.h"
#include "platform/Sha256.h"
#include "platform/WindowsNames.h"

namespace tessel {
namespace {

// The standard test vectors: the empty message, "abc" and the 448-bit message, which fills
// one block so that its padding needs a second.
TEST(Sha256, StandardVectors) {
    const struct {
        const char* message;
        const char* digest;
    } kCases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : kCases) EXPECT_EQ(Sha256Hex(c.message), c.digest) << '"' << c.message << '"';
}

// Windows' ports as one machine recorded them: the device manager's (instance id, port,
// friendly name, service) and the registry's map of serial devices (no id: the map's device
// name and port). They come out USB first, by number rather than text (COM10 after COM9);
// FTDI's bus driver puts the channel's letter after the serial number, a serial number the
// system made up (with '&') or an interface of a composite device gives none, and a value
// that is no COMn is left out.
TEST(PortList, WindowsPortsGiveIdsAndSerialNumbersUsbFirstInNumberOrder) {
    const struct {
        const char *id, *port, *name, *service;
    } kRecorded[] = {
        {"ACPI\\PNP0501\\0", "COM1", "Communications Port (COM1)", "Serial"},
        {"FTDIBUS\\VID_0403+PID_6001+A9XYZ012A\\0000", "COM10", "USB Serial Port (COM10)", "FTSER2K"},
        {"USB\\VID_10C4&PID_EA60\\0001", "COM9", "Silicon Labs CP210x USB to UART Bridge (COM9)", "silabser"},
        {"USB\\VID_1A86&PID_7523\\5&2E5B2A3C&0&2", "COM12", "USB-SERIAL CH340 (COM12)", "CH341SER_A64"},
        {"USB\\VID_1209&PID_0001&MI_00\\6&1A2B3C4D&0&0000", "COM13", "", "usbser"},
        {nullptr, "COM2", "\\Device\\Serial1", nullptr},
        {nullptr, "LPT3", "\\Device\\BthModem0", nullptr},
    };
    std::vector<PortEntry> ports;
    for (const auto& r : kRecorded) {
        PortEntry e = r.id ? PortFromDevice(r.id, r.port, r.name, r.service) : PortFromSerialMap(r.name, r.port);
        if (!e.name.empty()) ports.push_back(e);
    }
    SortPorts(&ports);
    std::vector<std::string> listed;
    for (const PortEntry& e : ports)
        listed.push_back(e.name + " " + e.driver + " " + e.usbId + " " + e.serial + " " + e.description);
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "COM9 silabser 10c4:ea60 0001 Silicon Labs CP210x USB to UART Bridge",
                          "COM10 FTSER2K 0403:6001 A9XYZ012 USB Serial Port",
                          "COM12 CH341SER_A64 1a86:7523  USB-SERIAL CH340",
                          "COM13 usbser 1209:0001  USB serial",
                          "COM1 Serial   COM1",
                          "COM2 Serial   COM2",
                      }));
}

// Names as Windows machines gave them, decided the same on every system: the XDG variable
// against the shell's known folder (only a full path on a drive wins), port names (COMn in the
// device namespace, matched case-sensitively), final names with the long-path prefix, and the
// program's own path.
TEST(PortList, WindowsNamesFromRecordedValues) {
    const struct {
        const char *xdg, *known, *folder;
    } kUserFolders[] = {
        {nullptr, R"(C:\Users\ana\AppData\Roaming)", R"(C:\Users\ana\AppData\Roaming\tessel)"},
        {"", R"(C:\Users\ana\AppData\Local)", R"(C:\Users\ana\AppData\Local\tessel)"},
        {R"(D:\portable\config)", R"(C:\Users\ana\AppData\Roaming)", R"(D:\portable\config/tessel)"},
        {"D:/portable/state", "", "D:/portable/state/tessel"},
        {"config", R"(C:\Users\ana\AppData\Roaming)", R"(C:\Users\ana\AppData\Roaming\tessel)"},
        {"D:", "", ""},
    };
    for (const auto& r : kUserFolders)
        EXPECT_EQ(WindowsUserFolder(r.xdg, r.known), r.folder) << (r.xdg ? r.xdg : "unset") << " " << r.known;
    const struct {
        std::string (*of)(const std::string&);
        const char *in, *out;
    } kNames[] = {
        {WindowsPortPath, "COM10", R"(\\.\COM10)"},
        {WindowsPortPath, R"(\\.\COM3)", R"(\\.\COM3)"},
        {WindowsPortPath, "com3", "com3"},
        {WindowsPortPath, "COM0", "COM0"},
        {WithoutLongPathPrefix, R"(\\?\C:\Program Files\Tessel)", R"(C:\Program Files\Tessel)"},
        {WithoutLongPathPrefix, R"(\\?\UNC\server\share\tessel)", R"(\\server\share\tessel)"},
        {WithoutLongPathPrefix, R"(C:\Users\ana)", R"(C:\Users\ana)"},
        {WindowsFolderOf, R"(C:\Program Files\Tessel\tessel.exe)", R"(C:\Program Files\Tessel)"},
        {WindowsFolderOf, "C:/tools/tessel.exe", "C:/tools"},
        {WindowsFolderOf, "tessel.exe", ""},
    };
    for (const auto& r : kNames) EXPECT_EQ(r.of(r.in), r.out) << r.in;
}

}  // namespace
}  // namespace tessel
