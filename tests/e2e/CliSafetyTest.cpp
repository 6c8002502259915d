// What `tessel` refuses, and what it leaves alone, seen from outside: the exit status, what it
// says, the wire trace it writes and, through the pseudo-terminal board, the flash itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "device/ChipCatalogue.h"
#include "device/CommandChecks.h"
#include "support/CliRun.h"
#include "support/PtyProcess.h"

namespace tessel {
namespace {

using test::CliRun;
using test::kCli;
using test::kSample;
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

// Those writes but reads (0Ch frames), block selects (68h 68h, 69h 69h), the link check (63h)
// and the password (08h and its text): empty when the command erased or programmed nothing.
std::vector<std::string> ChangesAfterDetection(const std::string& trace) {
    const std::vector<std::string> writes = WritesAfterDetection(trace);
    std::vector<std::string> changes;
    for (size_t i = 0; i < writes.size();) {
        if (writes[i] == "0C") i += 4;
        else if (writes[i] == "63") ++i;
        else if ((writes[i] == "68" || writes[i] == "69") && i + 1 < writes.size() && writes[i + 1] == writes[i]) i += 2;
        else if (writes[i] == "08" && i + 3 < writes.size()) i += 4 + std::stoul(writes[i + 3], nullptr, 16);
        else changes.push_back(writes[i++]);
    }
    return changes;
}

// Refused with status 2, the rule named in the result line, and nothing (`readsOnly`: only reads) on the wire after
// the detection.
void ExpectRefused(const std::string& dir, std::vector<std::string> args, const std::string& reason,
                   bool readsOnly = false) {
    SCOPED_TRACE(args[0] + " " + args.back());
    const std::string trace = dir + "/refused.txt";
    std::filesystem::remove(trace);
    args.insert(args.end(), {"--trace-wire", trace});
    const CliRun r = Tessel(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.Says(": nothing was done: " + reason + "\n")) << r.out;
    EXPECT_EQ(readsOnly ? ChangesAfterDetection(trace) : WritesAfterDetection(trace), std::vector<std::string>{});
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
    std::ofstream(dir + "/README.md") << "# Blink\n\nPress the button; the LED blinks. \xC3\xA9t\xC3\xA9\n";
    std::ofstream(dir + "/blink.s19") << "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\n";
    const std::pair<std::string, std::string> files[] = {
        {dir + "/firmware.hex", ""}, {"/dev/zero", ""}, {dir + "/README.md", "the file is text, not a firmware image"},
        {dir + "/blink.s19", "Motorola S-record files are not supported: convert to Intel HEX"}};
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
            EXPECT_FALSE(r.Says("reset the board")) << "refused before the target is touched";
        }
    }
    EXPECT_FALSE(Tessel({"convert", dir + "/README.md", dir + "/out.hex"}).Says("--format bin"));
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

// That a sub-command asks the core's rule book for each of its steps, and maps a refusal to
// status 2 in the book's words ("--external low: ..." for a step an option adds) with nothing
// sent after the detection; what the book allows runs. The book itself is walked by
// tests/device; these lines are the commands no other test here runs to their end.
TEST(CliCommandRules, ARefusalIsTheRuleBooksInItsWordsAndWhatItAllowsRuns) {
    const TempFolder dir;
    WriteBytes(dir + "/bsl.bin", std::vector<uint8_t>(1152, 0xA5));
    using C = RuledCommand;
    const struct {
        int chip;  // 1: NX31A16, 4: NX31L64D, 6: NX31L32B
        bool internal;
        std::vector<std::pair<std::string, RuledCommand>> steps;  // "" for the command itself
        std::vector<std::string> args;
        bool unconfirmed = false;  // SC0 hides the H/L64D's loader: nothing can read the bit back (status 1)
    } lines[] = {
        {1, true, {{"", C::MemoryRemap}}, {"remap", "--yes", "1k"}},
        {1, false, {{"", C::MemoryRemap}}, {"remap", "--yes", "1k"}},
        {4, true, {{"", C::MemoryRemap}}, {"remap", "--yes", "sc0"}, true},
        {1, false, {{"", C::Download}, {"--run", C::ExecuteUserCode}}, {"download", "--yes", "--run", kSample}},
        {4, false, {{"--external low", C::ExternalFlash}, {"", C::Read}}, {"read", "--external", "low", "--count", "1"}},
        {6, false, {{"", C::SetResetPassword}}, {"password", "set", "--yes", "--no-password"}},
        {6, true, {{"", C::ChangePassword}}, {"password", "change", "--yes", "--no-password"}},
        {4, true, {{"", C::UpgradeInternalBsl}}, {"upgrade-bsl", "--yes", dir + "/bsl.bin"}},
        {1, false, {{"", C::ChipErase}}, {"erase", "--yes", "--chip-erase"}},
    };
    int refused = 0;
    for (const auto& line : lines) {
        const RuleState state{line.chip, line.internal ? kInternalMemory : kExternalMemory, 0, LoaderFirmware::V11F,
                              ExternalWindowState::None, true, false};
        std::string refusal;
        for (const auto& [label, command] : line.steps) {
            const RuleVerdict v = CheckCommandRule(command, state);
            if (v.allowed) continue;
            refusal = label.empty() ? v.reason : label + ": " + v.reason + "; nothing was done";
            break;
        }
        const std::string model = LookupChip(line.chip).model;
        const auto args = On("sim:" + model, model, line.args, line.internal ? "internal" : "external");
        refused += !refusal.empty();
        if (!refusal.empty()) {
            ExpectRefused(dir, args, refusal);
            continue;
        }
        const CliRun r = Tessel(args);
        EXPECT_EQ(r.status, line.unconfirmed ? 1 : 0) << line.args[0] << "\n" << r.out;
        EXPECT_EQ(r.Says("remap option sc0 sent, not confirmed"), line.unconfirmed) << r.out;
    }
    EXPECT_EQ(refused, 4);
    // Not the book's own: a chip erase that would take the external flash's loader with it.
    ExpectRefused(dir, On("sim:NX31A32", "NX31A32", {"erase", "--yes", "--external", "low", "--chip-erase"}),
                  "Chip Erase is not available while an external-flash window is open (it would erase all of the "
                  "external flash, the board's boot loader included)");
}

// A 1.1F loader does not say which chip it runs on. An NX31A16 meets a 30 KB image: without
// --chip nothing is assumed, with a wrong --chip its block 0 shows it is smaller before anything
// is erased or burnt (only reads and selects go out), with the right one the sizes are given;
// each refusal exits 2. A line that falls silent after the detection is no small chip.
TEST(CliChipType, NothingIsErasedOrBurntOnAGuessedOrWrongChipType) {
    const TempFolder dir;
    const std::string big = dir + "/big.bin";
    WriteBytes(big, test::Pattern(30852, 9, 3));
    SimOnPty b({"--chip", "NX31A16"});
    const CliRun seen = Tessel({"detect", "--port", b.pty});
    EXPECT_EQ(seen.status, 0) << seen.out;
    EXPECT_TRUE(seen.Says("Chip Type:   NX31A32 (assumed, not reported by the loader; give --chip)\n")) << seen.out;
    ExpectRefused(dir, {"download", "--port", b.pty, "--yes", big}, kChipTypeNotReported);
    ExpectRefused(dir, On(b.pty, "NX31A16", {"download", "--yes", big}),
                  "the file needs 30,852 bytes from 0000h; NX31A16's block 0 holds 16,384");
    // Refused with status 2 and why, and only reads and block selects on the wire.
    const auto smaller = [&](const std::string& pty, const std::string& model, const char* at,
                             const std::vector<std::string>& args, const std::string& mode = "internal") {
        SCOPED_TRACE(args[0] + " " + model);
        const std::string trace = dir + "/refused.txt";
        std::vector<std::string> all = On(pty, model, args, mode);
        all.insert(all.end(), {"--trace-wire", trace});
        const CliRun r = Tessel(all);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_TRUE(r.Says(std::string("the chip did not answer a read at ") + at + ", inside " + model +
                           "'s block 0: it is smaller than " + model + " (check --chip)"))
            << r.out;
        EXPECT_EQ(ChangesAfterDetection(trace), std::vector<std::string>{});
    };
    smaller(b.pty, "NX31A32", "7FFFh", {"download", "--yes", big});
    smaller(b.pty, "NX31A32", "7FFFh", {"erase", "--yes", "--start-sector", "120"});
    // Another family's bits, and an erase whose last address the A16's block 1 would answer.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"lock", "--yes", "2"}, {"double-clock", "--yes"}, {"erase", "--yes"}})
        smaller(b.pty, "NX31H64D", "DFFFh", args);
    {
        SimOnPty external({"--chip", "NX31A16", "--mode", "external"});
        smaller(external.pty, "NX31A32", "7FFFh", {"erase", "--yes", "--chip-erase"}, "external");
    }
    const CliRun silent = Tessel(On("sim:NX31A32:1.1F:silent-from=23", "NX31A32", {"erase", "--yes"}));
    EXPECT_EQ(silent.status, 4) << silent.out;
    EXPECT_TRUE(silent.Says("the boot loader stopped answering")) << silent.out;
    EXPECT_FALSE(silent.Says("smaller")) << silent.out;
    // Only reads went out (above), and the chip says so too: its lock status is still 00h.
    const CliRun after = Tessel({"detect", "--port", b.pty, "--chip", "NX31A16", "--json"});
    EXPECT_TRUE(after.Says("\"lock_status\":0")) << after.out;
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
}

// Nothing is changed without a question naming it; with no terminal the answer is No, and at a
// terminal only a yes is a yes. (An erase declined with no terminal: CliResults' declined rows,
// and CommandApi for what it leaves on the chip.)
TEST(CliQuestions, EditWithoutYesAsksAndOnlyAYesErases) {
    const TempFolder dir;
    const std::string trace = dir + "/wire.txt";
    const CliRun r = Tessel(On("sim:NX31A32", "NX31A32", {"edit", "03E6", "72", "4F", "--trace-wire", trace}));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.Says("Data in block 0 will be modified.")) << r.out;
    EXPECT_TRUE(r.Says("edit: block 0 was not changed")) << r.out;
    EXPECT_EQ(ChangesAfterDetection(trace), std::vector<std::string>{}) << "only reads went out";
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

}  // namespace
}  // namespace tessel
