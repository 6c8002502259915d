// What `tessel` refuses, and what it leaves alone, seen from outside: the exit status, what it
// says, the wire trace it writes and, through the pseudo-terminal board, the flash itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "device/ChipCatalogue.h"
#include "device/CommandChecks.h"
#include "support/CliRun.h"
#include "support/PtyProcess.h"

namespace tessel {
namespace {

using test::CliRun;
using test::kCli;
using test::kSample;
using test::ReadBytes;
using test::SimOnPty;
using test::TempFolder;
using test::WriteBytes;

// With no terminal every question is answered No.
CliRun Tessel(const std::vector<std::string>& args) { return test::RunTessel(args, {}, true); }

// The host's writes after the detection's version request (60h): what the command itself sent.
std::vector<std::string> WritesAfterDetection(const std::string& trace) {
    const std::vector<std::string> writes = test::WireWrites(trace);
    const auto detection = std::find(writes.begin(), writes.end(), "60");
    EXPECT_NE(detection, writes.end()) << trace << " holds no detection";
    return {detection == writes.end() ? writes.end() : detection + 1, writes.end()};
}

// Those writes but reads (0Ch frames) and the password (08h and its text): empty when the
// command erased or programmed nothing.
std::vector<std::string> ChangesAfterDetection(const std::string& trace) {
    const std::vector<std::string> writes = WritesAfterDetection(trace);
    std::vector<std::string> changes;
    for (size_t i = 0; i < writes.size();) {
        if (writes[i] == "0C") i += 4;
        else if (writes[i] == "08" && i + 3 < writes.size()) i += 4 + std::stoul(writes[i + 3], nullptr, 16);
        else changes.push_back(writes[i++]);
    }
    return changes;
}

// Refused with status 2, the rule named, and nothing on the wire after the detection.
void ExpectRefused(const std::string& dir, std::vector<std::string> args, const std::string& reason) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const std::string trace = dir + "/refused.txt";
    std::filesystem::remove(trace);
    args.insert(args.end(), {"--trace-wire", trace});
    const CliRun r = Tessel(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Says("tessel: " + reason + "\n")) << r.out;
    EXPECT_EQ(WritesAfterDetection(trace), std::vector<std::string>{});
}

// `unconfirmed`: a one-time bit that hides the loader, so nothing can read it back: status 1.
void ExpectRuns(std::vector<std::string> args, bool unconfirmed = false) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const CliRun r = Tessel(args);
    EXPECT_EQ(r.status, unconfirmed ? 1 : 0) << r.out;
    EXPECT_EQ(r.Says("programmed, not confirmed"), unconfirmed) << r.out;
}

// The port, chip and mode after the sub-command's words ("password change" takes two).
std::vector<std::string> On(const std::string& port, const std::string& chip, std::vector<std::string> args,
                            const std::string& mode = "internal") {
    args.insert(args.begin() + (args[0] == "password" ? 2 : 1), {"--port", port, "--chip", chip, "--mode", mode});
    return args;
}

