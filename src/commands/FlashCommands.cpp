#include "commands/FlashCommandsImpl.h"

namespace tessel {

namespace flash {

CheckOutcome FlashCommands::Pre(bool gate, RuledCommand command) {
    Begin();
    // The rule book speaks first, a board not detected yet included: what it refuses ends
    // refused, with its reason, in every front end.
    if (!w_.Allows(command)) return CheckOutcome::Failed;
    return CheckCommandPreconditions(&S(), &Op(), CheckScope::FlashCommand,
                                     [this, gate] { return !gate || PasswordGate(w_); });
}

bool FlashCommands::BlockAccess(const FlashSelection& sel, const BlockSelectTexts& texts, bool skipSelects) {
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

bool FlashCommands::WithStub(uint32_t address, const StubTexts& texts, const std::function<bool()>& work,
              const std::function<void()>& beforeSwitchBack, bool workStops) {
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
    stub::Codes codes;
    o.codes = &codes;
    const bool ok = RunWithBlock1Stub(w_, o, work);
    // Block 0 lends its save areas to the stub: unless they are as they were, nothing known
    // of it still holds.
    if (!ok && !stub::Block0AsItWas(codes)) {
        w_.Memory().Record(0, 0, S().SectorCount(0), SectorState::NotRead);
        w_.Memory().Refresh();
    }
    return ok;
}

SectorRange FlashCommands::RangeOf(int startIndex, int countIndex) {
    if (Window()) {
        const ExternalSelection e = MapExternalSelection(startIndex, countIndex, true);
        return SectorRange{0, e.first, e.count};
    }
    const FlashSelection sel = MapFlashSelection(S(), startIndex, countIndex);
    return SectorRange{sel.block, sel.firstSector, sel.count};
}

bool FlashCommands::Read(std::optional<SectorRange> given) {
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

void FlashCommands::ReportShortRead(const std::string& what, uint32_t whole) {
    const std::string done = std::to_string(whole) + " whole sector" + (whole == 1 ? "" : "s") + " read";
    if (Stopped()) {
        Result(what + " stopped at the operator's request: " + done);
        return;
    }
    if (!S().flags.errorReported) Op().Fail(kFailedRead);
    MarkError();
    Result(what + " failed: " + done);
}

bool FlashCommands::ExternalRead(std::optional<SectorRange> given) {
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

bool FlashCommands::Compare(std::optional<ImageRequest> given) {
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

bool FlashCommands::ReadCompareImage(const std::string& path, ImageFormat format, LoadedImage* image) {
    LinkContext link = Link();
    if (ReadLoadImage(link, path, image, format) == LoadResult::Ok) return true;
    const std::string name = ShortFileName(path);
    w_.SetIapStatus(Printf("File %s Compare failed!", name));
    Result("compare of " + name + " refused: the file cannot be used");
    MarkError();
    return false;
}

bool FlashCommands::RunCompare(const LoadedImage& image, int block, uint32_t address, bool high) {
    LinkContext link = Link();
    int32_t where = -1;
    uint16_t bytes = 0;
    CDeviceSession& s = S();
    const bool target = Window();
    CompareReport report;
    report.view = target ? s.ExternalImage() : s.BlockImage(block);
    report.viewBase = target ? 0u : static_cast<uint32_t>(s.StartAddress(block));
    const LoadResult rc = LoadForCompare(link, image, block, address, &where, &bytes, &report);
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
        std::snprintf(buf, sizeof buf, rc != LoadResult::Ok ? "File %s Compare failed!" : "File %s Compare OK!",
                      name.c_str());
    }
    w_.SetIapStatus(buf);
    if (rc == LoadResult::Ok) {
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
        const std::string where = target ? (high ? "the high window" : "the low window") : "block " + std::to_string(block);
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
    if (rc != LoadResult::Ok) MarkError();
    return rc == LoadResult::Ok;
}

void FlashCommands::ShowCompared(const CompareReport& report, int block, bool high) {
    CDeviceSession& s = S();
    const bool target = Window();
    const int shown = target ? -1 : block;
    const uint32_t unit = static_cast<uint32_t>(target ? kExternalSectorSize : s.SectorSize(block));
    MemoryView& view = w_.Memory();
    if (unit == 0) return;
    for (const CompareReport::Range& r : report.read)
        view.Record(shown, static_cast<int>((r.address - report.viewBase) / unit), static_cast<int>(r.length / unit),
                    SectorState::Read);
    std::vector<uint32_t> marked;
    for (const ByteDifference& b : report.differences.listed)
        marked.push_back(b.address + (target && high ? 0x10000u : 0u));
    view.MarkDifferences(shown, marked);
    view.Refresh();
    if (report.differences.listed.empty()) return;
    const int sector = static_cast<int>((report.differences.listed.front().address - report.viewBase) / unit);
    if (target) view.ShowExternalSector(sector);
    else view.ShowSector(block, sector);
}

bool FlashCommands::ExternalCompare(std::optional<ImageRequest> given) {
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

bool FlashCommands::Save(std::optional<SaveRequest> given) {
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

bool FlashCommands::ExternalSave(std::optional<SaveRequest> given) {
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

bool FlashCommands::Print() {
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

bool FlashCommands::ExternalPrint(PrintTarget& printer) {
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

bool FlashCommands::ReportPrint(PrintOutcome rc, const std::string& at) {
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

bool FlashCommands::ReportSave(int rc, const std::string& path, SaveFormat format, const std::string& at) {
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

}  // namespace flash

using flash::FlashCommands;


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

bool PasswordGate(Target& w) {
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

DownloadEnd RunUpgradeDownload(Target& target, const LoadedImage& image, uint32_t address) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return c.UpgradeDownload(image, address);
}

CommandResult ReadSectors(Target& target, const SectorRange& range) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.Read(range); });
}

CommandResult SaveSectors(Target& target, const SaveRequest& request) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.Save(request); });
}

CommandResult EraseSectorRange(Target& target, const SectorRange& range) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.SectorErase(range); });
}

CommandResult EraseWholeChip(Target& target) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.ChipErase(); });
}

