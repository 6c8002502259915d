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

#include "support/FlashRig.h"
#include "commands/Commands.h"

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

std::string Differences(const Truth& a, const Truth& b) {
    const std::pair<bool, const char*> parts[] = {
        {a.block0 != b.block0, " block 0"},     {a.block1 != b.block1, " block 1"},
        {a.external != b.external, " external flash"}, {a.password != b.password, " password"},
        {a.security != b.security, " security bits"},
        {a.remap != b.remap || a.doubleClock != b.doubleClock, " configuration bits"},
        {a.firmware != b.firmware, " boot loader"}};
    std::string d;
    for (const auto& [differs, what] : parts) d += differs ? what : "";
    return d;
}

struct Scenario {
    std::string name;
    sim::BoardConfig board;
    std::function<void(FlashRig&)> prepare;  // after the detection, before any fault is armed
    std::function<bool(FlashRig&)> run;      // the command; true when it reported success
    bool borrowsBlock0 = false;              // it erases block 0's areas for a while and promises them back
    int memoryMode = kInternalMemory;
    // False for a loader the tool's detection does not take as it is (1.1E): the command
    // detects it itself.
    bool detectFirst = true;
    std::vector<sim::Faults> ownFaults = {};  // faults that only this command meets
};

// Block 0 as it was, or a message naming a backup file whose regions hold block 0's bytes
// as they were at their addresses.
bool Block0KeptOrBackedUp(FlashRig& r, const std::vector<uint8_t>& before, size_t messagesBefore) {
    if (r.Block(0) == before) return true;
    for (const std::string& path : r.Backups()) {
        if (std::none_of(r.op.messages.begin() + static_cast<long>(messagesBefore), r.op.messages.end(),
                         [&](const std::string& m) { return m.find(path) != std::string::npos; }))
            continue;
        ImageData saved;
        std::string error;
        if (ReadImageFile(path, &saved, &error) != ImageReadStatus::Ok || saved.DefinedCount() == 0) continue;
        bool same = true;  // every byte the file defines is block 0's old byte at its address
        for (size_t at = 0; at < saved.bytes.size(); ++at)
            same = same && (!saved.IsDefined(at) || (at < before.size() && saved.bytes[at] == before[at]));
        if (same) return true;
    }
    return false;
}

std::unique_ptr<FlashRig> Fresh(const Scenario& s) {
    auto r = std::make_unique<FlashRig>(s.board, s.memoryMode);
    r->board().SetBlock(0, Pattern(r->board().Block(0).size(), 7));
    r->board().SetExternal(Pattern(sim::kExternalFlashSize, 9));
    EXPECT_TRUE(!s.detectFirst || r->Detect()) << s.name;
    if (s.prepare) s.prepare(*r);
    r->Settle();
    return r;
}

// Points over [1, total]: the first bytes, the last one, and evenly between.
std::vector<uint64_t> Points(uint64_t total) {
    std::vector<uint64_t> p{1, 2, std::max<uint64_t>(1, total)};
    for (int i = 1; i < 11; ++i) p.push_back(std::max<uint64_t>(1, total * i / 11));
    std::sort(p.begin(), p.end());
    p.erase(std::unique(p.begin(), p.end()), p.end());
    return p;
}

struct Tally {
    int runs = 0, falseSuccesses = 0, lostBlock0 = 0;
};

void RunScenario(const Scenario& s, Tally& t) {
    Truth promised;
    uint64_t received = 0, sent = 0;
    {
        auto r = Fresh(s);
        const uint64_t r0 = r->board().BytesReceived(), s0 = r->board().BytesSent();
        ASSERT_TRUE(s.run(*r)) << s.name << " fails without any fault: " << testing::PrintToString(r->op.messages);
        promised = TruthOf(*r);
        received = r->board().BytesReceived() - r0;
        sent = r->board().BytesSent() - s0;
    }
    ASSERT_GT(received, 0u) << s.name;
    // Each fault, made from the fresh board's byte counts when it is armed.
    using Make = std::function<sim::Faults(uint64_t r0, uint64_t s0)>;
    std::vector<std::pair<std::string, Make>> faults;
    for (uint64_t p : Points(received))
        faults.push_back({"silent from byte " + std::to_string(p),
                          [p](uint64_t r0, uint64_t) { return sim::Faults{.silentFromByte = r0 + p}; }});
    for (uint64_t p : Points(received + sent))
        faults.push_back({"link dropped after byte " + std::to_string(p),
                          [p](uint64_t r0, uint64_t s0) { return sim::Faults{.dropAfterBytes = r0 + s0 + p}; }});
    if (sent > 0)
        for (uint64_t p : Points(sent))
            faults.push_back({"reply byte " + std::to_string(p) + " corrupted",
                              [p](uint64_t, uint64_t s0) { return sim::Faults{.corruptReplyByte = s0 + p}; }});
    for (uint32_t ms : {300u, 2500u})
        faults.push_back({"replies " + std::to_string(ms) + " ms late",
                          [ms](uint64_t, uint64_t) { return sim::Faults{.replyDelayMs = ms}; }});
    for (const sim::Faults& own : s.ownFaults)
        faults.push_back({"prompt before read " + std::to_string(own.promptBeforeRead) + ", replies " +
                              std::to_string(own.replyDelayMs) + " ms late",
                          [own](uint64_t, uint64_t) { return own; }});
    for (int code : {0x0B, 0x03, 0x07, 0x04, 0x02, 0x68}) {
        char text[32];
        std::snprintf(text, sizeof text, "command %02Xh refused", code);
        faults.push_back({text, [code](uint64_t, uint64_t) { return sim::Faults{.refuseCommand = code}; }});
    }

    for (const auto& [what, make] : faults) {
        auto r = Fresh(s);
        const std::vector<uint8_t> before = r->board().Block(0);
        const size_t said = r->op.messages.size();
        r->board().SetFaults(make(r->board().BytesReceived(), r->board().BytesSent()));
        const bool ok = s.run(*r);
        ++t.runs;
        const Truth now = TruthOf(*r);
        if (ok && !(now == promised)) {
            ++t.falseSuccesses;
            ADD_FAILURE() << s.name << ", " << what << ": reported success, but the board differs ("
                          << Differences(now, promised) << ")";
        }
        if (!ok && s.borrowsBlock0 && !Block0KeptOrBackedUp(*r, before, said)) {
            ++t.lostBlock0;
            ADD_FAILURE() << s.name << ", " << what << ": failed with block 0 changed and no backup of it named: "
                          << testing::PrintToString(r->op.messages);
        }
    }
}

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

