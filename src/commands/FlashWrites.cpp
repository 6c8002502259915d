#include "commands/FlashCommandsImpl.h"

namespace tessel {

namespace flash {

void FlashCommands::RecordLoad(const LoadedImage& image, int block, uint32_t address, bool ok, SectorState done,
                const std::vector<uint8_t>& holds) {
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

bool FlashCommands::ChipBearsOutType(int block) {
    LinkContext link = Link();
    const ChipCheck check = CheckChipType(link, block == 1 ? ChipCheckFor::Block1 : ChipCheckFor::Block0);
    if (check.Ok()) return true;
    Op().Fail(ChipCheckRefusal(check, "Nothing was erased."));
    chipRefusal_ = check.why;
    return false;
}

DownloadEnd FlashCommands::Download(std::optional<ImageRequest> given) {
    CDeviceSession& s = S();
    const bool upgrade = s.bslUpgradeMode;
    const DownloadEnd cancelled = upgrade ? DownloadEnd::UpgradeDeclined : DownloadEnd::Failed;
    if (!BlockNumberOk()) return DownloadEnd::Failed;
    TitleGuard title(w_);
    w_.SetTitle(s.memoryMode == kInternalMemory && !upgrade
                    ? "WARNING! DATA IN BLOCK 0 WILL BE ERASED. PLEASE BACK THEM UP FIRST."
                    : "WARNING! DATA IN BLOCK 0/1 WILL BE ERASED. PLEASE BACK THEM UP FIRST.");
    const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Download);
    if (!request) return cancelled;
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
    if (ReadLoadImage(link, request->file, &image, request->format) != LoadResult::Ok)
        return refused("the file cannot be used");
    if (CheckImageFits(link, kind, image.bytes.size(), sel.block, sel.address) != LoadResult::Ok)
        return refused(ImageFitProblem(s, kind, image.bytes.size(), sel.block, sel.address, Window()));
    // In external memory mode no stub stands between the image and the loader's sectors.
    if (!internal && !upgrade) {
        if (const std::string area = ImageLoaderAreaOverlap(s, image, sel.block, sel.address); !area.empty()) {
            Op().Warn(LoaderAreaRefusal(area));
            return refused("it would reach " + area);
        }
    }
    if (!BlockAccess(sel, kDownloadTexts, upgrade)) return DownloadEnd::Failed;
    if (!upgrade && !Window() && !ChipBearsOutType(sel.block)) return refused(chipRefusal_);
    if (!Op().AskYesNo(DownloadQuestion(image, sel.block, sel.firstSector, sel.address, request->changedOnly))) {
        declined_ = true;
        w_.NoteDeclined();
        Result("download of " + name + " declined: nothing was erased or written");
        return upgrade ? DownloadEnd::UpgradeDeclined : DownloadEnd::Declined;
    }
    if (upgrade && internal && !EraseBslArea()) return Failed();
    w_.SetTitle(Printf("Downloading \"%s\"", ShortFileName(image.path)));
    LoadResult rc = LoadResult::Ok;
    const bool viaStub = internal && !upgrade && sel.block == 1;
    std::vector<uint8_t> holds;
    if (internal && upgrade) {
        rc = LoadToBlock1(link, image, sel.block, sel.address);
        PurgeReplies(link);
    } else if (!internal) {
        rc = LoadExternalMode(link, image, sel.block, sel.address);
    } else if (viaStub) {
        rc = LoadResult::Failed;
        const bool ok = WithStub(sel.address, kDownloadStub, [&] {
            LongOperation quiet(s.flags);
            rc = LoadToBlock1(link, image, sel.block, sel.address);
            w_.Refresh();
            EmptyLine(link);
            return rc == LoadResult::Ok;
        }, {}, true);
        if (!ok && rc == LoadResult::Ok) rc = LoadResult::Failed;
    } else if (request->changedOnly) {
        ChangedSectors changed;
        rc = LoadChangedToFlash(link, image, sel.block, sel.address, &changed, &holds);
        if (rc == LoadResult::Ok) {
            char line[96];
            std::snprintf(line, sizeof line, "Sectors rewritten: %d, skipped (unchanged): %d", changed.rewritten,
                          changed.skipped);
            w_.SetIapStatus(line);
        }
    } else {
        rc = LoadToFlash(link, image, sel.block, sel.address, &holds);
    }
    // Through the block-1 stub, its procedure says what became of block 1.
    if (rc != LoadResult::Ok && s.flags.stop.Requested() && !viaStub)
        s.flags.stop.Note(!internal ? "the external memory holds a partial image"
                                    : "block " + std::to_string(sel.block) + " holds a partial image");
    // Flash and external-mode loads read every chunk back; the block-1 loader does not.
    RecordLoad(image, sel.block, sel.address, rc == LoadResult::Ok,
               internal && sel.block == 1 ? SectorState::ChangedNotRead : SectorState::Written, holds);
    DescribeDownload(image, sel.address, rc == LoadResult::Ok);
    return rc == LoadResult::Ok ? DownloadEnd::Done : Failed();
}

FlashCommands::Footprint FlashCommands::FootprintOf(const LoadedImage& image, int block) {
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

std::string FlashCommands::DownloadQuestion(const LoadedImage& image, int block, int firstSector, uint32_t address,
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

void FlashCommands::DescribeDownload(const LoadedImage& image, uint32_t address, bool ok) {
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

bool FlashCommands::EraseBslArea() {
    CDeviceSession& s = S();
    LinkContext link = Link();
    const int sectors = s.Family() == ChipFamily::A ? 16 : 9;
    const uint32_t base = static_cast<uint32_t>(s.StartAddress(1));
    const uint32_t size = static_cast<uint32_t>(s.SectorSize(1));
    for (int i = 0; i < 12; ++i)
        if (EraseSectors(link, base, size, sectors)) return true;
    return false;
}

DownloadEnd FlashCommands::UpgradeDownload(const LoadedImage& image, uint32_t address) {
    TitleGuard title(w_);
    w_.SetTitle(Printf("Downloading \"%s\"", ShortFileName(image.path)));
    if (!EraseBslArea()) return Failed();
    LinkContext link = Link();
    const LoadResult rc = LoadToBlock1(link, image, 1, address);
    PurgeReplies(link);
    return rc == LoadResult::Ok ? DownloadEnd::Done : Failed();
}

bool FlashCommands::DownloadCommand(std::optional<ImageRequest> given) {
    const CheckOutcome pre = Pre(true, RuledCommand::Download);
    if (pre == CheckOutcome::RunExternalVariant) return ExternalDownload(given);
    if (pre != CheckOutcome::Proceed) return false;
    declined_ = false;
    return Download(given) == DownloadEnd::Done;
}

bool FlashCommands::ExternalBslPresent() {
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

bool FlashCommands::ExternalDownload(std::optional<ImageRequest> given) {
    TitleGuard title(w_);
    w_.SetTitle(HighWindow()
                    ? "WARNING! DATA IN EXTERNAL HIGH 64KB MEMORY WILL BE ERASED. PLEASE BACK THEM UP FIRST."
                    : "WARNING! DATA IN EXTERNAL LOW 64KB MEMORY WILL BE ERASED. PLEASE BACK THEM UP FIRST.");
    const std::optional<ImageRequest> request = given ? given : AskImage(FileSectorDialog::Kind::Download);
    if (!request) return false;
    const uint32_t address = static_cast<uint32_t>(request->startSector) * kExternalSectorSize;
    LinkContext link = Link();
    LoadedImage image;
    if (ReadLoadImage(link, request->file, &image, request->format) != LoadResult::Ok ||
        CheckImageFits(link, LoaderKind::Flash, image.bytes.size(), 0, address) != LoadResult::Ok) {
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
    const bool ok = LoadToFlash(link, image, 0, address, &holds) == LoadResult::Ok;
    if (!ok && S().flags.stop.Requested()) S().flags.stop.Note("the external flash window holds a partial image");
    RecordLoad(image, 0, address, ok, SectorState::Written, holds);
    DescribeDownload(image, address, ok);
    if (!ok) MarkError();
    return ok;
}

bool FlashCommands::SectorErase(std::optional<SectorRange> given) {
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

void FlashCommands::RecordErase(int block, int first, int count, bool ok) {
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

bool FlashCommands::ExternalSectorErase(std::optional<SectorRange> given) {
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

bool FlashCommands::ChipErase() {
    Begin();
    CDeviceSession& s = S();
    // In internal memory mode the loader would erase itself; in an external-flash window
    // the erase takes all 128 KB, the board's loader included.
    if (!w_.Allows(RuledCommand::ChipErase)) return false;
    if (CheckCommandPreconditions(&s, &Op(), CheckScope::ChipErase) != CheckOutcome::Proceed) return false;
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
            if (erased) Op().Inform("Chip Erase Completed!\nChip will be automatically redetected!");
            else
                Op().Fail(Fault::Unconfirmed,
                          "Chip Erase not confirmed!\nBlock 0 could not be read back blank after the erase, so "
                          "it may be erased, partly erased or unchanged.\nChip will be automatically redetected!");
            if (!erased) MarkError();
            unconfirmed = !erased;
            ResetLinkNow(w_);
        }
    } else {
        Declined("chip erase declined: nothing was erased");
    }
    if (erased) Result("erased the whole chip");
    else if (unconfirmed) Result("chip erase failed: Chip Erase not confirmed! Block 0 could not be read back blank after the erase");
    quiet.End();
    DetectWithSettings(w_);
    return erased;
}

bool FlashCommands::Block0ReadsBlank(LinkContext& link) {
    CDeviceSession& s = S();
    if (s.NeedsBlockSelect() && !selectBlock0(link)) return false;
    const uint32_t size = static_cast<uint32_t>(s.BlockSize(0));
    std::vector<uint8_t> bytes(size, 0x00);
    if (ReadFlash(link, bytes.data(), static_cast<uint32_t>(s.StartAddress(0)), size,
                  static_cast<uint32_t>(s.SectorSize(0))) != size)
        return false;
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

}  // namespace flash

}  // namespace tessel
