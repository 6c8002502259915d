#pragma once
// Copying a range of the target's flash into a disk file: raw bytes, the hex-dump text, or
// Intel HEX whose record addresses count from the first saved byte (so that a download at
// the same starting sector puts the contents back where they came from).

#include <cstdint>
#include <string>

#include "protocol/Primitives.h"

namespace tessel {

enum class SaveFormat { Binary, Text, IntelHex };

// The format the Save dialog's choice means for a file name: "Text File" is the dump; a
// binary save into a name ending in ".hex" writes Intel HEX rather than raw bytes in a file
// every tool would take for HEX.
SaveFormat SaveFormatFor(const std::string& path, bool textMode);

// Reads `count` bytes from `start` in pieces of `sectorSize` and writes them. The file is
// replaced only after the whole read succeeded, so a failed save leaves an existing file as
// it was. 0 on success, -1 when the read came back short or the file could not be written
// (the reason is shown).
int saveFlashToFile(LinkContext& c, const std::string& path, uint32_t start, uint32_t count,
                    uint32_t sectorSize, SaveFormat format, bool highWindow = false);

}  // namespace tessel
