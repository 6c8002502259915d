#pragma once
// The target programs the tool carries, embedded from src/firmware at build time.

#include <cstddef>
#include <cstdint>
#include <span>

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

extern const FirmwareImage kFirmwareImages[kFirmwareCount];

const FirmwareImage& Firmware(FirmwareId id);

// The repository's images are stand-ins that only the stand-in board accepts. Writing one
// into a real chip would leave it running garbage, so callers refuse that.
bool IsStandInImage(const FirmwareImage& image);

// The message for refusing a stand-in image on a real port.
const char* StandInRefusalHint();

}  // namespace tessel
