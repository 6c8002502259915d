#pragma once
// The flash commands as one class over the target, shared by the two files that define
// them: the reads, saves, prints and compares, and the writes (download and the erases).

#include "commands/FlashCommands.h"
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include "commands/DetectCommands.h"
#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "device/SectorLists.h"
#include "files/Backup.h"
#include "files/FlashDump.h"
#include "transfer/ChipCheck.h"
#include "transfer/ImageLoaders.h"
#include "transfer/SaveFlash.h"
#include "firmware/Firmware.h"
#include "protocol/Password.h"
#include "protocol/Primitives.h"
#include "commands/Block1Stub.h"
#include "commands/Commands.h"
#include "commands/FlashDialogs.h"
#include "commands/Target.h"
#include "commands/MemoryView.h"
#include "commands/PrintTarget.h"
#include "commands/Texts.h"

namespace tessel::flash {


// What each command says when a block-select exchange fails.
struct BlockSelectTexts {
    const char* block0;
    const char* block1HL64D;
    const char* block1HL32B;
};
constexpr BlockSelectTexts kReadTexts{"Reading Block0 of H/Lxx failed!", "Reading Block1 of H/L64D failed!",
                                      "Reading Block1 of H/L32B failed!"};
constexpr BlockSelectTexts kDownloadTexts{"Downloading to Block0 of H/L64D failed!",
                                          "Downloading to Block1 of H/L64D failed!",
                                          "Downloading to Block1 of H/L32B failed!"};
constexpr BlockSelectTexts kCompareTexts{"Comparing Block0 data of H/Lxx failed!",
                                         "Comparing Block1 data of H/L64D failed!",
                                         "Comparing Block1 data of H/L32B failed!"};
constexpr BlockSelectTexts kEraseTexts{"Block0 sector erase of H/Lxx failed!", "Block1 sector erase of H/L64D failed!",
                                       "Block1 sector erase of H/L32B failed!"};
constexpr BlockSelectTexts kPrintTexts{"Printing Block0 of H/Lxx failed!", "Printing Block1 of H/L64D failed!",
                                       "Printing Block1 of H/L32B failed!"};
constexpr BlockSelectTexts kSaveTexts{"Saving Block0 data of H/L64D failed!", "Saving Block1 data of H/L64D failed!",
                                      "Saving Block1 data of H/L32B failed!"};

// What the stub procedure says, per command.
struct StubTexts {
    const char* bslA;
    const char* bslHL;
    const char* failed;
    // What a stop's report says of block 1 after the work succeeded, or did not.
    const char* workDone;
    const char* workFailed;
};
constexpr StubTexts kDownloadStub{"You can not erase BSL which resides in the first 16 sectors of Block1!",
                                  "You can not erase BSL which resides in the first 9 sectors of Block1!",
                                  "Download to Block1 Failed!", "block 1 was written and verified",
                                  "block 1 holds a partial image"};
constexpr StubTexts kEraseStub{"You can not erase the first 16 block1\nsectors which are used to store BSL!",
                               "You can not erase the first 9 block1\nsectors which are used to store BSL!",
                               "Erase Block1 Sectors Failed!", "block 1's sectors were erased",
                               "block 1's sectors may be partly erased"};

constexpr char kEraseQuestion[] = "Data in corresponding sectors will be erased.\nProceed to download?";
constexpr char kSectorsErased[] = "Sectors erase completed!!!";
constexpr char kExternalBslDownload[] =
    "You can't overwrite external BSL firmware\nwhich resides in the first sector of Low64K memory!";
constexpr char kExternalBslErase[] =
    "You can't erase external BSL firmware\nwhich resides in the first sector of Low64K memory!";


inline std::string Printf(const char* format, const std::string& a) {
    char buf[512];
    std::snprintf(buf, sizeof buf, format, a.c_str());
    return buf;
}

// Puts the title back on every exit of a command that changed it.
class TitleGuard {
public:
    explicit TitleGuard(Target& w) : w_(w), saved_(w.Title()) {}
    ~TitleGuard() { w_.SetTitle(saved_); }
    TitleGuard(const TitleGuard&) = delete;
    TitleGuard& operator=(const TitleGuard&) = delete;

private:
    Target& w_;
    std::string saved_;
};

// Sets a session flag for the life of a scope and clears it on every exit.
template <typename Flag>
class ScopedFlag {
public:
    explicit ScopedFlag(Flag& flag) : flag_(flag) { flag_ = true; }
    ~ScopedFlag() { flag_ = false; }
    ScopedFlag(const ScopedFlag&) = delete;
    ScopedFlag& operator=(const ScopedFlag&) = delete;

private:
    Flag& flag_;
};

// A read steps its bar once a sector: each step is a sector arrived in the image, which
// the sector list shows at once rather than when the whole read has ended.
class SectorsArriving final : public ProgressReporter {
public:
    SectorsArriving(Target& w, int block, int first) : w_(w), block_(block), next_(first) {}
    void setProgressLabel(const std::string& text) override { w_.setProgressLabel(text); }
    void setProgressRange(int upper) override { w_.setProgressRange(upper); }
    void stepProgress() override {
        w_.stepProgress();
        w_.Memory().RecordRead(block_, next_++);
    }
    void resetProgress() override { w_.resetProgress(); }
    void setProgressStepBytes(uint32_t bytes) override { w_.setProgressStepBytes(bytes); }
    void reportFailure(const Failure& failure) override { w_.reportFailure(failure); }

private:
    Target& w_;
    int block_;
    int next_;
};

class FlashCommands {
public:
    FlashCommands(Target& w, FlashCommandEnv env) : w_(w), env_(std::move(env)) {}

