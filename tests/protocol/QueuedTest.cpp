#include <gtest/gtest.h>

#include "device/CDeviceSession.h"
#include "firmware/Firmware.h"
#include "protocol/Primitives.h"
#include "serial/LinkWorker.h"
#include "support/RecordingProgress.h"
#include "support/SimFixture.h"

namespace tessel {
namespace {

using V = std::vector<uint8_t>;

// A session on a 1.1E board with the link worker owning the port.
struct Queued {
    Queued() : session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = 2;
        c.firmware = sim::Firmware::F11E;
        link = sim::MakeSimLink(clock, c);
        session.port.SetBaudRate(9600);
        session.port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
        EXPECT_EQ(session.port.Open(), 0);
        session.port.SetLinesInternalMode();
        StartLinkWorker(worker, session.port, &op, session.flags.errorReported, session.flags.workerRunning);
        ctx.queues = &worker.Queues();
    }
    ~Queued() { StopLinkWorker(worker); }

    VirtualClock clock;
    test::RecordingOperator op;
    test::RecordingProgress progress;
    sim::SimLink link;
    CDeviceSession session;
    LinkWorker worker;
    LinkContext ctx{session, progress};
};

TEST(QueuedOperations, EraseProgramAndReadThroughTheWorker) {
    Queued q;
    V data(1280);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
    std::fill(data.begin() + 256, data.begin() + 384, 0xFF);  // one blank chunk
    ASSERT_EQ(EraseSectorsQueued(q.ctx, 0, 128, 10), 0);
    EXPECT_EQ(q.progress.Last(), "Done");
    ASSERT_EQ(ProgramVerifiedQueued(q.ctx, 0, 128, data.data(), 1280), 0);
    EXPECT_EQ(q.progress.steps, 10 + 10);
    V back(1280);
    EXPECT_EQ(ReadFlashQueued(q.ctx, back.data(), 0, 1280, 128), 1280u);
    EXPECT_EQ(back, data);
    const V truth = q.link.board->Block(0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), truth.begin()));
    EXPECT_TRUE(q.op.messages.empty()) << "the queued operations show no boxes";
}

TEST(QueuedOperations, ARefusedEraseAndADeadWorkerEndInAbort) {
    Queued q;
    sim::Faults f;
    f.refuseCommand = 0x0B;
    q.link.board->SetFaults(f);
    EXPECT_EQ(EraseSectorsQueued(q.ctx, 0, 128, 2), -1);
    EXPECT_EQ(q.progress.Last(), "Abort");
    EXPECT_EQ(q.progress.position, 0);
    f = {};
    f.stopPrompts = true;
    q.link.board->SetFaults(f);
    V back(128);
    EXPECT_LT(ReadFlashQueued(q.ctx, back.data(), 0, 128, 128), 128u);
    EXPECT_EQ(q.progress.Last(), "Abort");
}

TEST(QueuedOperations, RunUserCodeStartsTheUpgradeProgram) {
    Queued q;
    const FirmwareImage& up = Firmware(FirmwareId::Upgrade11E);
    ASSERT_EQ(EraseSectorsQueued(q.ctx, 0, 128, 10), 0);
    ASSERT_EQ(ProgramVerifiedQueued(q.ctx, 0, 128, up.data, 1280), 0);
    ASSERT_EQ(RunUserCodeQueued(q.ctx), 1);
    for (int i = 0; i < 50 && q.link.board->CurrentFirmware() != sim::Firmware::F11F; ++i) q.clock.SleepMs(10);
    EXPECT_EQ(q.link.board->CurrentFirmware(), sim::Firmware::F11F);
}

}  // namespace
}  // namespace tessel
