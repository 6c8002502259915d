#include "transfer/ImageLoaders.h"

#include <algorithm>
#include <span>

#include "device/CDeviceSession.h"
#include "device/CommandChecks.h"
#include "files/HexImage.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

// A load that stopped at the operator's request has not failed: the stop's own report says
// what was done and what was not.
// `fault`: File where the image file, not the chip or the line, is what could not be used.
void Show(LinkContext& c, const std::string& text, Fault fault = Fault::None) {
    if (c.session.flags.stop.Stopped()) return;
    if (Operator* op = c.session.port.Owner()) op->Fail(fault, text);
}

uint32_t BlockLimit(const CDeviceSession& s, int block) {
    return static_cast<uint32_t>(s.ListedSectorCount(block) * s.SectorSize(block));
}

// Where an image for block 0 may run on into block 1: the A and H/L32B models map block 1
// right below 64 KB, so an image that ends there has its tail in block 1. (H/L64D overlays
// block 1 on block 0's start, so it has no such tail.)
bool TailReachesBlock1(const CDeviceSession& s, uint32_t end) {
    const ChipFamily f = s.Family();
    if (f != ChipFamily::A && f != ChipFamily::HL32B) return false;
    const uint32_t base = static_cast<uint32_t>(s.StartAddress(1));
    return end >= base && end <= 0x10000;
}

// Counts one step per piece over a whole load, however many erase, program or compare runs
// it takes: the bar shows the sectors really touched, not the primitives' own ranges.
class SpanProgress final : public ProgressReporter {
public:
    // `stepBytes`: the bytes a step stands for, 0 when the steps are sectors.
    SpanProgress(ProgressReporter& real, int steps, const char* label, uint32_t stepBytes, uint64_t totalBytes = 0)
        : real_(real) {
        real_.setProgressRange(steps);
        real_.setProgressStepBytes(stepBytes);
        if (totalBytes % std::max<uint32_t>(stepBytes, 1) != 0) real_.setProgressTotalBytes(totalBytes);
        real_.resetProgress();
        real_.setProgressLabel(label);
    }
    void setProgressLabel(const std::string& text) override {
        if (text != "Done") real_.setProgressLabel(text);
    }
    void setProgressRange(int) override {}
    // The primitives' own step size is for their range, which this one replaces.
    void setProgressStepBytes(uint32_t) override {}
    void setProgressTotalBytes(uint64_t) override {}
    void reportFailure(const Failure& f) override { real_.reportFailure(f); }
    void stepProgress() override { real_.stepProgress(); }
    void resetProgress() override {}
    void Finish(bool ok) {
        real_.resetProgress();
        real_.setProgressLabel(ok ? "Done" : "Abort");
    }

private:
    ProgressReporter& real_;
};

// Adds the piece at `at` to the runs, joining it to the last one when they meet.
void Extend(std::vector<TouchedRun>& runs, size_t at, uint32_t unit) {
    if (!runs.empty() && runs.back().offset + runs.back().length == at) runs.back().length += unit;
    else runs.push_back({at, unit});
}

// A run's shorter last piece is a step of its own: the primitives step once for it.
int PieceCount(const std::vector<TouchedRun>& runs, uint32_t unit) {
    size_t n = 0;
    for (const TouchedRun& r : runs) n += (r.length + unit - 1) / unit;
    return static_cast<int>(n);
}

uint64_t RunBytesTotal(const std::vector<TouchedRun>& runs) {
    uint64_t n = 0;
    for (const TouchedRun& r : runs) n += r.length;
    return n;
}

// The run's bytes, padded with erased cells to its length.
std::vector<uint8_t> RunBytes(const LoadedImage& image, const TouchedRun& r) {
    std::vector<uint8_t> buf(r.length, 0xFF);
    if (r.offset < image.bytes.size()) {
        const size_t n = std::min(r.length, image.bytes.size() - r.offset);
        std::copy_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(r.offset), n, buf.begin());
    }
    return buf;
}

