#pragma once
// A board that answers as a recorded one did: it reads a wire trace written by --trace-wire,
// follows the host's bytes through it and sends the recorded replies with the recorded gaps.
// A user's trace of a failing session thereby becomes a board that anyone can run the tool
// against.
//
// The host's bytes are matched in order, with the slack that a second run of the same
// session needs: a record the host repeated while it waited for an answer (the baud-detect
// string, a 1.1E prompt's idle answer) may be sent fewer or more times than recorded. Any
// other difference ends the replay: the board reports where the host left the trace and goes
// silent, as a confused board would.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VirtualLine.h"

namespace tessel::sim {

struct TraceRecord {
    uint64_t us = 0;  // the trace's own time stamp
    char direction = '!';  // '>' host to target, '<' target to host, '!' a line event
    std::vector<uint8_t> bytes;
};

// Reads a --trace-wire file; false with *error naming the file and line when it is not one.
bool ReadWireTrace(const std::string& path, std::vector<TraceRecord>* records, std::string* error);

class ReplayBoard : public LinePeer {
public:
    explicit ReplayBoard(std::vector<TraceRecord> records);

    void OnHostByte(VirtualLine& line, uint8_t byte, uint64_t at, uint32_t hostBaud) override;
    void OnLinesChanged(VirtualLine&, bool, bool, uint64_t) override {}
    uint64_t NextTimer() override;
    void OnTimer(VirtualLine& line, uint64_t at) override;

    // Told once: the host left the trace ("replay: host differs at byte N ..."), or the host
    // has sent every recorded byte and every reply is out ("replay: the whole trace was played").
    void SetReporter(std::function<void(const std::string&)> reporter);

    bool Diverged() const;
    // Host bytes matched so far.
    uint64_t HostBytes() const;

private:
    struct Pending {
        uint64_t at;
        std::vector<uint8_t> bytes;
    };

    const TraceRecord* Expected() const;
    bool IsRepeat(size_t index) const;
    bool StartsRecord(size_t index, uint8_t byte) const;
    void RecordDone(uint64_t at);
    void Diverge(uint8_t byte, uint64_t at);
    void Report(const std::string& text);

    mutable std::mutex mutex_;
    std::vector<TraceRecord> records_;  // line events left out
    size_t next_ = 0;                   // the record the host is expected to send (or be sent)
    size_t offset_ = 0;                 // bytes of it already matched
    size_t lastHost_ = SIZE_MAX;        // the last host record matched in full
    std::vector<uint8_t> absorbing_;    // the host repeats lastHost_: bytes of it still to come
    std::deque<Pending> pending_;
    uint64_t lastPromptAt_ = 0;         // when a lone 1.1E prompt went out that is still unanswered
    uint32_t baud_ = 9600;
    uint64_t hostBytes_ = 0;
    bool leadingUnplaced_ = false;      // pending_ holds gaps, not times, until the line first runs
    bool diverged_ = false;
    bool finishedReported_ = false;
    std::function<void(const std::string&)> reporter_;
};

}  // namespace tessel::sim
