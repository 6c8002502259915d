#pragma once
// The built programs as the end-to-end tests run them, and the small file chores around them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "files/HexImage.h"
#include "support/ChildProcess.h"
#include "support/Pattern.h"
#include "support/TempFolder.h"

namespace tessel::test {

inline const std::string kSim = std::string(TESSEL_BINARY_DIR) + "/apps/sim/tessel-sim";
inline const std::string kCli = std::string(TESSEL_BINARY_DIR) + "/apps/cli/tessel";
inline const std::string kSample = std::string(TESSEL_SOURCE_DIR) + "/samples/blink.hex";

struct CliRun {
    int status = -1;
    std::string out;
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
};

// Runs `tessel` with `args` to its end; `out` is its standard output, and also its standard
// error with `withStderr`.
inline CliRun RunTessel(std::vector<std::string> args, const std::vector<std::string>& env = {},
                        bool withStderr = false) {
    args.insert(args.begin(), kCli);
    ChildProcess p(args, env, withStderr);
    CliRun r;
    // All of it: an empty line is not the end of the output.
    r.status = p.ReadAll(&r.out);
    return r;
}

// A stand-in board on a pseudo-terminal, started with `args` (faults among them): `pty` is the
// device to name as the port, and the board stops with the object.
struct SimOnPty {
    explicit SimOnPty(std::vector<std::string> args) : process([&] {
        args.insert(args.begin(), kSim);
        return args;
    }()) {
        pty = process.ReadLine();
        EXPECT_FALSE(pty.empty()) << "tessel-sim named no device";
    }
    ~SimOnPty() { process.Stop(SIGTERM); }
    ChildProcess process;
    std::string pty;
};

// The lines of a program's output, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

inline std::string LastLine(const std::string& text) {
    const auto lines = Lines(text);
    return lines.empty() ? std::string() : lines.back();
}

// The host's writes in a wire trace, one string of hex bytes ("0B F0 40 01") per write.
inline std::vector<std::string> WireWrites(const std::string& trace) {
    std::ifstream in(trace);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        // "time > bytes"; notes about the line ("time ! ...") and comments are no writes.
        const size_t at = line.find(' ');
        if (!line.empty() && line[0] != '#' && at != std::string::npos && line.compare(at, 3, " > ") == 0)
            out.push_back(line.substr(at + 3));
    }
    return out;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The bytes an image file gives, as a download takes them; empty when it cannot be read.
inline std::vector<uint8_t> ImageOf(const std::string& path) {
    std::vector<uint8_t> image;
    std::string error;
    return ReadImageFile(path, &image, &error) == ImageReadStatus::Ok ? image : std::vector<uint8_t>{};
}

// Whether `flash` (a block 0 a board saved) holds `image` from address 0 and erased cells after it.
inline bool HoldsExactly(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image, size_t size = 32768) {
    const auto erased = [](uint8_t b) { return b == 0xFF; };
    return !image.empty() && flash.size() == size && std::equal(image.begin(), image.end(), flash.begin()) &&
           std::all_of(flash.begin() + static_cast<long>(image.size()), flash.end(), erased);
}

}  // namespace tessel::test
