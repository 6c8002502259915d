#include "ui/FlashCommands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
#include "ui/Block1Stub.h"
#include "ui/CommandApi.h"
#include "ui/FlashDialogs.h"
#include "ui/MainDialog.h"
#include "ui/MemoryView.h"
#include "ui/PrintTarget.h"
#include "ui/Texts.h"

namespace tessel {

namespace {

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


std::string Printf(const char* format, const std::string& a) {
    char buf[512];
    std::snprintf(buf, sizeof buf, format, a.c_str());
    return buf;
}

// Puts the title back on every exit of a command that changed it.
class TitleGuard {
public:
    explicit TitleGuard(MainDialog& w) : w_(w), saved_(w.Title()) {}
    ~TitleGuard() { w_.SetTitle(saved_); }
    TitleGuard(const TitleGuard&) = delete;
    TitleGuard& operator=(const TitleGuard&) = delete;

private:
    MainDialog& w_;
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
    SectorsArriving(MainDialog& w, int block, int first) : w_(w), block_(block), next_(first) {}
    void setProgressLabel(const std::string& text) override { w_.setProgressLabel(text); }
    void setProgressRange(int upper) override { w_.setProgressRange(upper); }
    void stepProgress() override {
        w_.stepProgress();
        w_.Memory().RecordRead(block_, next_++);
    }
    void resetProgress() override { w_.resetProgress(); }
    void setProgressStepBytes(uint32_t bytes) override { w_.setProgressStepBytes(bytes); }
    void reportFailure(const ProgressFailure& failure) override { w_.reportFailure(failure); }

private:
    MainDialog& w_;
    int block_;
    int next_;
};

class FlashCommands {
public:
    FlashCommands(MainDialog& w, FlashCommandEnv env) : w_(w), env_(std::move(env)) {}

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
                    const std::vector<uint8_t>& holds = {}) {
        CDeviceSession& s = S();
        const bool window = Window();
        const uint32_t unit = static_cast<uint32_t>(window ? kExternalSectorSize : s.SectorSize(block));
        const uint32_t base = window ? 0u : static_cast<uint32_t>(s.StartAddress(block));
        if (unit == 0 || address < base) return;
        const int first = static_cast<int>((address - base) / unit);
        std::span<uint8_t> shown = window ? s.ExternalImage() : s.BlockImage(block);
        MemoryView& view = w_.Memory();
        for (const TouchedRun& r : TouchedRuns(image, 0, image.bytes.size(), unit)) {
            const int sector = first + static_cast<int>(r.offset / unit);
            SectorState state = ok ? done : SectorState::NotRead;
            const size_t at = static_cast<size_t>(sector) * unit;
            if (state == SectorState::Written) {
                if (at + r.length > shown.size()) {
                    state = SectorState::ChangedNotRead;
                } else {
                    const std::vector<uint8_t>& bytes = holds.empty() ? image.bytes : holds;
                    std::fill_n(shown.begin() + static_cast<std::ptrdiff_t>(at), r.length, uint8_t{0xFF});
                    const size_t n = std::min(r.length, bytes.size() - r.offset);
                    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(r.offset), n,
                                shown.begin() + static_cast<std::ptrdiff_t>(at));
                }
            }
            view.Record(window ? -1 : block, sector, static_cast<int>(r.length / unit), state);
        }
        view.Refresh();
    }

    // Block 0 lends its save areas to the block-1 stub; unless they were put back, nothing
    // known of it still holds.
    void RecordBlock0AfterStub(bool ok) {
        if (ok || S().flags.stop.Notes().find("block 0 was put back as it was") != std::string::npos) return;
        w_.Memory().Record(0, 0, S().SectorCount(0), SectorState::NotRead);
        w_.Memory().Refresh();
    }

    // The start of every command: a clear status line, and no failure left over from the last
    // command (the 1.1E worker owns the flag while it runs).
    void Begin() {
        if (!S().flags.workerRunning) S().flags.errorReported = false;
        w_.SetIapStatus("");
        w_.Refresh();
    }

    // The session checks, then the rule book, then the password gate: a command the chip's
    // state forbids is refused before the gate's frame or any other byte goes out.
    CheckOutcome Pre(bool gate, RuledCommand command) {
        Begin();
        bool refused = false;
        auto rulesThenGate = [this, gate, command, &refused] {
            if (!w_.Allows(command)) {
                refused = true;
                return false;
            }
            return !gate || PasswordGate(w_);
        };
        const CheckOutcome out = CheckCommandPreconditions(&S(), &Op(), CheckScope::FlashCommand, rulesThenGate);
        if (out == CheckOutcome::RunExternalVariant && !w_.Allows(command)) return CheckOutcome::Failed;
        if (refused) return CheckOutcome::Failed;
        return out;
    }

    bool BlockNumberOk() {
        if (S().currentBlock == 0 || S().currentBlock == 1) return true;
        Op().Warn(kIllegalBlockNumber);
        return false;
    }

    // The chosen block becomes the current one and its tab is shown; on the H/L models the
    // chip is told which block the following commands address.
    bool BlockAccess(const FlashSelection& sel, const BlockSelectTexts& texts, bool skipSelects = false) {
        S().currentBlock = sel.block;
        w_.SetTab(sel.block);
        if (skipSelects || !S().NeedsBlockSelect()) return true;
        LinkContext link = Link();
        if (sel.block == 0) {
            if (selectBlock0(link)) return true;
            Op().Fail(texts.block0);
            return false;
        }
        if (selectBlock1(link)) return true;
        Op().Fail(S().Family() == ChipFamily::HL64D ? texts.block1HL64D : texts.block1HL32B);
        return false;
    }

    // ---- the block-1 stub procedure ----

    // Runs `work` while the block-1 programming stub has control (see Block1Stub.h). True
    // only when the work and the restore of block 0 both succeeded.
    bool WithStub(uint32_t address, const StubTexts& texts, const std::function<bool()>& work,
                  const std::function<void()>& beforeSwitchBack = {}, bool workStops = false) {
        if (S().InBslWindow(1, static_cast<int32_t>(address))) {
            Op().Warn(IsHLFamily(S().Family()) ? texts.bslHL : texts.bslA);
            return false;
        }
        Block1StubOptions o;
        o.backupDir = env_.backupDir;
        o.selectFailed = texts.failed;
        o.stubFailed = texts.failed;
        o.workDone = texts.workDone;
        o.workFailed = texts.workFailed;
        o.beforeSwitchBack = beforeSwitchBack;
        o.workStopsBetweenChunks = workStops;
        return RunWithBlock1Stub(w_, o, work);
    }

    // ---- Read ----

    // ---- the dialogs' answers, as the requests the command line gives ----

    std::optional<SectorRange> AskRange(const char* title) {
        ScopedFlag<bool> busy(S().rangeDialogBusy);
        SectorRangeDialog dialog(S(), 0, 0, title);
        if (Op().RunDialog(dialog) != DialogResult::Ok) return std::nullopt;
        return RangeOf(dialog.startIndex, dialog.countIndex);
    }

