#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel::test {

// `n` bytes that tell their addresses apart: `first`, then `step` more at each address.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t first = 1, uint8_t step = 13) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i * step);
    return v;
}

}  // namespace tessel::test
