#pragma once
// Putting an image file into the flash, or comparing it with the flash: one loader per
// situation, because the block, the memory mode and the external-flash window change the
// limits, the piece sizes and the steps. The file is read and checked whole before anything
// on the chip is erased, so a refused file changes nothing.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/CDeviceSession.h"
#include "files/HexImage.h"
#include "protocol/Primitives.h"

namespace tessel {

// How a loader ended; every end but Ok has been said to the operator.
enum class LoadResult {
    Ok,
    Failed,         // file not read, refused, or erase failed
    OverSize,       // the image does not fit where it is to go
    ProgramFailed,  // programming or comparing failed
    ShortRead,      // the chip's bytes could not all be read
};

inline constexpr const char kCantOpenFile[] = "Can't open the selected file!!!";
inline constexpr const char kOverSize[] = "The selected file is over size!!!";
inline constexpr const char kSectorEraseFailed[] = "Sector erase failed!!!";
inline constexpr const char kEraseFailedOnChip[] = "Erase failed on norvik51!";
inline constexpr const char kFailedDownload[] = "Failed to Download Data!!!";
inline constexpr const char kFailedRead[] = "Failed to Read Data!!!";
inline constexpr const char kFailedVerify[] = "Failed to Verify Data!!!";

// A file read into memory: the flat image, byte k for address start + k, and which bytes
// the file defines (empty: all of them). The loaders erase, program and compare only the
// sectors that hold a defined byte, and compare only defined bytes, so that a HEX file with
// gaps leaves the flash in its gaps as it was.
struct LoadedImage {
    std::string path;
    std::vector<uint8_t> bytes;
    std::vector<bool> defined;

    bool IsDefined(size_t k) const { return k < bytes.size() && (defined.empty() || defined[k]); }
    // The first byte the file gives: a HEX file built to run at 0400h has nothing before it.
    size_t FirstDefined() const {
        size_t k = 0;
        while (k < bytes.size() && !IsDefined(k)) ++k;
        return k;
    }
};

// Reads and converts the file, showing why when it cannot: Ok or Failed.
LoadResult ReadLoadImage(LinkContext& c, const std::string& path, LoadedImage* out, ImageFormat format = ImageFormat::Auto);

// A stretch of the image that the loaders work on: whole pieces from `offset`, each holding
// at least one defined byte. Offsets count from the image's first byte.
struct TouchedRun {
    size_t offset;
    size_t length;
};
// The runs of `unit`-sized pieces of image bytes [from, from + n) that hold a defined byte;
// pieces are aligned to `from`. A dense image gives one run over the whole range.
std::vector<TouchedRun> TouchedRuns(const LoadedImage& image, size_t from, size_t n, uint32_t unit);

// The part of the path after the last '/', as the title and status texts name a file.
std::string ShortFileName(const std::string& path);

// Which loader a download uses.
enum class LoaderKind { Flash, Block1, ExternalMode };

// Which loader a download of `block` uses in the session's memory mode.
inline LoaderKind DownloadLoaderKind(const CDeviceSession& s, int block) {
    if (s.memoryMode != kInternalMemory) return LoaderKind::ExternalMode;
    return block == 1 ? LoaderKind::Block1 : LoaderKind::Flash;
}

// The size test on its own, for a plan checked before anything is sent: why an image of
// `length` bytes placed at `start` does not fit ("the file needs 30,852 bytes from 0000h;
// NX31A16's block 0 holds 16,384"), or "" when it does. `window`: an external-flash window
// is, or will be, open.
std::string ImageFitProblem(const CDeviceSession& s, LoaderKind kind, size_t length, int block, uint32_t start,
                            bool window);

// A reason as the command line ends its line ("the file needs ...") made a sentence for a
// message box ("The file needs ....").
std::string AsSentence(std::string text);

// The loader's own size test, run before any erase: Ok or OverSize (message shown, with
// the sizes).
LoadResult CheckImageFits(LinkContext& c, LoaderKind kind, size_t length, int block, uint32_t start);

// Block 0 in internal memory mode, or an external-flash window: erase the touched sectors,
// program; no read-back beyond the program operation's own verify. A touched sector's bytes
// that the file does not give (a HEX file's gaps, and the rest of the last sector after a
// binary's or a HEX file's end) are the chip's: they are read first, from two reads that
// agree, and programmed back with the file's. `holds`, when given, gets what the touched
// sectors hold afterwards, byte k for start + k.
LoadResult LoadToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start,
                std::vector<uint8_t>* holds = nullptr);
// What a download that rewrites only what changed did, counted in erase sectors.
struct ChangedSectors {
    int rewritten = 0;
    int skipped = 0;
};

// As LoadToFlash, but every sector the image touches (and no other) is read once first and
// compared with what the plain download would leave there (the file's bytes, the chip's own
// where the file gives none); a sector that already holds it is left alone, one that only
// needs bits cleared is programmed without an erase, any other is erased and programmed. A
// damaged read only makes a sector differ and be rewritten, but chip bytes that are written
// back must not come from one read: a sector to be rewritten that holds any is read once more
// and the two reads must agree. Every byte of the image has then been compared with the chip:
// the unchanged sectors by the first read, the others by the program's own read-back.
LoadResult LoadChangedToFlash(LinkContext& c, const LoadedImage& image, int block, uint32_t start, ChangedSectors* out,
                       std::vector<uint8_t>* holds = nullptr);
// Block 1 in internal memory mode; the block-1 stub must be running.
LoadResult LoadToBlock1(LinkContext& c, const LoadedImage& image, int block, uint32_t start);
// External memory mode (EA# = 0), either block; reads back and verifies what it wrote.
LoadResult LoadExternalMode(LinkContext& c, const LoadedImage& image, int block, uint32_t start);
// What a compare may give besides its verdict: every difference, and the chip's bytes it read,
// put into `view` (byte 0 for address viewBase) where the view covers them. `read` lists the
// address ranges, whole sectors, whose bytes landed there from a complete read.
struct CompareReport {
    CompareDifferences differences;
    std::span<uint8_t> view;
    uint32_t viewBase = 0;
    struct Range {
        uint32_t address;
        uint32_t length;
    };
    std::vector<Range> read;
};
// Compares; on the first difference *mismatchAddress and *mismatchBytes (flash byte in bits
// 15:8, file byte in 7:0) are set and the result is ProgramFailed. With a report the compare
// reads on past the first difference, to count them all.
LoadResult LoadForCompare(LinkContext& c, const LoadedImage& image, int block, uint32_t start,
                   int32_t* mismatchAddress, uint16_t* mismatchBytes, CompareReport* report = nullptr);

}  // namespace tessel
