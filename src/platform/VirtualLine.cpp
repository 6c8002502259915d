#include "platform/VirtualLine.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Clock.h"

namespace tessel {

namespace {
uint64_t CeilUs(double t) { return static_cast<uint64_t>(std::ceil(t - 1e-9)); }
}  // namespace

void ActivityLog::Add(double start, double end) {
    if (end <= start) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Bytes back to back and waits that follow them arrive in order: most spans extend the last.
    if (!spans_.empty() && start <= spans_.back().second && end >= spans_.back().first) {
        spans_.back().first = std::min(spans_.back().first, start);
        spans_.back().second = std::max(spans_.back().second, end);
        return;
    }
    spans_.emplace_back(start, end);
}

double ActivityLog::UnionUs(double from, double to) const {
    std::vector<std::pair<double, double>> spans;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spans = spans_;
    }
    std::sort(spans.begin(), spans.end());
    double total = 0, coveredTo = from;
    for (auto [s, e] : spans) {
        s = std::max(s, coveredTo);
        e = std::min(e, to);
        if (e > s) {
            total += e - s;
            coveredTo = e;
        }
    }
    return total;
}

void VirtualLine::SetActivityLog(std::shared_ptr<ActivityLog> log) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    activity_ = std::move(log);
}

VirtualLine::VirtualLine(Clock& clock, std::string name) : clock_(clock), name_(std::move(name)) {}

VirtualLine::~VirtualLine() = default;

double VirtualLine::ByteTimeUs(uint32_t baud) { return baud ? 10.0e6 / baud : 0.0; }

void VirtualLine::AttachPeer(std::shared_ptr<LinePeer> peer) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    peer_ = std::move(peer);
}

uint64_t VirtualLine::NextEventLocked() {
    uint64_t next = std::numeric_limits<uint64_t>::max();
    if (!towardsPeer_.empty()) next = CeilUs(towardsPeer_.front().at);
    if (peer_) next = std::min(next, peer_->NextTimer());
    return next;
}

void VirtualLine::PlayOutLocked(uint64_t now) {
    // Host bytes and peer timers are played strictly in time order, so that a reply the
    // peer schedules from a byte is placed after everything that happened before it.
    for (;;) {
        const double byteAt = towardsPeer_.empty() ? std::numeric_limits<double>::infinity()
                                                   : towardsPeer_.front().at;
        const uint64_t timerAt = peer_ ? peer_->NextTimer() : std::numeric_limits<uint64_t>::max();
        const bool byteDue = byteAt <= static_cast<double>(now);
        const bool timerDue = timerAt <= now;
        if (!byteDue && !timerDue) return;
        if (byteDue && (!timerDue || byteAt <= static_cast<double>(timerAt))) {
            TimedByte b = towardsPeer_.front();
            towardsPeer_.pop_front();
            if (peer_) peer_->OnHostByte(*this, b.byte, CeilUs(b.at), b.baud);
        } else {
            peer_->OnTimer(*this, timerAt);
        }
    }
}

bool VirtualLine::Configure(const LineSettings& settings) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    PlayOutLocked(clock_.NowUs());
    settings_ = settings;
    return true;
}

LineResult VirtualLine::SetDtr(bool high) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    dtr_ = high;
    if (peer_) peer_->OnLinesChanged(*this, dtr_, rts_, now);
    return LineResult::Ok;
}

LineResult VirtualLine::SetRts(bool high) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    rts_ = high;
    if (peer_) peer_->OnLinesChanged(*this, dtr_, rts_, now);
    return LineResult::Ok;
}

size_t VirtualLine::InputCount() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    size_t n = 0;
    for (const auto& b : towardsHost_) {
        if (b.at > static_cast<double>(now)) break;
        ++n;
    }
    return n;
}

size_t VirtualLine::OutputCount() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    PlayOutLocked(clock_.NowUs());
    return towardsPeer_.size();
}

size_t VirtualLine::PendingTowardsPeer() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return towardsPeer_.size();
}

