// Every command that changes the chip, run against the stand-in board with each fault the
// board can inject, at points spread over the command's own byte exchange. The points come
// from a clean run of the same command, so the matrix follows a command as it changes.
//
// The invariant of each run: a command that reports success has left the board exactly as
// the clean run left it; a command that borrows block 0 and fails has either given block 0
// back or named a backup file that holds what it took.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

#include "support/FlashRig.h"
#include "ui/CommandApi.h"

namespace tessel {
namespace {

using namespace test;

// What the board holds, as far as any command can change it.
struct Truth {
    std::vector<uint8_t> block0, block1, external;
    std::string password;
    uint8_t security = 0, remap = 0;
    bool doubleClock = false;
    sim::Firmware firmware = sim::Firmware::F11F;
    bool operator==(const Truth&) const = default;
};

Truth TruthOf(FlashRig& r) {
    r.Settle();
    sim::Board& b = r.board();
    return {b.Block(0),       b.Block(1),     b.External(),    b.Password(),
            b.SecurityBits(), b.RemapBits(),  b.DoubleClock(), b.CurrentFirmware()};
}

struct Scenario {
    std::string name;
    sim::BoardConfig board;
    // After the detection, before any fault is armed.
    std::function<void(FlashRig&)> prepare;
    // The command; true when it reported success.
    std::function<bool(FlashRig&)> run;
    // The command erases block 0's areas for a while and promises them back.
    bool borrowsBlock0 = false;
    int memoryMode = kInternalMemory;
    // False for a loader the tool's detection does not take as it is (1.1E): the command
    // detects it itself.
    bool detectFirst = true;
    // Faults that only this command meets.
    std::vector<sim::Faults> ownFaults = {};
};

struct Fault {
    std::string what;
    sim::Faults faults;
};

// Block 0 as it was, or a message naming a backup file whose regions hold block 0's bytes
// as they were at their addresses.
bool Block0KeptOrBackedUp(FlashRig& r, const std::vector<uint8_t>& before, size_t messagesBefore) {
    if (r.Block(0) == before) return true;
    for (const std::string& path : r.Backups()) {
        const bool named = std::any_of(r.op.messages.begin() + static_cast<long>(messagesBefore), r.op.messages.end(),
                                       [&](const std::string& m) { return m.find(path) != std::string::npos; });
        if (!named) continue;
        // Every byte the file defines must be block 0's old byte at its address.
        ImageData saved;
        std::string error;
        if (ReadImageFile(path, &saved, &error) != ImageReadStatus::Ok || saved.DefinedCount() == 0) continue;
        bool same = true;
        for (size_t at = 0; at < saved.bytes.size(); ++at)
            if (saved.IsDefined(at) && (at >= before.size() || saved.bytes[at] != before[at])) same = false;
        if (same) return true;
    }
    return false;
}

class Matrix {
public:
    std::unique_ptr<FlashRig> Fresh(const Scenario& s) {
        auto r = std::make_unique<FlashRig>(s.board, s.memoryMode);
        r->board().SetBlock(0, Pattern(r->board().Block(0).size(), 7));
        r->board().SetExternal(Pattern(sim::kExternalFlashSize, 9));
        if (s.detectFirst) {
            EXPECT_TRUE(r->Detect()) << s.name;
        }
        if (s.prepare) s.prepare(*r);
        r->Settle();
        return r;
    }

    // Points over [1, total]: the first bytes, the last one, and evenly between.
    static std::vector<uint64_t> Points(uint64_t total) {
        std::vector<uint64_t> p{1, 2};
        constexpr int kSpread = 11;
        for (int i = 1; i < kSpread; ++i) p.push_back(std::max<uint64_t>(1, total * i / kSpread));
        p.push_back(std::max<uint64_t>(1, total));
        std::sort(p.begin(), p.end());
        p.erase(std::unique(p.begin(), p.end()), p.end());
        return p;
    }

