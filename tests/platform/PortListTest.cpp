#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Clock.h"
#include "platform/PortList.h"
#include "platform/PosixSerialDevice.h"
#include "support/TempFolder.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

TEST(PortList, StableNamesFirstThenUsbThenUartsWithHardware) {
    const test::TempFolder folder;
    const fs::path root(std::string{folder});
    const fs::path dev = root / "dev", sys = root / "sys";
    fs::create_directories(dev / "serial" / "by-id");
    for (const char* n : {"ttyUSB1", "ttyUSB0", "ttyACM0", "ttyS0", "ttyS1", "ttyS10", "ttySAC0"})
        std::ofstream(dev / n).put('\n');
    fs::create_symlink(dev / "ttyUSB0", dev / "serial" / "by-id" / "usb-Adapter_1234-if00-port0");
    // Only ttyS1 and ttyS10 have a device behind them.
    for (const char* n : {"ttyS1", "ttyS10"}) fs::create_directories(sys / "class" / "tty" / n / "device");
    fs::create_directories(sys / "class" / "tty" / "ttyS0");

    const auto ports = ListSerialPorts(dev.string(), sys.string());
    std::vector<std::string> names;
    for (const auto& p : ports) names.push_back(fs::path(p.name).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS1", "ttyS10"}));
    EXPECT_EQ(fs::path(ports[0].byId).filename(), "usb-Adapter_1234-if00-port0");
    EXPECT_TRUE(ports[1].byId.empty());
    EXPECT_EQ(ports[3].description, "COM2");
    EXPECT_EQ(ports[4].description, "COM11");
}

// A copy of the two trees of a machine with an FTDI and a CP2102 adapter, a CDC-ACM board
// without a serial number or stable name, and one real UART.
const std::string kRecorded = std::string(TESSEL_SOURCE_DIR) + "/tests/platform/data/ports";

TEST(PortList, ARecordedSysfsTreeGivesDriverIdsSerialAndStableName) {
    const auto ports = ListSerialPorts(kRecorded + "/dev", kRecorded + "/sys");
    ASSERT_EQ(ports.size(), 4u);
    // Each as one line: name, USB or not, driver, ids, serial, description, stable name.
    std::vector<std::string> listed;
    for (const PortEntry& e : ports) {
        const std::string byId = e.byId.empty() ? "" : e.byId.substr(kRecorded.size());
        listed.push_back(e.name.substr(kRecorded.size()) + (e.usb ? " usb " : " uart ") + e.driver + " " + e.usbId +
                         " " + e.serial + " " + e.description + " " + byId);
    }
    // The ACM tty hangs off the interface directly; the ids are one level further up.
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "/dev/ttyUSB0 usb ftdi_sio 0403:6001 A9XYZ012 FTDI FT232R USB UART "
                          "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XYZ012-if00-port0",
                          "/dev/ttyUSB1 usb cp210x 10c4:ea60 0001 Silicon Labs CP2102 USB to UART Bridge Controller "
                          "/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0",
                          "/dev/ttyACM0 usb cdc_acm 1209:0001  CDC Serial ",
                          "/dev/ttyS0 uart serial   COM1 ",
                      }));
    const std::string line = DescribePort(ports[0]);
    for (const char* part : {"driver ftdi_sio", "usb 0403:6001", "serial A9XYZ012", "by-id/usb-FTDI"})
        EXPECT_NE(line.find(part), std::string::npos) << line;

    EXPECT_TRUE(IsUsbTty(kRecorded + "/dev/ttyUSB1", kRecorded + "/dev", kRecorded + "/sys"));
    EXPECT_FALSE(IsUsbTty(kRecorded + "/dev/ttyS0", kRecorded + "/dev", kRecorded + "/sys"));

    // A port is found by its serial number only when it is the whole number (the gang's
    // serial: ports are found by theirs).
    std::string error;
    EXPECT_EQ(FindPortBySerial("A9XYZ", &error, kRecorded + "/dev", kRecorded + "/sys"), "")
        << "a prefix is not a match";
    EXPECT_NE(error.find("no USB serial adapter with serial number 'A9XYZ'"), std::string::npos) << error;
    // The UART and the ACM board have no serial: an empty one matches nothing.
    EXPECT_EQ(FindPortBySerial("", &error, kRecorded + "/dev", kRecorded + "/sys"), "");
}

