// The index types. Node endpoints are stored in 32 bits (the edge arrays
// are scanned in every hot loop, and half the width is half the memory
// traffic); edge identifiers, and node identifiers inside the tree, spanner
// and oracle structures, are 64-bit, with NO_INDEX for "none"; positions
// and counts in containers are std::size_t.
#pragma once

#include <cstdint>

namespace zelk {

using NodeIndex = std::uint32_t;  // an endpoint as stored in tails / heads
using EdgeIndex = std::uint64_t;  // an edge identifier

inline constexpr EdgeIndex NO_INDEX = ~EdgeIndex{0};

}  // namespace zelk
