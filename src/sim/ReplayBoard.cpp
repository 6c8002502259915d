#include "sim/ReplayBoard.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "platform/Clock.h"
#include "platform/SafeFile.h"

namespace tessel::sim {

namespace {

constexpr uint8_t kPrompt = 0xF7;
constexpr uint8_t kIdleAnswer = 0x61;
// A 1.1E loader prompts again this often while nobody answers.
constexpr uint64_t kPromptRepeatUs = 50000;

std::string Hex2(uint8_t b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

bool LonePrompt(const TraceRecord& r) { return r.direction == '<' && r.bytes == std::vector<uint8_t>{kPrompt}; }
bool IdleAnswer(const TraceRecord& r) {
    return r.direction == '>' && r.bytes == std::vector<uint8_t>{kIdleAnswer};
}

// The longest session the tool runs (a 64 KB read and verify, a byte a line) traces to a few
// MB; anything much larger is no trace, and must not fill the memory as /dev/zero would.
constexpr size_t kMaxTraceBytes = 64u << 20;

}  // namespace

bool ReadWireTrace(const std::string& path, std::vector<TraceRecord>* records, std::string* error) {
    std::string text;
    if (!ReadSmallFile(path, kMaxTraceBytes, &text, error)) return false;
    std::istringstream in(text);
    records->clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string stamp;
        char direction = 0;
        fields >> stamp >> direction;
        const size_t dot = stamp.find('.');
        TraceRecord r;
        try {
            r.us = std::stoull(stamp.substr(0, dot)) * 1000 + (dot == std::string::npos ? 0 : std::stoull(stamp.substr(dot + 1)));
        } catch (const std::exception&) {
            direction = 0;
        }
        if (direction != '>' && direction != '<' && direction != '!') {
            *error = path + ": line " + std::to_string(number) + ": not a wire trace line";
            return false;
        }
        r.direction = direction;
        if (direction == '!') continue;  // opening, modem lines, purges: nothing the board sees as bytes
        std::string hex;
        while (fields >> hex) {
            unsigned value = 0;
            if (hex.size() != 2 || std::sscanf(hex.c_str(), "%2x", &value) != 1) {
                *error = path + ": line " + std::to_string(number) + ": \"" + hex + "\" is not a byte";
                return false;
            }
            r.bytes.push_back(static_cast<uint8_t>(value));
        }
        if (!r.bytes.empty()) records->push_back(std::move(r));
    }
    return true;
}

ReplayBoard::ReplayBoard(std::vector<TraceRecord> records) : records_(std::move(records)) {
    // Replies recorded before the host's first byte (a 1.1E loader prompts at once) go out as
    // soon as the line runs, with their gaps; they are placed on the line's clock then.
    uint64_t previous = records_.empty() ? 0 : records_.front().us;
    for (; next_ < records_.size() && records_[next_].direction == '<'; ++next_) {
        pending_.push_back({records_[next_].us - previous, records_[next_].bytes});
        previous = records_[next_].us;
    }
    leadingUnplaced_ = !pending_.empty();
}

void ReplayBoard::SetReporter(std::function<void(const std::string&)> reporter) {
    std::lock_guard<std::mutex> lock(mutex_);
    reporter_ = std::move(reporter);
}

bool ReplayBoard::Diverged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return diverged_;
}

bool ReplayBoard::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !diverged_ && next_ >= records_.size() && pending_.empty();
}

uint64_t ReplayBoard::HostBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostBytes_;
}

void ReplayBoard::Report(const std::string& text) {
    if (reporter_) reporter_(text);
}

const TraceRecord* ReplayBoard::Expected() const { return next_ < records_.size() ? &records_[next_] : nullptr; }

// A host record that only repeats the one before it, with no reply in between: the host was
// waiting, and a second run may wait less or more.
bool ReplayBoard::IsRepeat(size_t index) const {
    if (index >= records_.size() || records_[index].direction != '>' || records_[index].bytes.size() < 2) return false;
    for (size_t j = index; j-- > 0;) {
        if (records_[j].direction == '<') return false;
        return records_[j].bytes == records_[index].bytes;
    }
    return false;
}

bool ReplayBoard::StartsRecord(size_t index, uint8_t byte) const {
    return index < records_.size() && records_[index].direction == '>' && records_[index].bytes.front() == byte;
}

// A host record is complete: the replies recorded after it are due, each after its recorded
// gap. The gaps were measured where the tool reads, after the bytes crossed the wire, so the
// wire time is taken off them.
void ReplayBoard::RecordDone(uint64_t at) {
    lastHost_ = next_;
    uint64_t previous = records_[next_].us;
    uint64_t when = at;
    offset_ = 0;
    ++next_;
    const double byteUs = VirtualLine::ByteTimeUs(baud_);
    for (; next_ < records_.size() && records_[next_].direction == '<'; ++next_) {
        const TraceRecord& r = records_[next_];
        const uint64_t wire = static_cast<uint64_t>(byteUs * static_cast<double>(r.bytes.size() + 1));
        const uint64_t gap = r.us > previous ? r.us - previous : 0;
        when += gap > wire ? gap - wire : 0;
        pending_.push_back({when, r.bytes});
        previous = r.us;
    }
}