std::vector<Scenario> AllScenarios() {
    sim::BoardConfig loader11E = BoardOf(2);
    loader11E.firmware = sim::Firmware::F11E;
    // A 1.1E prompt that arrives in front of the Nth read reply, right after the last reply or
    // long after it.
    std::vector<sim::Faults> prompts;
    for (uint64_t n : {1u, 2u, 3u, 7u})
        for (uint32_t late : {0u, 600u}) prompts.push_back({.replyDelayMs = late, .promptBeforeRead = n});
    const int kExt = kExternalMemory;
    std::vector<Scenario> all = {
        {"download to block 0", BoardOf(2), nullptr, Download(0, 3, Pattern(600, 0x31))},
        {"download to block 1 (A)", BoardOf(2), nullptr, Download(1, 16, Pattern(256, 0x52)), true},
        {"download to block 1 (H/L64D)", BoardOf(3), nullptr, Download(1, 9, Pattern(256, 0x53)), true},
        {"sector erase in block 0", BoardOf(2), nullptr, Erase(0, 4, 3)},
        {"sector erase in block 1", BoardOf(1), nullptr, Erase(1, 20, 2), true},
        {"chip erase", BoardOf(2), nullptr, Yes([](FlashRig& r) { return EraseWholeChip(r.window); }), false, kExt},
        {"byte edit over two sectors", BoardOf(2), nullptr,
         Yes([](FlashRig& r) { return EditBlock0(r.window, {"03F8", "00 11 22 33 44 55 66 77 88 99 AA BB"}); }), true},
        // Lock Chip is offered in internal memory mode on the H/L chips only.
        {"lock", BoardOf(5), nullptr, Yes([](FlashRig& r) { return ProgramLock(r.window, LockChoice::SB1); })},
        {"remap", BoardOf(2), nullptr, Yes([](FlashRig& r) { return RemapMemory(r.window, RemapChoice::Remap2K); }), false, kExt},
        {"password change", BoardOf(2, 0, "old"), nullptr,
         Yes([](FlashRig& r) { return ChangePassword(r.window, Entries({{"old", "new", "new"}})); }), true},
        {"password set", BoardOf(5, 0, "old"), nullptr,
         Yes([](FlashRig& r) { return SetPassword(r.window, Entries({{"", "fresh", "fresh"}})); })},
        {"boot loader upgrade", BoardOf(2), nullptr, Yes([](FlashRig& r) {
             return UpgradeLoader(r.window, {r.WriteFile("loader.bin", Pattern(1024, 0x40)), ImageFormat::Auto, 1});
         }), true},
        {"external window and back (A)", BoardOf(1), nullptr, Yes([](FlashRig& r) {
             return OpenExternalWindow(r.window, false).Ok() ? LeaveExternalWindow(r.window) : CommandResult{};
         }), true},
        {"external download", BoardOf(2), OpenLowWindow, Download(0, 2, Pattern(700, 0x21))},
        {"external sector erase", BoardOf(2), OpenLowWindow, Erase(0, 3, 2)},
        {"external BSL upgrade", BoardOf(4), OpenLowWindow, Yes([](FlashRig& r) { return WriteExternalLoader(r.window); })},
        // The monitor replaces the loader for good; what it takes of block 0 is only in the file.
        {"Download Monitra on chip 2", BoardOf(2), nullptr, Yes([](FlashRig& r) { return LoadMonitor(r.window); }), true},
        {"Download Monitra on chip 5", BoardOf(5), nullptr, Yes([](FlashRig& r) { return LoadMonitor(r.window); }), true},
        {"1.1E upgrade to 1.1F", loader11E, nullptr, Upgrade11E, true, kInternalMemory, false, prompts},
        {"double clock", BoardOf(4), nullptr, Yes([](FlashRig& r) { return ToggleDoubleClock(r.window); })},
        {"double clock (external)", BoardOf(4), nullptr, Yes([](FlashRig& r) { return ToggleDoubleClock(r.window); }),
         false, kExt},
        {"SC0 (H/L32B, read back)", BoardOf(5), nullptr,
         Yes([](FlashRig& r) { return RemapMemory(r.window, RemapChoice::SC0); })},
        {"SC1 (external memory mode)", BoardOf(6), nullptr,
         Yes([](FlashRig& r) { return RemapMemory(r.window, RemapChoice::SC1); }), false, kExt},
    };
    return all;
}

TEST(FaultMatrix, NoCommandReportsSuccessThatTheBoardDoesNotShow) {
    Tally t;
    for (const Scenario& s : AllScenarios()) RunScenario(s, t);
    std::printf("fault matrix: %d runs, %d false successes\n", t.runs, t.falseSuccesses);
    EXPECT_GE(t.runs, 1000);
    EXPECT_EQ(t.falseSuccesses, 0);
    EXPECT_EQ(t.lostBlock0, 0);
}

}  // namespace
}  // namespace tessel
