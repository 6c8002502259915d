#include "platform/PortList.h"

#include "platform/SerialDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
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

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The USB device a tty hangs off: the nearest directory above it with an idVendor file.
// An adapter's tty sits on an interface (1-2:1.0), whose parent is the device (1-2).
void ReadUsbIdentity(const fs::path& sysTty, PortEntry* e) {
    std::error_code ec;
    fs::path dir = fs::canonical(sysTty / "device", ec);
    if (ec) return;
    e->driver = fs::read_symlink(dir / "driver", ec).filename().string();
    if (ec) e->driver.clear();
    for (int depth = 0; depth < 4 && !dir.empty() && dir != dir.root_path(); ++depth, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        e->usb = true;
        e->usbId = ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
        e->serial = ReadLine(dir / "serial");
        const std::string maker = ReadLine(dir / "manufacturer");
        const std::string product = ReadLine(dir / "product");
        e->description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
        return;
    }
}

}  // namespace

std::string SysfsTtyName(const std::string& port, const std::string& devRootGiven, const std::string& sysRootGiven) {
    const std::string devRoot = devRootGiven.empty() ? DeviceTreeDir("dev") : devRootGiven;
    const fs::path sysTty = fs::path(sysRootGiven.empty() ? DeviceTreeDir("sys") : sysRootGiven) / "class" / "tty";
    std::error_code ec;
    const fs::path devDir = fs::weakly_canonical(devRoot, ec);
    if (ec) return {};
    fs::path p = fs::absolute(ResolvePortName(port), ec);
    // A name in the dev folder is the kernel's own; the links that lead there (by-id, the
    // user's) have names of their own, and the node at their end may be a link again (a
    // recorded tree's, to a stand-in board), so the first such name on the way is the one.
    for (int hop = 0; hop < 40 && !ec; ++hop) {
        p = p.lexically_normal();
        std::error_code dirEc, existsEc;
        const fs::path dir = fs::weakly_canonical(p.parent_path(), dirEc);
        if (!dirEc && dir == devDir && fs::exists(sysTty / p.filename(), existsEc)) return p.filename().string();
        if (!fs::is_symlink(p, ec)) break;
        const fs::path target = fs::read_symlink(p, ec);
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return {};
}

bool IsUsbTty(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    const std::string name = SysfsTtyName(port, devRoot, sysRoot);
    if (name.empty()) return false;
    std::error_code ec;
    const fs::path tty = fs::path(sysRoot.empty() ? DeviceTreeDir("sys") : sysRoot) / "class" / "tty" / name;
    const fs::path device = fs::canonical(tty / "device", ec);
    return !ec && device.string().find("/usb") != std::string::npos;
}

std::vector<PortEntry> ListSerialPorts(const std::string& devRootGiven, const std::string& sysRootGiven) {
    const std::string devRoot = devRootGiven.empty() ? DeviceTreeDir("dev") : devRootGiven;
    const std::string sysRoot = sysRootGiven.empty() ? DeviceTreeDir("sys") : sysRootGiven;
    std::vector<PortEntry> ports;
    std::error_code ec;
    const fs::path dev(devRoot);
    const fs::path sysTty = fs::path(sysRoot) / "class" / "tty";
    // The stable names, by the device they lead to.
    std::map<std::string, std::string> byId;
    for (const auto& e : fs::directory_iterator(dev / "serial" / "by-id", ec)) {
        std::error_code lec;
        const fs::path target = fs::read_symlink(e.path(), lec);
        if (lec) continue;
        const std::string node = target.filename().string();
        // Several links may lead to one device; the first in name order is kept.
        auto it = byId.find(node);
        if (it == byId.end() || e.path().string() < it->second) byId[node] = e.path().string();
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& n : Matching(dev, prefix)) {
            PortEntry e;
            e.name = (dev / n).string();
            ReadUsbIdentity(sysTty / n, &e);
            e.usb = true;
            if (e.description.empty()) e.description = "USB serial";
            if (auto it = byId.find(n); it != byId.end()) e.byId = it->second;
            ports.push_back(std::move(e));
        }
    }
    for (const auto& n : Matching(dev, "ttyS")) {
        PortEntry e;
        e.name = (dev / n).string();
        if (!UartPresent(e.name, sysTty / n)) continue;
        ReadUsbIdentity(sysTty / n, &e);
        e.usb = false;
        e.description = "COM" + std::to_string(std::stoi(n.substr(4)) + 1);
        ports.push_back(std::move(e));
    }
    return ports;
}

std::string AdapterSerialOf(const std::string& port, const std::string& devRoot, const std::string& sysRoot) {
    if (port.rfind("serial:", 0) == 0) return port.substr(7);
    const std::string tty = SysfsTtyName(port, devRoot, sysRoot);
    if (tty.empty()) return {};
    for (const PortEntry& p : ListSerialPorts(devRoot, sysRoot))
        if (p.usb && fs::path(p.name).filename() == tty) return p.serial;
    return {};
}

}  // namespace tessel
