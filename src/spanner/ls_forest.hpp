// LSForest: an adjacency view of the tree edges of a LowStretchTree that
// answers node paths between two nodes.
//
// Contract: from_tree lists every edge e with in_tree[e] (e below all of
// in_tree, tails and heads) at both endpoints, in edge order, with its
// length (1.0 beyond `lengths`); endpoints must be below the tree's node
// count. path_between(u, v) is the node sequence of the path with the fewest
// edges found by breadth-first search from u (neighbours in list order, each
// node's predecessor the node that reached it first): nothing when u or v is
// out of range or unreachable, the empty list when u == v.
// Cost: from_tree is O(n + m). When the listed edges form a forest (always,
// for trees from the builders) the path is unique and is read from a rooted
// copy in O(path length); otherwise a breadth-first search on reusable
// scratch costs the part of the forest it reaches. Queries share scratch, so
// one forest must not be queried from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"

namespace zelk {

class LSForest {
public:
    using Neighbour = std::pair<std::uint64_t, double>;  // (node, length)

    static LSForest from_tree(const LowStretchTree& tree, std::span<const NodeIndex> tails,
                              std::span<const NodeIndex> heads, std::span<const double> lengths);

    std::optional<std::vector<std::uint64_t>> path_between(std::uint64_t u, std::uint64_t v) const;

    // As path_between, into `out` (cleared first); false for no path.
    bool path_between_into(std::uint64_t u, std::uint64_t v, std::vector<std::uint64_t>& out) const;

    // Breadth-first search from `source` over its whole reach; afterwards
    // reached(x) and path_from_source(x, out) answer for every node x with
    // the same paths path_between(source, x) gives.
    void search_all_from(std::uint64_t source) const;
    bool reached(std::uint64_t x) const;
    void path_from_source(std::uint64_t x, std::vector<std::uint64_t>& out) const;

    // The list of node x, in insertion order (empty beyond node_count).
    std::span<const Neighbour> neighbours(std::uint64_t x) const;

    // True when the listed edges form a forest; then every tree is rooted
    // at its smallest node and the rooted copy below can be read (x below
    // node_count): a root is its own parent.
    bool is_forest() const { return acyclic_; }
    std::uint64_t rooted_parent(std::uint64_t x) const { return parent_[x]; }
    std::uint64_t rooted_depth(std::uint64_t x) const { return depth_[x]; }
    std::uint64_t rooted_root(std::uint64_t x) const { return root_[x]; }

    std::uint64_t node_count = 0;

private:
    // Runs the search from u; stops when `stop` is taken from the queue
    // (NO_INDEX: never).
    void bfs(std::uint64_t u, std::uint64_t stop) const;

    // adjacency: the list of x is entries[offsets[x] .. offsets[x+1]).
    std::vector<std::size_t> offsets_;
    std::vector<Neighbour> entries_;

    // Rooted copy, filled when the lists form a forest.
    bool acyclic_ = false;
    std::vector<std::uint64_t> parent_;
    std::vector<std::uint64_t> depth_;
    std::vector<std::uint64_t> root_;

    // Search scratch.
    mutable std::vector<std::uint32_t> mark_;
    mutable std::vector<std::uint64_t> pred_;
    mutable std::vector<std::uint64_t> queue_;
    mutable std::vector<std::uint64_t> tail_buf_;
    mutable std::uint32_t generation_ = 0;
    mutable std::uint64_t source_ = 0;
};

}  // namespace zelk