    CDeviceSession& S() { return w_.Session(); }
    Operator& Op() { return w_.Op(); }
    LinkContext Link() { return LinkContext{S(), w_, nullptr}; }
    bool Window() { return S().ExternalWindowOpen(); }
    bool HasPrinter() const { return static_cast<bool>(env_.printer); }
    bool HighWindow() { return S().externalHighOpen; }
    // What the last compare found different.
    const CompareDifferences& Differences() const { return differences_; }

    // A failure that the command or a layer below has reported; later ones stay silent.
    void MarkError() { S().flags.errorReported = true; }
    // The work stopped at the operator's request: the stop's report tells it, not a failure box.
    bool Stopped() { return S().flags.stop.Stopped(); }
    void Result(const std::string& text) { w_.SetResult(text); }
    // The operator answered No to the question that names what would be lost.
    void Declined(const std::string& text) {
        Result(text);
        w_.NoteDeclined();
    }

    // "8 sectors at 0000h-03FFh", as the command line's result lines count and place them.
    std::string SectorsAt(long long n, uint32_t from, uint32_t bytes) {
        char buf[96];
        const char* hex = Window() && HighWindow() ? "%lld sector%s at 1%04Xh-1%04Xh" : "%lld sector%s at %04Xh-%04Xh";
        std::snprintf(buf, sizeof buf, hex, n, n == 1 ? "" : "s", from, from + (bytes ? bytes - 1 : 0));
        return buf;
    }

    // What a load did to the sectors its image touches: where every chunk was read back
    // (`done` Written), the chip holds what the loader says it left there (`holds`: the image
    // with the chip's own bytes where the file gives none), or else the image and erased cells;
    // where the load ran without a read-back, they changed unseen; a load that failed or
    // stopped may have left any of them half done.
    void RecordLoad(const LoadedImage& image, int block, uint32_t address, bool ok, SectorState done,
                    const std::vector<uint8_t>& holds = {});

    // The start of every command: a clear status line, and no failure left over from the last
    // command (the 1.1E worker owns the flag while it runs).
    void Begin() {
        if (!S().flags.workerRunning) S().flags.errorReported = false;
        w_.SetIapStatus("");
        w_.Refresh();
    }

    // The session checks, then the rule book, then the password gate: a command the chip's
    // state forbids is refused before the gate's frame or any other byte goes out.
    CheckOutcome Pre(bool gate, RuledCommand command);

    bool BlockNumberOk() {
        if (S().currentBlock == 0 || S().currentBlock == 1) return true;
        Op().Warn(kIllegalBlockNumber);
        return false;
    }

    // The chosen block becomes the current one and its tab is shown; on the H/L models the
    // chip is told which block the following commands address.
    bool BlockAccess(const FlashSelection& sel, const BlockSelectTexts& texts, bool skipSelects = false);

    // ---- the block-1 stub procedure ----

    // Runs `work` while the block-1 programming stub has control (see Block1Stub.h). True
    // only when the work and the restore of block 0 both succeeded.
    bool WithStub(uint32_t address, const StubTexts& texts, const std::function<bool()>& work,
                  const std::function<void()>& beforeSwitchBack = {}, bool workStops = false);

    // ---- Read ----

    // ---- the dialogs' answers, as the requests the command line gives ----

    std::optional<SectorRange> AskRange(const char* title) {
        ScopedFlag<bool> busy(S().rangeDialogBusy);
        SectorRangeDialog dialog(S(), 0, 0, title);
        if (Op().RunDialog(dialog) != DialogResult::Ok) return std::nullopt;
        return RangeOf(dialog.startIndex, dialog.countIndex);
    }

    SectorRange RangeOf(int startIndex, int countIndex);

    std::optional<ImageRequest> AskImage(FileSectorDialog::Kind kind) {
        FileSectorDialog dialog(S(), kind, &Op());
        if (Op().RunDialog(dialog) != DialogResult::Ok) return std::nullopt;
        const SectorRange at = RangeOf(dialog.startIndex, 0);
        return ImageRequest{dialog.fileName, dialog.format, at.block, at.firstSector, dialog.changedOnly};
    }

    FlashSelection SelectionOf(const SectorRange& r) {
        return SelectFlashSectors(S(), r.block, r.firstSector, r.count);
    }
    // Cut to the window: sectors past it would wrap onto the window's first sectors.
    static ExternalSelection WindowSelectionOf(const SectorRange& r) {
        return MapExternalSelection(r.firstSector, r.count, true);
    }

    bool Read(std::optional<SectorRange> given = std::nullopt);