    void RunScenario(const Scenario& s) {
        Truth promised;
        uint64_t received = 0, sent = 0;
        {
            auto r = Fresh(s);
            const uint64_t r0 = r->board().BytesReceived(), s0 = r->board().BytesSent();
            const bool ok = s.run(*r);
            ASSERT_TRUE(ok) << s.name << " fails without any fault: " << Said(*r);
            promised = TruthOf(*r);
            received = r->board().BytesReceived() - r0;
            sent = r->board().BytesSent() - s0;
        }
        ASSERT_GT(received, 0u) << s.name;
        std::vector<std::function<Fault(uint64_t r0, uint64_t s0)>> faults;
        for (uint64_t p : Points(received))
            faults.push_back([p](uint64_t r0, uint64_t) {
                return Fault{"silent from byte " + std::to_string(p), {.silentFromByte = r0 + p}};
            });
        for (uint64_t p : Points(received + sent))
            faults.push_back([p](uint64_t r0, uint64_t s0) {
                return Fault{"link dropped after byte " + std::to_string(p), {.dropAfterBytes = r0 + s0 + p}};
            });
        if (sent > 0)
            for (uint64_t p : Points(sent))
                faults.push_back([p](uint64_t, uint64_t s0) {
                    return Fault{"reply byte " + std::to_string(p) + " corrupted", {.corruptReplyByte = s0 + p}};
                });
        for (uint32_t ms : {300u, 2500u})
            faults.push_back([ms](uint64_t, uint64_t) {
                return Fault{"replies " + std::to_string(ms) + " ms late", {.replyDelayMs = ms}};
            });
        for (const sim::Faults& own : s.ownFaults)
            faults.push_back([own](uint64_t, uint64_t) {
                return Fault{"prompt before read " + std::to_string(own.promptBeforeRead) + ", replies " +
                                 std::to_string(own.replyDelayMs) + " ms late",
                             own};
            });
        for (int code : {0x0B, 0x03, 0x07, 0x04, 0x02, 0x68})
            faults.push_back([code](uint64_t, uint64_t) {
                char text[32];
                std::snprintf(text, sizeof text, "command %02Xh refused", code);
                return Fault{text, {.refuseCommand = code}};
            });

        for (const auto& make : faults) {
            auto r = Fresh(s);
            const std::vector<uint8_t> before = r->board().Block(0);
            const size_t said = r->op.messages.size();
            const Fault fault = make(r->board().BytesReceived(), r->board().BytesSent());
            r->board().SetFaults(fault.faults);
            const bool ok = s.run(*r);
            ++runs_;
            const Truth now = TruthOf(*r);
            if (ok && !(now == promised)) {
                ++falseSuccesses_;
                ADD_FAILURE() << s.name << ", " << fault.what << ": reported success, but the board differs ("
                              << Differences(now, promised) << ")";
            }
            if (!ok && s.borrowsBlock0 && !Block0KeptOrBackedUp(*r, before, said)) {
                ++lostBlock0_;
                ADD_FAILURE() << s.name << ", " << fault.what
                              << ": failed with block 0 changed and no backup of it named: " << Said(*r);
            }
        }
    }

    static std::string Differences(const Truth& a, const Truth& b) {
        std::string d;
        if (a.block0 != b.block0) d += " block 0";
        if (a.block1 != b.block1) d += " block 1";
        if (a.external != b.external) d += " external flash";
        if (a.password != b.password) d += " password";
        if (a.security != b.security) d += " security bits";
        if (a.remap != b.remap || a.doubleClock != b.doubleClock) d += " configuration bits";
        if (a.firmware != b.firmware) d += " boot loader";
        return d;
    }
    static std::string Said(const FlashRig& r) {
        std::ostringstream out;
        for (const std::string& m : r.op.messages) out << "[" << m << "] ";
        return out.str();
    }

