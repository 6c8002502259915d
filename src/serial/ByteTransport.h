#pragma once
// The bytes of one exchange with the boot loader, whoever moves them on the line: this thread
// through the port, or the 1.1E link worker, which owns the port while a 1.1E loader is linked
// and is reached through its queues. The flash operations are written once over this, so that
// both ways fail alike and say where and why.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tessel {

class CSerialPort;
class Clock;
class Operator;
struct LinkQueues;

// How many port waits a byte of a flash read gets: each already waits about 2 s, so a slow
// target has some 6 s before the read is abandoned.
constexpr int kReadByteRetries = 3;

class ByteTransport {
public:
    // A command's reply, or a byte of a flash read, which may be given longer.
    enum class Wait { Reply, FlashRead };

    virtual ~ByteTransport() = default;
    // The byte that opens an exchange (a frame's command code). The worker sends it only in
    // answer to the loader's prompt, so it is told apart from the bytes that follow.
    virtual bool Command(uint8_t code) = 0;
    // The bytes that follow in the same exchange: how many were handed on before the first
    // that could not be.
    virtual size_t Write(std::span<const uint8_t> bytes) = 0;
    // One byte of the target's reply, or false once the wait has passed.
    virtual bool ReadByte(uint8_t* byte, Wait wait = Wait::Reply) = 0;
    // Whether more is still coming after a read that should have taken everything.
    virtual bool MoreComing() = 0;
    // Waits until what was written has gone on its way.
    virtual bool Drain() = 0;
    // Drops whatever came in and was not read.
    virtual bool Purge() = 0;
};

// This thread owns the port and moves every byte itself.
class PortTransport final : public ByteTransport {
public:
    explicit PortTransport(CSerialPort& port) : port_(port) {}
    bool Command(uint8_t code) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    bool ReadByte(uint8_t* byte, Wait wait = Wait::Reply) override;
    bool MoreComing() override;
    bool Drain() override;
    bool Purge() override;

private:
    CSerialPort& port_;
};

// The link worker owns the port: commands go on its command queue, the bytes that follow on
// its outbound queue, and the reply comes back through its inbound queue.
class QueueTransport final : public ByteTransport {
public:
    QueueTransport(LinkQueues& queues, Clock& clock, Operator* owner, const std::atomic<bool>& workerFailed)
        : queues_(queues), clock_(clock), owner_(owner), workerFailed_(workerFailed) {}
    bool Command(uint8_t code) override;
    size_t Write(std::span<const uint8_t> bytes) override;
    bool ReadByte(uint8_t* byte, Wait wait = Wait::Reply) override;
    bool MoreComing() override;
    bool Drain() override;
    bool Purge() override;

private:
    LinkQueues& queues_;
    Clock& clock_;
    Operator* owner_;
    const std::atomic<bool>& workerFailed_;
};

}  // namespace tessel