// A copy of the recorded tree whose ttyUSB0 and ttyUSB1 are links to pseudo-terminals, as the
// device nodes of a stand-in board; the tool reads it instead of /dev and /sys.
struct LinkedTree {
    LinkedTree() {
        fs::copy(kRecorded, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (int i = 0; i < 2; ++i) {
            masters[i] = posix_openpt(O_RDWR | O_NOCTTY);
            EXPECT_EQ(grantpt(masters[i]), 0);
            EXPECT_EQ(unlockpt(masters[i]), 0);
            const fs::path node = root / "dev" / ("ttyUSB" + std::to_string(i));
            fs::remove(node);
            fs::create_symlink(ptsname(masters[i]), node);
        }
        SetDeviceTreeRoot(root.string());
    }
    ~LinkedTree() {
        SetDeviceTreeRoot("");
        for (int m : masters) close(m);
    }
    // ttyUSB0's latency timer.
    std::string Timer() const {
        std::ifstream in(root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/latency_timer");
        std::string text;
        in >> text;
        return text;
    }
    test::TempFolder folder;
    fs::path root{std::string(folder)};
    int masters[2] = {-1, -1};
};

// The stable name `tessel ports` prints, a link of the user's to it and a relative name all
// lead to ttyUSB0 before sysfs is asked: the adapter is seen as USB, its serial number is
// found, and its latency timer goes to 1 ms while the port is open and back afterwards. A
// pseudo-terminal is no adapter; the CP2102 has no timer to set, and nothing is said. (A
// timer that cannot be written is the command line's test of the same tree.)
TEST(PortList, AnAdapterOpenedThroughALinkGetsLowLatencyOrIsToldWhyNot) {
    LinkedTree tree;
    const std::string byId = (tree.root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XYZ012-if00-port0").string();
    const fs::path mine = tree.root / "my-board";
    fs::create_symlink(byId, mine);
    VirtualClock clock;
    for (const std::string& name : {byId, mine.string(), mine.lexically_relative(fs::current_path()).string()}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(SysfsTtyName(name), "ttyUSB0");
        EXPECT_TRUE(IsUsbTty(name));
        EXPECT_EQ(AdapterSerialOf(name), "A9XYZ012");
        OpenError error;
        auto device = PosixSerialDevice::Open(name, clock, &error);
        ASSERT_TRUE(device) << error.reason;
        EXPECT_EQ(tree.Timer(), "1");
        EXPECT_EQ(device->SetupNote(), "");
        device.reset();
        EXPECT_EQ(tree.Timer(), "16") << "put back at close";
    }
    // A serial number no adapter has leads to no port.
    OpenError missing;
    EXPECT_EQ(OpenSerialDevice("serial:A9XYZ", clock, &missing), nullptr);
    EXPECT_EQ(missing.code, ENODEV) << missing.reason;
    EXPECT_EQ(SysfsTtyName(ptsname(tree.masters[0])), "");
    EXPECT_FALSE(IsUsbTty(ptsname(tree.masters[0])));
    OpenError error;
    auto cp2102 = PosixSerialDevice::Open(
        (tree.root / "dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0").string(),
        clock, &error);
    ASSERT_TRUE(cp2102) << error.reason;
    EXPECT_EQ(cp2102->SetupNote(), "");
}

TEST(PortList, PermissionAdviceNamesTheRealOwnerAndGroup) {
    DeviceAccess a;
    a.user = "ana";
    a.owner = "root";
    a.group = "root";
    a.mode = 0600;
    std::string text = DescribePermissionDenied("/dev/ttyUSB0", a);
    EXPECT_NE(text.find("root:root with mode 0600"), std::string::npos) << text;
    EXPECT_EQ(text.find("usermod"), std::string::npos) << "joining group root would not help: " << text;
    EXPECT_EQ(text.find("dialout"), std::string::npos) << text;

    a.group = "uucp";
    a.mode = 0660;
    text = DescribePermissionDenied("/dev/ttyUSB0", a);
    EXPECT_NE(text.find("not in group 'uucp' (sudo usermod -aG uucp ana"), std::string::npos) << text;
    EXPECT_EQ(text.find("dialout"), std::string::npos) << text;

    a.userInGroup = true;
    text = DescribePermissionDenied("/dev/ttyUSB0", a);
    EXPECT_EQ(text.find("usermod"), std::string::npos) << "already a member: " << text;
}

}  // namespace
}  // namespace tessel
