#include "Interrupt.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "device/StopRequest.h"
#include "serial/WireTrace.h"
#include "ui/MessageAdvice.h"

namespace tessel::cli {

namespace {

std::atomic<int> gSignal{0};
// Every open session's stop request: boards run side by side each have one, and a signal must
// reach all of them. Fixed slots, because the handler may not allocate or lock.
constexpr size_t kWatchSlots = 256;
std::atomic<StopRequest*> gStops[kWatchSlots];
termios gTerminal{};
std::atomic<bool> gTerminalSaved{false};

// Filled as each session ends (one per board side by side), read once the command has ended.
struct Interrupted {
    std::string port, notes;
    std::vector<std::string> backups;
};
std::mutex gRecordMutex;
std::vector<Interrupted> gRecords;
std::vector<std::string> gBackups;

// Only write(2) from here on: a second signal may arrive anywhere, even inside malloc.
void Put(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    while (n > 0) {
        const ssize_t w = write(STDOUT_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

extern "C" void OnSignal(int sig) {
    int none = 0;
    if (gSignal.compare_exchange_strong(none, sig)) {
        // The first signal only asks: the command stops where it safely can.
        for (auto& slot : gStops)
            if (StopRequest* stop = slot.load()) stop->Request();
        return;
    }
    // The second one does not wait for the safe point.
    if (gTerminalSaved.load()) tcsetattr(STDIN_FILENO, TCSANOW, &gTerminal);
    Put("tessel: stopped at once by a second signal; the chip may be left part-way through its command");
    bool named = false;
    for (auto& slot : gStops) {
        const StopRequest* stop = slot.load();
        const char* backups = stop ? stop->BackupText() : "";
        if (backups[0] == '\0') continue;
        Put(named ? ", " : "; the data it was to put back is in ");
        Put(backups);
        named = true;
    }
    Put("\n");
    _exit(InterruptExitCode(sig));
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGQUIT: return "SIGQUIT";
        default: return "a signal";
    }
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read from the terminal (a password prompt, a question) returns with
    // EINTR, so that the prompt can put the terminal back and give up.
    sa.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    // A reader that went away (`| head`) or a file-size limit must not end a procedure that
    // has borrowed block 0: the write fails instead, and the failure is reported at the end.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int sig : {SIGPIPE, SIGXFSZ}) sigaction(sig, &ignore, nullptr);
}

void WatchStopRequest(StopRequest* stop) {
    for (auto& slot : gStops) {
        StopRequest* empty = nullptr;
        if (slot.compare_exchange_strong(empty, stop)) break;
    }
    // A signal that came before the session existed still stops its work.
    if (gSignal.load() != 0) stop->Request();
}

void UnwatchStopRequest(StopRequest* stop) {
    for (auto& slot : gStops) {
        StopRequest* mine = stop;
        if (slot.compare_exchange_strong(mine, nullptr)) break;
    }
}

int InterruptSignal() { return gSignal.load(); }

int InterruptExitCode(int signal) { return 128 + signal; }

void RecordInterruption(const StopRequest& stop, const std::string& port) {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    gRecords.push_back({port, stop.Notes(), stop.Backups()});
}

void RecordBackups(const std::vector<std::string>& backups) {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    for (const std::string& b : backups)
        if (std::find(gBackups.begin(), gBackups.end(), b) == gBackups.end()) gBackups.push_back(b);
}

std::vector<std::string> RecordedBackups() {
    std::lock_guard<std::mutex> lock(gRecordMutex);
    return gBackups;
}

std::string InterruptionLine(const std::string& completed) {
    const int sig = gSignal.load();
    // The stop came when nothing was left to stop: the work is done, and the notes of the
    // recovery would only suggest it was undone.
    if (!completed.empty())
        return std::string("tessel: interrupted after completion by ") + SignalName(sig) + ": " + completed;
    std::string line = std::string("tessel: interrupted by ") + SignalName(sig) + ": ";
    std::lock_guard<std::mutex> lock(gRecordMutex);
    std::string notes;
    std::vector<std::string> backups;
    for (const Interrupted& r : gRecords) {
        if (!r.notes.empty()) {
            // With boards side by side, each board's notes say which board they are about.
            if (!notes.empty()) notes += "; ";
            notes += gRecords.size() > 1 ? r.port + ": " + r.notes : r.notes;
        }
        backups.insert(backups.end(), r.backups.begin(), r.backups.end());
    }
    line += notes.empty() ? "no command was part-way through its work" : notes;
    return line + BackupsClause(backups);
}

std::string LostWrites() {
    std::string lost = WireTrace::LostWrites();
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
        const int err = errno;
        if (!lost.empty()) lost += "; ";
        lost += std::string("standard output could not be written") +
                (err != 0 ? std::string(" (") + std::strerror(err) + ")" : std::string()) +
                ", so part of the output is missing";
    }
    return lost;
}

bool WaitForInputLine() {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    while (gSignal.load() == 0) {
        const int n = poll(&in, 1, 100);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
    return false;
}

void RememberTerminal(const void* settings) {
    if (!settings) {
        gTerminalSaved.store(false);
        return;
    }
    gTerminalSaved.store(false);
    gTerminal = *static_cast<const termios*>(settings);
    gTerminalSaved.store(true);
}

}  // namespace tessel::cli