// The sectors of `runs` holding a byte that the file leaves to the chip: a HEX file's gap, or
// the part of its last sector after the file's end (a binary's as much as a HEX file's).
std::vector<TouchedRun> KeptRuns(const LoadedImage& image, const std::vector<TouchedRun>& runs, uint32_t unit) {
    std::vector<TouchedRun> kept;
    for (const TouchedRun& r : runs)
        for (size_t at = r.offset; at < r.offset + r.length; at += unit) {
            bool gap = false;
            for (size_t k = at; !gap && k < at + unit; ++k) gap = !image.IsDefined(k);
            if (gap) Extend(kept, at, unit);
        }
    return kept;
}

// Bytes of a touched sector that the file does not give are the chip's, not the file's: each
// such sector is read before it is erased (two reads that agree, as for any copy that is
// written back), and those bytes become part of what is programmed. `firstRead`, when given,
// is a read of the chip already taken (byte k for start + k) that counts as the first of the
// two. False when they could not be read.
bool KeepGapBytes(LinkContext& c, LoadedImage& image, const std::vector<TouchedRun>& runs, uint32_t start,
                  uint32_t unit, uint32_t piece, const std::vector<uint8_t>* firstRead = nullptr) {
    const std::vector<TouchedRun> kept = KeptRuns(image, runs, unit);
    if (kept.empty()) return true;
    const size_t end = kept.back().offset + kept.back().length;
    if (image.defined.empty()) image.defined.assign(image.bytes.size(), true);
    if (image.bytes.size() < end) {
        image.bytes.resize(end, 0xFF);
        image.defined.resize(end, false);
    }
    // One bar for all the reads.
    SpanProgress bar(c.progress, (firstRead ? 1 : 2) * PieceCount(kept, piece), "Reading", piece);
    LinkContext spanned{c.session, bar, c.worker};
    for (const TouchedRun& r : kept) {
        std::vector<uint8_t> chip(r.length);
        if (firstRead)
            std::copy_n(firstRead->begin() + static_cast<std::ptrdiff_t>(r.offset), r.length, chip.begin());
        if (ReadAgreeing(spanned, chip, start + static_cast<uint32_t>(r.offset), piece, 3, firstRead != nullptr) !=
            AgreedRead::Same) {
            bar.Finish(false);
            return false;
        }
        for (size_t k = r.offset; k < r.offset + r.length; ++k) {
            if (image.defined[k]) continue;
            image.bytes[k] = chip[k - r.offset];
            image.defined[k] = true;
        }
    }
    bar.Finish(true);
    return true;
}

// Reads the runs once, each into `into` at its offset, under one bar.
bool ReadRuns(LinkContext& c, std::vector<uint8_t>& into, const std::vector<TouchedRun>& runs, uint32_t start,
              uint32_t piece) {
    SpanProgress bar(c.progress, PieceCount(runs, piece), "Reading", piece);
    LinkContext spanned{c.session, bar, c.worker};
    bool ok = true;
    for (const TouchedRun& r : runs) {
        ok = ReadForRestore(spanned, into.data() + r.offset, start + static_cast<uint32_t>(r.offset),
                            static_cast<uint32_t>(r.length), piece);
        if (!ok) break;
    }
    bar.Finish(ok);
    return ok;
}

// Erases the runs in sectors of `unit`, image byte 0 at `start`.
bool EraseRuns(LinkContext& c, const std::vector<TouchedRun>& runs, uint32_t start, uint32_t unit, size_t base) {
    SpanProgress bar(c.progress, PieceCount(runs, unit), "Erasing", 0);
    LinkContext spanned{c.session, bar, c.worker};
    for (const TouchedRun& r : runs) {
        const uint32_t address = start + static_cast<uint32_t>(r.offset - base);
        if (!EraseSectors(spanned, address, unit, static_cast<int>(r.length / unit))) {
            bar.Finish(false);
            return false;
        }
    }
    bar.Finish(true);
    return true;
}

using ProgramFn = bool (*)(LinkContext&, uint32_t, uint32_t, const uint8_t*, uint32_t);

