#include "serial/ByteTransport.h"

#include <mutex>

#include "platform/Clock.h"
#include "serial/CByteRing.h"
#include "serial/CSerialPort.h"

namespace tessel {

// Byte by byte, as the loader's frames always went: each write has its own limit and its
// own line in a wire trace, and a failure is known to the byte.
bool PortTransport::Command(uint8_t code) { return port_.WriteByte(code) == 1; }

size_t PortTransport::Write(std::span<const uint8_t> bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && port_.WriteByte(bytes[sent])) ++sent;
    return sent;
}

bool PortTransport::ReadByte(uint8_t* byte, Wait wait) {
    for (int tries = wait == Wait::FlashRead ? kReadByteRetries : 1; tries > 0; --tries)
        if (port_.ReadByte(byte)) return true;
    return false;
}

bool PortTransport::MoreComing() { return port_.PollForInput(); }
bool PortTransport::Drain() { return port_.DrainOutput(); }
bool PortTransport::Purge() { return port_.PurgeInput(); }

bool QueueTransport::Command(uint8_t code) {
    return QueuePut(queues_.command, queues_.commandMutex, code, owner_) == Queued::Done;
}

size_t QueueTransport::Write(std::span<const uint8_t> bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && QueuePut(queues_.outbound, queues_.outboundMutex, bytes[sent], owner_) == Queued::Done) ++sent;
    if (sent) queues_.forWorker.Raise();
    return sent;
}

// The worker gives a slow target the port's own wait before it gives up, so a flash read
// waits here no longer than a reply. Once the worker has given up, a byte still in the queue
// is no longer part of an exchange it kept count of.
bool QueueTransport::ReadByte(uint8_t* byte, Wait) {
    return QueueGetWait(queues_, byte, kQueuedReplyLimitMs, clock_, owner_, &workerFailed_) && !workerFailed_;
}

// The worker takes exactly the count a reply announces and drops anything after it while it
// waits for the next prompt: only a byte already queued can still come.
bool QueueTransport::MoreComing() {
    std::lock_guard<std::mutex> lock(queues_.inboundMutex);
    return !queues_.inbound.IsEmpty();
}

// Until the worker has taken every byte handed to it: what it has taken, it writes.
bool QueueTransport::Drain() {
    return AwaitSignal(queues_.forOperator, clock_, clock_.NowUs() + uint64_t{kQueuedReplyLimitMs} * 1000,
                       &workerFailed_, [&] {
                           std::scoped_lock lock(queues_.commandMutex, queues_.outboundMutex);
                           return queues_.command.IsEmpty() && queues_.outbound.IsEmpty();
                       });
}

bool QueueTransport::Purge() {
    std::lock_guard<std::mutex> lock(queues_.inboundMutex);
    uint8_t dropped = 0;
    while (queues_.inbound.Get(&dropped)) {
    }
    return true;
}

}  // namespace tessel