bool VirtualLine::WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) {
    wakeRequested_ = false;
    for (;;) {
        uint64_t until;
        {
            std::lock_guard<std::recursive_mutex> lock(mutex_);
            const uint64_t now = clock_.NowUs();
            PlayOutLocked(now);
            if (!towardsHost_.empty() && towardsHost_.front().at <= static_cast<double>(now))
                return true;
            if (now >= deadline) return false;
            until = deadline;
            if (!towardsHost_.empty()) until = std::min(until, CeilUs(towardsHost_.front().at));
            until = std::min(until, NextEventLocked());
            if (until <= now) until = now + 1;
        }
        if ((cancel && cancel->load()) || wakeRequested_.exchange(false)) return false;
        clock_.SleepUntilUs(until, cancel);
        if ((cancel && cancel->load()) || wakeRequested_.exchange(false)) return false;
    }
}

bool VirtualLine::WaitOutputEmpty(uint64_t deadline) {
    for (;;) {
        uint64_t until;
        {
            std::lock_guard<std::recursive_mutex> lock(mutex_);
            const uint64_t now = clock_.NowUs();
            PlayOutLocked(now);
            if (towardsPeer_.empty()) return true;
            if (now >= deadline) return false;
            until = std::min(deadline, CeilUs(towardsPeer_.back().at));
            if (until <= now) until = now + 1;
        }
        clock_.SleepUntilUs(until);
    }
}

long VirtualLine::Read(uint8_t* buffer, size_t n) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    size_t got = 0;
    while (got < n && !towardsHost_.empty() &&
           towardsHost_.front().at <= static_cast<double>(now)) {
        buffer[got++] = towardsHost_.front().byte;
        towardsHost_.pop_front();
    }
    return static_cast<long>(got);
}

long VirtualLine::Write(const uint8_t* buffer, size_t n, uint64_t) {
    return WriteAt(buffer, n, clock_.NowUs());
}

long VirtualLine::WriteAt(const uint8_t* buffer, size_t n, uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    PlayOutLocked(at);
    const double byteTime = ByteTimeUs(settings_.baudRate);
    double t = std::max(hostTxFree_, static_cast<double>(at));
    if (activity_ && n) activity_->Add(t, t + byteTime * static_cast<double>(n));
    for (size_t i = 0; i < n; ++i) {
        t += byteTime;
        towardsPeer_.push_back({t, buffer[i], settings_.baudRate});
    }
    hostTxFree_ = t;
    hostBytesWritten_ += n;
    return static_cast<long>(n);
}

bool VirtualLine::PurgeInput() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    // Only what the driver already holds is discarded; a byte still on the wire arrives.
    while (!towardsHost_.empty() && towardsHost_.front().at <= static_cast<double>(now))
        towardsHost_.pop_front();
    return true;
}

bool VirtualLine::PurgeOutput() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    towardsPeer_.clear();
    hostTxFree_ = static_cast<double>(now);
    return true;
}

void VirtualLine::Wake() {
    wakeRequested_ = true;
    clock_.Wake();
}

void VirtualLine::PeerSend(const uint8_t* bytes, size_t n, uint64_t at, uint32_t baud) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const double byteTime = ByteTimeUs(baud);
    double t = std::max(peerTxFree_, static_cast<double>(at));
    if (activity_ && n) activity_->Add(t, t + byteTime * static_cast<double>(n));
    for (size_t i = 0; i < n; ++i) {
        t += byteTime;
        towardsHost_.push_back({t, bytes[i], baud});
    }
    peerTxFree_ = t;
    peerBytesSent_ += n;
}

void VirtualLine::AdvanceTo(uint64_t at) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    PlayOutLocked(at);
}

size_t VirtualLine::TakeArrived(uint64_t upTo, std::vector<Arrival>* out) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    PlayOutLocked(upTo);
    size_t n = 0;
    while (!towardsHost_.empty() && towardsHost_.front().at <= static_cast<double>(upTo)) {
        out->push_back({CeilUs(towardsHost_.front().at), towardsHost_.front().byte});
        towardsHost_.pop_front();
        ++n;
    }
    return n;
}

uint64_t VirtualLine::NextEventUs() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    uint64_t next = NextEventLocked();
    if (!towardsHost_.empty()) next = std::min(next, CeilUs(towardsHost_.front().at));
    return next;
}

void VirtualLine::HostClose() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    PlayOutLocked(now);
    towardsPeer_.clear();
    towardsHost_.clear();
    if (peer_) peer_->OnHostClosed(*this, now);
}

}  // namespace tessel
