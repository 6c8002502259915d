// The real `tessel` binary interrupted by a signal part-way through a command that borrows
// block 0, on the in-process stand-in board whose flash is kept in files between runs: the
// command puts block 0 back before the program ends, the last line says what happened, and
// the exit status says which signal it was.

#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/HexImage.h"
#include "support/ChildProcess.h"
#include "support/CliRun.h"

namespace tessel {
namespace {

using test::kCli;
using test::TempDir;
using test::ReadBytes;
using test::WriteBytes;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
}

// The bytes the host sent, in order, as the wire trace recorded them so far.
std::vector<uint8_t> HostBytes(const std::string& trace) {
    std::ifstream in(trace);
    std::vector<uint8_t> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, dir, hex;
        if (!(words >> time >> dir) || dir != ">") continue;
        while (words >> hex) out.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    return out;
}

// Waits (up to 20 s) until the host has sent `after` bytes beyond the first `marker`.
bool WaitForWire(const std::string& trace, const std::vector<uint8_t>& marker, size_t after) {
    for (int i = 0; i < 4000; ++i) {
        const std::vector<uint8_t> sent = HostBytes(trace);
        const auto at = std::search(sent.begin(), sent.end(), marker.begin(), marker.end());
        if (at != sent.end() && static_cast<size_t>(sent.end() - at) >= marker.size() + after) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct Board {
    Board() : dir(TempDir()) {
        std::filesystem::create_directories(dir + "/sim");
        std::filesystem::create_directories(dir + "/state");
        WriteBytes(dir + "/sim/sim_NX31A32.block0", block0);
    }
    ~Board() { std::filesystem::remove_all(dir); }
    std::vector<std::string> Env() const {
        return {"TESSEL_SIM_STATE_DIR=" + dir + "/sim", "XDG_STATE_HOME=" + dir + "/state"};
    }
    std::vector<uint8_t> Block0() const { return ReadBytes(dir + "/sim/sim_NX31A32.block0"); }
    std::vector<std::string> Backups() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/state"))
            if (e.is_regular_file()) out.push_back(e.path());
        return out;
    }

    std::string dir;
    std::vector<uint8_t> block0 = Pattern(32768, 9);
};

struct Outcome {
    int status = -1;
    std::string out;
};

// Starts `args`, waits for the wire to show `marker` and `after` more bytes, then sends the
// signal; when `twice`, SIGINT goes first (two of one kind sent together may arrive as one).
Outcome Interrupt(const Board& b, std::vector<std::string> args, const std::vector<uint8_t>& marker, size_t after,
                  int sig, bool twice = false) {
    const std::string trace = b.dir + "/wire.txt";
    args.insert(args.begin(), kCli);
    args.insert(args.end(), {"--trace-wire", trace});
    test::ChildProcess p(args, b.Env());
    Outcome o;
    if (!WaitForWire(trace, marker, after)) {
        ADD_FAILURE() << "the command never got that far";
        return o;
    }
    if (twice) p.Signal(SIGINT);
    o.status = p.Stop(sig);
    std::string line;
    while (!(line = p.ReadLine()).empty()) o.out += line + "\n";
    return o;
}

std::string LastLine(const std::string& out) {
    const size_t end = out.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t start = out.rfind('\n', end);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

const std::vector<uint8_t> kSwitchToStub = {0x03, 0x20, 0x27, 0x10};
const std::vector<uint8_t> kOpenLowWindow = {0x66, 0x66, 0x0C};

TEST(CliInterrupt, ABlock1DownloadStopsAndLeavesBlock0ByteForByte) {
    // Ctrl-\ is one more way to ask for the end, and gets the same recovery.
    for (const int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        Board b;
        const std::string file = b.dir + "/b1.bin";
        WriteBytes(file, Pattern(48 * 64, 0x40));
        const Outcome o = Interrupt(b,
                                    {"download", "--port", "sim:NX31A32", "--yes", "--block", "1", "--start-sector",
                                     "16", file},
                                    kSwitchToStub, 300, sig);
        EXPECT_EQ(o.status, 128 + sig) << o.out;
        const std::string last = LastLine(o.out);
        EXPECT_NE(last.find("interrupted by"), std::string::npos) << o.out;
        EXPECT_NE(last.find("block 0 was put back as it was"), std::string::npos) << last;
        EXPECT_NE(last.find("block 1 holds a partial image"), std::string::npos) << last;
        EXPECT_EQ(b.Block0(), b.block0);
        EXPECT_TRUE(b.Backups().empty()) << "a restored block 0 leaves no backup";
    }
}

TEST(CliInterrupt, AnAModelWindowDownloadLeavesTheWindowAndBlock0ByteForByte) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig == SIGINT ? "SIGINT" : "SIGTERM");
        Board b;
        const std::string file = b.dir + "/ext.bin";
        WriteBytes(file, Pattern(3 * 4096, 0x52));
        const Outcome o = Interrupt(b,
                                    {"download", "--port", "sim:NX31A32", "--yes", "--external", "low",
                                     "--start-sector", "1", file},
                                    kOpenLowWindow, 600, sig);
        EXPECT_EQ(o.status, 128 + sig) << o.out;
        const std::string last = LastLine(o.out);
        EXPECT_NE(last.find("the external flash window holds a partial image"), std::string::npos) << last;
        EXPECT_NE(last.find("the external flash window was left and block 0 put back"), std::string::npos) << last;
        EXPECT_EQ(b.Block0(), b.block0);
        EXPECT_TRUE(b.Backups().empty());
    }
}

