#include "platform/UsbAdapter.h"

#include <algorithm>
#include <limits>

#include "platform/Clock.h"

namespace tessel {

AdapterProfile AdapterProfile::For(AdapterKind kind, uint32_t latencyMs) {
    AdapterProfile p;
    p.kind = kind;
    switch (kind) {
        case AdapterKind::Native:
            // A UART on the main board: bytes are seen as they arrive and leave at once.
            return p;
        case AdapterKind::Ftdi:
            p.rxFlush = RxFlush::LatencyTimer;
            p.packetPayload = 62;
            p.latencyUs = 16'000;
            p.txFifo = 128;
            break;
        case AdapterKind::Cp210x:
            p.rxFlush = RxFlush::IdleTimeout;
            p.packetPayload = 64;
            p.rxBuffer = 576;
            p.latencyUs = 1000;
            p.txFifo = 640;
            break;
        case AdapterKind::Ch340:
            p.rxFlush = RxFlush::NextFrame;
            p.packetPayload = 32;
            p.txFifo = 32;
            break;
        case AdapterKind::CdcAcm:
            p.rxFlush = RxFlush::NextFrame;
            p.packetPayload = 64;
            p.txFifo = 64;
            break;
    }
    p.frameUs = 1000;
    if (latencyMs != 0 && (p.rxFlush == RxFlush::LatencyTimer || p.rxFlush == RxFlush::IdleTimeout))
        p.latencyUs = uint64_t{latencyMs} * 1000;
    return p;
}

AdapterProfile AdapterProfile::Best(AdapterKind kind) {
    return For(kind, kind == AdapterKind::Ftdi ? 1 : 0);
}

const std::vector<AdapterKind>& AllAdapterKinds() {
    static const std::vector<AdapterKind> kinds = {AdapterKind::Native, AdapterKind::Ftdi, AdapterKind::Cp210x,
                                                   AdapterKind::Ch340, AdapterKind::CdcAcm};
    return kinds;
}

std::string AdapterKindList() {
    std::string text;
    const auto& kinds = AllAdapterKinds();
    // Native last: it is the absence of an adapter.
    for (size_t i = 1; i < kinds.size(); ++i) text += std::string(AdapterKindName(kinds[i])) + ", ";
    return text.substr(0, text.size() - 2) + " or " + AdapterKindName(AdapterKind::Native);
}

bool ParseAdapterKind(const std::string& name, AdapterKind* out) {
    for (AdapterKind k : AllAdapterKinds()) {
        if (name == AdapterKindName(k)) {
            *out = k;
            return true;
        }
    }
    return false;
}

const char* AdapterKindName(AdapterKind kind) {
    switch (kind) {
        case AdapterKind::Ftdi: return "ftdi";
        case AdapterKind::Cp210x: return "cp210x";
        case AdapterKind::Ch340: return "ch340";
        case AdapterKind::CdcAcm: return "cdc-acm";
        case AdapterKind::Native: break;
    }
    return "native";
}

UsbAdapterLine::UsbAdapterLine(std::shared_ptr<VirtualLine> line, AdapterProfile profile,
                               std::shared_ptr<AdapterCounters> counters)
    : line_(std::move(line)),
      profile_(profile),
      counters_(counters ? std::move(counters) : std::make_shared<AdapterCounters>()),
      clock_(line_->LineClock()) {}

UsbAdapterLine::~UsbAdapterLine() { line_->HostClose(); }

void UsbAdapterLine::Wake() {
    wakeRequested_ = true;
    clock_.Wake();
}

void UsbAdapterLine::TransferFrame(uint64_t at) {
    line_->AdvanceTo(at);
    size_t n = txQueue_.size();
    if (profile_.txFifo) {
        // A full FIFO makes the adapter refuse the transfer; the rest waits for a later frame.
        const size_t held = std::min(profile_.txFifo, line_->PendingTowardsPeer());
        n = std::min(n, profile_.txFifo - held);
    }
    if (profile_.unplugAfter) n = std::min<uint64_t>(n, profile_.unplugAfter - sentTotal_);
    if (n) {
        std::vector<uint8_t> bytes(txQueue_.begin(), txQueue_.begin() + static_cast<long>(n));
        txQueue_.erase(txQueue_.begin(), txQueue_.begin() + static_cast<long>(n));
        line_->WriteAt(bytes.data(), n, at);
        sentTotal_ += n;
        ++counters_->framesUsed;
        counters_->bytesSent += n;
    }
    nextFrame_ = at + profile_.frameUs;
    if (profile_.unplugAfter && sentTotal_ >= profile_.unplugAfter) {
        gone_ = true;
        counters_->goneAtUs = at;
    }
}

void UsbAdapterLine::Record(uint64_t from, uint64_t to) {
    if (ActivityLog* log = line_->Activity()) log->Add(static_cast<double>(from), static_cast<double>(to));
}

uint64_t UsbAdapterLine::NextFrameAfter(uint64_t t) const { return (t / profile_.frameUs + 1) * profile_.frameUs; }

uint64_t UsbAdapterLine::FlushDue() const {
    switch (profile_.rxFlush) {
        case RxFlush::LatencyTimer: {
            // The first end of a period at or after the first byte held.
            const uint64_t period = std::max<uint64_t>(profile_.latencyUs, 1);
            const uint64_t since = packetStart_ > timerBase_ ? packetStart_ - timerBase_ : 0;
            return timerBase_ + std::max<uint64_t>(1, (since + period - 1) / period) * period;
        }
        case RxFlush::IdleTimeout: return lastArrival_ + profile_.latencyUs;
        case RxFlush::NextFrame: return NextFrameAfter(packetStart_);
        case RxFlush::None: break;
    }
    return packetStart_;
}

void UsbAdapterLine::FlushPacket(uint64_t at, bool full) {
    if (packet_.empty()) return;
    // What a partial packet waited after its last byte was the adapter's doing; a full one
    // goes as it fills.
    if (!full) Record(lastArrival_, at);
    rxReady_.insert(rxReady_.end(), packet_.begin(), packet_.end());
    counters_->packets += (packet_.size() + profile_.packetPayload - 1) / profile_.packetPayload;
    packet_.clear();
    timerBase_ = at;
    lastDelivered_ = at;
    deliveredSinceWrite_ = true;
}

void UsbAdapterLine::Ingest(const VirtualLine::Arrival& a) {
    if (profile_.rxFlush == RxFlush::None) {
        rxReady_.push_back(a.byte);
        lastDelivered_ = a.at;
        deliveredSinceWrite_ = true;
        return;
    }
    if (!packet_.empty() && FlushDue() < a.at) FlushPacket(FlushDue(), false);
    if (packet_.empty()) packetStart_ = a.at;
    lastArrival_ = a.at;
    packet_.push_back(a.byte);
    const size_t holds = profile_.rxFlush == RxFlush::IdleTimeout ? profile_.rxBuffer : profile_.packetPayload;
    if (packet_.size() >= holds) FlushPacket(a.at, true);
}

void UsbAdapterLine::Sync(uint64_t now) {
    if (gone_) return;
    while (!txQueue_.empty() && nextFrame_ <= now && !gone_) TransferFrame(nextFrame_);
    if (gone_) {
        txQueue_.clear();
        packet_.clear();
        rxReady_.clear();
        return;
    }
    line_->AdvanceTo(now);
    std::vector<VirtualLine::Arrival> arrived;
    line_->TakeArrived(now, &arrived);
    for (const auto& a : arrived) Ingest(a);
    if (!packet_.empty() && FlushDue() <= now) FlushPacket(FlushDue(), false);
}

uint64_t UsbAdapterLine::NextEvent() {
    uint64_t next = line_->NextEventUs();
    if (!txQueue_.empty()) next = std::min(next, nextFrame_);
    if (!packet_.empty()) next = std::min(next, FlushDue());
    return next;
}

bool UsbAdapterLine::Configure(const LineSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    return !gone_ && line_->Configure(settings);
}

LineResult UsbAdapterLine::SetDtr(bool high) {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    // Modem lines go by control transfer, past any bytes still queued for a frame.
    return gone_ ? LineResult::Failed : line_->SetDtr(high);
}

LineResult UsbAdapterLine::SetRts(bool high) {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    return gone_ ? LineResult::Failed : line_->SetRts(high);
}

size_t UsbAdapterLine::InputCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    return rxReady_.size();
}

