#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "files/HexImage.h"
#include "support/FlashRig.h"
#include "transfer/ImageLoaders.h"
#include "commands/Commands.h"

namespace tessel {
namespace {

using namespace test;

// The download and compare dialogs' path: the warning title while the dialog is open, the
// image where the file puts it, and a mismatch named by address, both bytes and the file.
TEST(FlashCommands, ADownloadErasesOnlyTheSectorsItTouchesAndCompareNamesAMismatch) {
    DetectedRig r;
    r.file = SampleHex();
    const std::string title = r.window.Title();
    EXPECT_TRUE(r.RunYes(command::kDownload));
    EXPECT_EQ(r.titlesSeen.front(), "WARNING! DATA IN BLOCK 0 WILL BE ERASED. PLEASE BACK THEM UP FIRST.");
    EXPECT_EQ(r.window.Title(), title);
    EXPECT_EQ(CountFrames(r.LastCommands(), "0B"), 1u);
    EXPECT_TRUE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus), "File blink.hex Compare OK!");
    std::vector<uint8_t> flash = r.Block(0);
    flash[0x31] = 0x00;
    r.board().SetBlock(0, flash);
    EXPECT_FALSE(r.Run(command::kCompare));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus),
              "Unmatched data at memory address 0031h: 00h(MCU) vs. 81h in File blink.hex");
    EXPECT_TRUE(r.Said("Failed to Verify Data!!!\n1 byte differs, at 0031h: chip 00h, file 81h."));

    // A 300-byte program, as binary or HEX, plainly or rewriting only what changed: three
    // sectors erased, the rest of the third one kept as the chip held it (and shown so), the
    // fourth not touched.
    const std::vector<uint8_t> data = Pattern(300, 9);
    for (const std::string name : {"p.bin", "p.hex"})
        for (const bool changedOnly : {false, true}) {
            SCOPED_TRACE(name + (changedOnly ? ", changed only" : ""));
            std::vector<uint8_t> want = r.FillBlock(0, 1);
            std::copy(data.begin(), data.end(), want.begin());
            const std::string file = name == "p.bin" ? r.WriteFile(name, data) : r.WriteFile(name, HexOf({{0, data}}));
            EXPECT_EQ(r.Download(file, 0, 0, changedOnly).summary,
                      "downloaded " + name + ": 300 bytes in 3 sectors at 0000h-012Bh, verified");
            EXPECT_EQ(CountFrames(r.LastCommands(), "0B"), 3u);
            EXPECT_EQ(r.Block(0), want);
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + 384, r.session().BlockImage(0).begin()));
        }
}

TEST(FlashCommands, RefusedFilesAndDeclinedDownloadsLeaveTheChipUntouched) {
    DetectedRig r(BoardOf(1));  // NX31A16: 16 KB block 0
    const std::vector<uint8_t> before = r.FillBlock(0, 3);
    const struct {
        std::string file;
        std::string message;  // the start of what the operator is told
        Outcome outcome = Outcome::Failed;
        bool yes = true;
        Fault fault = Fault::File;
    } cases[] = {
        {r.WriteFile("big.bin", std::vector<uint8_t>(16385, 0x11)), "The selected file is over size!!!"},
        {r.WriteFile("bad.hex", ":0300000002003FCB\n:00000001FF\n"), r.dir + "/bad.hex: line 1"},
        {r.dir + "/missing.bin", "Can't open the selected file!!!"},
        {SampleHex(),
         "Download blink.hex (18 bytes) to block 0: sector 000 (0000h-007Fh) is erased first.\n"
         "Data in corresponding sectors will be erased.\nProceed to download?",
         Outcome::Declined, false, Fault::None},
    };
    for (const auto& c : cases) {
        r.op.answers = {c.yes};
        const CommandResult result = DownloadImage(r.window, {c.file});
        EXPECT_EQ(result.outcome, c.outcome) << c.file;
        EXPECT_EQ(result.fault, c.fault) << c.file;
        const std::string said = c.yes ? r.op.messages.back() : r.op.questions.back();
        EXPECT_EQ(said.rfind(c.message, 0), 0u) << said;
    }
    // Taken for an NX31A32, the chip stays silent inside the claimed block 0: refused before
    // the question.
    r.session().chipType = 2;
    r.op.questions.clear();
    EXPECT_FALSE(r.Download(r.WriteFile("20k.bin", std::vector<uint8_t>(20000, 0xA5))).Ok());
    EXPECT_TRUE(r.LastSaid("The chip did not answer a read at 7FFFh, inside NX31A32's block 0"));
    EXPECT_TRUE(r.op.questions.empty());
    // A cancelled dialog asks nothing.
    r.session().chipType = 1;
    r.cancel = true;
    EXPECT_FALSE(r.Run(command::kDownload));
    EXPECT_TRUE(r.op.questions.empty());
    EXPECT_EQ(r.Block(0), before);
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "0B"), 0u);
}

