// The splitmix64 finaliser: a cheap, well-mixing bijection of 64-bit values,
// used for deterministic tie-break keys and for hashing 64-bit keys.
#pragma once

#include <cstdint>

namespace zelk {

constexpr std::uint64_t splitmix64_finalize(std::uint64_t z) {
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ULL;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z;
}

}  // namespace zelk
