#pragma once
// Sums of sizes that come from the network. Each file's size is checked on its own, but a game
// of several huge files would wrap a plain 64-bit sum round to a small number, and a wrapped
// need for space passes any free-space check. These sums stop at the largest value instead.
#include <cstdint>
#include <limits>

constexpr uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

constexpr uint64_t SaturatingMultiply(uint64_t a, uint64_t b) {
    return b != 0 && a > std::numeric_limits<uint64_t>::max() / b
               ? std::numeric_limits<uint64_t>::max()
               : a * b;
}