    SectorRange RangeOf(int startIndex, int countIndex) {
        if (Window()) {
            const ExternalSelection e = MapExternalSelection(startIndex, countIndex, true);
            return SectorRange{0, e.first, e.count};
        }
        const FlashSelection sel = MapFlashSelection(S(), startIndex, countIndex);
        return SectorRange{sel.block, sel.firstSector, sel.count};
    }

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

    bool Read(std::optional<SectorRange> given = std::nullopt) {
        const CheckOutcome pre = Pre(true, RuledCommand::Read);
        if (pre == CheckOutcome::RunExternalVariant) return ExternalRead(given);
        if (pre != CheckOutcome::Proceed || !BlockNumberOk()) return false;
        const std::optional<SectorRange> range = given ? given : AskRange(kReadTitle);
        if (!range) return false;
        const FlashSelection sel = SelectionOf(*range);
        if (!BlockAccess(sel, kReadTexts)) return false;
        CDeviceSession& s = S();
        std::span<uint8_t> image = s.BlockImage(sel.block);
        const uint32_t size = static_cast<uint32_t>(s.SectorSize(sel.block));
        const uint32_t offset = sel.address - static_cast<uint32_t>(s.StartAddress(sel.block));
        const uint32_t bytes = static_cast<uint32_t>(sel.count) * size;
        if (image.size() < offset + bytes) return false;
        // Only the range asked for is read: what is known of the other sectors still holds.
        MemoryView& view = w_.Memory();
        view.Record(sel.block, sel.firstSector, sel.count, SectorState::NotRead);
        std::fill_n(image.begin() + offset, bytes, uint8_t{0xFF});
        view.ShowSectorStatus(sel.block, -1, -1);
        SectorsArriving arriving(w_, sel.block, sel.firstSector);
        LinkContext link{s, arriving, nullptr};
        const uint32_t got = ReadFlash(link, image.data() + offset, sel.address, bytes, size);
        // A read cut short (stopped, or the line failed) vouches only for the sectors it read
        // whole; the rest show "Not read", not the erased look of the image.
        view.ShowSectorStatus(sel.block, static_cast<int>(got / size), sel.firstSector);
        view.ShowSector(sel.block, sel.firstSector);
        w_.SetIapStatus("");
        if (got < bytes) {
            ReportShortRead("read of " + SectorsAt(sel.count, sel.address, bytes), got / size);
            return false;
        }
        int used = 0;
        for (uint32_t at = offset; at < offset + bytes; at += size)
            if (std::any_of(image.begin() + at, image.begin() + at + size, [](uint8_t b) { return b != 0xFF; })) ++used;
        Result("read " + SectorsAt(sel.count, sel.address, bytes) + ", " + std::to_string(used) + " not blank");
        return true;
    }

    // The sectors not read keep their erased look in the view; say so rather than let them
    // pass for blank flash. A read the operator stopped did not fail: the stop's report says
    // how far it got.
    void ReportShortRead(const std::string& what, uint32_t whole) {
        const std::string done = std::to_string(whole) + " whole sector" + (whole == 1 ? "" : "s") + " read";
        if (Stopped()) {
            Result(what + " stopped at the operator's request: " + done);
            return;
        }
        if (!S().flags.errorReported) Op().Fail(kFailedRead);
        MarkError();
        Result(what + " failed: " + done);
    }

    bool ExternalRead(std::optional<SectorRange> given) {
        const std::optional<SectorRange> range = given ? given : AskRange(kReadTitle);
        if (!range) return false;
        const ExternalSelection sel = WindowSelectionOf(*range);
        std::span<uint8_t> image = S().ExternalImage();
        const uint32_t bytes = static_cast<uint32_t>(sel.count) * kExternalSectorSize;
        if (image.size() < sel.address + bytes) return false;
        MemoryView& view = w_.Memory();
        view.Record(-1, sel.first, sel.count, SectorState::NotRead);
        std::fill_n(image.begin() + sel.address, bytes, uint8_t{0xFF});
        LinkContext link = Link();
        const uint32_t got = ReadFlash(link, image.data() + sel.address, sel.address, bytes, kExternalPieceSize);
        w_.SetTab(0);
        view.ShowExternalStatus(static_cast<int>(got / kExternalSectorSize), sel.first);
        view.ShowExternalSector(sel.first);
        if (got < bytes) {
            ReportShortRead("read of " + SectorsAt(sel.count, sel.address, bytes), got / kExternalSectorSize);
            return false;
        }
        Result("read " + SectorsAt(sel.count, sel.address, bytes));
        return true;
    }

    // ---- Download ----

    // The chip type chosen at detection decides what is erased: a chip taken for another
    // would lose what lies outside the range meant, so its answers are checked first.
    bool ChipBearsOutType(int block) {
        LinkContext link = Link();
        const ChipCheck check = CheckChipType(link, block == 1 ? ChipCheckFor::Block1 : ChipCheckFor::Block0);
        if (check.Ok()) return true;
        Op().Fail(ChipCheckRefusal(check, "Nothing was erased."));
        chipRefusal_ = check.why;
        return false;
    }