// What is no firmware image, whatever its name, and what is no regular file: refused by every
// command that reads an image before the port is opened, said once, in the result line. (The
// file layer's own table decides the kinds; these are one of each way out.)
TEST(CliImageFiles, TheKindComesFromTheContentAndOnlyRegularFilesAreRead) {
    const TempFolder dir;
    WriteBytes(dir + "/firmware.hex", {0x02, 0x00, 0x30, 0x00});
    std::filesystem::create_directory(dir + "/folder");
    std::ofstream(dir + "/README.md") << "# Blink\n\nPress the button; the LED blinks. \xC3\xA9t\xC3\xA9\n";
    const std::pair<std::string, std::string> files[] = {
        {dir + "/firmware.hex", ""}, {dir + "/folder", ""}, {"/dev/zero", ""},
        {dir + "/README.md", "the file is text, not a firmware image"}};
    for (const auto& [file, looks] : files) {
        const std::vector<std::string> commands[] = {{"download", "--port", "sim:NX31A32", "--yes", file},
                                                     {"compare", "--port", "sim:NX31A32", file},
                                                     {"convert", file, dir + "/out.hex"}};
        for (const auto& args : commands) {
            SCOPED_TRACE(args[0] + " " + file);
            const CliRun r = Tessel(args);
            EXPECT_EQ(r.status, 2) << r.out;
            EXPECT_TRUE(r.Says((args[0] == "download" ? "nothing was done: " : "") + file + ": " + looks)) << r.out;
            EXPECT_TRUE(args[0] == "convert" || !r.Says("tessel: " + file + ": ")) << r.out;
            EXPECT_FALSE(r.Says("Click on OK")) << "refused before the target is touched";
        }
    }
    EXPECT_TRUE(Tessel({"convert", dir + "/README.md", dir + "/out.hex"})
                    .Says("--format bin takes it as binary anyway"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.hex"));
    // Forced, the text is bytes like any others. A .hex that convert writes reads back; what it
    // cannot hold is refused.
    EXPECT_EQ(Tessel({"download", "--port", "sim:NX31A32", "--yes", "--format", "bin", dir + "/README.md"}).status, 0);
    WriteBytes(dir + "/big.bin", std::vector<uint8_t>(100 * 1024, 0x33));
    EXPECT_EQ(Tessel({"convert", dir + "/big.bin", dir + "/big.hex"}).status, 2);
    WriteBytes(dir + "/full.bin", std::vector<uint8_t>(0x10000, 0xB3));
    ASSERT_EQ(Tessel({"convert", dir + "/full.bin", dir + "/full.hex"}).status, 0);
    EXPECT_EQ(test::ImageOf(dir + "/full.hex"), std::vector<uint8_t>(0x10000, 0xB3));
}

// One command line per command the rule book knows, with the steps it takes in order ("" for
// the command itself).
struct RuledLine {
    std::vector<std::pair<std::string, RuledCommand>> steps;
    std::vector<std::string> args;
    bool slow = false;
};

std::vector<RuledLine> EveryCommand(const std::string& model, const std::string& dir) {
    const bool a = model == "NX31A16" || model == "NX31A32";
    using C = RuledCommand;
    return {
        {{{"", C::Read}}, {"read", "--count", "1"}},
        {{{"", C::Download}, {"--verify", C::Compare}}, {"download", "--yes", "--verify", kSample}},
        {{{"", C::Save}}, {"save", "--count", "1", dir + "/saved.bin"}},
        {{{"", C::Download}}, {"download", "--yes", kSample}},
        {{{"", C::SectorErase}}, {"erase", "--yes", "--count", "1"}},
        {{{"", C::Download}, {"--run", C::ExecuteUserCode}}, {"download", "--yes", "--run", kSample}},
        {{{"", C::LockChip}}, {"lock", "--yes", "1"}},
        {{{"", C::MemoryRemap}}, {"remap", "--yes", a ? "1k" : "sc0"}},
        {{{"", C::DoubleClock}}, {"double-clock", "--yes"}},
        {{{"", C::ChipErase}}, {"erase", "--yes", "--chip-erase"}, true},
        {{{"", C::ByteEdit}}, {"edit", "0010"}},
        {{{"", C::ExecuteUserCode}}, {"run"}},
        {{{"", C::ChangePassword}}, {"password", "change", "--yes", "--no-password"}},
        {{{"", C::SetResetPassword}}, {"password", "set", "--yes", "--no-password"}},
        {{{"", C::UpgradeInternalBsl}}, {"upgrade-bsl", "--yes", dir + (a ? "/bsl-a.bin" : "/bsl-hl.bin")}},
        {{{"", C::DownloadMonitor}}, {"monitor", "--yes"}, true},
        {{{"--external low", C::ExternalFlash}, {"", C::Read}}, {"read", "--external", "low", "--count", "1"}, true},
    };
}

// That each sub-command asks the rule for its own steps: a forbidden cell exits 2 naming its
// step and rule with nothing sent after the detection, an allowed one runs to its end. The rule
// book itself is walked by tests/device and the handlers' table; here one chip of each family
// in both memory modes.
TEST(CliCommandRules, EveryCommandOnAChipOfEachFamilyInBothMemoryModes) {
    const TempFolder dir;
    WriteBytes(dir + "/bsl-a.bin", std::vector<uint8_t>(1024, 0xA5));
    WriteBytes(dir + "/bsl-hl.bin", std::vector<uint8_t>(1152, 0xA5));
    int refused = 0, ran = 0;
    std::set<std::string> slowRan;
    for (const int chip : {1, 4, 6}) {  // NX31A16, NX31L64D, NX31L32B
        const std::string model = LookupChip(chip).model;
        for (const char* mode : {"internal", "external"}) {
            const RuleState state{chip, std::string(mode) == "internal" ? kInternalMemory : kExternalMemory, 0,
                                  "v1.1F", ExternalWindowState::None, true, false};
            for (const RuledLine& line : EveryCommand(model, dir)) {
                std::string refusal;
                for (const auto& [label, command] : line.steps) {
                    const RuleVerdict v = CheckCommandRule(command, state);
                    if (v.allowed) continue;
                    refusal = label.empty() ? v.reason : label + ": " + v.reason + "; nothing was done";
                    break;
                }
                const std::vector<std::string> args = On("sim:" + model, model, line.args, mode);
                if (refusal.empty()) {
                    // Seconds each: run on the first chip they are allowed on.
                    if (line.slow && !slowRan.insert(line.args[0] + line.args.back() + mode).second) continue;
                    ++ran;
                    // SC0 hides the H/L64D's loader in internal memory mode.
                    const bool hides = line.args[0] == "remap" && line.args.back() == "sc0" &&
                                       std::string(mode) == "internal" && FamilyOf(chip) == ChipFamily::HL64D;
                    ExpectRuns(args, hides);
                } else {
                    ++refused;
                    ExpectRefused(dir, args, refusal);
                }
            }
        }
    }
    EXPECT_GT(refused, 20);
    EXPECT_GT(ran, 25);
    // Beside the sweep: another lock option, a chip erase on the chip the sweep skips, and one
    // that would take the external flash's own loader with it.
    ExpectRuns(On("sim:NX31H64D", "NX31H64D", {"lock", "--yes", "4"}));
    ExpectRuns(On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--chip-erase"}, "external"));
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--external", "low", "--chip-erase"}),
                  "Chip Erase is not available while an external-flash window is open (it would erase all of the "
                  "external flash, the board's boot loader included)");
}

// A 1.1F loader does not say which chip it runs on. An NX31A16 holding code meets a 30 KB
// image: without --chip nothing is assumed, with a wrong --chip the last address the plan would
// reach stays silent, with the right one the sizes are given; each refusal exits 2 before an
// erase, and the code is still there at the end.
TEST(CliChipType, NothingIsErasedOnAGuessedOrWrongChipType) {
    const TempFolder dir;
    const std::vector<uint8_t> code = test::Pattern(16384, 5, 11);
    WriteBytes(dir + "/code.bin", code);
    const std::string big = dir + "/big.bin", saved = dir + "/after.bin", trace = dir + "/wire.txt";
    WriteBytes(big, test::Pattern(30852, 9, 3));
    {
        SimOnPty b({"--chip", "NX31A16", "--block0", dir + "/code.bin", "--save-block0", saved});
        const CliRun seen = Tessel({"detect", "--port", b.pty});
        EXPECT_EQ(seen.status, 0) << seen.out;
        EXPECT_TRUE(seen.Says("Chip Type:   NX31A32 (assumed, not reported by the loader; give --chip)\n")) << seen.out;
        EXPECT_TRUE(Tessel(On(b.pty, "NX31A16", {"detect"})).Says("detected NX31A16 (chosen, not reported by the loader)"));
        ExpectRefused(dir, {"download", "--port", b.pty, "--yes", big}, kChipTypeNotReported);
        ExpectRefused(dir, {"erase", "--port", b.pty, "--yes", "--count", "1"}, kChipTypeNotReported);
        ExpectRefused(dir, On(b.pty, "NX31A16", {"download", "--yes", big}),
                      "the file needs 30,852 bytes from 0000h; NX31A16's block 0 holds 16,384");
        for (const auto& args : {std::vector<std::string>{"download", "--yes", big},
                                 std::vector<std::string>{"erase", "--yes", "--start-sector", "120"}}) {
            std::filesystem::remove(trace);
            std::vector<std::string> line = On(b.pty, "NX31A32", args);
            line.insert(line.end(), {"--trace-wire", trace});
            const CliRun r = Tessel(line);
            EXPECT_EQ(r.status, 2) << r.out;
            EXPECT_TRUE(r.Says(std::string("the chip did not answer a read at 7") + (args[0] == "erase" ? "FFFh" : "883h") +
                               ", the last address the " + args[0] + " would touch: it is smaller than NX31A32 "
                               "(check --chip)"))
                << r.out;
            EXPECT_EQ(ChangesAfterDetection(trace), std::vector<std::string>{});
        }
        EXPECT_EQ(b.process.Stop(SIGTERM), 0);
    }
    EXPECT_EQ(ReadBytes(saved), code);
}

TEST(CliPlans, ACombinedCommandIsCheckedWholeBeforeTheFirstByte) {
    const TempFolder dir;
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"download", "--yes", "--lock", "4", "--run", kSample}),
                  "--lock 4: Lock Chip is not available on NX31A32 in internal memory mode; nothing was done");
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"download", "--yes", "--lock", "1", "--run", kSample}, "external"),
                  "--run: Run User Code is not available on NX31A32 in external memory mode; nothing was done");
    // The loader's own sectors, in either memory mode, before any question or byte.
    const std::string area = "The boot loader's own sectors are never erased or written: this would reach "
                             "F000h-F3FFh, the boot loader's own area in block 1. Nothing was changed.";
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--block", "1", "--start-sector", "15"}), area);
    WriteBytes(dir + "/long.bin", std::vector<uint8_t>(0xF010, 0xA5));
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"download", "--yes", dir + "/long.bin"}, "external"), area);
    // The level-4 guard is part of the plan: no download runs ahead of a lock that cannot be set.
    {
        SimOnPty b({"--chip", "NX31H32B", "--security", "0xC0"});
        const std::string why = "Can't set level4 lock (lock option 5 at lock status C0h would make NX31H32B level 4)";
        ExpectRefused(dir, On(b.pty, "NX31H32B", {"download", "--yes", "--lock", "5", kSample}), why);
        ExpectRefused(dir, On(b.pty, "NX31H32B", {"lock", "--yes", "5"}), why);
    }
    {
        SimOnPty one({"--chip", "NX31L64D", "--security", "0x80"}), two({"--chip", "NX31L64D", "--security", "0x80"});
        const CliRun r = Tessel({"download", "--port", one.pty, "--port", two.pty, "--chip", "NX31L64D", "--yes",
                                 "--lock", "2", kSample});
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_TRUE(r.Says("Can't set level4 lock! (lock option 2 at lock status 80h")) << r.out;
        EXPECT_FALSE(r.Says("Erasing")) << r.out;
    }
    // What every step allows runs whole.
    const CliRun ok = Tessel(On("sim:NX31H64D", "NX31H64D", {"download", "--yes", "--lock", "1", "--run", kSample}));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_TRUE(ok.Says("lock option 1 set, user code started")) << ok.out;
}

