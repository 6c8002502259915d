#include "sim/ReplayBoard.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

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

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t at = line.find_first_not_of(" \t"); at != std::string_view::npos;
         at = line.find_first_not_of(" \t", at)) {
        const size_t end = std::min(line.find_first_of(" \t", at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

// "ms" or "ms.uuu", as the trace writes its times.
bool ParseStamp(std::string_view stamp, uint64_t* us) {
    const auto number = [](std::string_view digits, uint64_t* out) {
        const char* end = digits.data() + digits.size();
        const auto [ptr, ec] = std::from_chars(digits.data(), end, *out);
        return !digits.empty() && ec == std::errc{} && ptr == end;
    };
    const size_t dot = stamp.find('.');
    uint64_t ms = 0, part = 0;
    if (!number(stamp.substr(0, dot), &ms) || ms >= UINT64_MAX / 1000) return false;
    if (dot != std::string_view::npos && (stamp.size() - dot != 4 || !number(stamp.substr(dot + 1), &part)))
        return false;
    *us = ms * 1000 + part;
    return true;
}

}  // namespace

bool ReadWireTrace(const std::string& path, std::vector<TraceRecord>* records, std::string* error) {
    std::string text;
    if (!ReadSmallFile(path, kMaxTraceBytes, &text, error)) return false;
    records->clear();
    const auto refuse = [&](int number, const std::string& why) {
        *error = path + ": line " + std::to_string(number) + ": " + why;
        return false;
    };
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        // A line ends at LF, CRLF or a lone CR: a trace that went through an editor or a mail
        // program of another system is the same trace, with the lines that editor shows.
        const size_t end = std::min(text.find_first_of("\r\n", at), text.size());
        const std::string_view line(text.data() + at, end - at);
        at = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++number;
        const std::vector<std::string_view> fields = Fields(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        TraceRecord r;
        if (fields.size() < 2 || !ParseStamp(fields[0], &r.us) || fields[1].size() != 1 ||
            std::string_view("<>!").find(fields[1][0]) == std::string_view::npos)
            return refuse(number, "not a wire trace line");
        r.direction = fields[1][0];
        if (r.direction == '!') continue;  // opening, modem lines, purges: nothing the board sees as bytes
        // The tool never writes a direction without its bytes: such a line was cut short.
        if (fields.size() == 2) return refuse(number, std::string("no bytes after '") + r.direction + "'");
        for (size_t i = 2; i < fields.size(); ++i) {
            const std::string_view hex = fields[i];
            uint8_t value = 0;
            if (hex.size() != 2 || std::from_chars(hex.data(), hex.data() + 2, value, 16).ptr != hex.data() + 2)
                return refuse(number, std::string(1, '"').append(hex).append("\" is not a byte"));
            r.bytes.push_back(value);
        }
        records->push_back(std::move(r));
    }
    if (records->empty()) {
        *error = path + ": not one byte went either way in it; there is nothing to replay";
        return false;
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