    int Download(std::optional<ImageRequest> given = std::nullopt) {
        CDeviceSession& s = S();
        const bool upgrade = s.bslUpgradeMode;
        const int declined = upgrade ? download::kUpgradeDeclined : download::kFailed;
        if (!BlockNumberOk()) return download::kFailed;
        TitleGuard title(w_);
        w_.SetTitle(s.memoryMode == kInternalMemory && !upgrade
                        ? "WARNING! DATA IN BLOCK 0 WILL BE ERASED. PLEASE BACK THEM UP FIRST."
                        : "WARNING! DATA IN BLOCK 0/1 WILL BE ERASED. PLEASE BACK THEM UP FIRST.");
        const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Download);
        if (!request) return declined;
        const FlashSelection sel = SelectFlashSectors(s, request->block, request->startSector, 0);
        const std::string name = ShortFileName(request->file);
        // The whole file is read and checked before the question and the first byte to the
        // chip: a file that cannot be used is a file error, never a question about erasing.
        LinkContext link = Link();
        LoadedImage image;
        const bool internal = s.memoryMode == kInternalMemory;
        const LoaderKind kind = DownloadLoaderKind(s, sel.block);
        // The result line gives the reason the box gave, so that it can be read afterwards.
        auto refused = [&](const std::string& why) {
            Result("download of " + name + " refused: " + why + "; nothing was erased or written");
            return Failed();
        };
        if (ReadLoadImage(link, request->file, &image, request->format) != load::kOk)
            return refused("the file cannot be used");
        if (CheckImageFits(link, kind, image.bytes.size(), sel.block, sel.address) != load::kOk)
            return refused(ImageFitProblem(s, kind, image.bytes.size(), sel.block, sel.address, Window()));
        // In external memory mode no stub stands between the image and the loader's sectors.
        if (!internal && !upgrade) {
            if (const std::string area = ImageLoaderAreaOverlap(s, image, sel.block, sel.address); !area.empty()) {
                Op().Warn(LoaderAreaRefusal(area));
                return refused("it would reach " + area);
            }
        }
        if (!BlockAccess(sel, kDownloadTexts, upgrade)) return download::kFailed;
        if (!upgrade && !Window() && !ChipBearsOutType(sel.block)) return refused(chipRefusal_);
        if (!Op().AskYesNo(DownloadQuestion(image, sel.block, sel.firstSector, sel.address, request->changedOnly))) {
            declined_ = true;
            w_.NoteDeclined();
            Result("download of " + name + " declined: nothing was erased or written");
            return upgrade ? download::kUpgradeDeclined : download::kDone;
        }
        if (upgrade && internal && !EraseBslArea()) return Failed();
        w_.SetTitle(Printf("Downloading \"%s\"", ShortFileName(image.path)));
        int rc = load::kOk;
        const bool viaStub = internal && !upgrade && sel.block == 1;
        std::vector<uint8_t> holds;
        if (internal && upgrade) {
            rc = LoadToBlock1(link, image, sel.block, sel.address);
            PurgeReplies(link);
        } else if (!internal) {
            rc = LoadExternalMode(link, image, sel.block, sel.address);
        } else if (viaStub) {
            rc = load::kFailed;
            const bool ok = WithStub(sel.address, kDownloadStub, [&] {
                LongOperation quiet(s.flags);
                rc = LoadToBlock1(link, image, sel.block, sel.address);
                w_.Refresh();
                EmptyLine(link);
                return rc == load::kOk;
            }, {}, true);
            if (!ok && rc == load::kOk) rc = load::kFailed;
            RecordBlock0AfterStub(ok);
        } else if (request->changedOnly) {
            ChangedSectors changed;
            rc = LoadChangedToFlash(link, image, sel.block, sel.address, &changed, &holds);
            if (rc == load::kOk) {
                char line[96];
                std::snprintf(line, sizeof line, "Sectors rewritten: %d, skipped (unchanged): %d", changed.rewritten,
                              changed.skipped);
                w_.SetIapStatus(line);
            }
        } else {
            rc = LoadToFlash(link, image, sel.block, sel.address, &holds);
        }
        // Through the block-1 stub, its procedure says what became of block 1.
        if (rc != load::kOk && s.flags.stop.Requested() && !viaStub)
            s.flags.stop.Note(!internal ? "the external memory holds a partial image"
                                        : "block " + std::to_string(sel.block) + " holds a partial image");
        // Flash and external-mode loads read every chunk back; the block-1 loader does not.
        RecordLoad(image, sel.block, sel.address, rc == load::kOk,
                   internal && sel.block == 1 ? SectorState::ChangedNotRead : SectorState::Written, holds);
        DescribeDownload(image, sel.address, rc == load::kOk);
        return rc == load::kOk ? download::kDone : Failed();
    }

    // What a load of `image` into `block` reaches: the bytes the file gives and the sectors
    // that hold one, which the load erases before it writes.
    struct Footprint {
        size_t bytes = 0;
        long long sectors = 0;
        size_t firstOffset = 0;  // of the first and past the last erased sector, in the image
        size_t endOffset = 0;
        uint32_t unit = 1;
    };
    Footprint FootprintOf(const LoadedImage& image, int block) {
        Footprint f;
        const uint32_t unit = static_cast<uint32_t>(Window() ? kExternalSectorSize : S().SectorSize(block));
        f.unit = unit ? unit : 1;
        for (size_t k = 0; k < image.bytes.size(); ++k) f.bytes += image.IsDefined(k) ? 1 : 0;
        const std::vector<TouchedRun> runs = TouchedRuns(image, 0, image.bytes.size(), f.unit);
        for (const TouchedRun& r : runs) f.sectors += static_cast<long long>(r.length / f.unit);
        if (!runs.empty()) {
            f.firstOffset = runs.front().offset;
            f.endOffset = runs.back().offset + runs.back().length;
        }
        return f;
    }

    // The question before a download names what it costs: the file, its bytes, and the
    // sectors and addresses erased for it, as the Sector Erase question does; the loader's
    // own two lines follow.
    std::string DownloadQuestion(const LoadedImage& image, int block, int firstSector, uint32_t address,
                                 bool changedOnly) {
        const Footprint f = FootprintOf(image, block);
        if (f.sectors == 0) return kEraseQuestion;
        const bool window = Window();
        const int from = firstSector + static_cast<int>(f.firstOffset / f.unit);
        const int to = firstSector + static_cast<int>(f.endOffset / f.unit) - 1;
        const uint32_t start = address + static_cast<uint32_t>(f.firstOffset);
        const uint32_t end = address + static_cast<uint32_t>(f.endOffset) - 1;
        const bool gaps = to - from + 1 != f.sectors;
        // "000-004 (0000h-027Fh)", the numbers as the sector list shows them.
        const char* numbers = window ? "%02d" : "%03d";
        const char* range = window && HighWindow() ? " (1%04Xh-1%04Xh)" : " (%04Xh-%04Xh)";
        char where[96];
        int n = std::snprintf(where, sizeof where, numbers, from);
        if (to != from) {
            n += std::snprintf(where + n, sizeof where - static_cast<size_t>(n), "-");
            n += std::snprintf(where + n, sizeof where - static_cast<size_t>(n), numbers, to);
        }
        std::snprintf(where + n, sizeof where - static_cast<size_t>(n), range, start, end);
        const std::string target = window ? (HighWindow() ? "the external flash's high window"
                                                          : "the external flash's low window")
                                          : "block " + std::to_string(block);
        std::string line = "Download " + ShortFileName(image.path) + " (" + std::to_string(f.bytes) +
                           (f.bytes == 1 ? " byte" : " bytes") + ") to " + target + ": ";
        if (f.sectors == 1) line += std::string("sector ") + where + " is erased";
        else line += std::to_string(f.sectors) + " sectors" + (gaps ? " within " : ", ") + where + (gaps ? "" : ",") +
                     " are erased";
        line += !changedOnly ? " first." : f.sectors == 1 ? " if it differs from the file." : " where they differ from the file.";
        return line + "\n" + kEraseQuestion;
    }

    void DescribeDownload(const LoadedImage& image, uint32_t address, bool ok) {
        const std::string name = ShortFileName(image.path);
        if (!ok) {
            Result("download of " + name + (Stopped() ? " stopped at the operator's request" : " failed"));
            return;
        }
        const Footprint f = FootprintOf(image, S().currentBlock);
        const size_t first = image.FirstDefined();
        const std::string at = SectorsAt(f.sectors, address + static_cast<uint32_t>(first),
                                         static_cast<uint32_t>(image.bytes.size() - first));
        // "1 sector at 0000h-0011h" reads as the command line's "in 1 sector at 0000h-0011h".
        Result("downloaded " + name + ": " + std::to_string(f.bytes) + " bytes in " + at + ", verified");
    }

    int Failed() {
        MarkError();
        return download::kFailed;
    }

    // The boot loader upgrade erases the loader's own area first, with a few more tries. The
    // tries erase that area and no more: on the H/L chips three more sectors would be block 1
    // code outside the loader, which the new loader (checked to fit the area) does not replace.
    bool EraseBslArea() {
        CDeviceSession& s = S();
        LinkContext link = Link();
        const int sectors = s.Family() == ChipFamily::A ? 16 : 9;
        const uint32_t base = static_cast<uint32_t>(s.StartAddress(1));
        const uint32_t size = static_cast<uint32_t>(s.SectorSize(1));
        for (int i = 0; i < 12; ++i)
            if (EraseSectors(link, base, size, sectors)) return true;
        return false;
    }

    int UpgradeDownload(const LoadedImage& image, uint32_t address) {
        TitleGuard title(w_);
        w_.SetTitle(Printf("Downloading \"%s\"", ShortFileName(image.path)));
        if (!EraseBslArea()) return Failed();
        LinkContext link = Link();
        const int rc = LoadToBlock1(link, image, 1, address);
        PurgeReplies(link);
        return rc == load::kOk ? download::kDone : Failed();
    }

    bool DownloadCommand(std::optional<ImageRequest> given = std::nullopt) {
        const CheckOutcome pre = Pre(true, RuledCommand::Download);
        if (pre == CheckOutcome::RunExternalVariant) return ExternalDownload(given);
        if (pre != CheckOutcome::Proceed) return false;
        declined_ = false;
        return Download(given) == download::kDone && !declined_;
    }

    // True when the first sector of the low window holds the demonstration board's own loader;
    // also true when it cannot be read, since overwriting it unseen would brick the board.
    bool ExternalBslPresent() {
        const FirmwareImage& bsl = Firmware(FirmwareId::ExternalBsl);
        std::vector<uint8_t> got(9 * kExternalPieceSize);
        LinkContext link = Link();
        if (ReadFlash(link, got.data(), 0, static_cast<uint32_t>(got.size()), kExternalPieceSize) != got.size()) {
            Op().Fail("Failed to Read data byte from the chip!");
            return true;
        }
        const size_t n = std::min<size_t>(kExternalBslCompareBytes, bsl.size);
        return std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n), bsl.data);
    }

    bool ExternalDownload(std::optional<ImageRequest> given) {
        TitleGuard title(w_);
        w_.SetTitle(HighWindow()
                        ? "WARNING! DATA IN EXTERNAL HIGH 64KB MEMORY WILL BE ERASED. PLEASE BACK THEM UP FIRST."
                        : "WARNING! DATA IN EXTERNAL LOW 64KB MEMORY WILL BE ERASED. PLEASE BACK THEM UP FIRST.");
        const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Download);
        if (!request) return false;
        const uint32_t address = static_cast<uint32_t>(request->startSector) * kExternalSectorSize;
        LinkContext link = Link();
        LoadedImage image;
        if (ReadLoadImage(link, request->file, &image, request->format) != load::kOk ||
            CheckImageFits(link, LoaderKind::Flash, image.bytes.size(), 0, address) != load::kOk) {
            Result("download of " + ShortFileName(request->file) + " refused: nothing was erased or written");
            MarkError();
            return false;
        }
        if (request->startSector == 0 && !HighWindow() && ExternalBslPresent()) {
            Op().Warn(kExternalBslDownload);
            return false;
        }
        w_.SetTab(0);
        if (!Op().AskYesNo(DownloadQuestion(image, 0, request->startSector, address, false))) {
            Declined("download of " + ShortFileName(image.path) + " declined: nothing was erased or written");
            return false;
        }
        w_.SetTitle(Printf("Downloading \"%s\" to external flash", ShortFileName(image.path)));
        std::vector<uint8_t> holds;
        const bool ok = LoadToFlash(link, image, 0, address, &holds) == load::kOk;
        if (!ok && S().flags.stop.Requested()) S().flags.stop.Note("the external flash window holds a partial image");
        RecordLoad(image, 0, address, ok, SectorState::Written, holds);
        DescribeDownload(image, address, ok);
        if (!ok) MarkError();
        return ok;
    }

    // ---- Compare ----

    bool Compare(std::optional<ImageRequest> given = std::nullopt) {
        const CheckOutcome pre = Pre(true, RuledCommand::Compare);
        if (pre == CheckOutcome::RunExternalVariant) return ExternalCompare(given);
        if (pre != CheckOutcome::Proceed) return false;
        CDeviceSession& s = S();
        const int lock = s.flags.lockStatus;
        if (s.memoryMode != kInternalMemory && lock != 0) {
            Op().Warn("File Compare doesn't work if chip is locked!\n");
            return false;
        }
        if (s.memoryMode == kInternalMemory && HardLockNotice(lock))
            Op().Warn("You can only compare files in Block1, since chip is hardlocked.\n");
        if (!BlockNumberOk()) return false;
        TitleGuard title(w_);
        const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Compare);
        if (!request) return false;
        const FlashSelection sel = SelectFlashSectors(s, request->block, request->startSector, 0);
        LoadedImage image;
        if (!ReadCompareImage(request->file, request->format, &image)) return false;
        if (!BlockAccess(sel, kCompareTexts)) return false;
        char buf[512];
        std::snprintf(buf, sizeof buf, "Comparing \"%s\" with memory starting address %04Xh...",
                      ShortFileName(request->file).c_str(), sel.address);
        w_.SetTitle(buf);
        return RunCompare(image, sel.block, sel.address, false);
    }

    // The lock states in which block 0 reads back as locked, per family.
    bool HardLockNotice(int lock) {
        if (S().Family() == ChipFamily::A) return lock == 0x80 || lock == 0xA0 || lock == 0xC0 || lock == 0xE0;
        return lock == 0x60 || lock == 0xA0 || lock == 0xE0;
    }

    // The file of a compare, read whole before any byte goes to the chip.
    bool ReadCompareImage(const std::string& path, ImageFormat format, LoadedImage* image) {
        LinkContext link = Link();
        if (ReadLoadImage(link, path, image, format) == load::kOk) return true;
        const std::string name = ShortFileName(path);
        w_.SetIapStatus(Printf("File %s Compare failed!", name));
        Result("compare of " + name + " refused: the file cannot be used");
        MarkError();
        return false;
    }

    bool RunCompare(const LoadedImage& image, int block, uint32_t address, bool high) {
        LinkContext link = Link();
        int32_t where = -1;
        uint16_t bytes = 0;
        CDeviceSession& s = S();
        const bool window = Window();
        CompareReport report;
        report.view = window ? s.ExternalImage() : s.BlockImage(block);
        report.viewBase = window ? 0u : static_cast<uint32_t>(s.StartAddress(block));
        const int rc = LoadForCompare(link, image, block, address, &where, &bytes, &report);
        differences_ = report.differences;
        ShowCompared(report, block, high);
        const std::string name = ShortFileName(image.path);
        char buf[600];
        if (where >= 0) {
            std::snprintf(buf, sizeof buf,
                          high ? "Unmatched data at memory address 1%04Xh: %02Xh(MCU) vs. %02Xh in File %s"
                               : "Unmatched data at memory address %04Xh: %02Xh(MCU) vs. %02Xh in File %s",
                          static_cast<unsigned>(where), bytes >> 8, bytes & 0xFF, name.c_str());
        } else {
            std::snprintf(buf, sizeof buf, rc != load::kOk ? "File %s Compare failed!" : "File %s Compare OK!",
                          name.c_str());
        }
        w_.SetIapStatus(buf);
        if (rc == load::kOk) {
            size_t defined = 0;
            for (size_t k = 0; k < image.bytes.size(); ++k) defined += image.IsDefined(k) ? 1 : 0;
            char range[48];
            std::snprintf(range, sizeof range, high ? "1%04Xh-1%04Xh" : "%04Xh-%04Xh",
                          address + static_cast<uint32_t>(image.FirstDefined()),
                          address + static_cast<uint32_t>(image.bytes.size() ? image.bytes.size() - 1 : 0));
            Result("compare: " + name + " matches the flash, " + std::to_string(defined) + " bytes at " + range);
        } else if (const CompareDifferences& d = report.differences; d.count > 0) {
            // What the operator needs to judge a mismatch: how much differs, and where first.
            const ByteDifference& first = d.listed.front();
            const std::string where = window ? (high ? "the high window" : "the low window") : "block " + std::to_string(block);
            Result(name + " differs from " + where + " in " + std::to_string(d.count) + (d.count == 1 ? " byte" : " bytes") +
                   ", first at " + AddressText(first.address, high) + ": chip " + HexByte(first.chip) + ", file " +
                   HexByte(first.file));
            for (const ByteDifference& b : d.listed)
                w_.AddDetail("  " + AddressText(b.address, high) + "  chip " + HexByte(b.chip) + "  file " + HexByte(b.file));
            if (d.count > d.listed.size()) w_.AddDetail("  ... and " + std::to_string(d.count - d.listed.size()) + " more");
        } else if (where >= 0) {
            Result(buf);
        } else {
            Result("compare of " + name + (Stopped() ? " stopped at the operator's request" : " failed"));
        }
        if (rc != load::kOk) MarkError();
        return rc == load::kOk;
    }

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
    void ShowCompared(const CompareReport& report, int block, bool high) {
        CDeviceSession& s = S();
        const bool window = Window();
        const int shown = window ? -1 : block;
        const uint32_t unit = static_cast<uint32_t>(window ? kExternalSectorSize : s.SectorSize(block));
        MemoryView& view = w_.Memory();
        if (unit == 0) return;
        for (const CompareReport::Range& r : report.read)
            view.Record(shown, static_cast<int>((r.address - report.viewBase) / unit), static_cast<int>(r.length / unit),
                        SectorState::Read);
        std::vector<uint32_t> marked;
        for (const ByteDifference& b : report.differences.listed)
            marked.push_back(b.address + (window && high ? 0x10000u : 0u));
        view.MarkDifferences(shown, marked);
        view.Refresh();
        if (report.differences.listed.empty()) return;
        const int sector = static_cast<int>((report.differences.listed.front().address - report.viewBase) / unit);
        if (window) view.ShowExternalSector(sector);
        else view.ShowSector(block, sector);
    }

    bool ExternalCompare(std::optional<ImageRequest> given) {
        TitleGuard title(w_);
        const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Compare);
        if (!request) return false;
        const uint32_t address = static_cast<uint32_t>(request->startSector) * kExternalSectorSize;
        LoadedImage image;
        if (!ReadCompareImage(request->file, request->format, &image)) return false;
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      HighWindow() ? "Comparing \"%s\" with memory starting address 1%04Xh..."
                                   : "Comparing \"%s\" with memory starting address %04Xh...",
                      ShortFileName(request->file).c_str(), address);
        w_.SetTitle(buf);
        return RunCompare(image, 0, address, HighWindow());
    }

    // ---- Sector Erase ----

    bool SectorErase(std::optional<SectorRange> given = std::nullopt) {
        const CheckOutcome pre = Pre(false, RuledCommand::SectorErase);
        if (pre == CheckOutcome::RunExternalVariant) return ExternalSectorErase(given);
        if (pre != CheckOutcome::Proceed || !BlockNumberOk()) return false;
        CDeviceSession& s = S();
        const std::optional<SectorRange> range = given ? given : AskRange(kSectorEraseTitle);
        if (!range) return false;
        const FlashSelection sel = SelectionOf(*range);
        if (sel.count <= 0) return false;
        const uint32_t sectorBytes = static_cast<uint32_t>(s.SectorSize(sel.block));
        if (sel.block == 1) {
            // Refused before the question: the loader's own sectors are never offered for erasing.
            if (s.memoryMode == kInternalMemory && s.InBslWindow(1, static_cast<int32_t>(sel.address))) {
                Op().Warn(IsHLFamily(s.Family()) ? kEraseStub.bslHL : kEraseStub.bslA);
                return false;
            }
            const std::string area = LoaderAreaOverlap(s.chipType, 1, sel.address,
                                                       static_cast<uint64_t>(sel.count) * sectorBytes);
            if (!area.empty()) {
                Op().Warn(LoaderAreaRefusal(area));
                return false;
            }
        }
        if (!ChipBearsOutType(sel.block)) return false;
        const std::string question = SectorEraseQuestion(sel.firstSector, sel.count, sel.block, sel.address,
                                                         static_cast<uint32_t>(sel.count) * sectorBytes, false);
        if (!Op().AskYesNo(EraseQuestion(question))) {
            Declined("erase declined: nothing was erased");
            return false;
        }
        // A loader with a password refuses every erase until it has been given, as it does
        // the writes of Download; and the stub procedure of block 1 reads block 0 to put it
        // back, which without the password would read as zeros and destroy the user's code.
        if (s.memoryMode == kInternalMemory && !PasswordGate(w_)) return false;
        if (!BlockAccess(sel, kEraseTexts)) return false;
        LinkContext link = Link();
        const uint32_t size = static_cast<uint32_t>(s.SectorSize(sel.block));
        auto erase = [&] { return EraseSectors(link, sel.address, size, sel.count); };
        bool ok = false;
        if (sel.block == 1 && s.memoryMode == kInternalMemory) {
            ok = WithStub(sel.address, kEraseStub, erase, [&] {
                w_.Refresh();
                EmptyLine(link);
            });
            RecordBlock0AfterStub(ok);
        } else {
            ok = erase();
        }
        RecordErase(sel.block, sel.firstSector, sel.count, ok);
        const std::string at = SectorsAt(sel.count, sel.address, static_cast<uint32_t>(sel.count) * size);
        if (!ok) {
            Result(Stopped() ? "erase stopped at the operator's request" : "erase failed");
            MarkError();
            return false;
        }
        Op().Inform(kSectorsErased);
        Result("erased " + at.substr(0, at.find(" at ")) + " from sector " + std::to_string(sel.firstSector) +
               at.substr(at.find(" at ")));
        return true;
    }

    // The chip answered each sector's erase when it was done: those sectors hold erased
    // cells. An erase that failed or stopped may have reached any of them.
    void RecordErase(int block, int first, int count, bool ok) {
        MemoryView& view = w_.Memory();
        if (ok) {
            const bool window = block < 0;
            std::span<uint8_t> image = window ? S().ExternalImage() : S().BlockImage(block);
            const size_t unit = static_cast<size_t>(window ? kExternalSectorSize : S().SectorSize(block));
            const size_t from = static_cast<size_t>(first) * unit;
            const size_t n = std::min(static_cast<size_t>(count) * unit, image.size() > from ? image.size() - from : 0);
            std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(from), n, uint8_t{0xFF});
        }
        view.Record(block, first, count, ok ? SectorState::Written : SectorState::NotRead);
        view.Refresh();
    }

    // Every erase is asked first, naming what goes (the question the command line asks too);
    // No is the default answer.
    static std::string EraseQuestion(const std::string& naming) { return naming + " Their data will be lost."; }

    bool ExternalSectorErase(std::optional<SectorRange> given) {
        const std::optional<SectorRange> range = given ? given : AskRange(kSectorEraseTitle);
        if (!range) return false;
        if (range->firstSector == 0 && !HighWindow() && ExternalBslPresent()) {
            Op().Warn(kExternalBslErase);
            return false;
        }
        const ExternalSelection sel = WindowSelectionOf(*range);
        if (!Op().AskYesNo(EraseQuestion(SectorEraseQuestion(sel.first, sel.count, -1, sel.address,
                                                             static_cast<uint32_t>(sel.count) * kExternalSectorSize,
                                                             HighWindow())))) {
            Declined("erase declined: nothing was erased");
            return false;
        }
        LinkContext link = Link();
        const bool ok = EraseSectors(link, sel.address, kExternalSectorSize, sel.count);
        RecordErase(-1, sel.first, sel.count, ok);
        if (!ok) {
            Result(Stopped() ? "erase stopped at the operator's request" : "erase failed");
            MarkError();
            return false;
        }
        Op().Inform(kSectorsErased);
        const std::string at =
            SectorsAt(sel.count, sel.address, static_cast<uint32_t>(sel.count) * kExternalSectorSize);
        Result("erased " + at.substr(0, at.find(" at ")) + " from sector " +
               std::to_string(sel.first + (HighWindow() ? kExternalWindowSectors : 0)) + at.substr(at.find(" at ")));
        return true;
    }

    // ---- Chip Erase ----

    bool ChipErase() {
        Begin();
        CDeviceSession& s = S();
        if (CheckCommandPreconditions(&s, &Op(), CheckScope::ChipErase) != CheckOutcome::Proceed) return false;
        // In internal memory mode the loader would erase itself; in an external-flash window
        // the erase takes all 128 KB, the board's loader included.
        if (!w_.Allows(RuledCommand::ChipErase)) return false;
        // Block 0 of another chip type than the one chosen is another range.
        if (!Window() && !ChipBearsOutType(0)) {
            Result("chip erase refused: " + chipRefusal_ + "; nothing was erased");
            return false;
        }
        bool erased = false, unconfirmed = false;
        LongOperation quiet(s.flags, LongOperation::kLater);
        char what[160];
        std::snprintf(what, sizeof what,
                      "Chip Erase erases all of block 0 (%04Xh-%04Xh): the user's program and all its data. The boot "
                      "loader in block 1 stays.\nDo you really want to proceed?",
                      static_cast<unsigned>(s.StartAddress(0)),
                      static_cast<unsigned>(s.StartAddress(0) + s.BlockSize(0) - 1));
        if (Op().AskYesNo(what)) {
            LinkContext link = Link();
            if (!EraseChip(link)) {
                Op().Fail("Chip Erase Failed!!!");
            } else if (Window()) {
                // The board's program answers C0h only after the erase.
                erased = true;
                Op().Inform("Chip Erase Completed!");
            } else {
                quiet.Begin();
                // The loader does not answer a chip erase: only reading block 0 back blank
                // shows that the frame arrived and did its work.
                erased = Block0ReadsBlank(link);
                Op().ShowMessage(erased ? "Chip Erase Completed!\nChip will be automatically redetected!"
                           : "Chip Erase not confirmed!\nBlock 0 could not be read back blank after the erase, so "
                             "it may be erased, partly erased or unchanged.\nChip will be automatically "
                             "redetected!",
                                 erased ? MessageKind::Information : MessageKind::Error);
                if (!erased) MarkError();
                unconfirmed = !erased;
                w_.Route(command::kResetLink);
            }
        } else {
            Declined("chip erase declined: nothing was erased");
        }
        if (erased) Result("erased the whole chip");
        else if (w_.Result().empty()) Result(unconfirmed ? "chip erase failed: Chip Erase not confirmed! Block 0 could not be read back blank after the erase"
                                          : "chip erase failed");
        quiet.End();
        w_.Route(command::kDetectBaudAndChip);
        return erased;
    }

    bool Block0ReadsBlank(LinkContext& link) {
        CDeviceSession& s = S();
        if (s.NeedsBlockSelect() && !selectBlock0(link)) return false;
        const uint32_t size = static_cast<uint32_t>(s.BlockSize(0));
        std::vector<uint8_t> bytes(size, 0x00);
        if (ReadFlash(link, bytes.data(), static_cast<uint32_t>(s.StartAddress(0)), size,
                      static_cast<uint32_t>(s.SectorSize(0))) != size)
            return false;
        return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
    }

    // ---- Save ----

    std::optional<SaveRequest> AskSave() {
        SaveDialog dialog(S(), &Op());
        if (Op().RunDialog(dialog) != DialogResult::Ok) return std::nullopt;
        return SaveRequest{RangeOf(dialog.startIndex, dialog.countIndex), dialog.fileName, dialog.textMode == 1};
    }

    bool Save(std::optional<SaveRequest> given = std::nullopt) {
        CDeviceSession& s = S();
        if (s.flags.userCodeRunning) {
            Op().Fail(kNoChipSelected);
            return false;
        }
        if (!w_.Allows(RuledCommand::Save)) return false;
        if (Window()) return ExternalSave(given);
        Begin();
        if (!PasswordGate(w_)) return false;
        const int lock = s.flags.lockStatus;
        if (s.memoryMode == kInternalMemory) {
            if (HardLockNotice(lock)) Op().Warn("You can only save files in Block1, since chip is hardlocked.\n");
        } else if (lock != 0) {
            Op().Warn("File Save doesn't work if chip is locked!\n");
            return false;
        }
        const std::optional<SaveRequest> request = given ? given : AskSave();
        if (!request) return false;
        const FlashSelection sel = SelectionOf(request->range);
        if (!BlockAccess(sel, kSaveTexts)) return false;
        const uint32_t size = static_cast<uint32_t>(s.SectorSize(sel.block));
        LinkContext link = Link();
        const SaveFormat format = SaveFormatFor(request->file, request->text);
        const uint32_t bytes = static_cast<uint32_t>(sel.count) * size;
        const int rc = saveFlashToFile(link, request->file, sel.address, bytes, size, format);
        return ReportSave(rc, request->file, format, SectorsAt(sel.count, sel.address, bytes));
    }

    bool ExternalSave(std::optional<SaveRequest> given) {
        Begin();
        const std::optional<SaveRequest> request = given ? given : AskSave();
        if (!request) return false;
        const ExternalSelection sel = WindowSelectionOf(request->range);
        LinkContext link = Link();
        const SaveFormat format = SaveFormatFor(request->file, request->text);
        const uint32_t bytes = static_cast<uint32_t>(sel.count) * kExternalSectorSize;
        const int rc =
            saveFlashToFile(link, request->file, sel.address, bytes, kExternalPieceSize, format, HighWindow());
        return ReportSave(rc, request->file, format, SectorsAt(sel.count, sel.address, bytes));
    }

    // ---- Print ----

    bool Print() {
        CDeviceSession& s = S();
        if (s.flags.userCodeRunning) {
            Op().Fail(kNoChipSelected);
            return false;
        }
        PrintTarget* printer = env_.printer ? env_.printer() : nullptr;
        if (!printer || !w_.Allows(RuledCommand::Read)) return false;
        if (Window()) return ExternalPrint(*printer);
        ScopedFlag<bool> busy(s.rangeDialogBusy);
        Begin();
        if (!BlockNumberOk() || !PasswordGate(w_)) return false;
        const int lock = s.flags.lockStatus;
        if (s.memoryMode == kInternalMemory) {
            if (HardLockNotice(lock)) Op().Warn("You can only print files in Block1, since chip is hardlocked.\n");
        } else if (lock != 0) {
            Op().Warn("File Print doesn't work if chip is locked!\n");
            return false;
        }
        SectorRangeDialog dialog(s, 0, 0, kPrintTitle);
        if (Op().RunDialog(dialog) != DialogResult::Ok) return false;
        const FlashSelection sel = MapFlashSelection(s, dialog.startIndex, dialog.countIndex);
        if (!BlockAccess(sel, kPrintTexts)) return false;
        const uint32_t size = static_cast<uint32_t>(s.SectorSize(sel.block));
        const PrintOutcome rc = printFlash(s, w_, *printer, text::kTitle, sel.address, static_cast<uint32_t>(sel.count) * size, size);
        return ReportPrint(rc, SectorsAt(sel.count, sel.address, static_cast<uint32_t>(sel.count) * size));
    }

    bool ExternalPrint(PrintTarget& printer) {
        Begin();
        SectorRangeDialog dialog(S(), 0, 0, kPrintTitle);
        if (Op().RunDialog(dialog) != DialogResult::Ok) return false;
        // Cut to the window: reading past it would wrap onto its first sectors.
        const ExternalSelection sel = MapExternalSelection(dialog.startIndex, dialog.countIndex, true);
        w_.SetTab(0);
        const PrintOutcome rc = printFlash(S(), w_, printer, text::kTitle, sel.address,
                                  static_cast<uint32_t>(sel.count) * kExternalSectorSize, kExternalPieceSize);
        return ReportPrint(rc, SectorsAt(sel.count, sel.address, static_cast<uint32_t>(sel.count) * kExternalSectorSize));
    }

    bool ReportPrint(PrintOutcome rc, const std::string& at) {
        const bool ok = rc == PrintOutcome::Printed || rc == PrintOutcome::Cancelled;
        Result(rc == PrintOutcome::Printed     ? "printed " + at
               : rc == PrintOutcome::Cancelled ? "print of " + at + " cancelled: nothing was printed"
                                               : "print of " + at + " failed");
        if (!ok) {
            if (!S().flags.errorReported)
                Op().Fail(rc == PrintOutcome::NotStarted ? "Print data failed\nThe printer could not be opened: is a printer set up?"
                    : rc == PrintOutcome::PageFailed ? "Print data failed\nThe printer did not take every page."
                                             : "Print data failed");
            MarkError();
        } else if (!S().flags.errorReported) {
            Op().Inform("Print data has completed");
        }
        return ok;
    }

    // The completion names the file and what it holds, so that a name and its contents
    // cannot be taken for each other.
    bool ReportSave(int rc, const std::string& path, SaveFormat format, const std::string& at) {
        if (rc != 0) {
            if (Stopped()) {
                Result("save to " + path + " stopped at the operator's request: nothing was written");
            } else {
                if (!S().flags.errorReported) Op().Fail("Save data failed");
                Result("save to " + path + " failed");
            }
            MarkError();
        } else {
            if (!S().flags.errorReported)
                Op().Inform(std::string("Save data has completed\n") + ShortFileName(path) + " holds " + at + " as " +
                    SaveFormatName(format) + ".");
            Result("saved " + at + " to " + path + " as " + SaveFormatName(format));
        }
        w_.Refresh();
        return rc == 0;
    }

