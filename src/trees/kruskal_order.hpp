// The deterministic Kruskal order: edges by length, ties by a splitmix64
// hash of the edge index under a seed. Lengths are sorted as order-preserving
// 64-bit keys by a stable radix sort, and only runs of equal lengths look at
// the hash, so the common case never compares doubles or hashes at all.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "splitmix64.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

// An unsigned key that orders doubles as `<` does: for a and b not NaN,
// ordered_key(a) < ordered_key(b) exactly when a < b, and the keys are equal
// exactly when a == b (so -0.0 and +0.0 share one key).
inline std::uint64_t ordered_key(double x) {
    const std::uint64_t u = std::bit_cast<std::uint64_t>(x == 0.0 ? 0.0 : x);
    return (u >> 63) != 0 ? ~u : (u | (std::uint64_t{1} << 63));
}

// The tie-break of equal lengths. For one seed it is a bijection of the
// edge index (an injective xor followed by the finaliser), so two edges
// never tie on it.
inline std::uint64_t kruskal_hash(std::uint64_t seed, std::uint64_t e) {
    return splitmix64_finalize((seed + DEFAULT_SEED) ^ e);  // the sum wraps modulo 2^64
}

struct KeyedEdge {
    std::uint64_t key;  // ordered_key of the edge's length
    std::uint64_t edge;
};

// Stable sort of `records` by key: least significant byte first, one
// counting pass per byte, skipping the bytes every record shares. `scratch`
// is working storage (any content; its capacity is reused).
void stable_radix_sort(std::vector<KeyedEdge>& records, std::vector<KeyedEdge>& scratch);

// Sorts `records` (distinct edges) into the Kruskal order: by key, equal
// keys by kruskal_hash(seed, edge). Records already in order are detected
// in one pass and a nearly sorted sequence is repaired by insertion; the
// result is the same whatever the input order. True when the records were
// already in order.
bool sort_kruskal_records(std::vector<KeyedEdge>& records, std::uint64_t seed);

// The same with equal keys by edge index.
bool sort_by_key_then_edge(std::vector<KeyedEdge>& records);

}  // namespace zelk
