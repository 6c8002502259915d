#pragma once
// A session with no line behind it, for what the session and its views compute from a chip's
// geometry alone.

#include <gtest/gtest.h>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "support/RecordingOperator.h"

namespace tessel::test {

class SessionTest : public testing::Test {
protected:
    // The chip chosen, as a detection leaves the session: its geometry and fresh images.
    void Select(int chipType) {
        session_.chipType = chipType;
        session_.RefreshGeometry();
        session_.AllocateImages();
    }

    RecordingOperator op_;
    VirtualClock clock_;
    CDeviceSession session_{&op_, clock_};
};

}  // namespace tessel::test
