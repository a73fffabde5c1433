// Shared vocabulary of the trees and spanners:
// NO_INDEX, the (edge, sign) pair of tree paths and spanner embeddings,
// TreeError, and the seeded generators the randomized builders use.
#pragma once

#include "index_types.hpp"
#include "splitmix64.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk {

// The all-ones 64-bit value: no node, no edge.

// Seed used in place of 0 by the randomized builders.
inline constexpr std::uint64_t DEFAULT_SEED = 0x9E3779B97F4A7C15ULL;

// One step of a walk: (edge identifier, sign). Sign +1 walks the edge from
// its tail to its head, -1 against its orientation. Tree paths
// (LowStretchTree::path_edges), spanner embeddings and cycle candidates all
// use this shape.
using SignedEdge = std::pair<EdgeIndex, std::int8_t>;

// Error of the tree builders. Variants in this order.
enum class TreeError { EmptyGraph, MissingEdgeLengths };

// Debug text: the variant name.
constexpr std::string_view to_string(TreeError e) {
    switch (e) {
        case TreeError::EmptyGraph: return "EmptyGraph";
        case TreeError::MissingEdgeLengths: return "MissingEdgeLengths";
    }
    return "TreeError";
}

template <class T>
using TreeResult = std::expected<T, TreeError>;

// 64-bit xorshift: x ^= x << 13; x ^= x >> 7; x ^= x << 17. The output of
// a step is the new state. A zero seed is replaced by DEFAULT_SEED.
class XorShift64 {
public:
    explicit XorShift64(std::uint64_t seed) : state_(seed == 0 ? DEFAULT_SEED : seed) {}
    std::uint64_t next() {
        std::uint64_t x = state_;
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        state_ = x;
        return x;
    }
    std::uint64_t state() const { return state_; }

private:
    std::uint64_t state_;
};

// Keeps `order` when it is a permutation of 0..m-1 (a sort hint from an
// earlier build), else replaces it by 0..m-1; true when it was kept. O(m),
// with per-thread marks.
inline bool keep_permutation_or_identity(std::vector<std::uint64_t>& order, std::size_t m) {
    thread_local std::vector<std::uint32_t> seen;  // == generation when seen
    thread_local std::uint32_t generation = 0;
    bool permutation = order.size() == m;
    if (permutation) {
        if (seen.size() < m) seen.resize(m, 0);
        if (++generation == 0) {
            std::fill(seen.begin(), seen.end(), 0);
            generation = 1;
        }
        for (const std::uint64_t e : order) {
            if (e >= m || seen[e] == generation) {
                permutation = false;
                break;
            }
            seen[e] = generation;
        }
    }
    if (!permutation) {
        order.resize(m);
        for (std::size_t e = 0; e < m; ++e) order[e] = e;
    }
    return permutation;
}

// Sorts `records` by the strict total order `before`: insertion sort while
// it stays cheap (the records already nearly in order, as after a small
// change of lengths), else a full sort; the result is the same either way.
// True when the records were already in order.
template <class Record, class Before>
bool sort_nearly_sorted(std::vector<Record>& records, Before before) {
    const std::size_t len = records.size();
    std::size_t budget = 4 * len + 64;
    bool in_order = true;
    for (std::size_t i = 1; i < len; ++i) {
        if (!before(records[i], records[i - 1])) continue;
        in_order = false;
        const Record x = records[i];
        std::size_t j = i;
        while (j > 0 && before(x, records[j - 1])) {
            records[j] = records[j - 1];
            --j;
            if (--budget == 0) {
                records[j] = x;
                std::sort(records.begin(), records.end(), before);
                return false;
            }
        }
        records[j] = x;
    }
    return in_order;
}

// Binary lifting over a rooted forest of n nodes. `up` holds level 0 on
// entry (each node's parent, a root its own; NO_INDEX where unknown) and
// gets the higher levels appended: level k, at [k*n, (k+1)*n), is each
// node's 2^k-th ancestor (NO_INDEX stays NO_INDEX). Returns the number of
// levels, the bit length of n and at least 1. O(n log n).
inline std::size_t extend_ancestor_table(std::vector<std::uint64_t>& up, std::size_t n) {
    const std::size_t levels = n == 0 ? 1 : static_cast<std::size_t>(std::bit_width(n));
    up.resize(levels * n);
    for (std::size_t k = 1; k < levels; ++k) {
        const std::uint64_t* prev = up.data() + (k - 1) * n;
        std::uint64_t* cur = up.data() + k * n;
        for (std::size_t v = 0; v < n; ++v) {
            const std::uint64_t p = prev[v];
            cur[v] = p == NO_INDEX ? NO_INDEX : prev[p];
        }
    }
    return levels;
}

// The lowest common ancestor of a and b, two nodes of one tree of the forest
// whose table extend_ancestor_table built, given each node's depth.
// O(log n).
template <class DepthOf>
std::uint64_t lowest_common_ancestor(const std::vector<std::uint64_t>& up, std::size_t levels,
                                     std::size_t n, std::uint64_t a, std::uint64_t b,
                                     DepthOf depth_of) {
    if (depth_of(b) > depth_of(a)) std::swap(a, b);
    const std::uint64_t gap = depth_of(a) - depth_of(b);
    for (std::size_t k = 0; k < levels; ++k) {
        if ((gap >> k) & 1U) a = up[k * n + a];
    }
    if (a == b) return a;
    for (std::size_t k = levels; k-- > 0;) {
        const std::uint64_t x = up[k * n + a], y = up[k * n + b];
        if (x != y) {
            a = x;
            b = y;
        }
    }
    return up[a];
}

}  // namespace zelk
