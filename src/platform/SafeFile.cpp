#include "platform/SafeFile.h"

#include <cstdio>
#include <filesystem>
#include <random>

namespace tessel {

std::string TemporaryNameBeside(const std::string& path) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    // Appended piece by piece: GCC 12 at -O2 misreads `"." + std::string` as an overlapping copy.
    std::string name = ".";
    name += target.filename().string();
    name += '.';
    name += suffix;
    name += ".tmp";
    return (folder / name).string();
}

}  // namespace tessel
