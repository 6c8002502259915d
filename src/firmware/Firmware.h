#pragma once
// The target programs the tool carries, embedded from src/firmware at build time, and the
// files that replace them at run time without a rebuild.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessel {

enum class FirmwareId {
    Block1StubA,
    Block1StubHL,
    ExternalStub,
    ExternalBsl,
    Upgrade11E,
    // The debug monitor: on the A models a part in block 0 and a part in block 1, on the
    // H/L models one image in block 1.
    MonitorA16Block0,
    MonitorA32Block0,
    MonitorA16Block1,
    MonitorA32Block1,
    MonitorHL64D,
    MonitorHL32B,
};
inline constexpr size_t kFirmwareCount = 11;

struct FirmwareImage {
    FirmwareId id;
    const char* name;
    const char* fileName;  // where it comes from in the source tree
    const uint8_t* data;
    size_t size;

    std::span<const uint8_t> Bytes() const { return {data, size}; }
};

// The images built in.
extern const FirmwareImage kFirmwareImages[kFirmwareCount];

// The image in use: a file found in the search folders, else the built-in one. A file of the
// wrong size is not used; the built-in one stands in for it here, and ResolveFirmware says
// why, so that the commands that write it can refuse.
const FirmwareImage& Firmware(FirmwareId id);

// Where an image comes from, looked up once per search set-up.
struct ResolvedFirmware {
    FirmwareImage image{};  // the file's bytes, or the built-in image
    std::string fileName;   // the file's own name ("stub_block1_a.bin")
    std::string source;     // the file used, or "built in"
    bool builtIn = true;
    bool standIn = false;
    std::string refusal;    // a file that was found and not used, and why; empty if none
};
const ResolvedFirmware& ResolveFirmware(FirmwareId id);

// The folders searched, in order: the one given on the command line (if any),
// $XDG_DATA_HOME/tessel/firmware, the installed data folder.
std::vector<std::string> FirmwareSearchFolders();
// The folder from --firmware-dir (empty: none). Looks every image up afresh.
void SetFirmwareDir(const std::string& dir);

// The repository's images are stand-ins that only the stand-in board accepts. Writing one
// into a real chip would leave it running garbage, so callers refuse that.
bool IsStandInImage(const FirmwareImage& image);
bool IsStandInImage(std::span<const uint8_t> bytes);

// The message for refusing a stand-in image on a real port: the file and where a real one
// is looked for. It contains StandInRefusalHint().
std::string StandInRefusal(FirmwareId id);
const char* StandInRefusalHint();
// The message for a file that was found but is not usable (its name and size).
std::string FirmwareProblem(FirmwareId id);

// A short fingerprint of an image's bytes (FNV-1a, 32 bits), so that a board and a test can
// say which image travelled.
uint32_t FirmwareFingerprint(std::span<const uint8_t> bytes);

}  // namespace tessel
