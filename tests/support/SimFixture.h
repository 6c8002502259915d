#pragma once
// A stand-in board on a virtual line, with a device session whose port is connected to it, on a
// virtual clock.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "platform/Clock.h"
#include "serial/CSerialPort.h"
#include "sim/SimBoard.h"
#include "support/RecordingOperator.h"

namespace tessel::test {

inline const uint8_t kBaudDetect[16] = {0x80, 0xE0, 0xF8, 0xFE, 0x80, 0xE0, 0xF8, 0xFE,
                                        0x80, 0xE0, 0xF8, 0xFE, 0x80, 0xE0, 0xF8, 0xFE};

inline sim::BoardConfig Chip(int type, sim::Firmware firmware = sim::Firmware::F11F) {
    sim::BoardConfig c;
    c.chipType = type;
    c.firmware = firmware;
    return c;
}

// The board of `config` and a fresh session, its port at `baud` and not opened yet.
struct SimSession {
    explicit SimSession(sim::BoardConfig config = {}, uint32_t baud = 38400)
        : link(sim::MakeSimLink(clock, config)), session(&op, clock) {
        port.SetBaudRate(baud);
        port.SetDeviceFactory([this](OpenError*) { return std::make_unique<VirtualLineHandle>(link.line); });
    }

    // Lets every byte written reach the board, so that its ground truth can be read.
    void Settle() {
        if (port.Device()) port.Device()->WaitOutputEmpty(clock.NowUs() + 2'000'000);
        link.line->InputCount();
    }
    // Whether a message box said exactly `text`.
    bool Shown(const std::string& text) const {
        return std::find(op.messages.begin(), op.messages.end(), text) != op.messages.end();
    }
    sim::Board& board() { return *link.board; }

    VirtualClock clock;
    RecordingOperator op;
    sim::SimLink link;
    CDeviceSession session;
    CSerialPort& port = session.port;
};

struct SimBench : SimSession {
    using SimSession::SimSession;

    // Opens the port, resets the board into the memory mode and runs the 1.1F handshake up
    // to "RDY"; false when the loader never answered within `limitMs`.
    bool Handshake(bool external = false, uint64_t limitMs = 12000) {
        if (port.Open() != 0) return false;
        if (external) port.SetLinesExternalMode();
        else port.SetLinesInternalMode();
        const uint64_t t0 = clock.TickMs();
        for (;;) {
            if (clock.TickMs() - t0 > limitMs) return false;
            port.WriteBlock(kBaudDetect, 16);
            if (!port.PollForInput()) continue;
            uint8_t o = 0, k = 0;
            if (port.ReadByte(&o) && o == 'O' && port.ReadByte(&k) && k == 'K') break;
        }
        const uint8_t bsl[3] = {'B', 'S', 'L'};
        port.WriteBlock(bsl, 3);
        return Read(3) == std::vector<uint8_t>{'R', 'D', 'Y'};
    }

    void Send(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) port.WriteByte(b);
    }
    void Send(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) port.WriteByte(b);
    }
    // Up to n bytes; fewer when the board falls silent.
    std::vector<uint8_t> Read(size_t n) {
        std::vector<uint8_t> out;
        uint8_t b;
        while (out.size() < n && port.ReadByte(&b)) out.push_back(b);
        return out;
    }
};

}  // namespace tessel::test
