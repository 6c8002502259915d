#include "serial/CByteRing.h"

#include <system_error>

#include "platform/Clock.h"
#include "platform/Operator.h"

namespace tessel {

namespace {
void Show(Operator* owner, const char* text) {
    if (owner) owner->Fail(text);
}
}  // namespace

Queued QueuePut(CByteRing& queue, std::mutex& mutex, uint8_t byte, Operator* owner) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error&) {
        Show(owner, "Error in calling WaitForSingleObject().");
        return Queued::NoLock;
    }
    if (queue.IsFull()) {
        lock.unlock();
        Show(owner, "Error! Queue is Full.");
        return Queued::Full;
    }
    if (!queue.Put(byte)) {
        Show(owner, "Error! Queue is not full but unable to write.");
        return Queued::Failed;
    }
    return Queued::Done;
}

Queued QueueGet(CByteRing& queue, std::mutex& mutex, uint8_t* byte, Operator* owner) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error&) {
        Show(owner, "Error in calling WaitForSingleObject().");
        return Queued::NoLock;
    }
    if (queue.IsEmpty()) return Queued::Empty;
    if (!queue.Get(byte)) {
        Show(owner, "Error! Queue is not empty but unable to read.");
        return Queued::Failed;
    }
    return Queued::Done;
}

bool QueueGetWait(LinkQueues& queues, uint8_t* byte, uint32_t limitMs, Clock& clock,
                  Operator* owner, const std::atomic<bool>* errorReported) {
    return AwaitSignal(queues.forOperator, clock, clock.NowUs() + uint64_t{limitMs} * 1000, errorReported,
                       [&] { return QueueGet(queues.inbound, queues.inboundMutex, byte, owner) == Queued::Done; });
}

}  // namespace tessel