// A second signal does not wait for the safe point; what it leaves is named.
TEST(CliInterrupt, ASecondSignalEndsAtOnceAndNamesTheBackupThatHoldsTheAreas) {
    Board b;
    const std::string file = b.dir + "/b1.bin";
    WriteBytes(file, Pattern(48 * 64, 0x40));
    const Outcome o = Interrupt(
        b, {"download", "--port", "sim:NX31A32", "--yes", "--block", "1", "--start-sector", "16", file},
        kSwitchToStub, 300, SIGTERM, true);
    // Handled on two threads at once, either may count as the second.
    EXPECT_TRUE(o.status == 143 || o.status == 130) << o.status << "\n" << o.out;
    EXPECT_NE(o.out.find("stopped at once"), std::string::npos) << o.out;
    const auto backups = b.Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_NE(o.out.find(backups[0]), std::string::npos) << o.out;
    std::vector<uint8_t> saved;
    std::string error;
    ASSERT_EQ(ReadImageFile(backups[0], &saved, &error), ImageReadStatus::Ok) << error;
    ASSERT_GE(saved.size(), 0x2180u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 0x80, b.block0.begin()));
    EXPECT_TRUE(std::equal(saved.begin() + 0x2000, saved.begin() + 0x2180, b.block0.begin() + 0x2000));
}

// A signal that comes while the monitor download runs whole finds the work done: the last
// line says so, and names the backup of what the monitor took from block 0.
TEST(CliInterrupt, ASignalThatFindsTheWorkDoneSaysItWasDone) {
    Board b;
    const Outcome o = Interrupt(b, {"monitor", "--port", "sim:NX31A32", "--yes"}, kSwitchToStub, 40, SIGTERM);
    EXPECT_EQ(o.status, 143) << o.out;
    const std::string last = LastLine(o.out);
    EXPECT_NE(last.find("interrupted after completion by SIGTERM"), std::string::npos) << o.out;
    EXPECT_EQ(last.find("put back"), std::string::npos) << "nothing was undone: " << last;
    const auto backups = b.Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_NE(last.find(backups[0]), std::string::npos) << last;
}

// Runs `script` under bash with the CLI as $0 and `args` after it; standard error is kept.
test::CliRun Bash(const std::string& script, std::vector<std::string> args, const std::vector<std::string>& env) {
    args.insert(args.begin(), {"/bin/bash", "-c", script, kCli});
    test::ChildProcess p(args, env, true);
    test::CliRun r;
    r.status = p.ReadAll(&r.out);
    return r;
}

// A reader that goes away (`| head`) or a file-size limit on the wire trace never ends a
// procedure that has borrowed block 0: it finishes, and the lost output is the last word,
// with a failure status.
TEST(CliInterrupt, ALostReaderOrAFileSizeLimitLetsTheProcedureFinishAndIsReported) {
    {
        Board b;
        const std::string file = b.dir + "/b1.bin";
        WriteBytes(file, Pattern(48 * 64, 0x40));
        const test::CliRun r = Bash(R"("$0" "$@" | head -c 20 >/dev/null; exit ${PIPESTATUS[0]})",
                                    {"--json", "download", "--port", "sim:NX31A32", "--yes", "--block", "1",
                                     "--start-sector", "16", file},
                                    b.Env());
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("standard output could not be written"), std::string::npos) << r.out;
        EXPECT_EQ(b.Block0(), b.block0);
        EXPECT_TRUE(b.Backups().empty()) << "block 0 was put back";
        const std::vector<uint8_t> block1 = ReadBytes(b.dir + "/sim/sim_NX31A32.block1");
        const std::vector<uint8_t> image = Pattern(48 * 64, 0x40);
        ASSERT_GE(block1.size(), 0x400u + image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), block1.begin() + 0x400)) << "the download finished";
    }
    {
        const test::SimOnPty sim({"--chip", "NX31A16"});
        const std::string dir = test::TempDir();
        const std::string file = dir + "/b0.bin", trace = dir + "/wire.txt";
        WriteBytes(file, Pattern(4096, 0x21));
        const test::CliRun r = Bash(R"(ulimit -f 8; exec "$0" "$@")",
                                    {"download", "--port", sim.pty, "--yes", "--trace-wire", trace, file},
                                    {"XDG_STATE_HOME=" + dir});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("the wire trace " + trace + " is incomplete"), std::string::npos) << r.out;
        EXPECT_LE(std::filesystem::file_size(trace), 8192u);
        std::filesystem::remove_all(dir);
    }
}

