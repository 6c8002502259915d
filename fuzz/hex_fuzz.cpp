// Feeds arbitrary bytes to the HEX conversion: it must refuse or convert without crashing, never
// grow an image past what 16-bit offsets reach, and whatever it accepts must survive being
// written out again and read back unchanged.

#include "files/HexImage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> image;
    std::string error;
    if (!tessel::ConvertHexToImage(text, "fuzz.hex", &image, &error)) {
        if (error.empty() || !image.empty()) std::abort();
        return 0;
    }
    if (image.size() > tessel::kMaxHexImageBytes) std::abort();

    std::vector<uint8_t> again;
    if (!tessel::ConvertHexToImage(tessel::FormatIntelHex(image, 0), "again.hex", &again, &error)) std::abort();
    if (again != image) std::abort();
    return 0;
}
