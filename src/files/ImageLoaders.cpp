#include "files/ImageLoaders.h"

#include <algorithm>

#include "device/CDeviceSession.h"
#include "files/HexImage.h"
#include "platform/Operator.h"

namespace tessel {

namespace {

void Show(LinkContext& c, const std::string& text) {
    if (Operator* op = c.session.port.Owner()) op->ShowMessage(text);
}

uint32_t RoundUp(size_t n, uint32_t unit) { return static_cast<uint32_t>((n + unit - 1) / unit * unit); }

// The image padded with erased cells to a whole number of pieces.
std::vector<uint8_t> Padded(const uint8_t* data, size_t n, uint32_t unit) {
    std::vector<uint8_t> buf(RoundUp(n, unit), 0xFF);
    std::copy(data, data + n, buf.begin());
    return buf;
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

// One part of an external-memory-mode download: erase, program, read back, compare.
int WriteAndVerify(LinkContext& c, int block, uint32_t address, const uint8_t* data, size_t n) {
    CDeviceSession& s = c.session;
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(block));
    std::vector<uint8_t> buf = Padded(data, n, piece);
    const uint32_t total = static_cast<uint32_t>(buf.size());
    if (EraseSectors(c, address, piece, static_cast<int>(total / piece)) != 0) {
        Show(c, kSectorEraseFailed);
        return load::kFailed;
    }
    if (ProgramVerified(c, address, piece, buf.data(), total) != 0) {
        Show(c, kFailedDownload);
        return load::kProgramFailed;
    }
    // The read-back lands where the memory view shows those addresses.
    std::span<uint8_t> image = s.BlockImage(block);
    const size_t offset = address - static_cast<uint32_t>(s.StartAddress(block));
    if (image.size() < offset + total) return load::kFailed;
    if (ReadFlash(c, image.data() + offset, address, total, piece) != total) {
        Show(c, kFailedRead);
        return load::kShortRead;
    }
    if (!std::equal(buf.begin(), buf.end(), image.begin() + static_cast<std::ptrdiff_t>(offset))) {
        Show(c, kFailedVerify);
        return load::kProgramFailed;
    }
    return load::kOk;
}

}  // namespace

std::string ShortFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int ReadLoadImage(LinkContext& c, const std::string& path, LoadedImage* out) {
    std::string error;
    out->path = path;
    out->bytes.clear();
    switch (ReadImageFile(path, &out->bytes, &error)) {
        case ImageReadStatus::Ok: break;
        case ImageReadStatus::CantOpen:
            Show(c, std::string(kCantOpenFile) + "\n" + error);
            return load::kFailed;
        case ImageReadStatus::BadHex:
            Show(c, error);
            return load::kFailed;
    }
    if (out->bytes.empty()) {
        // Programming nothing and reporting success would hide a wrong file.
        Show(c, path + ": the file holds no data.");
        return load::kFailed;
    }
    return load::kOk;
}

int CheckImageFits(LinkContext& c, LoaderKind kind, size_t length, int block, uint32_t start) {
    const CDeviceSession& s = c.session;
    const uint64_t end = start + length;
    bool fits = false;
    switch (kind) {
        case LoaderKind::Flash:
            fits = end <= (s.ExternalWindowOpen() ? 0x10000u : BlockLimit(s, block));
            break;
        case LoaderKind::Block1:
            fits = start >= static_cast<uint32_t>(s.StartAddress(1)) &&
                   end - static_cast<uint32_t>(s.StartAddress(1)) <= BlockLimit(s, 1);
            break;
        case LoaderKind::ExternalMode:
            if (block == 0)
                fits = end <= BlockLimit(s, 0) || TailReachesBlock1(s, static_cast<uint32_t>(end));
            else
                fits = end - static_cast<uint32_t>(s.StartAddress(1)) <= BlockLimit(s, 1);
            break;
    }
    if (fits) return load::kOk;
    Show(c, kOverSize);
    return load::kOverSize;
}

int LoadToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start) {
    CDeviceSession& s = c.session;
    if (const int rc = CheckImageFits(c, LoaderKind::Flash, image.bytes.size(), block, start)) return rc;
    const bool window = s.ExternalWindowOpen();
    const uint32_t eraseUnit = window ? kExternalSectorSize : static_cast<uint32_t>(s.SectorSize(block));
    const uint32_t piece = window ? kExternalPieceSize : eraseUnit;
    std::vector<uint8_t> buf = Padded(image.bytes.data(), image.bytes.size(), window ? kExternalSectorSize : 128);
    const uint32_t total = static_cast<uint32_t>(buf.size());
    // Only the sectors the image touches are erased.
    if (EraseSectors(c, start, eraseUnit, static_cast<int>((total + eraseUnit - 1) / eraseUnit)) != 0) {
        Show(c, kSectorEraseFailed);
        return load::kFailed;
    }
    return ProgramVerified(c, start, piece, buf.data(), total) == 0 ? load::kOk : load::kProgramFailed;
}

int LoadChangedToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start, ChangedSectors* out) {
    CDeviceSession& s = c.session;
    if (const int rc = CheckImageFits(c, LoaderKind::Flash, image.bytes.size(), block, start)) return rc;
    const bool window = s.ExternalWindowOpen();
    const uint32_t eraseUnit = window ? kExternalSectorSize : static_cast<uint32_t>(s.SectorSize(block));
    const uint32_t piece = window ? kExternalPieceSize : eraseUnit;
    // Whole sectors: a plain download erases the tail of the last one as well.
    const std::vector<uint8_t> want = Padded(image.bytes.data(), image.bytes.size(), eraseUnit);
    const uint32_t total = static_cast<uint32_t>(want.size());
    std::vector<uint8_t> have(total);
    if (ReadFlash(c, have.data(), start, total, piece) != total) {
        Show(c, kFailedRead);
        return load::kShortRead;
    }
    enum class Need { Nothing, Program, EraseAndProgram };
    const int sectors = static_cast<int>(total / eraseUnit);
    std::vector<Need> need(static_cast<size_t>(sectors), Need::Nothing);
    ChangedSectors count;
    for (int i = 0; i < sectors; ++i) {
        const size_t at = static_cast<size_t>(i) * eraseUnit;
        bool same = true, clearsOnly = true;
        for (size_t k = at; k < at + eraseUnit; ++k) {
            same = same && have[k] == want[k];
            // Programming can only clear bits.
            clearsOnly = clearsOnly && (have[k] & want[k]) == want[k];
        }
        need[static_cast<size_t>(i)] = same ? Need::Nothing : clearsOnly ? Need::Program : Need::EraseAndProgram;
        if (same) ++count.skipped;
        else ++count.rewritten;
    }
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
            if (EraseSectors(c, start + static_cast<uint32_t>(i) * eraseUnit, eraseUnit, j - i) != 0) {
                Show(c, kSectorEraseFailed);
                return load::kFailed;
            }
            i = j;
        }
        const uint32_t from = static_cast<uint32_t>(first) * eraseUnit;
        const uint32_t length = static_cast<uint32_t>(end - first) * eraseUnit;
        if (ProgramVerified(c, start + from, piece, want.data() + from, length) != 0) return load::kProgramFailed;
        first = end;
    }
    if (out) *out = count;
    return load::kOk;
}

int LoadToBlock1(LinkContext& c, const LoadedImage& image, int block, uint32_t start) {
    CDeviceSession& s = c.session;
    if (const int rc = CheckImageFits(c, LoaderKind::Block1, image.bytes.size(), block, start)) return rc;
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(1));
    std::vector<uint8_t> buf = Padded(image.bytes.data(), image.bytes.size(), piece);
    const uint32_t total = static_cast<uint32_t>(buf.size());
    // The boot loader upgrade has erased its own area already.
    if (!s.bslUpgradeMode && EraseSectors(c, start, piece, static_cast<int>(total / piece)) != 0) {
        Show(c, kSectorEraseFailed);
        Show(c, kEraseFailedOnChip);
        return load::kFailed;
    }
    if (ProgramBootArea(c, start, piece, buf.data(), total) != 0) {
        Show(c, kFailedDownload);
        return load::kProgramFailed;
    }
    return load::kOk;
}

int LoadExternalMode(LinkContext& c, const LoadedImage& image, int block, uint32_t start) {
    CDeviceSession& s = c.session;
    const size_t length = image.bytes.size();
    if (const int rc = CheckImageFits(c, LoaderKind::ExternalMode, length, block, start)) return rc;
    const uint8_t* data = image.bytes.data();
    if (block != 0 || start + length <= BlockLimit(s, 0)) return WriteAndVerify(c, block, start, data, length);

    // Block 0 up to its end, then the tail for block 1's addresses. The file bytes between
    // the two address nothing and are not written.
    const size_t first = BlockLimit(s, 0) - start;
    if (const int rc = WriteAndVerify(c, 0, start, data, first)) return rc;
    const uint32_t base = static_cast<uint32_t>(s.StartAddress(1));
    const size_t tail = base - start;
    return WriteAndVerify(c, 1, base, data + tail, length - tail);
}

int LoadForCompare(LinkContext& c, const LoadedImage& image, int block, uint32_t start,
                   int32_t* mismatchAddress, uint16_t* mismatchBytes) {
    CDeviceSession& s = c.session;
    const bool window = s.ExternalWindowOpen();
    const uint32_t piece = static_cast<uint32_t>(s.SectorSize(block));
    const uint64_t end = start + image.bytes.size();
    size_t compared = image.bytes.size();
    size_t tailOffset = 0;  // file offset of a part compared against block 1; 0 for none
    if (window) {
        if (end > 0x10000) {
            Show(c, kOverSize);
            return load::kOverSize;
        }
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
                Show(c, kOverSize);
                return load::kOverSize;
            }
        }
    }
    auto compare = [&](uint32_t address, uint32_t chunk, const uint8_t* data, size_t n) {
        uint32_t where = UINT32_MAX, word = 0;
        if (CompareFlash(c, address, chunk, data, static_cast<uint32_t>(n), &where, &word) == 0) return true;
        if (where != UINT32_MAX) {
            if (mismatchAddress) *mismatchAddress = static_cast<int32_t>(where);
            if (mismatchBytes) *mismatchBytes = static_cast<uint16_t>(word);
        }
        return false;
    };
    if (!compare(start, piece, image.bytes.data(), compared)) return load::kProgramFailed;
    if (tailOffset && tailOffset < image.bytes.size()) {
        if (!compare(static_cast<uint32_t>(s.StartAddress(1)), static_cast<uint32_t>(s.SectorSize(1)),
                     image.bytes.data() + tailOffset, image.bytes.size() - tailOffset))
            return load::kProgramFailed;
    }
    return load::kOk;
}

}  // namespace tessel
