#include "serial/WireTrace.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SafeFile.h"

namespace tessel {

std::unique_ptr<WireTrace> WireTrace::Open(const std::string& path, std::string* error) {
    const int fd = CreateFileSafely(path, error);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        if (error) *error = path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::fputs("# time_ms dir bytes (> host to target, < target to host, ! line event)\n", f);
    return std::unique_ptr<WireTrace>(new WireTrace(f));
}

WireTrace::~WireTrace() { std::fclose(file_); }

void WireTrace::Bytes(uint64_t us, char direction, const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "%llu.%03llu %c", static_cast<unsigned long long>(us / 1000),
                 static_cast<unsigned long long>(us % 1000), direction);
    for (size_t i = 0; i < n; ++i) std::fprintf(file_, " %02X", bytes[i]);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void WireTrace::Event(uint64_t us, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "%llu.%03llu ! %s\n", static_cast<unsigned long long>(us / 1000),
                 static_cast<unsigned long long>(us % 1000), what.c_str());
    std::fflush(file_);
}

}  // namespace tessel
