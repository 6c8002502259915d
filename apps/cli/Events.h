#pragma once
// One stream of events for everything a run of `tessel` reports: the operations the core
// drives the progress bar through, its messages and questions, the chip it detected, the
// command line's own advice, and the result. The console and the JSON lines are two views
// of the same stream, so that both always tell the same story.

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/Progress.h"
#include "commands/Target.h"

namespace tessel::cli {

// One operation of the core with its own bar ("Erasing", "Writing", ...).
struct Phase {
    std::string label;
    int steps = 0;
    int done = 0;
    uint32_t stepBytes = 0;  // 0: a step is a sector
    uint64_t totalBytes = 0;  // when the last step is shorter; else steps x stepBytes
    double seconds = 0;
    bool ok = true;
    std::optional<Failure> failure;

    // The bytes (or sectors) the operation covers and those done, a shorter last step counted.
    long long Total() const {
        return totalBytes ? static_cast<long long>(totalBytes)
                          : static_cast<long long>(steps) * (stepBytes ? stepBytes : 1);
    }
    long long Done() const {
        return std::min(static_cast<long long>(done) * (stepBytes ? stepBytes : 1), Total());
    }
    int Percent() const { return steps > 0 ? static_cast<int>(static_cast<long long>(done) * 100 / steps) : 100; }
};

// The chip information as the detection left it.
struct ChipReport {
    std::string port;
    std::string model;
    std::string modelSource = "reported";  // "reported", "chosen" or "assumed"
    std::string firmware;
    std::string flashSize;
    std::string remap;
    std::string memMode;
    std::string security;
    int lockStatus = 0;
    uint32_t baud = 0;
    std::optional<bool> doubleClock;  // the H/L chips' double-clock bit
    // A person asked to see it (detect, and the commands that change what it shows).
    bool show = false;
};

// What follows a chip type that the loader did not report: " (chosen, not reported by the
// loader)"; nothing for a reported one.
std::string ModelNote(const std::string& source);

// How a command ended: the one line a person reads, and the figures a machine reads.
struct CommandResult {
    std::string command;
    bool ok = false;
    int exit = 0;
    std::string summary;
    std::string status;  // the "IAP Status:" line the command set, if any
    nlohmann::json fields = nlohmann::json::object();
};

enum class AnswerSource { Option, Terminal, NoTerminal };

class EventView {
public:
    virtual ~EventView() = default;
    virtual void PhaseStarted(const Phase&) {}
    virtual void PhaseProgress(const Phase&) {}
    virtual void PhaseEnded(const Phase&) {}
    // A progress text that belongs to no measured operation ("Password Verify").
    virtual void Label(const std::string&) {}
    virtual void Message(const std::string&) {}
    virtual void Question(const std::string&, bool /*answer*/, AnswerSource) {}
    // The "IAP Status:" line as the command set it.
    virtual void Status(const std::string&) {}
    // The command line's own advice; `waitSeconds` when it announces a wait.
    virtual void Notice(const std::string&, int /*waitSeconds*/) {}
    virtual void StopWaiting() {}
    virtual void Error(const std::string&) {}
    // A debug trace of the core (--verbose): for people only.
    virtual void Trace(const std::string&) {}
    virtual void Chip(const ChipReport&) {}
    // The data a command was asked for (a sector list, a dump, bytes).
    virtual void Output(const std::string&) {}
    virtual void Result(const CommandResult&) {}
};

class EventStream : public TargetObserver {
public:
    EventStream();

    void AddView(std::unique_ptr<EventView> view) { views_.push_back(std::move(view)); }

    // Becomes the window's observer: its progress bar becomes phases, its "IAP Status:"
    // line status events.
    void Watch(Target* window);
    void OnChanged(Change what) override;

    void Message(const std::string& text);
    void Question(const std::string& text, bool answer, AnswerSource source);
    void Notice(const std::string& text, int waitSeconds = 0);
    void Error(const std::string& text);
    void Trace(const std::string& text);
    void Chip(const ChipReport& chip);
    void Output(const std::string& text);
    void Result(const CommandResult& result);
    // Ends a countdown before someone else writes to the terminal.
    void StopWaiting() {
        Each([](EventView& v) { v.StopWaiting(); });
    }

    // The detection is over and the command proper begins: what the detection put on the
    // "IAP Status:" line is not the command's.
    void CommandBegins() { commandStatus_.clear(); }
    // What the command itself set the "IAP Status:" line to in this run (empty: nothing,
    // or only the password gate's success).
    const std::string& CommandStatus() const { return commandStatus_; }
    // The phases so far, in order; the last failure seen in any of them.
    const std::vector<Phase>& Phases() const { return phases_; }
    std::optional<Failure> LastFailure() const;
    double Seconds() const;
    bool ResultSent() const { return resultSent_; }
    // The last error reported in this run, for a result line that has nothing better.
    const std::string& LastError() const { return lastError_; }
    // An error the run's result line will carry, so that it is said once, not twice.
    void NoteError(const std::string& text) { lastError_ = text; }
    // A question was answered No in this run.
    bool Declined() const { return declined_; }
    // What the last detection of this run found.
    const std::optional<ChipReport>& LastChip() const { return lastChip_; }

private:
    template <typename F>
    void Each(F f) {
        for (auto& v : views_) f(*v);
    }
    // The events that print end a terminal countdown first.
    template <class F>
    void EachEndingWait(F f) {
        Each([&](EventView& v) {
            v.StopWaiting();
            f(v);
        });
    }
    void OnProgress();
    void EndPhase(bool ok);

    std::vector<std::unique_ptr<EventView>> views_;
    Target* target_ = nullptr;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point phaseStart_;
    std::vector<Phase> phases_;
    bool inPhase_ = false;
    int operation_ = 0;  // the window's operation counter last seen
    bool pendingStart_ = false;
    std::string label_;
    int lastPercent_ = -1;
    std::string status_;
    std::string commandStatus_;
    bool resultSent_ = false;
    bool declined_ = false;
    std::string lastError_;
    std::optional<ChipReport> lastChip_;
};

}  // namespace tessel::cli
