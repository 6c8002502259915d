#include "platform/PortList.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace tessel {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Matching(const fs::path& dir, const std::string& prefix) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(prefix, 0) != 0 || n.size() == prefix.size()) continue;
        if (!std::all_of(n.begin() + static_cast<long>(prefix.size()), n.end(),
                         [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        out.push_back(n);
    }
    // ttyS10 after ttyS9: order by the number, not the text.
    std::sort(out.begin(), out.end(), [&](const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    return out;
}

// Most machines list 4 to 32 ttyS nodes whatever is fitted. A legacy UART that is really
// there has a device behind it in sysfs and reports a known UART type.
bool UartPresent(const std::string& devPath, const fs::path& sysTty) {
    std::error_code ec;
    if (!fs::exists(sysTty / "device", ec)) return false;
    const int fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;  // cannot ask; sysfs says something is there
    serial_struct info {};
    const bool known = ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type != PORT_UNKNOWN;
    ::close(fd);
    return known;
}

}  // namespace

std::vector<PortEntry> ListSerialPorts(const std::string& devRoot, const std::string& sysRoot) {
    std::vector<PortEntry> ports;
    std::error_code ec;
    const fs::path dev(devRoot);
    const fs::path byId = dev / "serial" / "by-id";
    std::vector<std::string> ids;
    for (const auto& e : fs::directory_iterator(byId, ec)) ids.push_back(e.path().filename().string());
    std::sort(ids.begin(), ids.end());
    for (const auto& id : ids) {
        const fs::path link = byId / id;
        const fs::path target = fs::weakly_canonical(link, ec);
        ports.push_back({link.string(), ec ? std::string() : "-> " + target.string()});
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& n : Matching(dev, prefix)) ports.push_back({(dev / n).string(), "USB serial"});
    }
    for (const auto& n : Matching(dev, "ttyS")) {
        const std::string path = (dev / n).string();
        if (UartPresent(path, fs::path(sysRoot) / "class" / "tty" / n))
            ports.push_back({path, "COM" + std::to_string(std::stoi(n.substr(4)) + 1)});
    }
    return ports;
}

}  // namespace tessel