private:
    MainDialog& w_;
    FlashCommandEnv env_;
    bool declined_ = false;
    std::string chipRefusal_;  // why the chip's answers refused the chip type, for the result line
    CompareDifferences differences_;
};

}  // namespace

std::string LoaderAreaRefusal(const std::string& area) {
    return "The boot loader's own sectors are never erased or written: this would reach " + area +
           ". Nothing was changed.";
}

std::string SectorEraseQuestion(int firstSector, int count, int block, uint32_t address, uint32_t bytes, bool high) {
    const int last = firstSector + (count > 0 ? count - 1 : 0);
    const uint32_t end = address + (bytes ? bytes - 1 : 0);
    char buf[160];
    if (block < 0)
        std::snprintf(buf, sizeof buf, high ? "Erase sectors %02d-%02d of the external flash's high window (1%04Xh-1%04Xh)?"
                                            : "Erase sectors %02d-%02d of the external flash's low window (%04Xh-%04Xh)?",
                      firstSector, last, address, end);
    else
        std::snprintf(buf, sizeof buf, "Erase sectors %03d-%03d of block %d (%04Xh-%04Xh)?", firstSector, last, block,
                      address, end);
    return buf;
}

std::string ImageLoaderAreaOverlap(const CDeviceSession& s, const LoadedImage& image, int block, uint32_t start) {
    const ChipInfo& chip = s.Chip();
    if (chip.bslSectorCount == 0 || image.bytes.empty()) return "";
    const uint64_t end = static_cast<uint64_t>(start) + image.bytes.size();
    if (block == 0) {
        // An external-mode image for block 0 reaches block 1 only with a tail past block 0.
        const uint64_t limit = static_cast<uint64_t>(s.StartAddress(0)) + static_cast<uint64_t>(s.BlockSize(0));
        if (end <= limit || end <= static_cast<uint64_t>(s.StartAddress(1))) return "";
    }
    // Only the sectors that hold a byte the file gives are erased: a HEX file may leave the
    // loader's sectors in a gap.
    const uint64_t first = static_cast<uint64_t>(chip.bslFirstAddress);
    const uint64_t last = static_cast<uint64_t>(chip.bslLastAddress);
    for (uint64_t a = std::max<uint64_t>(first, start); a <= last && a < end; ++a) {
        const size_t k = static_cast<size_t>(a - start);
        if (image.defined.empty() || image.defined[k])
            return LoaderAreaOverlap(s.chipType, 1, static_cast<uint32_t>(first), last - first + 1);
    }
    return "";
}