bool ProgramRuns(LinkContext& c, const LoadedImage& image, const std::vector<TouchedRun>& runs, uint32_t start,
                 uint32_t piece, size_t base, ProgramFn program) {
    SpanProgress bar(c.progress, PieceCount(runs, piece), "Writing", piece);
    LinkContext spanned{c.session, bar, c.worker};
    for (const TouchedRun& r : runs) {
        const std::vector<uint8_t> buf = RunBytes(image, r);
        const uint32_t address = start + static_cast<uint32_t>(r.offset - base);
        if (!program(spanned, address, piece, buf.data(), static_cast<uint32_t>(buf.size()))) {
            bar.Finish(false);
            return false;
        }
    }
    bar.Finish(true);
    return true;
}

// Reads the runs back and compares the bytes the file defines; the first difference sets
// *where and *word (flash byte in bits 15:8) and says so. With `differences` the runs are
// read to their end and every difference counted. A read-back that comes back short is
// ShortRead, said by the caller. What was read lands in `view` at address - viewBase.
LoadResult CompareRuns(LinkContext& c, const LoadedImage& image, const std::vector<TouchedRun>& runs, uint32_t start,
                uint32_t piece, size_t base, uint32_t* where, uint32_t* word, std::span<uint8_t> view = {},
                uint32_t viewBase = 0, CompareDifferences* differences = nullptr) {
    SpanProgress bar(c.progress, PieceCount(runs, piece), "Comparing", piece, RunBytesTotal(runs));
    LinkContext spanned{c.session, bar, c.worker};
    bool differed = false;
    for (const TouchedRun& r : runs) {
        const uint32_t address = start + static_cast<uint32_t>(r.offset - base);
        std::vector<uint8_t> got(r.length, 0xFF);
        const uint32_t n = ReadFlash(spanned, got.data(), address, static_cast<uint32_t>(r.length), piece);
        if (address >= viewBase && address - viewBase + n <= view.size())
            std::copy_n(got.begin(), n, view.begin() + static_cast<std::ptrdiff_t>(address - viewBase));
        if (n < r.length) {
            bar.Finish(false);
            return LoadResult::ShortRead;
        }
        for (size_t i = 0; i < r.length; ++i) {
            const size_t k = r.offset + i;
            if (!image.IsDefined(k) || got[i] == image.bytes[k]) continue;
            if (differences) differences->Add(address + static_cast<uint32_t>(i), got[i], image.bytes[k]);
            if (differed) continue;
            differed = true;
            *where = address + static_cast<uint32_t>(i);
            *word = got[i] * 256u + image.bytes[k];
            Failure f;
            f.step = "compare";
            f.address = *where;
            f.got = got[i];
            f.expected = image.bytes[k];
            f.reason = "the flash differs from the file";
            c.progress.reportFailure(f);
            if (!differences) break;
        }
        if (differed && !differences) break;
    }
    if (differed) {
        Show(c, differences && !differences->listed.empty()
                    ? VerifyFailedText(c.session, differences)
                    : VerifyFailedText(c.session, 0, *where, static_cast<uint8_t>(*word >> 8),
                                       static_cast<uint8_t>(*word & 0xFF)));
        bar.Finish(false);
        return LoadResult::ProgramFailed;
    }
    bar.Finish(true);
    return LoadResult::Ok;
}

// One part of an external-memory-mode download: erase, program, read back, compare. The
// part is the image bytes [from, from + n), for `address` onwards.
LoadResult WriteAndVerify(LinkContext& c, const LoadedImage& image, int block, uint32_t address, size_t from, size_t n) {
    CDeviceSession& s = c.session;
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(block));
    const std::vector<TouchedRun> runs = TouchedRuns(image, from, n, piece);
    if (!EraseRuns(c, runs, address, piece, from)) {
        Show(c, kSectorEraseFailed);
        return LoadResult::Failed;
    }
    if (!ProgramRuns(c, image, runs, address, piece, from, ProgramVerified)) {
        Show(c, kFailedDownload);
        return LoadResult::ProgramFailed;
    }
    // The read-back lands where the memory view shows those addresses.
    uint32_t where = 0, word = 0;
    const LoadResult rc = CompareRuns(c, image, runs, address, piece, from, &where, &word, s.BlockImage(block),
                               static_cast<uint32_t>(s.StartAddress(block)));
    if (rc == LoadResult::ShortRead) Show(c, kFailedRead);
    return rc;
}

}  // namespace

