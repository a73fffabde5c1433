// Small integer helpers shared by every subsystem: saturating and checked
// 64-bit arithmetic. Nothing here wraps silently.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace zelk {

// 128-bit signed totals (costs of whole flows).
__extension__ typedef __int128 Int128;

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
