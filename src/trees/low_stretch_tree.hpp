// LowStretchTree: a rooted spanning forest of an edge-array graph, with
// constant-time LCA, tree paths and edge stretch.
//
// The graph is given as parallel arrays: tails, heads (node indices below n)
// and lengths (one double per edge); edge identifiers are array positions.
// Edges are undirected for building; orientation only matters for the signs
// of path_edges. Builders do not validate endpoints (a precondition).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/tree_common.hpp"
#include "trees/union_find.hpp"

namespace zelk {

class LowStretchTree {
public:
    // ---- Builders. Argument checks first, in this order: n == 0 gives
    // EmptyGraph; tails/heads/lengths (and a mask) of unequal lengths give
    // MissingEdgeLengths.

    // Spanning forest by the shared forest walk over all edges. Deterministic:
    // roots ascending, adjacency lists sorted by (neighbour, edge). Otherwise
    // xorshift Fisher-Yates shuffles of the root order, then of every
    // adjacency list of length >= 2 in node order. Lengths only fill `dist`.
    static TreeResult<LowStretchTree> build_with_mode(std::size_t n,
                                                      std::span<const NodeIndex> tails,
                                                      std::span<const NodeIndex> heads,
                                                      std::span<const double> lengths,
                                                      bool deterministic, std::uint64_t seed);

    // Minimum spanning forest by Kruskal on lengths: ties broken by a
    // splitmix64 hash of the edge index (deterministic) or under a fresh
    // multiplicative jitter per comparison (randomized); stable sort.
    static TreeResult<LowStretchTree> build_low_stretch_with_mode(
        std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
        std::span<const double> lengths, bool deterministic, std::uint64_t seed);

    // The deterministic build above, for callers that rebuild while lengths
    // drift: `order` carries the Kruskal order from one call to the next (on
    // entry any content, ideally the previous call's; on exit this build's
    // order, or empty when a length is NaN). A nearly sorted hint is repaired
    // in about linear time instead of sorted afresh; the tree is the same.
    static TreeResult<LowStretchTree> build_low_stretch_deterministic_reusing(
        std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
        std::span<const double> lengths, std::uint64_t seed, std::vector<std::uint64_t>& order);

    // The same build into `t`, whose storage (and the calling thread's
    // build buffers) is reused: a caller rebuilding often allocates nothing
    // once warm. On an error `t` is left unchanged. `same_endpoints` vouches
    // that `t` and `order` are this call's last results over the same n,
    // tails and heads; when the lengths then keep that order, only the
    // distances are refreshed (the tree is the one a full build gives).
    // Without `with_ancestors` the ancestor table may be left empty (lca
    // then climbs the tree), for callers that never ask for ancestors.
    static TreeResult<void> rebuild_low_stretch_deterministic(
        LowStretchTree& t, std::size_t n, std::span<const NodeIndex> tails,
        std::span<const NodeIndex> heads, std::span<const double> lengths, std::uint64_t seed,
        std::vector<std::uint64_t>& order, bool same_endpoints = false, bool with_ancestors = true);

    // The tree edges are given; the mask becomes `in_tree`. Roots 0..n-1.
    static TreeResult<LowStretchTree> build_from_tree_edges(std::size_t n,
                                                            std::span<const NodeIndex> tails,
                                                            std::span<const NodeIndex> heads,
                                                            std::span<const double> lengths,
                                                            std::vector<bool> tree_mask);

    // As above with the root sequence `order` (entries >= n are skipped;
    // every node must be named at least once).
    static TreeResult<LowStretchTree> build_from_tree_edges_with_order(
        std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
        std::span<const double> lengths, std::vector<bool> tree_mask,
        std::span<const std::uint64_t> order);

    // New lengths over the same tree: `dist` becomes each node's parent
    // distance plus its parent edge's length, parents first, the sum every
    // builder forms, so it equals a fresh build's bit for bit. `lengths`
    // must cover every tree edge. Cost O(n).
    void refresh_distances(std::span<const double> lengths);

    // ---- Queries. Node arguments must be below node_count().

    // Lowest common ancestor, or nothing for nodes in different trees: O(1)
    // from the table, else O(depth).
    std::optional<std::uint64_t> lca(std::uint64_t u, std::uint64_t v) const;

    // Tree path from u to v as (edge, sign) pairs, or nothing across trees.
    // `tails`/`heads` are the arrays the tree was built from.
    std::optional<std::vector<SignedEdge>> path_edges(std::uint64_t u, std::uint64_t v,
                                                      std::span<const NodeIndex> tails,
                                                      std::span<const NodeIndex> heads) const;

    // Allocation-free form of path_edges for hot loops: clears `out` and
    // fills it with the same list; false (and `out` empty) across trees.
    // Walks the two legs in lock step, so it costs the path length.
    bool path_edges_into(std::uint64_t u, std::uint64_t v, std::span<const NodeIndex> tails,
                         std::span<const NodeIndex> heads, std::vector<SignedEdge>& out) const;

    // Tree distance between e's endpoints over lengths[e]; nothing when e is
    // out of range of any array, lengths[e] <= 0, or the endpoints lie in
    // different trees. NaN lengths give NaN.
    std::optional<double> edge_stretch(std::uint64_t e, std::span<const NodeIndex> tails,
                                       std::span<const NodeIndex> heads,
                                       std::span<const double> lengths) const;

    std::size_t node_count() const { return parent.size(); }
    // L: the bit length of n (at least 1), a bound on log2 of any depth.
    std::size_t levels() const {
        return parent.empty() ? 1 : static_cast<std::size_t>(std::bit_width(parent.size()));
    }

    // ---- Data.
    std::vector<std::uint64_t> parent;       // a root is its own parent
    std::vector<std::uint64_t> parent_edge;  // NO_INDEX at a root
    std::vector<std::uint64_t> depth;        // tree edges from the root
    std::vector<double> dist;                // sum of lengths from the root
    std::vector<std::uint64_t> root;         // root of the node's tree
    std::vector<bool> in_tree;               // one per edge: tree edge?
    // Constant-time lowest common ancestors over `parent`; empty (for n > 0)
    // when a build skipped it.
    ForestLca ancestors;

private:
    void build_ancestors();
    friend struct TreeBuilderAccess;
};

}  // namespace zelk