bool PasswordGate(MainDialog& w) {
    CDeviceSession& s = w.Session();
    Operator& op = w.Op();
    w.SetIapStatus("");
    w.Refresh();
    if (CheckCommandPreconditions(&s, &op, CheckScope::ExternalFlash) != CheckOutcome::Proceed) return false;
    if (s.currentBlock != 0 && s.currentBlock != 1) {
        op.Warn(kIllegalBlockNumber);
        return false;
    }
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (s.flags.passwordVerified || s.memoryMode != kInternalMemory) return true;
        PasswordVerifyDialog dialog;
        if (const PasswordSource& source = w.Passwords()) {
            std::optional<std::string> given = source(attempt);
            if (!given) return false;
            dialog.password = std::move(*given);
            WipeString(*given);
        } else if (op.RunDialog(dialog) != DialogResult::Ok) {
            return false;
        }
        w.Refresh();
        WipeString(s.gatePassword);
        s.gatePassword = dialog.password;
        LinkContext link{s, w, nullptr};
        if (VerifyPassword(link, PasswordAddress(s.chipType), dialog.password) == 0) {
            s.flags.passwordVerified = true;
            w.Refresh();
            w.SetIapStatus("Password Verify succeed");
            return true;
        }
        // A loader that answers no password may have refused it or be gone: only the link
        // check tells, and a silent line is no wrong password.
        if (!LinkAnswers(link)) {
            s.refusalBeforeChange = SilentLineText(s);
            s.lineSilent = true;
            op.Fail(AsSentence(s.refusalBeforeChange));
            return false;
        }
        if (attempt >= kAttempts) {
            op.Fail("Password Verify Failed!");
            return false;
        }
    }
}

