#pragma once
// A stand-in board on a virtual line, through the model of a USB-serial adapter, whose every
// span of activity (a byte on the wire either way, the board erasing or programming, the
// adapter holding bytes) is logged, so that a run's elapsed virtual time can be set against
// its true lower bound: the union of those spans.

#include <cstdio>
#include <memory>
#include <string>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "platform/Operator.h"
#include "platform/UsbAdapter.h"
#include "protocol/Detection.h"
#include "protocol/Primitives.h"
#include "sim/SimBoard.h"

namespace tessel::bench {

struct Rig {
    Rig(const AdapterProfile& profile, uint32_t baud, int chipType = 3)
        : profile(profile), baud(baud), session(&op, clock) {
        sim::BoardConfig c;
        c.chipType = chipType;
        link = sim::MakeSimLink(clock, c);
        link.line->SetActivityLog(activity);
        link.board->SetActivityLog(activity);
        session.chipType = chipType;
        session.RefreshGeometry();
        session.port.SetBaudRate(baud);
        session.port.SetDeviceFactory([this](OpenError*) -> std::unique_ptr<SerialDevice> {
            return std::make_unique<UsbAdapterLine>(link.line, this->profile, counters);
        });
        session.port.Open();
        session.port.SetLinesInternalMode();
        bool linked = false;
        for (int i = 0; i < 100 && !linked; ++i) {
            session.port.WriteBlock(kBaudDetectString, 16);
            uint8_t o, k;
            linked = session.port.PollForInput() && session.port.ReadByte(&o) && session.port.ReadByte(&k);
        }
        const uint8_t bsl[3] = {'B', 'S', 'L'};
        session.port.WriteBlock(bsl, 3);
        uint8_t b;
        for (int i = 0; i < 3; ++i) linked = linked && session.port.ReadByte(&b);
        if (linked) session.port.SetLinkUp();
    }

    struct Mark {
        uint64_t us, out, in, busy, turnarounds;
    };
    Mark Now() {
        return {clock.NowUs(), link.line->HostBytesWritten(), link.line->PeerBytesSent(), link.board->BusyTimeUs(),
                counters->turnarounds};
    }
    struct Row {
        double elapsedUs, ratio;
    };
    Row Report(const std::string& label, const char* what, const Mark& a, const Mark& b) {
        const uint64_t bytes = (b.out - a.out) + (b.in - a.in);
        const uint64_t turns = b.turnarounds - a.turnarounds;
        const double wireUs = static_cast<double>(bytes) * 10.0 * 1e6 / baud;
        const double busyUs = static_cast<double>(b.busy - a.busy);
        const double boundUs = activity->UnionUs(static_cast<double>(a.us), static_cast<double>(b.us));
        const double elapsedUs = static_cast<double>(b.us - a.us);
        const double ratio = elapsedUs / boundUs;
        std::printf("%-20s %6u  %-26s bytes %6llu  wire %7.3f s  busy %5.3f s  turnarounds %5llu  bound %7.3f s  "
                    "elapsed %7.3f s  ratio %.4f\n",
                    label.c_str(), baud, what, static_cast<unsigned long long>(bytes), wireUs / 1e6, busyUs / 1e6,
                    static_cast<unsigned long long>(turns), boundUs / 1e6, elapsedUs / 1e6, ratio);
        return {elapsedUs, ratio};
    }

    AdapterProfile profile;
    uint32_t baud;
    std::shared_ptr<AdapterCounters> counters = std::make_shared<AdapterCounters>();
    std::shared_ptr<ActivityLog> activity = std::make_shared<ActivityLog>();
    VirtualClock clock;
    SilentOperator op;
    NullProgress progress;
    sim::SimLink link;
    CDeviceSession session;
    LinkContext ctx{session, progress};
};

}  // namespace tessel::bench
