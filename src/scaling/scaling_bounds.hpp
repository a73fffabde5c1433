// Magnitudes the scaling decisions compare: the cube of the edge count and the
// largest absolute value of an array. Both exact or saturating, never wrapping.
// Cost: O(1) and O(length).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace zelk {

// max(m, 1)^3 in signed 64 bits, saturating at the largest value.
inline std::int64_t cube_bound(std::size_t edge_count) {
    constexpr auto highest = std::numeric_limits<std::int64_t>::max();
    if (edge_count > static_cast<std::size_t>(highest)) return highest;
    const auto x = static_cast<std::int64_t>(std::max<std::size_t>(edge_count, 1));
    std::int64_t cube;
    if (__builtin_mul_overflow(x, x, &cube) || __builtin_mul_overflow(cube, x, &cube))
        return highest;
    return cube;
}

// |v| of a signed 64-bit value, exact for the smallest one (2^63).
inline std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

// Largest |v| over the values; 0 when there are none.
inline std::uint64_t max_magnitude(std::span<const std::int64_t> values) {
    std::uint64_t largest = 0;
    for (std::int64_t v : values) largest = std::max(largest, magnitude(v));
    return largest;
}

}  // namespace zelk