// Block 1 goes in through the stub that borrows block 0, which comes back; the loader's own
// sectors are refused.
TEST(FlashCommands, Block1GoesThroughTheStubAndBlock0ComesBack) {
    // The first sector after the loader's, and how far into block 1 it starts.
    const struct { int chip, sector; long offset; } cases[] = {{2, 16, 0x400}, {3, 9, 0x480}, {5, 9, 0x480}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chip);
        DetectedRig r(BoardOf(c.chip));
        const std::vector<uint8_t> block0 = r.FillBlock(0, 5);
        const std::vector<uint8_t> before1 = r.Block(1);
        const std::vector<uint8_t> data = Pattern(200, 0x40);
        const std::string file = r.WriteFile("b1.bin", data);
        r.window.Memory().Record(0, 0, 4, SectorState::Read);  // as a read of block 0 leaves it
        EXPECT_FALSE(r.Download(file, 1, c.sector - 1).Ok());
        EXPECT_EQ(r.window.Memory().State(0, 3), SectorState::Read) << "a block 0 nothing touched stays known";
        EXPECT_TRUE(r.Said("You can not erase BSL which resides in the first " + std::to_string(c.sector) +
                           " sectors of Block1!"));
        EXPECT_EQ(r.Block(1), before1);
        EXPECT_TRUE(r.Download(file, 1, c.sector).Ok());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), r.Block(1).begin() + c.offset));
        EXPECT_EQ(r.Block(0), block0) << "the save areas are back";
        EXPECT_EQ(r.board().CurrentMode(), sim::Mode::Loader);
        EXPECT_TRUE(r.Backups().empty()) << "a restored block 0 leaves no backup behind";
        if (c.chip == 3) {
            // H/L64D: block 1 is selected before the question, block 0 before the stub goes in.
            const auto log = r.board().CommandLog();
            const auto select0 = std::find(std::find(log.begin(), log.end(), "69 69"), log.end(), "68 68");
            EXPECT_NE(std::find(select0, log.end(), "03 20 27 10"), log.end()) << "69 69, 68 68, then the stub";
        }
    }
}

// External memory mode: no password gate, and Chip Erase completed only when block 0 reads
// back blank, with a detection after it whatever the answer.
TEST(ChipErase, IsCompletedOnlyWhenBlock0ReadsBackBlankAndRedetectsWhateverTheAnswer) {
    sim::BoardConfig config = BoardOf(2);
    config.startExternal = true;
    DetectedRig r(config, kExternalMemory);
    EXPECT_TRUE(r.Run(command::kRead));
    EXPECT_EQ(std::count(r.op.dialogs.begin(), r.op.dialogs.end(), "PasswordVerifyDialog"), 0);
    const std::vector<uint8_t> code = r.FillBlock(0, 5);
    // A link dead before the frame: the chip-type check before it finds the line silent.
    DetectedRig f(BoardOf(2), kExternalMemory);
    f.FillBlock(0, 5);
    f.board().SetFaults({.dropAfterBytes = f.board().BytesReceived() + f.board().BytesSent()});
    f.op.answers = {true};
    EXPECT_EQ(EraseWholeChip(f.window).outcome, Outcome::Failed);
    EXPECT_TRUE(f.SaidStart("The boot loader stopped answering")) << f.op.messages.back();
    EXPECT_EQ(f.Block(0), code) << "no frame was sent";
    EXPECT_FALSE(r.RunYes(command::kChipErase, {false}));
    EXPECT_EQ(r.op.questions.back(), "Chip Erase erases all of block 0 (0000h-7FFFh): the user's program "
                                     "and all its data. The boot loader in block 1 stays.\nDo you really want to proceed?");
    EXPECT_TRUE(r.session().IsLinkUp()) << "the detection after No finds the chip still there";
    EXPECT_EQ(r.Block(0), code);
    EXPECT_TRUE(r.RunYes(command::kChipErase));
    EXPECT_TRUE(r.Said("Chip Erase Completed!\nChip will be automatically redetected!", MessageKind::Information));
    EXPECT_TRUE(r.session().IsLinkUp() && !r.session().flags.longOperation);
    EXPECT_TRUE(Blank(r.Block(0)));
}