size_t UsbAdapterLine::OutputCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    return txQueue_.size();
}

bool UsbAdapterLine::WaitInput(uint64_t deadline, const std::atomic<bool>* cancel) {
    wakeRequested_ = false;
    for (;;) {
        uint64_t until;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t now = clock_.NowUs();
            Sync(now);
            if (gone_) return false;
            if (!rxReady_.empty()) return true;
            if (wroteSinceReply_) {
                ++counters_->turnarounds;
                wroteSinceReply_ = false;
            }
            if (now >= deadline) return false;
            until = std::min(deadline, NextEvent());
            if (until <= now) until = now + 1;
        }
        if ((cancel && cancel->load()) || wakeRequested_.exchange(false)) return false;
        clock_.SleepUntilUs(until, cancel);
        if ((cancel && cancel->load()) || wakeRequested_.exchange(false)) return false;
    }
}

bool UsbAdapterLine::WaitOutputEmpty(uint64_t deadline) {
    for (;;) {
        uint64_t until;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t now = clock_.NowUs();
            Sync(now);
            if (gone_) return false;
            if (txQueue_.empty() && line_->PendingTowardsPeer() == 0) return true;
            if (now >= deadline) return false;
            until = std::min(deadline, NextEvent());
            if (until <= now) until = now + 1;
        }
        clock_.SleepUntilUs(until);
    }
}

