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
            break;
        case AdapterKind::Ftdi:
            p.packetPayload = 62;
            p.latencyUs = 16'000;
            p.frameUs = 1000;
            p.txFifo = 128;
            break;
        case AdapterKind::Cp210x:
            p.packetPayload = 64;
            p.latencyUs = 1000;
            p.frameUs = 1000;
            p.txFifo = 640;
            break;
    }
    if (latencyMs != 0 && kind != AdapterKind::Native) p.latencyUs = uint64_t{latencyMs} * 1000;
    return p;
}

bool ParseAdapterKind(const std::string& name, AdapterKind* out) {
    for (AdapterKind k : {AdapterKind::Native, AdapterKind::Ftdi, AdapterKind::Cp210x}) {
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

void UsbAdapterLine::FlushPacket(uint64_t) {
    if (packet_.empty()) return;
    rxReady_.insert(rxReady_.end(), packet_.begin(), packet_.end());
    packet_.clear();
    ++counters_->packets;
}

void UsbAdapterLine::Ingest(const VirtualLine::Arrival& a) {
    if (profile_.packetPayload == 0) {
        rxReady_.push_back(a.byte);
        return;
    }
    if (!packet_.empty() && a.at > packetStart_ + profile_.latencyUs) FlushPacket(packetStart_ + profile_.latencyUs);
    if (packet_.empty()) packetStart_ = a.at;
    packet_.push_back(a.byte);
    if (packet_.size() >= profile_.packetPayload || profile_.latencyUs == 0) FlushPacket(a.at);
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
    if (!packet_.empty() && packetStart_ + profile_.latencyUs <= now) FlushPacket(packetStart_ + profile_.latencyUs);
}

uint64_t UsbAdapterLine::NextEvent() {
    uint64_t next = line_->NextEventUs();
    if (!txQueue_.empty()) next = std::min(next, nextFrame_);
    if (!packet_.empty()) next = std::min(next, packetStart_ + profile_.latencyUs);
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
    if (txQueue_.empty()) nextFrame_ = (now / profile_.frameUs + 1) * profile_.frameUs;
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