void ReplayBoard::Diverge(uint8_t byte, uint64_t) {
    diverged_ = true;
    pending_.clear();
    const TraceRecord* e = Expected();
    const uint64_t origin = records_.empty() ? 0 : records_.front().us;
    std::string text = "replay: host differs at byte " + std::to_string(hostBytes_) + " (t=";
    char stamp[32];
    const uint64_t us = (e ? e->us : records_.empty() ? 0 : records_.back().us) - origin;
    std::snprintf(stamp, sizeof stamp, "%llu.%03llu ms", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    text += stamp;
    text += "): sent " + Hex2(byte) + ", recorded ";
    if (!e) text += "nothing more (the trace has ended)";
    else if (e->direction == '<') text += "a reply still to come";
    else text += Hex2(e->bytes[offset_]);
    Report(text);
}

void ReplayBoard::OnHostByte(VirtualLine&, uint8_t byte, uint64_t at, uint32_t hostBaud) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (diverged_) return;
    baud_ = hostBaud;
    ++hostBytes_;
    lastPromptAt_ = 0;
    if (!absorbing_.empty()) {
        if (absorbing_.front() == byte) {
            absorbing_.erase(absorbing_.begin());
            return;
        }
        absorbing_.clear();
    }
    if (offset_ == 0) {
        // The host sends something other than the record due: perhaps it waited less than
        // the recorded run (repeats left out, idle answers to prompts it no longer needed).
        if (!StartsRecord(next_, byte)) {
            size_t skip = next_;
            while (true) {
                if (IsRepeat(skip)) ++skip;
                else if (skip < records_.size() && IdleAnswer(records_[skip]) && skip + 1 < records_.size() &&
                         LonePrompt(records_[skip + 1]))
                    skip += 2;
                else break;
            }
            if (skip != next_ && StartsRecord(skip, byte)) {
                next_ = skip;
            } else if (lastHost_ != SIZE_MAX && records_[lastHost_].bytes.size() >= 2 &&
                       records_[lastHost_].bytes.front() == byte) {
                // ... or it waited longer, repeating what it sent last.
                absorbing_.assign(records_[lastHost_].bytes.begin() + 1, records_[lastHost_].bytes.end());
                return;
            } else if (byte == kIdleAnswer && lastHost_ != SIZE_MAX && next_ > 0 && LonePrompt(records_[next_ - 1])) {
                // An idle answer to a prompt the recorded host answered with its command: the
                // loader prompts again.
                lastPromptAt_ = at;
                return;
            } else {
                Diverge(byte, at);
                return;
            }
        }
    }
    const TraceRecord* e = Expected();
    if (!e || e->direction != '>' || e->bytes[offset_] != byte) {
        Diverge(byte, at);
        return;
    }
    if (++offset_ == e->bytes.size()) RecordDone(at);
}

uint64_t ReplayBoard::NextTimer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (diverged_) return UINT64_MAX;
    if (leadingUnplaced_) return 0;
    uint64_t next = pending_.empty() ? UINT64_MAX : pending_.front().at;
    if (lastPromptAt_) next = std::min(next, lastPromptAt_ + kPromptRepeatUs);
    if (pending_.empty() && next_ >= records_.size() && !finishedReported_) next = 0;
    return next;
}

void ReplayBoard::OnTimer(VirtualLine& line, uint64_t at) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (diverged_) return;
    if (leadingUnplaced_) {
        leadingUnplaced_ = false;
        uint64_t when = std::max(at, line.LineClock().NowUs());
        for (Pending& p : pending_) p.at = when += p.at;
    }
    while (!pending_.empty() && pending_.front().at <= at) {
        const Pending p = std::move(pending_.front());
        pending_.pop_front();
        line.PeerSend(p.bytes.data(), p.bytes.size(), p.at, line.HostBaud());
        // A lone prompt that the host is to answer is repeated until it does, as the 1.1E
        // loader repeats it: the host may have purged the first one.
        if (p.bytes == std::vector<uint8_t>{kPrompt} && pending_.empty() && next_ < records_.size() &&
            records_[next_].direction == '>')
            lastPromptAt_ = p.at;
    }
    if (lastPromptAt_ && at >= lastPromptAt_ + kPromptRepeatUs) {
        line.PeerSend(kPrompt, at, line.HostBaud());
        lastPromptAt_ = at;
    }
    if (pending_.empty() && next_ >= records_.size() && !finishedReported_) {
        finishedReported_ = true;
        Report("replay: the whole trace was played (" + std::to_string(hostBytes_) + " host bytes)");
    }
}

}  // namespace tessel::sim
