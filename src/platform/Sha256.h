#pragma once
// SHA-256, from the system's own implementation (libcrypto on Linux, CNG on Windows).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel {

using Sha256Digest = std::array<uint8_t, 32>;

// False when the system could not compute it.
bool Sha256(std::string_view bytes, Sha256Digest* digest);
// The digest in lower-case hexadecimal; "" when the system could not compute it.
std::string Sha256Hex(std::string_view bytes);

}  // namespace tessel
