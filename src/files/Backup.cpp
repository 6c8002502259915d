#include "files/Backup.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string_view>

#include "files/HexImage.h"
#include "platform/CalendarTime.h"
#include "platform/Paths.h"
#include "platform/SafeFile.h"

namespace tessel {

namespace {

std::string BackupPath(const std::string& dir, const std::string& stem, const char* extension) {
    const std::string folder = dir.empty() ? UserStateDir() : dir;
    if (folder.empty() || !MakeDirs(folder)) return "";
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    const std::tm tm = LocalTimeOf(now);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string path = folder + "/" + stem + "-" + stamp + extension;
    // Two backups within one second must not overwrite each other; a name taken by anything,
    // a link included, is passed over.
    for (int n = 2; PathTaken(path); ++n)
        path = folder + "/" + stem + "-" + stamp + "-" + std::to_string(n) + extension;
    return path;
}

// A backup is named to the operator as the copy of the chip's contents, so it is read back
// before anything it protects is erased: a full disk or a cut write must not leave a file
// that merely looks like the copy.
std::string WriteWhole(const std::string& path, const char* data, size_t size) {
    if (path.empty() || !WriteFileSafely(path, std::string_view(data, size), nullptr)) return "";
    std::ifstream in(path, std::ios::binary);
    const std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || back != std::string_view(data, size)) {
        std::remove(path.c_str());
        return "";
    }
    return path;
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