PrintOutcome printFlash(CDeviceSession& session, ProgressReporter& progress, PrintTarget& target,
               const std::string& documentName, uint32_t start, uint32_t count, uint32_t sectorSize) {
    switch (target.BeginDocument(documentName)) {
        case PrintTarget::Start::Cancelled: return PrintOutcome::Cancelled;
        case PrintTarget::Start::Failed: return PrintOutcome::NotStarted;
        case PrintTarget::Start::Started: break;
    }
    std::vector<uint8_t> buf(count + 128, 0xFF);
    std::fill(buf.begin(), buf.begin() + 4, uint8_t{0});
    LinkContext link{session, progress, nullptr};
    if (ReadFlash(link, buf.data(), start, count, sectorSize) < count) {
        target.EndDocument(false);
        return PrintOutcome::ShortRead;
    }
    const std::string text = FormatPrintText(std::span<const uint8_t>(buf.data(), count), start);
    const std::vector<size_t> pages =
        PaginateText(text, target.PageHeight(), [&target](std::string_view t) { return target.MeasureHeight(t); });
    size_t at = 0;
    bool complete = true;
    for (size_t length : pages) {
        if (!target.PrintPage(std::string_view(text).substr(at, length))) {
            complete = false;
            break;
        }
        at += length;
    }
    target.EndDocument(complete);
    return complete ? PrintOutcome::Printed : PrintOutcome::PageFailed;
}

