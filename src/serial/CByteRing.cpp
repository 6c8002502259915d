#include "serial/CByteRing.h"

#include <system_error>

#include "platform/Clock.h"
#include "platform/Operator.h"

namespace tessel {

namespace {
void Show(Operator* owner, const char* text) {
    if (owner) owner->ShowMessage(text);
}
}  // namespace

int QueuePut(CByteRing& queue, std::mutex& mutex, uint8_t byte, Operator* owner) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error&) {
        Show(owner, "Error in calling WaitForSingleObject().");
        return 4;
    }
    if (queue.IsFull()) {
        lock.unlock();
        Show(owner, "Error! Queue is Full.");
        return 3;
    }
    if (!queue.Put(byte)) {
        Show(owner, "Error! Queue is not full but unable to write.");
        return 2;
    }
    return 1;
}

int QueueGet(CByteRing& queue, std::mutex& mutex, uint8_t* byte, Operator* owner) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error&) {
        Show(owner, "Error in calling WaitForSingleObject().");
        return 4;
    }
    if (queue.IsEmpty()) return 3;
    if (!queue.Get(byte)) {
        Show(owner, "Error! Queue is not empty but unable to read.");
        return 2;
    }
    return 1;
}

int QueueGetWait(LinkQueues& queues, uint8_t* byte, uint32_t limitMs, Clock& clock,
                 Operator* owner, const std::atomic<bool>* errorReported) {
    const uint64_t start = clock.TickMs();
    for (;;) {
        if (QueueGet(queues.inbound, queues.inboundMutex, byte, owner) == 1) return 1;
        if (errorReported && errorReported->load()) return 0;
        if (clock.TickMs() - start >= limitMs) return 0;
        clock.SleepMs(1);
    }
}

}  // namespace tessel