TEST(FlashCommands, ReadPrintAndSaveCutTheRangeAtTheBlockEndAndPrintKeepsLinesWhole) {
    DetectedRig r;
    std::vector<uint8_t> flash(32768, 0xFF);
    std::fill(flash.begin() + 3 * 128, flash.begin() + 4 * 128, 0x5A);
    r.board().SetBlock(0, flash);
    EXPECT_TRUE(r.Run(command::kRead));
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), r.session().BlockImage(0).begin()));

    // Sector 250 with ten sectors reads the six that exist.
    r.startSector = 250;
    r.count = 10;
    const uint64_t sentBefore = r.board().BytesSent();
    EXPECT_TRUE(r.Run(command::kRead));
    EXPECT_EQ(r.board().BytesSent() - sentBefore, 6u * 128u);
    EXPECT_EQ(r.window.Memory().HotItem(), 250);
    EXPECT_EQ(r.window.Memory().StatusRows()[3][4], "Not Blank") << "what the first read found still holds";
    EXPECT_EQ(r.session().BlockImage(0)[3 * 128], 0x5A) << "the second read kept the first one's bytes";

    // Print splits the dump into pages of whole lines.
    r.board().SetBlock(0, Pattern(32768, 6));
    r.block = 1;  // Print lists block 1 too
    r.startSector = 2;
    r.count = 8;  // 8 sectors of 64 bytes: 32 dump lines
    EXPECT_TRUE(r.Run(command::kPrint));
    EXPECT_TRUE(r.Said("Print data has completed"));
    // That no line is cut between pages, and none is lost: MainWindowGui's print to a PDF.
    ASSERT_EQ(r.printer.pages.size(), 4u);
    for (const std::string& page : r.printer.pages) EXPECT_LE(r.printer.MeasureHeight(page), r.printer.PageHeight());
    EXPECT_EQ(r.printer.pages[0].compare(0, 13, "F080 - F08F  "), 0);
    EXPECT_TRUE(r.printer.completed);

    // A cancelled print dialog prints nothing and is no failure; a printer that cannot be
    // opened, or that drops a page, is a failure and says so.
    r.printer.pages.clear();
    r.printer.cancel = true;
    EXPECT_TRUE(r.Run(command::kPrint));
    EXPECT_TRUE(r.printer.pages.empty());
    r.printer = {};
    r.printer.cannotOpen = true;
    EXPECT_FALSE(r.Run(command::kPrint));
    EXPECT_TRUE(r.Said("Print data failed\nThe printer could not be opened: is a printer set up?"));
    r.printer = {};
    r.printer.failPage = 2;
    EXPECT_FALSE(r.Run(command::kPrint));
    EXPECT_FALSE(r.printer.completed);
    EXPECT_TRUE(r.Said("Print data failed\nThe printer did not take every page."));

    // The Save dialog's path once, then the requests: the last sector with five asked is one
    // sector of erased flash; block 1 as text; a HEX copy that compares; a failed read keeps
    // the old file.
    r.passwords = {""};
    r.board().SetBlock(0, std::vector<uint8_t>(32768, 0xFF));
    r.block = 0, r.startSector = 255, r.count = 5, r.textMode = 0;
    r.file = r.dir + "/last.bin";
    EXPECT_TRUE(r.Run(command::kSave));
    EXPECT_TRUE(r.Said("Save data has completed\nlast.bin holds 1 sector at 7F80h-7FFFh as binary."));
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "08 F0 40 00"), 1u) << "the empty password has a length of zero";
    EXPECT_EQ(ReadAll(r.file), std::string(128, '\xFF'));

    EXPECT_TRUE(SaveSectors(r.window, {{1, 0, 0}, r.dir + "/b1.txt", true}).Ok());
    const std::string text = ReadAll(r.dir + "/b1.txt");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 256);
    EXPECT_EQ(text.compare(0, 13, "F000 - F00F  "), 0);

    ASSERT_TRUE(r.Download(SampleHex()).Ok());
    const std::string copy = r.dir + "/copy.hex";
    EXPECT_TRUE(SaveSectors(r.window, {{0, 0, 2}, copy}).Ok());
    EXPECT_EQ(ReadAll(copy).substr(0, 1), ":");
    EXPECT_EQ(CompareImage(r.window, {copy}).summary.rfind("compare: copy.hex matches the flash", 0), 0u);

    const std::string keep = r.WriteFile("keep.bin", std::string("old"));
    r.board().SetFaults({.silentFromByte = r.board().BytesReceived() + 1});
    EXPECT_FALSE(SaveSectors(r.window, {{0, 0, 1}, keep}).Ok());
    EXPECT_TRUE(r.Said("Save data failed"));
    EXPECT_EQ(ReadAll(keep), "old");
}

