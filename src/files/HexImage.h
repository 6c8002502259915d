#pragma once
// Image files as the operator hands them over: Intel HEX text or raw binary, turned into one
// flat image held in memory. HEX record addresses are offsets from wherever the operator puts
// the image, so the image starts at offset 0 and only 16-bit offsets are accepted; anything
// that would need a wider address, or that looks damaged, refuses the whole file rather than
// programming part of it or putting bytes at the wrong place.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// A HEX image can never be larger than the offsets its records can reach.
inline constexpr size_t kMaxHexImageBytes = 0x10000;
// No area an image can be put into is larger than 64 KB (a block, an external-flash window,
// block 0 running on into block 1 in external memory mode), so neither is a binary image.
inline constexpr uint64_t kMaxBinaryImageBytes = 0x10000;
// HEX text for a full 64 KB, even written one byte per record with CR LF line ends, stays
// well below this.
inline constexpr uint64_t kMaxHexTextBytes = 4u << 20;

// Whether a name asks for Intel HEX: the file name's own last extension is "hex" in any letter
// case. A dot in a folder name does not count ("dir.hex/prog" is not; "PROG.HEX" and
// "prog.Hex" are; "prog.hex.bak" is not). A name that is only ".hex" is a hidden file without
// an extension. Used for the names of files being written, and for a file being read whose
// name says what it holds (see ReadImageFile).
bool IsHexFile(const std::string& path);
// The same for any extension, given in lower case with its dot (".bin").
bool HasExtension(const std::string& path, std::string_view extension);

// How to take a file: from its content, or as the operator says.
enum class ImageFormat { Auto, Hex, Binary };

// Whether text looks like Intel HEX: its first non-blank character is ':'. (Whether the
// records then parse is the conversion's business; a file that starts like HEX and does not
// parse is refused, never programmed as binary.)
bool LooksLikeHex(std::string_view text);

// A flat image and which of its bytes the file actually gives. A HEX file's records may
// leave gaps (a backup of two areas, code and a table far apart): those bytes are 0xFF in
// `bytes` and false in `defined`, and must not be erased, programmed or compared. A binary
// file defines every byte, and `defined` is left empty.
struct ImageData {
    std::vector<uint8_t> bytes;
    std::vector<bool> defined;

    bool Dense() const { return defined.empty(); }
    bool IsDefined(size_t k) const { return k < bytes.size() && (defined.empty() || defined[k]); }
    // Whether any byte in [from, from + n) is defined.
    bool AnyDefined(size_t from, size_t n) const;
    size_t DefinedCount() const;
};

// Converts Intel HEX text into a flat image: byte k of the image holds the data of record
// offset k; gaps and the part before the first record are 0xFF; the image ends at the end of
// the highest data record. On refusal returns false, leaves *image empty and sets *error to
// "<displayName>: line <N>: <reason>" (N 1-based).
bool ConvertHexToImage(std::string_view text, const std::string& displayName,
                       std::vector<uint8_t>* image, std::string* error);
// The same, also telling which bytes the records define.
bool ConvertHexToImage(std::string_view text, const std::string& displayName, ImageData* image,
                       std::string* error);

// What a file that is not Intel HEX plainly is. Only Binary may be a firmware image: an empty
// file, text (every byte printable or white space, and valid UTF-8), a Motorola S-record file
// or an object file (an ELF header) is something else that the operator picked by mistake.
enum class ContentKind { Binary, Empty, Text, Elf, SRecord };
ContentKind ClassifyContent(std::span<const uint8_t> bytes);
// "is empty", "is text", "is an ELF object file".
const char* DescribeContent(ContentKind kind);

enum class ImageReadStatus { Ok, CantOpen, BadHex, TooLarge, NotFirmware };
// Reads an image file ("-": standard input). Only a regular file is read: a FIFO, a device or
// a folder is refused before anything is read from it (CantOpen), and so is a file larger than
// any image could be (TooLarge), judged from its size alone. With ImageFormat::Auto the name
// decides first: a name ending in .hex must hold HEX (BadHex otherwise), one ending in .bin is
// raw bytes; for any other name a file whose text starts like HEX (LooksLikeHex) is converted
// and anything else is raw bytes; raw bytes that ClassifyContent does not call Binary are
// refused (NotFirmware, *error "<path>: the file is text, not a firmware image"), and an
// S-record file is refused unless taken as binary (NotFirmware, "<path>: Motorola S-record
// files are not supported: convert to Intel HEX");
// ImageFormat::Binary takes any content. CantOpen and TooLarge: *error is
// "<path>: <reason>". BadHex: *error as ConvertHexToImage's.
ImageReadStatus ReadImageFile(const std::string& path, ImageData* image, std::string* error,
                              ImageFormat format = ImageFormat::Auto);
// The bytes alone.
ImageReadStatus ReadImageFile(const std::string& path, std::vector<uint8_t>* image, std::string* error,
                              ImageFormat format = ImageFormat::Auto);

// Intel HEX text for `data` whose first byte sits at `firstAddress`: 16 data bytes per type-00
// record (the last one shorter), upper-case hex digits, LF line ends, ending with
// ":00000001FF\n". Data reaching past 0xFFFF gets a type-04 extended linear address record
// before the first record of each 64 KB page above the first, and no record crosses a 64 KB
// boundary.
std::string FormatIntelHex(std::span<const uint8_t> data, uint32_t firstAddress);
// Writes FormatIntelHex to a file, replacing it; false with *error "<path>: <reason>".
bool WriteIntelHexFile(const std::string& path, std::span<const uint8_t> data, uint32_t firstAddress,
                       std::string* error);
// An image from offset 0 with records for its defined bytes only, so that its gaps stay gaps.
std::string FormatIntelHex(const ImageData& image);
bool WriteIntelHexFile(const std::string& path, const ImageData& image, std::string* error);

}  // namespace tessel