int RunUpgradeDownload(MainDialog& window, const LoadedImage& image, uint32_t address) {
    FlashCommands c(window, {});
    return c.UpgradeDownload(image, address);
}

CommandResult ReadSectors(MainDialog& window, const SectorRange& range) {
    FlashCommands c(window, {});
    return window.RunCommand([&] { return c.Read(range); });
}

CommandResult SaveSectors(MainDialog& window, const SaveRequest& request) {
    FlashCommands c(window, {});
    return window.RunCommand([&] { return c.Save(request); });
}

CommandResult EraseSectorRange(MainDialog& window, const SectorRange& range) {
    FlashCommands c(window, {});
    return window.RunCommand([&] { return c.SectorErase(range); });
}

CommandResult EraseWholeChip(MainDialog& window) {
    FlashCommands c(window, {});
    return window.RunCommand([&] { return c.ChipErase(); });
}

CompareResult CompareImage(MainDialog& window, const ImageRequest& request) {
    FlashCommands c(window, {});
    CompareResult out;
    static_cast<CommandResult&>(out) = window.RunCommand([&] { return c.Compare(request); });
    out.differences = c.Differences();
    return out;
}

CommandResult DownloadImage(MainDialog& window, const ImageRequest& request) {
    FlashCommands c(window, {});
    return window.RunCommand([&] { return c.DownloadCommand(request); });
}

void RegisterFlashCommands(MainDialog& window, FlashCommandEnv env) {
    auto c = std::make_shared<FlashCommands>(window, std::move(env));
    MainDialog* w = &window;
    window.RegisterHandler(command::kRead, [c, w] { w->SetCommandSucceeded(c->Read()); });
    window.RegisterHandler(command::kDownload, [c, w] { w->SetCommandSucceeded(c->DownloadCommand()); });
    window.RegisterHandler(command::kCompare, [c, w] { w->SetCommandSucceeded(c->Compare()); });
    window.RegisterHandler(command::kSectorErase, [c, w] { w->SetCommandSucceeded(c->SectorErase()); });
    window.RegisterHandler(command::kChipErase, [c, w] { w->SetCommandSucceeded(c->ChipErase()); });
    window.RegisterHandler(command::kSave, [c, w] { w->SetCommandSucceeded(c->Save()); });
    if (c->HasPrinter()) window.RegisterHandler(command::kPrint, [c, w] { w->SetCommandSucceeded(c->Print()); });
}

}  // namespace tessel