// Nothing is erased without a question naming it; with no terminal the answer is No, and at a
// terminal only a yes is a yes.
TEST(CliQuestions, EraseAndEditWithoutYesAskAndOnlyAYesErases) {
    const TempFolder dir;
    const std::string trace = dir + "/wire.txt";
    const struct {
        std::vector<std::string> args;
        const char* asks;
        const char* summary;
    } cases[] = {
        {{"erase"}, "Erase sectors 000-255 of block 0 (0000h-7FFFh)?", "erase declined: nothing was erased"},
        {{"erase", "--start-sector", "16", "--count", "8"}, "Erase sectors 016-023 of block 0 (0800h-0BFFh)?",
         "erase declined: nothing was erased"},
        {{"edit", "03E6", "72", "4F"}, "Data in block 0 will be modified.", "edit: block 0 was not changed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::filesystem::remove(trace);
        std::vector<std::string> args = On("sim:NX31A32", "NX31A32", c.args);
        args.insert(args.end(), {"--trace-wire", trace});
        const CliRun r = Tessel(args);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.Says(c.asks)) << r.out;
        EXPECT_TRUE(r.Says(c.summary)) << r.out;
        EXPECT_EQ(ChangesAfterDetection(trace), std::vector<std::string>{}) << "only reads went out";
    }
    for (const auto& [typed, erased] : {std::pair{"\n", false}, std::pair{"o\n", false}, std::pair{"y\n", true}}) {
        SCOPED_TRACE(typed);
        test::PtyProcess p({kCli, "erase", "-p", "sim:NX31A32", "--count", "1"});
        ASSERT_TRUE(p.ReadUntil("[y/N] ")) << p.Output();
        p.Type(typed);
        EXPECT_EQ(p.Finish(), erased ? 0 : 1) << p.Output();
        EXPECT_NE(p.Output().find(erased ? "erased 1 sector" : "erase declined: nothing was erased"), std::string::npos)
            << p.Output();
    }
}