// The erase question names what is lost and No erases nothing; block 1's loader sectors are
// refused; a chip with a password erases only through the gate.
TEST(FlashCommands, SectorEraseKeepsToTheBlockAndGuardsTheLoader) {
    DetectedRig r(BoardOf(2, 0, "pw"));
    const std::vector<uint8_t> block0 = r.FillBlock(0, 2);
    const std::vector<uint8_t> block1 = r.FillBlock(1, 4);
    r.cancelPassword = true;
    EXPECT_FALSE(r.RunYes(command::kSectorErase));
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "0B"), 0u) << "nothing sent without the password";
    r.cancelPassword = false;
    r.passwords = {"pw"};
    r.startSector = 5;  // "All Sectors": from there to the end of block 0
    EXPECT_FALSE(r.RunYes(command::kSectorErase, {false}));
    EXPECT_EQ(r.op.questions.back(), "Erase sectors 005-255 of block 0 (0280h-7FFFh)? Their data will be lost.");
    EXPECT_EQ(CountFrames(r.LastCommands(), "0B"), 0u);
    EXPECT_EQ(r.Block(0), block0);
    EXPECT_TRUE(r.RunYes(command::kSectorErase));
    EXPECT_TRUE(r.Said("Sectors erase completed!!!"));
    EXPECT_EQ(r.window.Memory().State(0, 5), SectorState::Written);
    EXPECT_EQ(r.window.Memory().State(0, 4), SectorState::NotRead);
    const std::vector<uint8_t> flash = r.Block(0);
    EXPECT_TRUE(std::equal(block0.begin(), block0.begin() + 640, flash.begin()));
    EXPECT_TRUE(Blank(flash, 640));
    EXPECT_EQ(r.Block(1), block1);

    // The API's range, the dialog's one block further: block 1's sectors from 0.
    EXPECT_FALSE(EraseSectorRange(r.window, {1, 15, 1}).Ok());
    EXPECT_TRUE(r.Said("You can not erase the first 16 block1\nsectors which are used to store BSL!"));
    r.board().SetBlock(0, block0);
    r.block = 1, r.startSector = 16, r.count = 2;
    EXPECT_TRUE(r.RunYes(command::kSectorErase));
    EXPECT_EQ(r.op.questions.back(), "Erase sectors 016-017 of block 1 (F400h-F47Fh)? Their data will be lost.");
    const std::vector<uint8_t> after1 = r.Block(1);
    EXPECT_TRUE(Blank(after1, 0x400, 0x480));
    EXPECT_TRUE(after1[0x480] == block1[0x480] && after1[0x3FF] == block1[0x3FF]);
    EXPECT_EQ(r.Block(0), block0);
}

