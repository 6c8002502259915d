#pragma once
// A transcript of every byte on the line, for a bug report from a user with real hardware.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace tessel {

class WireTrace {
public:
    static std::unique_ptr<WireTrace> Open(const std::string& path, std::string* error);
    ~WireTrace();

    // '>' host to target, '<' target to host, '!' a line event (open, DTR/RTS, purge).
    void Bytes(uint64_t us, char direction, const uint8_t* bytes, size_t n);
    void Event(uint64_t us, const std::string& what);

    // What any trace of this run failed to write ("" when every byte went out), for the
    // run's last line.
    static std::string LostWrites();

private:
    WireTrace(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {}
    void Check();
    std::mutex mutex_;
    std::FILE* file_;
    std::string path_;
    bool failed_ = false;
};

}  // namespace tessel
