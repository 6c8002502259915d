#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/PortList.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

TEST(PortList, StableNamesFirstThenUsbThenUartsWithHardware) {
    char tmpl[] = "/tmp/tessel-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path root(tmpl);
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
    EXPECT_EQ(names, (std::vector<std::string>{"usb-Adapter_1234-if00-port0", "ttyUSB0", "ttyUSB1",
                                               "ttyACM0", "ttyS1", "ttyS10"}));
    EXPECT_NE(ports[0].description.find("ttyUSB0"), std::string::npos);
    EXPECT_EQ(ports[4].description, "COM2");
    EXPECT_EQ(ports[5].description, "COM11");
    fs::remove_all(root);
}

}  // namespace
}  // namespace tessel