long UsbAdapterLine::Read(uint8_t* buffer, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    if (gone_) return -1;
    size_t got = 0;
    while (got < n && !rxReady_.empty()) {
        buffer[got++] = rxReady_.front();
        rxReady_.pop_front();
    }
    return static_cast<long>(got);
}

long UsbAdapterLine::Write(const uint8_t* buffer, size_t n, uint64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t now = clock_.NowUs();
    Sync(now);
    if (gone_) return -1;
    wroteSinceReply_ = true;
    if (profile_.frameUs == 0) {
        size_t take = n;
        if (profile_.unplugAfter) take = std::min<uint64_t>(n, profile_.unplugAfter - sentTotal_);
        line_->WriteAt(buffer, take, now);
        sentTotal_ += take;
        counters_->bytesSent += take;
        if (profile_.unplugAfter && sentTotal_ >= profile_.unplugAfter) {
            gone_ = true;
            counters_->goneAtUs = now;
        }
        return static_cast<long>(n);
    }
    // The host could not have written before the reply it waited for was there; from then,
    // the next frame is the adapter's to wait for.
    if (deliveredSinceWrite_) Record(lastDelivered_, NextFrameAfter(lastDelivered_));
    deliveredSinceWrite_ = false;
    if (txQueue_.empty()) nextFrame_ = NextFrameAfter(now);
    txQueue_.insert(txQueue_.end(), buffer, buffer + n);
    return static_cast<long>(n);
}

bool UsbAdapterLine::PurgeInput() {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    // Only what the driver holds; a packet still in the adapter arrives later.
    rxReady_.clear();
    return !gone_;
}

bool UsbAdapterLine::PurgeOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    Sync(clock_.NowUs());
    // The driver drops its own queue; what the adapter already took still goes out.
    txQueue_.clear();
    return !gone_;
}

}  // namespace tessel