std::string ShortFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

LoadResult ReadLoadImage(LinkContext& c, const std::string& path, LoadedImage* out, ImageFormat format) {
    std::string error;
    out->path = path;
    out->bytes.clear();
    out->defined.clear();
    ImageData data;
    switch (ReadImageFile(path, &data, &error, format)) {
        case ImageReadStatus::Ok: break;
        case ImageReadStatus::CantOpen:
            Show(c, std::string(kCantOpenFile) + "\n" + error, Fault::File);
            return LoadResult::Failed;
        case ImageReadStatus::TooLarge:
            Show(c, std::string(kOverSize) + "\n" + error, Fault::File);
            return LoadResult::Failed;
        case ImageReadStatus::BadHex:
        case ImageReadStatus::NotFirmware:
            Show(c, error, Fault::File);
            return LoadResult::Failed;
    }
    if (data.DefinedCount() == 0) {
        // Programming nothing and reporting success would hide a wrong file.
        Show(c, path + ": the file holds no data.", Fault::File);
        return LoadResult::Failed;
    }
    out->bytes = std::move(data.bytes);
    out->defined = std::move(data.defined);
    return LoadResult::Ok;
}

std::vector<TouchedRun> TouchedRuns(const LoadedImage& image, size_t from, size_t n, uint32_t unit) {
    std::vector<TouchedRun> runs;
    if (unit == 0) return runs;
    const size_t end = std::min(image.bytes.size(), from + n);
    for (size_t at = from; at < end; at += unit) {
        bool touched = image.defined.empty();
        for (size_t k = at; !touched && k < std::min(end, at + unit); ++k) touched = image.defined[k];
        if (touched) Extend(runs, at, unit);
    }
    return runs;
}

namespace {
// "30,852": sizes a person compares at a glance.
std::string Grouped(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}
}  // namespace

std::string ImageFitProblem(const CDeviceSession& s, LoaderKind kind, size_t length, int block, uint32_t start,
                            bool window) {
    const uint64_t end = static_cast<uint64_t>(start) + length;
    const uint32_t base1 = static_cast<uint32_t>(s.StartAddress(1));
    bool fits = false;
    uint64_t holds = 0, from = 0;  // what the place holds, from which address
    switch (kind) {
        case LoaderKind::Flash:
            holds = window ? 0x10000u : BlockLimit(s, block);
            fits = end <= holds;
            break;
        case LoaderKind::Block1:
            holds = BlockLimit(s, 1);
            from = base1;
            fits = start >= base1 && end - base1 <= holds;
            break;
        case LoaderKind::ExternalMode:
            if (block == 0) {
                holds = BlockLimit(s, 0);
                fits = end <= holds || TailReachesBlock1(s, static_cast<uint32_t>(end));
            } else {
                holds = BlockLimit(s, 1);
                from = base1;
                fits = end - base1 <= holds;
            }
            break;
    }
    if (fits) return "";
    const int placeBlock = kind == LoaderKind::Block1 ? 1 : block;
    const std::string where =
        window ? std::string("the external flash's window") : std::string(s.Chip().model) + "'s block " + std::to_string(placeBlock);
    std::string text = "the file needs " + Grouped(length) + " bytes from " + AddressText(start) + "; " + where + " holds " +
                       Grouped(holds);
    if (start != from) text += " (" + AddressText(from) + "-" + AddressText(from + holds - 1) + ")";
    return text;
}

std::string AsSentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (!text.empty() && text.back() != '.' && text.back() != '!') text += '.';
    return text;
}

LoadResult CheckImageFits(LinkContext& c, LoaderKind kind, size_t length, int block, uint32_t start) {
    const std::string problem = ImageFitProblem(c.session, kind, length, block, start, c.session.ExternalWindowOpen());
    if (problem.empty()) return LoadResult::Ok;
    Show(c, std::string(kOverSize) + "\n" + AsSentence(problem), Fault::File);
    return LoadResult::OverSize;
}