TEST(FlashCommands, PasswordGateGivesThreeTriesAndKeepsThePasswordOffTheTrace) {
    DetectedRig r(BoardOf(2, 0, "secret"));
    const std::string trace = r.dir + "/wire.txt";
    ASSERT_TRUE(r.session().port.StartWireTrace(trace, nullptr));

    r.passwords = {"a", "b", "c"};
    EXPECT_FALSE(r.Run(command::kRead));
    EXPECT_EQ(std::count(r.op.messages.begin(), r.op.messages.end(), "Password is incorrect!"), 3);
    EXPECT_EQ(r.op.messages.back(), "Password Verify Failed!");
    EXPECT_EQ(r.op.kinds.back(), MessageKind::Error);
    EXPECT_EQ(CountFrames(r.board().CommandLog(), "0C"), 0u) << "the command did not run";

    // Cancel stops silently.
    r.op.messages.clear();
    r.cancelPassword = true;
    EXPECT_FALSE(r.Run(command::kRead));
    EXPECT_TRUE(r.op.messages.empty());
    r.cancelPassword = false;

    r.passwords = {"wrong", "secret"};
    EXPECT_TRUE(r.Run(command::kRead));
    EXPECT_EQ(r.session().gatePassword, "secret");
    const size_t dialogs = r.op.dialogs.size();
    EXPECT_TRUE(r.Run(command::kRead));
    EXPECT_EQ(r.op.dialogs.size(), dialogs + 1) << "only the range dialog: the gate remembers";

    // A re-detection forgets the verification.
    r.window.Route(command::kResetLink);
    ASSERT_TRUE(r.Detect());
    EXPECT_FALSE(r.session().flags.passwordVerified);
    r.session().port.StopWireTrace();
    const std::string wire = ReadAll(trace);
    EXPECT_NE(wire.find("withheld"), std::string::npos);
    EXPECT_EQ(wire.find("73 65 63"), std::string::npos) << "no password characters in the trace";
}

// ---- Downloads that rewrite only what changed ----

