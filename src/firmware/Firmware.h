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
    MonitorPart1,
    MonitorPart2,
};
inline constexpr size_t kFirmwareCount = 7;

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