    int runs_ = 0, falseSuccesses_ = 0, lostBlock0_ = 0;
};

// A command of the API with every question answered Yes; true when it reported success.
template <class Command>
std::function<bool(FlashRig&)> Yes(Command command) {
    return [command](FlashRig& r) {
        r.op.answers = {true, true};
        return command(r).Ok();
    };
}

std::function<bool(FlashRig&)> Download(int block, int sector, std::vector<uint8_t> data) {
    return Yes([=](FlashRig& r) {
        return DownloadImage(r.window, {r.WriteFile("image.bin", data), ImageFormat::Auto, block, sector});
    });
}

std::function<bool(FlashRig&)> Erase(int block, int sector, int count) {
    return Yes([=](FlashRig& r) { return EraseSectorRange(r.window, {block, sector, count}); });
}

void OpenLowWindow(FlashRig& r) { EXPECT_TRUE(OpenExternalWindow(r.window, false).Ok()); }

// The 1.1E loader's detection offers the upgrade to 1.1F, which is taken; it succeeded when
// the session goes on with a 1.1F loader and nothing was left unfinished.
bool Upgrade11E(FlashRig& r) {
    r.session().port.SetBaudRate(9600);
    r.op.answers = {true};
    r.window.Route(command::kDetect11E);
    return r.session().upgradeFailure.empty() && r.session().IsLinkUp() &&
           r.window.Field(ChipField::FwVersion) == "v1.1F";
}

sim::BoardConfig Loader11E() {
    sim::BoardConfig c = BoardOf(2);
    c.firmware = sim::Firmware::F11E;
    return c;
}

// A 1.1E prompt that arrives in front of the Nth read reply, right after the last reply or
// long after it.
std::vector<sim::Faults> PromptsBeforeReplies() {
    std::vector<sim::Faults> out;
    for (uint64_t n : {1u, 2u, 3u, 7u})
        for (uint32_t late : {0u, 600u}) out.push_back({.replyDelayMs = late, .promptBeforeRead = n});
    return out;
}

std::vector<Scenario> AllScenarios() {
    std::vector<Scenario> all;
    all.push_back({"download to block 0", BoardOf(2), nullptr, Download(0, 3, Pattern(600, 0x31))});
    all.push_back({"download to block 1 (A)", BoardOf(2), nullptr, Download(1, 16, Pattern(256, 0x52)), true});
    all.push_back({"download to block 1 (H/L64D)", BoardOf(3), nullptr, Download(1, 9, Pattern(256, 0x53)), true});
    all.push_back({"sector erase in block 0", BoardOf(2), nullptr, Erase(0, 4, 3)});
    all.push_back({"sector erase in block 1", BoardOf(1), nullptr, Erase(1, 20, 2), true});
    all.push_back({"chip erase", BoardOf(2), nullptr, Yes([](FlashRig& r) { return EraseWholeChip(r.window); }), false,
                   kExternalMemory});
    all.push_back({"byte edit over two sectors", BoardOf(2), nullptr, Yes([](FlashRig& r) {
                       return EditBlock0(r.window, {"03F8", "00 11 22 33 44 55 66 77 88 99 AA BB"});
                   }), true});
    // Lock Chip is offered in internal memory mode on the H/L chips only.
    all.push_back({"lock", BoardOf(5), nullptr, Yes([](FlashRig& r) { return ProgramLock(r.window, 1); })});
    all.push_back({"remap", BoardOf(2), nullptr, Yes([](FlashRig& r) { return RemapMemory(r.window, 2); }), false,
                   kExternalMemory});
    all.push_back({"password change", BoardOf(2, 0, "old"), nullptr,
                   Yes([](FlashRig& r) { return ChangePassword(r.window, Entries({{"old", "new", "new"}})); }), true});
    all.push_back({"password set", BoardOf(5, 0, "old"), nullptr,
                   Yes([](FlashRig& r) { return SetPassword(r.window, Entries({{"", "fresh", "fresh"}})); })});
    all.push_back({"boot loader upgrade", BoardOf(2), nullptr, Yes([](FlashRig& r) {
                       return UpgradeLoader(r.window, {r.WriteFile("loader.bin", Pattern(1024, 0x40)), ImageFormat::Auto, 1});
                   }), true});
    all.push_back({"external window and back (A)", BoardOf(1), nullptr, Yes([](FlashRig& r) {
                       return OpenExternalWindow(r.window, false).Ok() ? LeaveExternalWindow(r.window) : CommandResult{};
                   }), true});
    all.push_back({"external download", BoardOf(2), OpenLowWindow, Download(0, 2, Pattern(700, 0x21))});
    all.push_back({"external sector erase", BoardOf(2), OpenLowWindow, Erase(0, 3, 2)});
    all.push_back({"external BSL upgrade", BoardOf(4), OpenLowWindow,
                   Yes([](FlashRig& r) { return WriteExternalLoader(r.window); })});
    // The monitor replaces the loader for good; what it takes of block 0 is only in the file.
    for (int chip : {2, 5})
        all.push_back({"Download Monitra on chip " + std::to_string(chip), BoardOf(chip), nullptr,
                       Yes([](FlashRig& r) { return LoadMonitor(r.window); }), true});
    all.push_back({"1.1E upgrade to 1.1F", Loader11E(), nullptr, Upgrade11E, true, kInternalMemory, false,
                   PromptsBeforeReplies()});
    for (int mode : {kInternalMemory, kExternalMemory})
        all.push_back({"double clock", BoardOf(4), nullptr, Yes([](FlashRig& r) { return ToggleDoubleClock(r.window); }),
                       false, mode});
    all.push_back({"SC0 (H/L32B, read back)", BoardOf(5), nullptr,
                   Yes([](FlashRig& r) { return RemapMemory(r.window, RemapMenuDialog::kSC0); })});
    all.push_back({"SC1 (external memory mode)", BoardOf(6), nullptr,
                   Yes([](FlashRig& r) { return RemapMemory(r.window, RemapMenuDialog::kSC1); }), false,
                   kExternalMemory});
    return all;
}

TEST(FaultMatrix, NoCommandReportsSuccessThatTheBoardDoesNotShow) {
    Matrix m;
    for (const Scenario& s : AllScenarios()) m.RunScenario(s);
    std::printf("fault matrix: %d runs, %d false successes\n", m.runs_, m.falseSuccesses_);
    EXPECT_GE(m.runs_, 500);
    EXPECT_EQ(m.falseSuccesses_, 0);
    EXPECT_EQ(m.lostBlock0_, 0);
}

}  // namespace
}  // namespace tessel
