// Small integer helpers shared by every subsystem: saturating and checked
// 64-bit arithmetic. Nothing here wraps silently.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace zelk {

// 128-bit signed totals (costs of whole flows).
__extension__ typedef __int128 Int128;

inline constexpr Int128 INT128_HIGHEST = (Int128{1} << 126) - 1 + (Int128{1} << 126);
inline constexpr Int128 INT128_LOWEST = -INT128_HIGHEST - 1;

inline Int128 saturating_add(Int128 a, Int128 b) {
    Int128 r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT128_HIGHEST : INT128_LOWEST;
    return r;
}

// An integral double (already rounded) as a 128-bit integer, saturating at
// the ends of the range; NaN gives 0.
inline Int128 saturating_int128(double integral) {
    if (integral != integral) return 0;
    if (integral >= 0x1p127) return INT128_HIGHEST;
    if (integral < -0x1p127) return INT128_LOWEST;
    return static_cast<Int128>(integral);
}

inline std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return r;
}

inline std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) {
        return b < 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return r;
}

// Counters in statistics and oracles saturate instead of wrapping.
inline void saturating_increment(std::uint64_t& counter) {
    if (counter != std::numeric_limits<std::uint64_t>::max()) ++counter;
}

inline std::uint64_t saturating_count_sum(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<std::uint64_t>::max();
    return r;
}

inline std::optional<std::int64_t> checked_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

inline std::optional<std::int64_t> checked_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace zelk