LoadResult LoadToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start, std::vector<uint8_t>* holds) {
    CDeviceSession& s = c.session;
    if (const LoadResult rc = CheckImageFits(c, LoaderKind::Flash, image.bytes.size(), block, start); rc != LoadResult::Ok) return rc;
    const bool window = s.ExternalWindowOpen();
    const uint32_t eraseUnit = window ? kExternalSectorSize : static_cast<uint32_t>(s.SectorSize(block));
    const uint32_t piece = window ? kExternalPieceSize : eraseUnit;
    // Only the sectors that hold a byte of the file are erased and programmed.
    const std::vector<TouchedRun> runs = TouchedRuns(image, 0, image.bytes.size(), eraseUnit);
    LoadedImage kept = image;
    if (!KeepGapBytes(c, kept, runs, start, eraseUnit, piece)) {
        Show(c, kFailedRead);
        return LoadResult::ShortRead;
    }
    if (!EraseRuns(c, runs, start, eraseUnit, 0)) {
        Show(c, kSectorEraseFailed);
        return LoadResult::Failed;
    }
    if (!ProgramRuns(c, kept, runs, start, piece, 0, ProgramVerified)) return LoadResult::ProgramFailed;
    if (holds) *holds = std::move(kept.bytes);
    return LoadResult::Ok;
}

LoadResult LoadChangedToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start, ChangedSectors* out,
                       std::vector<uint8_t>* holds) {
    CDeviceSession& s = c.session;
    if (const LoadResult rc = CheckImageFits(c, LoaderKind::Flash, image.bytes.size(), block, start); rc != LoadResult::Ok) return rc;
    const bool window = s.ExternalWindowOpen();
    const uint32_t eraseUnit = window ? kExternalSectorSize : static_cast<uint32_t>(s.SectorSize(block));
    const uint32_t piece = window ? kExternalPieceSize : eraseUnit;
    // A sector in a gap of the file is not the file's business: it is neither read nor written.
    const std::vector<TouchedRun> runs = TouchedRuns(image, 0, image.bytes.size(), eraseUnit);
    const size_t total = runs.empty() ? 0 : runs.back().offset + runs.back().length;
    std::vector<uint8_t> have(total, 0xFF);
    if (!ReadRuns(c, have, runs, start, piece)) {
        Show(c, kFailedRead);
        return LoadResult::ShortRead;
    }
    // What the sectors are to hold: the file's bytes, and the chip's own where it gives none,
    // so that only the file's bytes decide whether a sector is rewritten.
    std::vector<uint8_t> want = have;
    for (size_t k = 0; k < std::min(total, image.bytes.size()); ++k)
        if (image.IsDefined(k)) want[k] = image.bytes[k];
    enum class Need { Nothing, Program, EraseAndProgram };
    const int sectors = static_cast<int>(total / eraseUnit);
    std::vector<Need> need(static_cast<size_t>(sectors), Need::Nothing);
    std::vector<TouchedRun> rewritten;
    ChangedSectors count;
    for (const TouchedRun& r : runs)
        for (size_t at = r.offset; at < r.offset + r.length; at += eraseUnit) {
            bool same = true, clearsOnly = true;
            for (size_t k = at; k < at + eraseUnit; ++k) {
                same = same && have[k] == want[k];
                // Programming can only clear bits.
                clearsOnly = clearsOnly && (have[k] & want[k]) == want[k];
            }
            need[at / eraseUnit] = same ? Need::Nothing : clearsOnly ? Need::Program : Need::EraseAndProgram;
            if (same) {
                ++count.skipped;
            } else {
                ++count.rewritten;
                Extend(rewritten, at, eraseUnit);
            }
        }
    // A damaged read costs a sector that need not have been rewritten, but the chip's bytes that
    // go back into a rewritten sector must not come from it: those sectors are read once more,
    // and what goes back is what the two reads agree on.
    LoadedImage kept = image;
    if (!KeepGapBytes(c, kept, rewritten, start, eraseUnit, piece, &have)) {
        Show(c, kFailedRead);
        return LoadResult::ShortRead;
    }
    for (const TouchedRun& r : KeptRuns(image, rewritten, eraseUnit))
        std::copy_n(kept.bytes.begin() + static_cast<std::ptrdiff_t>(r.offset), r.length,
                    want.begin() + static_cast<std::ptrdiff_t>(r.offset));
    // Consecutive sectors to rewrite go as one run, so that the chip sees the same frames a
    // plain download would send for them.
    for (int first = 0; first < sectors;) {
        if (need[static_cast<size_t>(first)] == Need::Nothing) {
            ++first;
            continue;
        }
        int end = first;
        while (end < sectors && need[static_cast<size_t>(end)] != Need::Nothing) ++end;
        for (int i = first; i < end;) {
            if (need[static_cast<size_t>(i)] != Need::EraseAndProgram) {
                ++i;
                continue;
            }
            int j = i;
            while (j < end && need[static_cast<size_t>(j)] == Need::EraseAndProgram) ++j;
            if (!EraseSectors(c, start + static_cast<uint32_t>(i) * eraseUnit, eraseUnit, j - i)) {
                Show(c, kSectorEraseFailed);
                return LoadResult::Failed;
            }
            i = j;
        }
        const uint32_t from = static_cast<uint32_t>(first) * eraseUnit;
        const uint32_t length = static_cast<uint32_t>(end - first) * eraseUnit;
        if (!ProgramVerified(c, start + from, piece, want.data() + from, length)) return LoadResult::ProgramFailed;
        first = end;
    }
    if (out) *out = count;
    if (holds) *holds = std::move(want);
    return LoadResult::Ok;
}

