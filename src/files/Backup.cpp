#include "files/Backup.h"

#include <ctime>
#include <fstream>

#include "files/HexImage.h"
#include "platform/Paths.h"

namespace tessel {

namespace {

std::string BackupPath(const std::string& dir, const std::string& stem, const char* extension) {
    const std::string folder = dir.empty() ? UserStateDir() : dir;
    if (folder.empty() || !MakeDirs(folder)) return "";
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string path = folder + "/" + stem + "-" + stamp + extension;
    // Two backups within one second must not overwrite each other.
    for (int n = 2; std::ifstream(path).good(); ++n)
        path = folder + "/" + stem + "-" + stamp + "-" + std::to_string(n) + extension;
    return path;
}

std::string WriteWhole(const std::string& path, const char* data, size_t size) {
    if (path.empty()) return "";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    return out ? path : "";
}

}  // namespace

std::string WriteBackupBinary(const std::string& dir, const std::string& stem, std::span<const uint8_t> data) {
    return WriteWhole(BackupPath(dir, stem, ".bin"), reinterpret_cast<const char*>(data.data()), data.size());
}

std::string WriteBackupHex(const std::string& dir, const std::string& stem, std::span<const BackupRegion> regions) {
    std::string text;
    constexpr std::string_view kEnd = ":00000001FF\n";
    for (const BackupRegion& r : regions) {
        std::string part = FormatIntelHex(r.bytes, r.address);
        // One end record, after the last region.
        if (part.size() >= kEnd.size() && part.compare(part.size() - kEnd.size(), kEnd.size(), kEnd) == 0)
            part.resize(part.size() - kEnd.size());
        text += part;
    }
    text += kEnd;
    return WriteWhole(BackupPath(dir, stem, ".hex"), text.data(), text.size());
}

}  // namespace tessel
