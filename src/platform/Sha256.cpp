#include "platform/Sha256.h"

namespace tessel {

std::string Sha256Hex(std::string_view bytes) {
    Sha256Digest digest;
    if (!Sha256(bytes, &digest)) return "";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest.size());
    for (const uint8_t b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

}  // namespace tessel