CompareResult CompareImage(Target& target, const ImageRequest& request) {
    FlashCommands c(target, {target.BackupDir(), {}});
    CompareResult out;
    static_cast<CommandResult&>(out) = target.RunCommand([&] { return c.Compare(request); });
    out.differences = c.Differences();
    return out;
}

CommandResult DownloadImage(Target& target, const ImageRequest& request) {
    FlashCommands c(target, {target.BackupDir(), {}});
    return target.RunCommand([&] { return c.DownloadCommand(request); });
}

bool DownloadAsked(Target& target, FlashCommandEnv env) { return FlashCommands(target, std::move(env)).DownloadCommand(); }

Actions FlashActions(Target& target, FlashCommandEnv env) {
    Actions out;
    auto c = std::make_shared<FlashCommands>(target, std::move(env));
    Target* w = &target;
    out.emplace_back(Action::Read, [c, w] { w->SetCommandSucceeded(c->Read()); });
    out.emplace_back(Action::Download, [c, w] { w->SetCommandSucceeded(c->DownloadCommand()); });
    out.emplace_back(Action::Compare, [c, w] { w->SetCommandSucceeded(c->Compare()); });
    out.emplace_back(Action::SectorErase, [c, w] { w->SetCommandSucceeded(c->SectorErase()); });
    out.emplace_back(Action::ChipErase, [c, w] { w->SetCommandSucceeded(c->ChipErase()); });
    out.emplace_back(Action::Save, [c, w] { w->SetCommandSucceeded(c->Save()); });
    if (c->HasPrinter()) out.emplace_back(Action::Print, [c, w] { w->SetCommandSucceeded(c->Print()); });
    return out;
}

}  // namespace tessel
