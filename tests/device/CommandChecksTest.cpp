#include "device/CommandChecks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "support/RecordingOperator.h"

namespace tessel {
namespace {

using Strings = std::vector<std::string>;

class CommandChecksTest : public testing::Test {
protected:
    test::RecordingOperator op_;
    VirtualClock clock_;
    CDeviceSession session_{&op_, clock_};
    int gateCalls_ = 0;
    bool gateAnswer_ = true;

    CheckOutcome Check(CheckScope scope = CheckScope::FlashCommand) {
        op_.messages.clear();
        return CheckCommandPreconditions(&session_, &op_, scope, [this] {
            ++gateCalls_;
            return gateAnswer_;
        });
    }
    // Everything that can fail, failing at once.
    void BreakEverything() {
        session_.flags.userCodeRunning = true;
        session_.externalHighOpen = true;
        gateAnswer_ = false;
        session_.SetCurrentBlock(2);
    }
};

TEST_F(CommandChecksTest, WithoutASessionNothingRunsAndTheChecksRunInTheirOrderWithTheGateBeforeTheBlock) {
    EXPECT_EQ(CheckCommandPreconditions(nullptr, &op_, CheckScope::FlashCommand, [] { return true; }),
              CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No flash chip has been selected/detected!!!"});
    EXPECT_EQ(CheckCommandPreconditions(nullptr, nullptr, CheckScope::ChipErase), CheckOutcome::Failed);
    // Without an operator the session's owner hears of it.
    op_.messages.clear();
    EXPECT_EQ(CheckCommandPreconditions(&session_, nullptr, CheckScope::FlashCommand), CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No target board has been located!!!"});

    // Each check is taken away in turn: the next one in line must be the one that speaks, and the
    // gate is asked only once the link, the user's code and an open window have been ruled out.
    BreakEverything();
    session_.chipType = 3;
    for (CheckScope scope : {CheckScope::FlashCommand, CheckScope::ChipErase, CheckScope::ExternalFlash}) {
        EXPECT_EQ(Check(scope), CheckOutcome::Failed);
        EXPECT_EQ(op_.Messages(), Strings{"No target board has been located!!!"});
    }
    EXPECT_EQ(session_.SectorCount(0), 512) << "the geometry is refreshed first";

    session_.port.SetLinkUp();
    EXPECT_EQ(Check(CheckScope::ChipErase), CheckOutcome::Proceed) << "chip erase checks session and link only";
    for (CheckScope scope : {CheckScope::FlashCommand, CheckScope::ExternalFlash}) {
        EXPECT_EQ(Check(scope), CheckOutcome::Failed);
        EXPECT_EQ(op_.Messages(), Strings{"No flash chip has been selected/detected!!!"});
    }

    session_.flags.userCodeRunning = false;
    EXPECT_EQ(Check(CheckScope::ExternalFlash), CheckOutcome::Proceed);
    EXPECT_EQ(Check(), CheckOutcome::RunExternalVariant);
    session_.externalHighOpen = false;
    session_.externalLowOpen = true;
    EXPECT_EQ(Check(), CheckOutcome::RunExternalVariant);
    EXPECT_TRUE(op_.Messages().empty());
    EXPECT_EQ(gateCalls_, 0);

    session_.externalLowOpen = false;
    EXPECT_EQ(Check(), CheckOutcome::GateDeclined);
    EXPECT_EQ(gateCalls_, 1);
    EXPECT_TRUE(op_.Messages().empty()) << "a declined gate ends silently";

    gateAnswer_ = true;
    for (int block : {-1, 2}) {
        session_.SetCurrentBlock(block);
        EXPECT_EQ(Check(), CheckOutcome::Failed);
        EXPECT_EQ(op_.Messages(), Strings{"Illegal Block Number Detected!!!"});
    }
    for (int block : {0, 1}) {
        session_.SetCurrentBlock(block);
        EXPECT_EQ(Check(), CheckOutcome::Proceed);
        EXPECT_TRUE(op_.Messages().empty());
    }
    EXPECT_EQ(gateCalls_, 5) << "once per check";
    EXPECT_EQ(CheckCommandPreconditions(&session_, &op_, CheckScope::FlashCommand), CheckOutcome::Proceed)
        << "without a gate the command goes on";
}

}  // namespace
}  // namespace tessel
