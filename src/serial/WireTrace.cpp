#include "serial/WireTrace.h"

#include <cerrno>
#include <cstring>

#include "platform/SafeFile.h"

namespace tessel {

std::unique_ptr<WireTrace> WireTrace::Open(const std::string& path, std::string* error) {
    std::FILE* f = CreateStreamSafely(path, error);
    if (!f) return nullptr;
    std::fputs("# time_ms dir bytes (> host to target, < target to host, ! line event)\n", f);
    return std::unique_ptr<WireTrace>(new WireTrace(f, path));
}

namespace {
std::mutex gLostMutex;
std::string gLost;
}  // namespace

std::string WireTrace::LostWrites() {
    std::lock_guard<std::mutex> lock(gLostMutex);
    return gLost;
}

// A full disk or a file-size limit must not leave a trace that silently stops part-way: the
// first failure is remembered for the run's last line, and nothing more is written to it.
void WireTrace::Check() {
    if (failed_) return;
    const int err = errno;
    if (std::fflush(file_) == 0 && !std::ferror(file_)) return;
    failed_ = true;
    std::lock_guard<std::mutex> lock(gLostMutex);
    if (gLost.empty())
        gLost = "the wire trace " + path_ + " is incomplete: " + std::strerror(errno != 0 ? errno : err);
}

WireTrace::~WireTrace() {
    Check();
    if (std::fclose(file_) != 0 && !failed_) {
        failed_ = true;
        std::lock_guard<std::mutex> lock(gLostMutex);
        if (gLost.empty()) gLost = "the wire trace " + path_ + " is incomplete: " + std::strerror(errno);
    }
}

void WireTrace::Bytes(uint64_t us, char direction, const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return;
    errno = 0;
    std::fprintf(file_, "%llu.%03llu %c", static_cast<unsigned long long>(us / 1000),
                 static_cast<unsigned long long>(us % 1000), direction);
    for (size_t i = 0; i < n; ++i) std::fprintf(file_, " %02X", bytes[i]);
    std::fputc('\n', file_);
    Check();
}

void WireTrace::Event(uint64_t us, const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return;
    errno = 0;
    std::fprintf(file_, "%llu.%03llu ! %s\n", static_cast<unsigned long long>(us / 1000),
                 static_cast<unsigned long long>(us % 1000), what.c_str());
    Check();
}

}  // namespace tessel
