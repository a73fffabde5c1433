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
#include <span>
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

// Lowest common ancestors in O(1) over a rooted forest, after O(n log n)
// preparation: the nodes in preorder and a sparse table of range minima of
// (depth, position) over that order. For a != b in one tree, with a before
// b in preorder, the shallowest node at the positions after a up to b is a
// child of their lowest common ancestor (the first child on the way to b).
class ForestLca {
public:
    // `parent[v]` is v's parent; v is a root when the entry is v itself or
    // not below n (NO_INDEX for a node no tree reached). Children are taken
    // in node order. Storage is reused from one build to the next.
    void build(std::span<const std::uint64_t> parent) {
        const std::size_t n = parent.size();
        n_ = n;
        // Children lists by a counting pass; scratch reused per thread.
        thread_local std::vector<std::uint32_t> start, children, stack;
        thread_local std::vector<std::uint64_t> depth;
        start.assign(n + 1, 0);
        for (std::size_t v = 0; v < n; ++v) {
            const std::uint64_t p = parent[v];
            if (p < n && p != v) ++start[p + 1];
        }
        for (std::size_t v = 0; v < n; ++v) start[v + 1] += start[v];
        children.resize(start[n]);
        for (std::size_t v = 0; v < n; ++v) {
            const std::uint64_t p = parent[v];
            if (p < n && p != v) children[start[p]++] = static_cast<std::uint32_t>(v);
        }
        // start[p] now ends p's list; lists begin where the previous ends.
        pos_.assign(n, NO_POSITION);
        parent_at_.resize(n);
        table_.resize(n);
        depth.resize(n);
        std::uint32_t next = 0;
        auto visit = [&](std::size_t v) {
            pos_[v] = next;
            parent_at_[next] = parent[v];
            table_[next] = (depth[v] << 32) | next;
            ++next;
        };
        for (std::size_t r = 0; r < n; ++r) {
            const std::uint64_t p = parent[r];
            if (p < n && p != r) continue;
            depth[r] = 0;
            stack.assign(1, static_cast<std::uint32_t>(r));
            while (!stack.empty()) {
                const std::uint32_t x = stack.back();
                stack.pop_back();
                visit(x);
                const std::uint32_t first = x == 0 ? 0 : start[x - 1];
                // Pushed in reverse, so children are visited in node order.
                for (std::uint32_t i = start[x]; i-- > first;) {
                    const std::uint32_t c = children[i];
                    depth[c] = depth[x] + 1;
                    stack.push_back(c);
                }
            }
        }
        // Nodes on a parent cycle (a broken forest) get positions of their
        // own, so that queries stay in range.
        for (std::size_t v = 0; v < n && next < n; ++v) {
            if (pos_[v] == NO_POSITION) {
                depth[v] = 0;
                visit(v);
            }
        }
        levels_ = n == 0 ? 0 : static_cast<std::size_t>(std::bit_width(n));
        table_.resize(levels_ * n);
        for (std::size_t k = 1; k < levels_; ++k) {
            const std::uint64_t* prev = table_.data() + (k - 1) * n;
            std::uint64_t* cur = table_.data() + k * n;
            const std::size_t half = std::size_t{1} << (k - 1);
            const std::size_t last = n - (std::size_t{1} << k);  // n >= 2^k here
            for (std::size_t i = 0; i <= last; ++i) cur[i] = std::min(prev[i], prev[i + half]);
        }
    }

    bool empty() const { return n_ == 0; }

    // Empty again, keeping the storage.
    void clear() {
        n_ = 0;
        levels_ = 0;
        pos_.clear();
        parent_at_.clear();
        table_.clear();
    }

    // The lowest common ancestor of a and b, two nodes of one tree.
    std::uint64_t query(std::uint64_t a, std::uint64_t b) const {
        if (a == b) return a;
        std::size_t x = pos_[a], y = pos_[b];
        if (x > y) std::swap(x, y);
        ++x;  // the range is [x, y]
        const std::size_t k = static_cast<std::size_t>(std::bit_width(y - x + 1)) - 1;
        const std::uint64_t* level = table_.data() + k * n_;
        const std::uint64_t least = std::min(level[x], level[y + 1 - (std::size_t{1} << k)]);
        return parent_at_[least & 0xFFFFFFFFU];
    }

    bool operator==(const ForestLca&) const = default;

private:
    static constexpr std::uint32_t NO_POSITION = 0xFFFFFFFFU;
    std::size_t n_ = 0;
    std::size_t levels_ = 0;
    std::vector<std::uint32_t> pos_;        // preorder position of each node
    std::vector<std::uint64_t> parent_at_;  // parent of the node at each position
    // Level k at [k*n, (k+1)*n): the least (depth << 32 | position) over
    // positions [i, i + 2^k), for i up to n - 2^k.
    std::vector<std::uint64_t> table_;
};

}  // namespace zelk