    // The sectors not read keep their erased look in the view; say so rather than let them
    // pass for blank flash. A read the operator stopped did not fail: the stop's report says
    // how far it got.
    void ReportShortRead(const std::string& what, uint32_t whole);

    bool ExternalRead(std::optional<SectorRange> given);

    // ---- Download ----

    // The chip type chosen at detection decides what is erased: a chip taken for another
    // would lose what lies outside the range meant, so its answers are checked first.
    bool ChipBearsOutType(int block);

    DownloadEnd Download(std::optional<ImageRequest> given = std::nullopt);

    // What a load of `image` into `block` reaches: the bytes the file gives and the sectors
    // that hold one, which the load erases before it writes.
    struct Footprint {
        size_t bytes = 0;
        long long sectors = 0;
        size_t firstOffset = 0;  // of the first and past the last erased sector, in the image
        size_t endOffset = 0;
        uint32_t unit = 1;
    };
    Footprint FootprintOf(const LoadedImage& image, int block);

    // The question before a download names what it costs: the file, its bytes, and the
    // sectors and addresses erased for it, as the Sector Erase question does; the loader's
    // own two lines follow.
    std::string DownloadQuestion(const LoadedImage& image, int block, int firstSector, uint32_t address,
                                 bool changedOnly);

    void DescribeDownload(const LoadedImage& image, uint32_t address, bool ok);

    DownloadEnd Failed() {
        MarkError();
        return DownloadEnd::Failed;
    }

    // The boot loader upgrade erases the loader's own area first, with a few more tries. The
    // tries erase that area and no more: on the H/L chips three more sectors would be block 1
    // code outside the loader, which the new loader (checked to fit the area) does not replace.
    bool EraseBslArea();

    DownloadEnd UpgradeDownload(const LoadedImage& image, uint32_t address);

    bool DownloadCommand(std::optional<ImageRequest> given = std::nullopt);

    // True when the first sector of the low window holds the demonstration board's own loader;
    // also true when it cannot be read, since overwriting it unseen would brick the board.
    bool ExternalBslPresent();

    bool ExternalDownload(std::optional<ImageRequest> given);

    // ---- Compare ----

    bool Compare(std::optional<ImageRequest> given = std::nullopt);

    // The lock states in which block 0 reads back as locked, per family.
    bool HardLockNotice(int lock) {
        if (S().Family() == ChipFamily::A) return lock == 0x80 || lock == 0xA0 || lock == 0xC0 || lock == 0xE0;
        return lock == 0x60 || lock == 0xA0 || lock == 0xE0;
    }

    // The file of a compare, read whole before any byte goes to the chip.
    bool ReadCompareImage(const std::string& path, ImageFormat format, LoadedImage* image);

    bool RunCompare(const LoadedImage& image, int block, uint32_t address, bool high);

    static std::string AddressText(uint32_t address, bool high) {
        char buf[16];
        std::snprintf(buf, sizeof buf, high ? "1%04Xh" : "%04Xh", static_cast<unsigned>(address));
        return buf;
    }
    static std::string HexByte(uint8_t b) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02Xh", b);
        return buf;
    }

    // The sectors the compare read in full are known from now on, and the bytes that differ
    // are marked in the dump, which shows the first of them.
    void ShowCompared(const CompareReport& report, int block, bool high);

    bool ExternalCompare(std::optional<ImageRequest> given);

    // ---- Sector Erase ----

    bool SectorErase(std::optional<SectorRange> given = std::nullopt);

    // The chip answered each sector's erase when it was done: those sectors hold erased
    // cells. An erase that failed or stopped may have reached any of them.
    void RecordErase(int block, int first, int count, bool ok);

    // Every erase is asked first, naming what goes (the question the command line asks too);
    // No is the default answer.
    static std::string EraseQuestion(const std::string& naming) { return naming + " Their data will be lost."; }

    bool ExternalSectorErase(std::optional<SectorRange> given);

    // ---- Chip Erase ----

    bool ChipErase();

    bool Block0ReadsBlank(LinkContext& link);

    // ---- Save ----

    std::optional<SaveRequest> AskSave() {
        SaveDialog dialog(S(), &Op());
        if (Op().RunDialog(dialog) != DialogResult::Ok) return std::nullopt;
        return SaveRequest{RangeOf(dialog.startIndex, dialog.countIndex), dialog.fileName, dialog.textMode == 1};
    }

    bool Save(std::optional<SaveRequest> given = std::nullopt);

    bool ExternalSave(std::optional<SaveRequest> given);

    // ---- Print ----

    bool Print();

    bool ExternalPrint(PrintTarget& printer);

    bool ReportPrint(PrintOutcome rc, const std::string& at);

    // The completion names the file and what it holds, so that a name and its contents
    // cannot be taken for each other.
    bool ReportSave(int rc, const std::string& path, SaveFormat format, const std::string& at);

private:
    Target& w_;
    FlashCommandEnv env_;
    bool declined_ = false;
    std::string chipRefusal_;  // why the chip's answers refused the chip type, for the result line
    CompareDifferences differences_;
};

}  // namespace tessel::flash
