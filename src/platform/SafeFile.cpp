#include "platform/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

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

namespace {

// Image bytes, not text: no line ends translated on the way.
void BinaryMode(std::FILE* stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

}  // namespace

WholeFile ReadStandardInput(uint64_t limit) {
    static std::mutex mutex;
    static std::optional<WholeFile> read;
    const std::lock_guard<std::mutex> lock(mutex);
    if (read) return *read;
    WholeFile file;
    BinaryMode(stdin);
    char buf[4096];
    // One byte past the limit is enough to know it is too large.
    while (file.bytes.size() <= limit) {
        const size_t n = std::fread(buf, 1, sizeof buf, stdin);
        file.bytes.insert(file.bytes.end(), buf, buf + n);
        if (n < sizeof buf) break;
    }
    if (std::ferror(stdin)) {
        file.error = std::string(kStandardStream) + ": " + std::strerror(errno);
        file.bytes.clear();
    } else if (file.bytes.size() > limit) {
        file.status = WholeFile::Status::TooLarge;
        file.size = file.bytes.size();
        file.bytes.clear();
    } else {
        file.status = WholeFile::Status::Read;
    }
    read = file;
    return file;
}

bool WriteStandardOutput(std::string_view bytes, std::string* error) {
    std::fflush(stdout);
    BinaryMode(stdout);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0) return true;
    if (error) *error = std::string(kStandardStream) + ": " + std::strerror(errno);
    return false;
}

}  // namespace tessel
