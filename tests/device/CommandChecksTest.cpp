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

    std::function<bool()> Gate() {
        return [this] {
            ++gateCalls_;
            return gateAnswer_;
        };
    }
    CheckOutcome Check(CheckScope scope = CheckScope::FlashCommand) {
        return CheckCommandPreconditions(&session_, &op_, scope, Gate());
    }
    // Everything that can fail, failing at once.
    void BreakEverything() {
        session_.flags.userCodeRunning = true;
        session_.externalHighOpen = true;
        gateAnswer_ = false;
        session_.SetCurrentBlock(2);
    }
};

TEST_F(CommandChecksTest, NoSessionSaysNoChip) {
    EXPECT_EQ(CheckCommandPreconditions(nullptr, &op_, CheckScope::FlashCommand, Gate()),
              CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No flash chip has been selected/detected!!!"});
    EXPECT_EQ(gateCalls_, 0);
}

TEST_F(CommandChecksTest, NoSessionAndNoOperatorStaysSilent) {
    EXPECT_EQ(CheckCommandPreconditions(nullptr, nullptr, CheckScope::ChipErase),
              CheckOutcome::Failed);
}

TEST_F(CommandChecksTest, BeforeDetectionEveryScopeSaysNoTargetBoard) {
    BreakEverything();
    for (CheckScope scope :
         {CheckScope::FlashCommand, CheckScope::ChipErase, CheckScope::ExternalFlash}) {
        op_.messages.clear();
        EXPECT_EQ(Check(scope), CheckOutcome::Failed);
        EXPECT_EQ(op_.Messages(), Strings{"No target board has been located!!!"});
    }
    EXPECT_EQ(gateCalls_, 0);
}

TEST_F(CommandChecksTest, RunningUserCodeComesNext) {
    BreakEverything();
    session_.port.SetLinkUp();
    EXPECT_EQ(Check(), CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No flash chip has been selected/detected!!!"});
    EXPECT_EQ(gateCalls_, 0);
}

TEST_F(CommandChecksTest, AnOpenExternalWindowRunsTheVariantBeforeTheGate) {
    BreakEverything();
    session_.port.SetLinkUp();
    session_.flags.userCodeRunning = false;
    EXPECT_EQ(Check(), CheckOutcome::RunExternalVariant);
    session_.externalHighOpen = false;
    session_.externalLowOpen = true;
    EXPECT_EQ(Check(), CheckOutcome::RunExternalVariant);
    EXPECT_TRUE(op_.Messages().empty());
    EXPECT_EQ(gateCalls_, 0);
}

TEST_F(CommandChecksTest, ADeclinedGateEndsSilentlyBeforeTheBlockCheck) {
    BreakEverything();
    session_.port.SetLinkUp();
    session_.flags.userCodeRunning = false;
    session_.externalHighOpen = false;
    EXPECT_EQ(Check(), CheckOutcome::GateDeclined);
    EXPECT_EQ(gateCalls_, 1);
    EXPECT_TRUE(op_.Messages().empty());
}

TEST_F(CommandChecksTest, AnIllegalBlockIsTheLastCheck) {
    session_.port.SetLinkUp();
    for (int block : {-1, 2}) {
        op_.messages.clear();
        session_.SetCurrentBlock(block);
        EXPECT_EQ(Check(), CheckOutcome::Failed);
        EXPECT_EQ(op_.Messages(), Strings{"Illegal Block Number Detected!!!"});
    }
    EXPECT_EQ(gateCalls_, 2);
}

TEST_F(CommandChecksTest, AllClearProceedsAfterAskingTheGateOnce) {
    session_.port.SetLinkUp();
    for (int block : {0, 1}) {
        session_.SetCurrentBlock(block);
        EXPECT_EQ(Check(), CheckOutcome::Proceed);
    }
    EXPECT_EQ(gateCalls_, 2);
    EXPECT_TRUE(op_.Messages().empty());
}

TEST_F(CommandChecksTest, WithoutAGateTheCommandGoesOn) {
    session_.port.SetLinkUp();
    EXPECT_EQ(CheckCommandPreconditions(&session_, &op_, CheckScope::FlashCommand),
              CheckOutcome::Proceed);
}

TEST_F(CommandChecksTest, ChipEraseChecksOnlySessionAndLink) {
    BreakEverything();
    session_.port.SetLinkUp();
    EXPECT_EQ(Check(CheckScope::ChipErase), CheckOutcome::Proceed);
    EXPECT_EQ(gateCalls_, 0);
    EXPECT_TRUE(op_.Messages().empty());
}

TEST_F(CommandChecksTest, ExternalFlashCommandsCheckUpToUserCode) {
    BreakEverything();
    session_.port.SetLinkUp();
    EXPECT_EQ(Check(CheckScope::ExternalFlash), CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No flash chip has been selected/detected!!!"});

    session_.flags.userCodeRunning = false;
    EXPECT_EQ(Check(CheckScope::ExternalFlash), CheckOutcome::Proceed);
    EXPECT_EQ(gateCalls_, 0);
}

TEST_F(CommandChecksTest, TheChecksRefreshTheGeometryFirst) {
    session_.chipType = 3;
    EXPECT_EQ(Check(), CheckOutcome::Failed);
    EXPECT_EQ(session_.SectorCount(0), 512);
}

TEST_F(CommandChecksTest, WithoutAnOperatorTheSessionsOwnerIsTold) {
    EXPECT_EQ(CheckCommandPreconditions(&session_, nullptr, CheckScope::FlashCommand),
              CheckOutcome::Failed);
    EXPECT_EQ(op_.Messages(), Strings{"No target board has been located!!!"});
}

}  // namespace
}  // namespace tessel