LoadResult LoadToBlock1(LinkContext& c, const LoadedImage& image, int block, uint32_t start) {
    CDeviceSession& s = c.session;
    if (const LoadResult rc = CheckImageFits(c, LoaderKind::Block1, image.bytes.size(), block, start); rc != LoadResult::Ok) return rc;
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(1));
    const std::vector<TouchedRun> runs = TouchedRuns(image, 0, image.bytes.size(), piece);
    // The boot loader upgrade has erased its own area already.
    if (!s.bslUpgradeMode && !EraseRuns(c, runs, start, piece, 0)) {
        Show(c, kSectorEraseFailed);
        Show(c, kEraseFailedOnChip);
        return LoadResult::Failed;
    }
    if (!ProgramRuns(c, image, runs, start, piece, 0, ProgramBootArea)) {
        Show(c, kFailedDownload);
        return LoadResult::ProgramFailed;
    }
    return LoadResult::Ok;
}

LoadResult LoadExternalMode(LinkContext& c, const LoadedImage& image, int block, uint32_t start) {
    CDeviceSession& s = c.session;
    const size_t length = image.bytes.size();
    if (const LoadResult rc = CheckImageFits(c, LoaderKind::ExternalMode, length, block, start); rc != LoadResult::Ok) return rc;
    if (block != 0 || start + length <= BlockLimit(s, 0)) return WriteAndVerify(c, image, block, start, 0, length);

    // Block 0 up to its end, then the tail for block 1's addresses. The file bytes between
    // the two address nothing and are not written.
    const size_t first = BlockLimit(s, 0) - start;
    if (const LoadResult rc = WriteAndVerify(c, image, 0, start, 0, first); rc != LoadResult::Ok) return rc;
    const uint32_t base = static_cast<uint32_t>(s.StartAddress(1));
    const size_t tail = base - start;
    return WriteAndVerify(c, image, 1, base, tail, length - tail);
}