// A download that rewrites only what changed, on an NX31A32's block 0: what it erases, programs
// and reads, and what the block holds afterwards.
TEST(ChangedOnlyDownload, RewritesErasesAndReadsOnlyWhatItMust) {
    const std::vector<uint8_t> old = Pattern(32768, 7), blank(32768, 0xFF);
    // Sector 5 needs a bit set (an erase), sector 9 only bits cleared (programmed as it is).
    std::vector<uint8_t> twoChanged = old;
    twoChanged[5 * 128 + 3] = old[5 * 128 + 3] == 0xFF ? 0x7F : 0xFF;
    twoChanged[9 * 128 + 100] = static_cast<uint8_t>(old[9 * 128 + 100] & 0x0F);
    ASSERT_NE(twoChanged[9 * 128 + 100], old[9 * 128 + 100]);
    std::vector<uint8_t> fromBlank = blank, placed = old;
    const std::vector<uint8_t> image = Pattern(1000, 3);
    std::copy(image.begin(), image.end(), fromBlank.begin());
    placed[0x481] = static_cast<uint8_t>(~old[0x481]);
    const auto bin = [](const std::vector<uint8_t>& v, size_t n) { return std::string(v.begin(), v.begin() + n); };
    const std::string placedHex = HexOf({{0x400, std::vector<uint8_t>(placed.begin() + 0x400, placed.begin() + 0x488)}});
    const struct {
        const char* what;
        const std::vector<uint8_t>& before;
        std::string name, file;
        const std::vector<uint8_t>& after;
        std::vector<std::string> erased;  // the erase frames
        size_t programmed;                // 0Eh frames; ~0 not counted
        size_t reads;                     // 0Ch frames; ~0 not counted
        uint64_t garbleReply;             // this reply byte of the command is garbled; 0 none
        const char* status;
    } cases[] = {
        {"two sectors changed", old, "app.bin", bin(twoChanged, 32768), twoChanged, {"0B 02 80"}, 2, ~size_t{0}, 0,
         "Sectors rewritten: 2, skipped (unchanged): 254"},
        // On a blank chip nothing needs an erase; the rest of the last sector stays the chip's.
        {"a blank chip", blank, "app.bin", bin(image, 1000), fromBlank, {}, ~size_t{0}, ~size_t{0}, 0,
         "Sectors rewritten: 8, skipped (unchanged): 0"},
        {"what the chip holds", old, "app.bin", bin(old, 1000), old, {}, 0, ~size_t{0}, 0, "Sectors rewritten: 0, skipped (unchanged): 8"},
        // A file at 0400h reads its own two sectors once; the second, rewritten with bytes after
        // the file's end going back into it, once more (and a third time when two reads
        // disagree), then reads it back as programmed.
        {"placed at 0400h", old, "placed.hex", placedHex, placed, {"0B 04 80"}, ~size_t{0}, 5, 0, "Sectors rewritten: 1, skipped (unchanged): 1"},
        {"placed, a read garbled", old, "placed.hex", placedHex, placed, {"0B 04 80"}, ~size_t{0}, 6, 1 + 128 + 17,
         "Sectors rewritten: 1, skipped (unchanged): 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FlashRig r(BoardOf(2));
        r.board().SetBlock(0, c.before);
        ASSERT_TRUE(r.Detect());
        const std::string file = r.WriteFile(c.name, c.file);
        if (c.garbleReply) r.board().SetFaults({.corruptReplyByte = r.board().BytesSent() + c.garbleReply});
        EXPECT_TRUE(r.Download(file, 0, 0, true).Ok());
        EXPECT_EQ(r.Block(0), c.after);
        const std::vector<std::string> log = r.LastCommands();
        EXPECT_EQ(CountFrames(log, "0B"), c.erased.size());
        for (const std::string& frame : c.erased) EXPECT_EQ(CountFrames(log, frame), 1u) << frame;
        EXPECT_TRUE(c.programmed == ~size_t{0} || CountFrames(log, "0E") == c.programmed);
        if (c.reads != ~size_t{0}) {
            EXPECT_EQ(CountFrames(log, "0C 04 00"), 1u);
            EXPECT_EQ(CountFrames(log, "0C"), c.reads);
        }
        EXPECT_EQ(r.window.Field(ChipField::IapStatus), c.status);
    }
}

// A sector that cannot be erased fails the download, as it would a plain one, and no result
// line claims sectors were rewritten.
TEST(ChangedOnlyDownload, ARefusedEraseFailsTheCommand) {
    DetectedRig r(BoardOf(2));
    std::vector<uint8_t> now = r.FillBlock(0, 1);
    now[200] = static_cast<uint8_t>(~now[200]);
    r.board().SetFaults({.refuseCommand = 0x0B});
    EXPECT_FALSE(r.Download(r.WriteFile("app.bin", now), 0, 0, true).Ok());
    EXPECT_TRUE(r.Said("Sector erase failed!!!"));
    EXPECT_EQ(r.window.Field(ChipField::IapStatus).find("rewritten"), std::string::npos);
}

// The file dialogs stay open, saying why, for a blank name and for a kind the name contradicts.
TEST(FileDialogs, ABlankNameOrAKindTheNameContradictsKeepsTheDialogOpen) {
    CDeviceSession session(nullptr);
    RecordingOperator op;
    FileSectorDialog download(session, FileSectorDialog::Kind::Download, &op);
    download.fileName = " \t";
    EXPECT_EQ(download.PressOk(), OkOutcome::KeepOpen);
    EXPECT_EQ(op.messages, std::vector<std::string>{FileSectorDialog::kNoFileName});
    const struct {
        const char* name;
        int textMode;         // 1: "Text File"
        const char* refusal;  // "": taken
    } rows[] = {{"", 0, FileSectorDialog::kNoFileName},         {"b0.HEX", 1, "A name ending in .hex is not a text file"},
                {"b0.bin", 1, "A name ending in .bin is not a text"}, {"b0.txt", 0, "A name ending in .txt is a text file"},
                {"b0.hex", 0, ""}, {"b0.txt", 1, ""}, {"dir.hex/b0", 1, ""}};
    for (const auto& row : rows) {
        SaveDialog save(session, &op);
        save.fileName = row.name;
        save.textMode = row.textMode;
        op.messages.clear();
        EXPECT_EQ(save.PressOk(), *row.refusal ? OkOutcome::KeepOpen : OkOutcome::CloseOk) << row.name;
        EXPECT_EQ(op.messages.empty() ? "" : op.messages.back().substr(0, std::strlen(row.refusal)), row.refusal) << row.name;
    }
}

}  // namespace
}  // namespace tessel
