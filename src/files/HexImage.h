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

// The file kind follows the file name's own last extension: "hex" in any letter case. A dot in
// a folder name does not count ("v1.2/prog.bin" is binary; "dir.hex/prog" is binary; "PROG.HEX"
// and "prog.Hex" are HEX; "prog.hex.bak" is binary). A name that is only ".hex" is a hidden file
// without an extension, so binary.
bool IsHexFile(const std::string& path);

// Converts Intel HEX text into a flat image: byte k of the image holds the data of record
// offset k; gaps and the part before the first record are 0xFF; the image ends at the end of
// the highest data record. On refusal returns false, leaves *image empty and sets *error to
// "<displayName>: line <N>: <reason>" (N 1-based).
bool ConvertHexToImage(std::string_view text, const std::string& displayName,
                       std::vector<uint8_t>* image, std::string* error);

enum class ImageReadStatus { Ok, CantOpen, BadHex };
// Reads a file whole: a HEX file (IsHexFile) is converted, anything else taken as raw bytes.
// CantOpen: *error is "<path>: <system's reason>". BadHex: *error as ConvertHexToImage's.
ImageReadStatus ReadImageFile(const std::string& path, std::vector<uint8_t>* image, std::string* error);

// Intel HEX text for `data` whose first byte sits at `firstAddress`: 16 data bytes per type-00
// record (the last one shorter), upper-case hex digits, LF line ends, ending with
// ":00000001FF\n". Data reaching past 0xFFFF gets a type-04 extended linear address record
// before the first record of each 64 KB page above the first, and no record crosses a 64 KB
// boundary.
std::string FormatIntelHex(std::span<const uint8_t> data, uint32_t firstAddress);
// Writes FormatIntelHex to a file, replacing it; false with *error "<path>: <reason>".
bool WriteIntelHexFile(const std::string& path, std::span<const uint8_t> data, uint32_t firstAddress,
                       std::string* error);

}  // namespace tessel
