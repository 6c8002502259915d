#include "firmware/Firmware.h"

#include <algorithm>
#include <cstring>

namespace tessel {

namespace {
constexpr char kStandInMarker[] = "TESSEL STAND-IN IMAGE";
}

const FirmwareImage& Firmware(FirmwareId id) { return kFirmwareImages[static_cast<size_t>(id)]; }

bool IsStandInImage(const FirmwareImage& image) {
    const size_t n = sizeof kStandInMarker - 1;
    const uint8_t* end = image.data + image.size;
    return std::search(image.data, end, kStandInMarker, kStandInMarker + n) != end;
}

const char* StandInRefusalHint() {
    return "is a stand-in that only the stand-in board accepts; install the real image in its place and rebuild";
}

}  // namespace tessel
