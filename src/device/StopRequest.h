#pragma once
// The operator's request to stop what the session is doing: a signal at the terminal, the
// desktop window being closed, a Stop button. It is one flag that anything may raise, even a
// signal handler, and that the work looks at only where stopping leaves the chip in a state
// that can be told: a plain read, erase or program between two chunks, a multi-step procedure
// between two steps. A procedure holds the request off while a step must finish whole, and
// then runs its own recovery (leave the window, put block 0 back) before it ends.
//
// What the stop left behind is written down as it happens, so that the last line of the run
// can say what was done, what was not, and which backup files hold the operator's data.

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace tessel {

class StopRequest {
public:
    StopRequest() = default;
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // Safe in a signal handler: one lock-free store.
    void Request() noexcept { requested_.store(true); }
    bool Requested() const noexcept { return requested_.load(); }
    // Ready for the next command: the request and the notes go, live backups stay listed.
    void Clear();

    // Whether a plain transfer should stop before its next chunk: requested, and no
    // procedure holds the request off.
    bool Due() const noexcept { return requested_.load() && held_.load() == 0; }
    // The same for writes into block 1's boot area, which may also be the boot loader itself:
    // they stop only where a procedure explicitly let the request through (Release).
    bool DueInBootArea() const noexcept { return Due() && released_.load() > 0; }

    // While one lives, plain transfers finish; the procedure that made it checks Requested()
    // between its steps.
    class Hold {
    public:
        explicit Hold(StopRequest& r) : r_(r) { ++r_.held_; }
        ~Hold() { --r_.held_; }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        StopRequest& r_;
    };
    // Inside a Hold, a stretch of plain transfer that may stop between chunks after all (the
    // user's data in block 1, say), because the procedure's recovery runs afterwards anyway.
    class Release {
    public:
        explicit Release(StopRequest& r) : r_(r), held_(r.held_.exchange(0)) { ++r_.released_; }
        ~Release() {
            --r_.released_;
            r_.held_ += held_;
        }
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;

    private:
        StopRequest& r_;
        int held_;
    };

    // Adds one clause to what the stop left behind ("writing stopped after 3 of 8 chunks").
    // Only the command thread writes notes; a front end reads them after the command ended.
    void Note(const std::string& clause);
    // The same for a clause that says the operator's data was left off the chip ("block 0's
    // areas ... were not put back"): the stop's report is then an error, not a warning.
    void NoteLoss(const std::string& clause);
    bool LeftDataOff() const { return leftDataOff_; }
    // The clauses in order, joined by "; "; empty when nothing was stopped.
    std::string Notes() const;
    // The work did stop on the request: its failure is the stop, which the stop's report
    // tells, so no failure message of its own is shown.
    bool Stopped() const { return Requested() && !Notes().empty(); }

    // A backup file that holds operator data not yet put back; named if the run ends now.
    void KeepBackup(const std::string& path);
    // The data is back on the chip (or the file was removed).
    void DropBackup(const std::string& path);
    std::vector<std::string> Backups() const;
    // The live backups as one text ("" when none), readable from a signal handler: it is
    // rebuilt into a fixed buffer whenever the list changes, and never freed.
    const char* BackupText() const noexcept { return buffers_[current_.load()]; }

private:
    void Publish();

    std::atomic<bool> requested_{false};
    std::atomic<int> held_{0};
    std::atomic<int> released_{0};
    std::vector<std::string> notes_;
    bool leftDataOff_ = false;
    std::vector<std::string> backups_;
    static constexpr size_t kTextSize = 2048;
    char buffers_[2][kTextSize] = {{0}, {0}};
    std::atomic<int> current_{0};
};

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler raises the request");

}  // namespace tessel
