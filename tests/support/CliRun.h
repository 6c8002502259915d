#pragma once
// The built programs as the end-to-end tests run them, and the small file chores around them.

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace tessel::test {

inline const std::string kSim = std::string(TESSEL_BINARY_DIR) + "/apps/sim/tessel-sim";
inline const std::string kCli = std::string(TESSEL_BINARY_DIR) + "/apps/cli/tessel";
inline const std::string kSample = std::string(TESSEL_SOURCE_DIR) + "/samples/blink.hex";

struct CliRun {
    int status = -1;
    std::string out;
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
    }
    ~SimOnPty() { process.Stop(SIGTERM); }
    ChildProcess process;
    std::string pty;
};

inline std::string TempDir() {
    char tmpl[] = "/tmp/tessel-test-XXXXXX";
    return mkdtemp(tmpl);
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tessel::test