LoadResult LoadForCompare(LinkContext& c, const LoadedImage& image, int block, uint32_t start,
                   int32_t* mismatchAddress, uint16_t* mismatchBytes, CompareReport* report) {
    CDeviceSession& s = c.session;
    const bool window = s.ExternalWindowOpen();
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(block));
    const uint64_t end = start + image.bytes.size();
    size_t compared = image.bytes.size();
    size_t tailOffset = 0;  // file offset of a part compared against block 1; 0 for none
    if (window) {
        if (end > 0x10000) {
            Show(c, kOverSize, Fault::File);
            return LoadResult::OverSize;
        }
    } else if (s.memoryMode != kInternalMemory && block == 0 && end > BlockLimit(s, 0)) {
        // In external memory mode a download runs on into block 1 (see LoadExternalMode);
        // the compare accepts what the download accepted and checks that tail against block 1.
        if (!TailReachesBlock1(s, static_cast<uint32_t>(end))) {
            Show(c, kOverSize, Fault::File);
            return LoadResult::OverSize;
        }
        compared = BlockLimit(s, 0) - start;
        tailOffset = static_cast<uint32_t>(s.StartAddress(1)) - start;
    } else {
        const uint32_t blockEnd = static_cast<uint32_t>(s.StartAddress(block)) + BlockLimit(s, block);
        if (end > blockEnd) {
            if (s.Family() == ChipFamily::HL64D) {
                // Compared up to the block's end only.
                compared = blockEnd - start;
            } else if (block == 0 && s.Family() == ChipFamily::A && end >= 0xF000 && end <= 0x10000) {
                compared = blockEnd - start;
                tailOffset = static_cast<uint32_t>(s.StartAddress(1)) - start;
            } else {
                // A longer file would be compared against addresses the block does not have.
                Show(c, kOverSize, Fault::File);
                return LoadResult::OverSize;
            }
        }
    }
    CompareDifferences* differences = report ? &report->differences : nullptr;
    // Whole chunks read from `address` land in the report's view when it covers them.
    auto viewFor = [&](uint32_t address, size_t bytes) -> uint8_t* {
        if (!report || address < report->viewBase || address - report->viewBase + bytes > report->view.size())
            return nullptr;
        return report->view.data() + (address - report->viewBase);
    };
    auto compare = [&](uint32_t address, uint32_t chunk, size_t from, size_t n) {
        uint32_t where = UINT32_MAX, word = 0;
        bool same = false;
        if (image.defined.empty()) {
            const size_t whole = (n + chunk - 1) / chunk * chunk;
            uint8_t* into = viewFor(address, whole);
            same = CompareFlash(c, address, chunk, image.bytes.data() + from, static_cast<uint32_t>(n), &where,
                                &word, differences, into);
            if (into && (same || differences->complete)) report->read.push_back({address, static_cast<uint32_t>(whole)});
        } else {
            // Only the bytes the file gives are compared: its gaps say nothing about the flash.
            const std::vector<TouchedRun> runs = TouchedRuns(image, from, n, chunk);
            const std::span<uint8_t> view = report ? report->view : std::span<uint8_t>();
            const LoadResult rc = CompareRuns(c, image, runs, address, chunk, from, &where, &word, view,
                                       report ? report->viewBase : 0, differences);
            if (rc == LoadResult::ShortRead) Show(c, kFailedRead);
            same = rc == LoadResult::Ok;
            if (report && rc != LoadResult::ShortRead && (same || differences))
                for (const TouchedRun& r : runs) {
                    const uint32_t at = address + static_cast<uint32_t>(r.offset - from);
                    if (viewFor(at, r.length)) report->read.push_back({at, static_cast<uint32_t>(r.length)});
                }
        }
        if (!same && where != UINT32_MAX) {
            if (mismatchAddress) *mismatchAddress = static_cast<int32_t>(where);
            if (mismatchBytes) *mismatchBytes = static_cast<uint16_t>(word);
        }
        return same;
    };
    if (!compare(start, piece, 0, compared)) return LoadResult::ProgramFailed;
    if (tailOffset && tailOffset < image.bytes.size()) {
        if (!compare(static_cast<uint32_t>(s.StartAddress(1)), static_cast<uint32_t>(s.SectorSize(1)), tailOffset,
                     image.bytes.size() - tailOffset))
            return LoadResult::ProgramFailed;
    }
    return LoadResult::Ok;
}

}  // namespace tessel
