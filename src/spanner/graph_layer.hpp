// GraphLayer and build_layer: one layer of the decremental cluster spanner.
// The layer's nodes are grouped into small clusters (breadth-first from
// roots, at most max(CLUSTER_LIMIT, 1) nodes each, CLUSTER_LIMIT =
// floor(ln max(n, 2))); the spanner keeps the first two incident edges of
// every node plus one edge per cluster (the first edge in edge-key order
// whose tail lies in the cluster), so at most 2n + clusters edges.
//
// Contract: the edge key of f is (min(u, v), max(u, v)); lengths play no
// part in the selection. Deterministic mode takes roots in node order and
// visits incident edges in edge-key order (ties by identifier); otherwise
// roots run from n-1 down and edges are visited in insertion order (step 2)
// or most recent first (step 3). Edges with an endpoint not below n are kept
// in `edges` but listed in no adjacency. Node indices fit in 32 bits.
// Cost: O(n + m) apart from the edge-key order of the cluster edges
// (O(clusters log clusters)); no per-node allocation (flat lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"

namespace zelk {

// floor(ln(max(n, 2))): 0 for n <= 2, 1 up to 7, 2 from 8 to 20.
std::uint64_t cluster_limit(std::uint64_t n);

struct LayerEdge {
    std::uint64_t u = 0;
    std::uint64_t v = 0;
    double length = 1.0;
    bool active = true;
};

class GraphLayer {
public:
    // Incident edge identifiers of node x, in insertion order (a self-loop
    // twice); empty beyond node_count.
    std::span<const std::uint64_t> layer_adjacency(std::uint64_t x) const {
        return slice(layer_offsets, layer_entries, x);
    }
    // Incident kept edges of node x, in selection order.
    std::span<const std::uint64_t> spanner_adjacency(std::uint64_t x) const {
        return slice(spanner_offsets, spanner_entries, x);
    }

    std::vector<LayerEdge> edges;
    std::vector<std::uint64_t> spanner_edges;  // selection order, no repetition
    std::vector<std::uint64_t> cluster;        // per node, numbered in creation order
    std::uint64_t node_count = 0;

    // Flat lists: node x owns entries[offsets[x] .. offsets[x+1]).
    std::vector<std::size_t> layer_offsets;
    std::vector<std::uint64_t> layer_entries;
    std::vector<std::size_t> spanner_offsets;
    std::vector<std::uint64_t> spanner_entries;

private:
    std::span<const std::uint64_t> slice(const std::vector<std::size_t>& offsets,
                                         const std::vector<std::uint64_t>& entries,
                                         std::uint64_t x) const {
        if (x + 1 >= offsets.size()) return {};
        return std::span<const std::uint64_t>(entries).subspan(offsets[x],
                                                               offsets[x + 1] - offsets[x]);
    }
};

// Builds the layer over edges 0 .. min(|tails|, |heads|) - 1; a length
// beyond `lengths` counts as 1.0.
GraphLayer build_layer(std::uint64_t n, std::span<const NodeIndex> tails,
                       std::span<const NodeIndex> heads, std::span<const double> lengths,
                       bool deterministic);

}  // namespace zelk
