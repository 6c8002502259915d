#pragma once
// Copies of the operator's flash contents that a procedure is about to erase and means to put
// back. Each goes to its own time-stamped file, so that a failed restore still leaves the
// data on disk and the message can name the file.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessel {

struct BackupRegion {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// The raw bytes as <dir>/<stem>-<YYYYmmdd-HHMMSS>.bin; the path, or "" when it could not be
// written completely. An empty dir means the user's state folder.
std::string WriteBackupBinary(const std::string& dir, const std::string& stem, std::span<const uint8_t> data);

// The regions as one Intel HEX file with their own addresses, <dir>/<stem>-<time>.hex.
std::string WriteBackupHex(const std::string& dir, const std::string& stem, std::span<const BackupRegion> regions);

}  // namespace tessel
