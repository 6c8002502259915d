// The flash operations as they run while the 1.1E link worker owns the port: bytes go out
// through the worker's queues and replies come back through its inbound queue.

#include <algorithm>
#include <vector>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "protocol/Primitives.h"
#include "serial/CByteRing.h"

namespace tessel {

namespace {

Operator* Owner(LinkContext& c) { return c.session.port.Owner(); }
Clock& ClockOf(LinkContext& c) { return c.session.port.GetClock(); }

bool Reply(LinkContext& c, uint8_t* byte) {
    return QueueGetWait(*c.queues, byte, kQueuedReplyLimitMs, ClockOf(c), Owner(c),
                        &c.session.flags.errorReported) == 1;
}

bool PutOut(LinkContext& c, uint8_t byte) {
    return QueuePut(c.queues->outbound, c.queues->outboundMutex, byte, Owner(c)) == 1;
}

}  // namespace

int SendFrameQueued(LinkContext& c, uint8_t code, uint16_t address, uint8_t data) {
    if (!c.queues) return 0;
    if (QueuePut(c.queues->command, c.queues->commandMutex, code, Owner(c)) != 1) return 0;
    return PutOut(c, static_cast<uint8_t>(address >> 8)) && PutOut(c, static_cast<uint8_t>(address)) &&
                   PutOut(c, data)
               ? 1
               : 0;
}

int EraseSectorsQueued(LinkContext& c, uint32_t start, uint32_t step, int count) {
    c.progress.setProgressRange(count);
    c.progress.resetProgress();
    c.progress.setProgressLabel("Erasing");
    uint32_t address = start;
    for (int i = 0; i < count; ++i, address += step) {
        uint8_t reply = 0;
        if (!SendFrameQueued(c, cmd::kSectorErase, static_cast<uint16_t>(address), 0x01) ||
            !Reply(c, &reply) || reply != cmd::kAck) {
            c.progress.resetProgress();
            c.progress.setProgressLabel("Abort");
            return -1;
        }
        c.progress.stepProgress();
    }
    c.progress.resetProgress();
    c.progress.setProgressLabel("Done");
    return 0;
}

int ProgramVerifiedQueued(LinkContext& c, uint32_t start, uint32_t chunk, const uint8_t* data,
                          uint32_t total) {
    if (chunk == 0 || chunk > 255 || !c.queues) return -1;
    c.progress.setProgressRange(static_cast<int>(total / chunk));
    c.progress.setProgressStepBytes(chunk);
    c.progress.resetProgress();
    c.progress.setProgressLabel("Writing");
    auto finish = [&](bool ok) {
        c.progress.resetProgress();
        c.progress.setProgressLabel(ok ? "Done" : "Abort");
        return ok ? 0 : -1;
    };
    std::vector<uint8_t> readBack(chunk);
    uint32_t address = start;
    for (uint32_t done = 0; done < total; done += chunk, address += chunk) {
        const uint8_t* piece = data + done;
        const uint32_t n = std::min(chunk, total - done);
        if (std::all_of(piece, piece + n, [](uint8_t b) { return b == 0xFF; })) {
            c.progress.stepProgress();
            continue;
        }
        if (!SendFrameQueued(c, cmd::kProgram, static_cast<uint16_t>(address), static_cast<uint8_t>(chunk)))
            return finish(false);
        for (uint32_t i = 0; i < chunk; ++i)
            if (!PutOut(c, i < n ? piece[i] : 0xFF)) return finish(false);
        if (!SendFrameQueued(c, cmd::kRead, static_cast<uint16_t>(address), static_cast<uint8_t>(chunk)))
            return finish(false);
        for (uint32_t i = 0; i < chunk; ++i) {
            if (!Reply(c, &readBack[i]) || c.session.flags.errorReported) return finish(false);
        }
        for (uint32_t i = 0; i < chunk; ++i)
            if (readBack[i] != (i < n ? piece[i] : 0xFF)) return finish(false);
        c.progress.stepProgress();
    }
    return finish(true);
}

uint32_t ReadFlashQueued(LinkContext& c, uint8_t* dest, uint32_t start, uint32_t total,
                         uint32_t chunk) {
    if (chunk == 0 || chunk > 255 || !c.queues) return 0;
    c.progress.setProgressRange(static_cast<int>(total / chunk));
    c.progress.setProgressStepBytes(chunk);
    c.progress.resetProgress();
    c.progress.setProgressLabel("Reading");
    uint32_t done = 0;
    bool ok = true;
    while (ok && done < total) {
        const uint32_t count = std::min(chunk, total - done);
        if (!SendFrameQueued(c, cmd::kRead, static_cast<uint16_t>(start + done), static_cast<uint8_t>(count))) {
            if (Operator* op = Owner(c)) op->ShowMessage("Failed to Send Read Command!");
            ok = false;
            break;
        }
        // Each byte is bounded by the reply limit, so a worker that died cannot hang the read.
        for (uint32_t i = 0; i < count; ++i) {
            if (!Reply(c, &dest[done])) {
                ok = false;
                break;
            }
            ++done;
        }
        if (ok) c.progress.stepProgress();
    }
    c.progress.resetProgress();
    c.progress.setProgressLabel(ok ? "Done" : "Abort");
    return done;
}

int RunUserCodeQueued(LinkContext& c) {
    if (!c.queues) return 0;
    if (QueuePut(c.queues->command, c.queues->commandMutex, cmd::kRunUser, Owner(c)) != 1) return 0;
    uint8_t ignored = 0;
    QueueGet(c.queues->inbound, c.queues->inboundMutex, &ignored, Owner(c));
    return PutOut(c, cmd::kRunUser) ? 1 : 0;
}

}  // namespace tessel