// A board that goes silent once the password sector has been erased: the tool gives up after
// one check instead of a time-out for every try of every step, and whatever else went wrong,
// the last line says that the chip may have no password now, how to set one, and where block 0
// went.
TEST(CliPassword, ASilentBoardAfterThePasswordSectorsEraseSaysThePasswordMayBeGone) {
    Board b;
    const std::string file = b.dir + "/new";
    std::ofstream(file) << "new\n";
    const std::vector<std::string> change = {kCli, "password", "change", "--new-password-file", file};
    // Where the erase of the password sector (F040h) goes out, from a clean run's trace.
    size_t erased = 0;
    {
        std::vector<std::string> args = change;
        args.insert(args.end(), {"--port", "sim:NX31A32", "--trace-wire", b.dir + "/clean.txt"});
        test::CliRun clean;
        clean.status = test::ChildProcess(args, b.Env(), true).ReadAll(&clean.out);
        ASSERT_EQ(clean.status, 0) << clean.out;
        const std::vector<uint8_t> sent = HostBytes(b.dir + "/clean.txt");
        const std::vector<uint8_t> erase = {0x0B, 0xF0, 0x40, 0x01};
        const auto at = std::search(sent.begin(), sent.end(), erase.begin(), erase.end());
        ASSERT_NE(at, sent.end());
        erased = static_cast<size_t>(at - sent.begin()) + erase.size();
    }
    Board fresh;
    const std::string trace = fresh.dir + "/wire.txt";
    std::vector<std::string> args = change;
    args.insert(args.end(), {"--port", "sim:NX31A32:1.1F:silent-from=" + std::to_string(erased + 1),
                             "--trace-wire", trace});
    test::CliRun r;
    r.status = test::ChildProcess(args, fresh.Env(), true).ReadAll(&r.out);
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string last = LastLine(r.out);
    EXPECT_NE(last.find("may have no password now"), std::string::npos) << r.out;
    EXPECT_NE(last.find("tessel password set"), std::string::npos) << last;
    const auto backups = fresh.Backups();
    ASSERT_EQ(backups.size(), 1u) << "block 0 could not be put back";
    EXPECT_NE(last.find(backups[0]), std::string::npos) << last;
    // Given up on once: the silence was noticed, and nothing waited for a reply after it.
    std::ifstream in(trace);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("the board has gone silent"), std::string::npos);
}

// Ctrl-C at the password prompt (the chip has refused the empty password): the terminal gets
// its echo back and the run ends with 130.
TEST(CliInterrupt, CtrlCAtThePasswordPromptRestoresEcho) {
    test::ChildProcess sim({test::kSim, "--chip", "NX31H64D", "--password", "s3cret"});
    const std::string port = sim.ReadLine();
    ASSERT_FALSE(port.empty());
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDERR_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(master);
        execl(kCli.c_str(), kCli.c_str(), "read", "--port", port.c_str(), "--chip", "NX31H64D", "--count", "1",
              nullptr);
        _exit(127);
    }
    close(out[1]);
    // The prompt comes on the terminal; echo is off while it waits.
    std::string seen;
    char buf[256];
    for (int i = 0; i < 2000 && seen.find("Password") == std::string::npos; ++i) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(master, &set);
        timeval tv{0, 10000};
        if (select(master + 1, &set, nullptr, nullptr, &tv) > 0) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) seen.append(buf, static_cast<size_t>(n));
        }
    }
    ASSERT_NE(seen.find("Password"), std::string::npos) << seen;
    termios during{};
    for (int i = 0; i < 200; ++i) {
        tcgetattr(slave, &during);
        if (!(during.c_lflag & ECHO)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(during.c_lflag & ECHO);
    kill(pid, SIGINT);
    int status = 0;
    // Generous: a loaded machine (sanitizers, a parallel suite) can take seconds to get there.
    for (int i = 0; i < 6000 && waitpid(pid, &status, WNOHANG) != pid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO);
    close(out[0]);
    close(master);
    close(slave);
}

// The new password is never empty by accident.
TEST(CliPassword, AnEmptyNewPasswordOrNoPasswordBesideASourceIsABadOption) {
    const std::string dir = TempDir();
    std::ofstream(dir + "/empty") << "\n";
    std::ofstream(dir + "/new") << "n\n";
    auto run = [&](std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), kCli);
        test::ChildProcess p(args, env);
        std::string line;
        while (!(line = p.ReadLine()).empty()) {
        }
        return p.Stop(0);
    };
    const std::string port = "sim:NX31A16";
    EXPECT_EQ(run({"password", "change", "--port", port, "--new-password-file", dir + "/empty"}), 2);
    EXPECT_EQ(run({"password", "set", "--port", port, "--yes"}, {"TESSEL_NEW_PASSWORD="}), 2);
    EXPECT_EQ(run({"password", "set", "--port", port, "--yes", "--no-password", "--new-password-file", dir + "/new"}), 2);
    EXPECT_EQ(run({"password", "set", "--port", port, "--yes", "--no-password"}, {"TESSEL_NEW_PASSWORD=n"}), 2);
    EXPECT_EQ(run({"password", "set", "--port", port, "--yes", "--no-password"}), 0) << "asked for explicitly";
    EXPECT_EQ(run({"password", "change", "--port", port, "--new-password-file", dir + "/new"}), 0);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessel
