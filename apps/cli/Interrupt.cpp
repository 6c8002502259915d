#include "Interrupt.h"

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "device/StopRequest.h"
#include "platform/Console.h"
#include "serial/WireTrace.h"
#include "commands/MessageAdvice.h"

namespace tessel::cli {

namespace {

std::atomic<int> gSignal{0};
// Every open session's stop request: boards run side by side each have one, and a signal must
// reach all of them. Fixed slots, because the handler may not allocate or lock.
constexpr size_t kWatchSlots = 256;
std::atomic<StopRequest*> gStops[kWatchSlots];

// Filled as each session ends (one per board side by side), read once the command has ended.
struct Interrupted {
    std::string port, notes;
    std::vector<std::string> backups;
};
std::mutex gRecordMutex;
std::vector<Interrupted> gRecords;
std::vector<std::string> gBackups;

// Only console::WriteRaw from here on: a second request may arrive anywhere, even inside
// malloc.
void OnStop(int sig) {
    int none = 0;
    if (gSignal.compare_exchange_strong(none, sig)) {
        // The first signal only asks: the command stops where it safely can.
        for (auto& slot : gStops)
            if (StopRequest* stop = slot.load()) stop->Request();
        return;
    }
    // The second one does not wait for the safe point.
    console::RestoreInputEcho();
    console::WriteRaw("tessel: stopped at once by a second signal; the chip may be left part-way through its command");
    bool named = false;
    for (auto& slot : gStops) {
        const StopRequest* stop = slot.load();
        const char* backups = stop ? stop->BackupText() : "";
        if (backups[0] == '\0') continue;
        console::WriteRaw(named ? ", " : "; the data it was to put back is in ");
        console::WriteRaw(backups);
        named = true;
    }
    console::WriteRaw("\n");
    console::ExitNow(InterruptExitCode(sig));
}

}  // namespace

void InstallInterruptHandlers() { console::InstallStopHandler(OnStop); }

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
        return std::string("tessel: interrupted after completion by ") + console::StopName(sig) + ": " + completed;
    std::string line = std::string("tessel: interrupted by ") + console::StopName(sig) + ": ";
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
    while (gSignal.load() == 0) {
        const int n = console::WaitForInput(100);
        if (n > 0) return true;
        if (n < 0) return false;
    }
    return false;
}

}  // namespace tessel::cli