// The old loader's upgrade is offered and only --yes accepts it (the upgrade itself is
// tests/protocol's). One whose upgrade program never answers fails at once, names the backup
// of the user's code, and sends no erase into the silence.
TEST(CliUpgrade11E, ALoaderThatNeverAnswersAfterTheUpgradeProgramStartsIsAFailure) {
    const TempFolder dir, state;
    std::vector<std::string> detect = {"detect", "--port", "sim:NX31A32:1.1E", "--firmware", "1.1E", "--baud", "38400"};
    const CliRun declined = test::RunTessel(detect, {"XDG_STATE_HOME=" + state});
    EXPECT_EQ(declined.status, 1) << declined.out;
    EXPECT_TRUE(declined.Says("Fw Version:  v1.1E")) << declined.out;
    EXPECT_FALSE(std::filesystem::exists(state + "/tessel")) << "nothing backed up, nothing erased";
    detect.push_back("--yes");
    const CliRun accepted = test::RunTessel(detect, {"XDG_STATE_HOME=" + state});
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_TRUE(accepted.Says("Fw Version:  v1.1F")) << accepted.out;

    const std::string trace = dir + "/wire.txt";
    const CliRun r = test::RunTessel({"detect", "--port", "sim:NX31A32:1.1E:upgrade-silent", "--firmware", "1.1E",
                                            "--baud", "38400", "--yes", "--json", "--trace-wire", trace},
                                           {"XDG_STATE_HOME=" + dir});
    EXPECT_EQ(r.status, 1) << r.out;
    const size_t result = r.out.find("\"event\":\"result\"");
    ASSERT_NE(result, std::string::npos) << r.out;
    const std::string last = r.out.substr(result);
    EXPECT_NE(last.find("\"ok\":false"), std::string::npos) << last;
    EXPECT_NE(last.find("never answered after the upgrade program was started"), std::string::npos) << last;
    EXPECT_NE(last.find("Block 0 was not restored"), std::string::npos) << last;
    std::vector<std::string> saved;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/tessel")) saved.push_back(e.path());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_NE(last.find(saved[0]), std::string::npos) << "the backup is named: " << last;
    // After the upgrade program was started (62h twice) only the handshake's own bytes went out.
    const std::vector<std::string> writes = test::WireWrites(trace);
    size_t start = writes.size();
    for (size_t i = 0; i + 1 < writes.size(); ++i)
        if (writes[i] == "62" && writes[i + 1] == "62") start = i + 2;
    EXPECT_LT(start, writes.size()) << "the upgrade program was started";
    for (size_t i = start; i < writes.size(); ++i)
        EXPECT_EQ(writes[i].rfind("80 E0 F8 FE", 0), 0u) << "sent after the upgrade program started: " << writes[i];
}

}  // namespace
}  // namespace tessel
