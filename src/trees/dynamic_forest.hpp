// DynamicForest: a LowStretchTree over a fixed edge list that supports edge
// deletion. Deleting a tree edge rebuilds the tree from the remaining mask,
// so its tree splits (no replacement edge is searched for); the cut-off
// piece is re-rooted at its smallest node.
//
// Contract: `tree_mask` only loses entries and `deleted` only grows.
// delete_edges skips identifiers beyond the edge list and counts those not
// yet deleted; a failed rebuild keeps the old tree (neither is reported).
// Cost: deleting non-tree edges is O(1) each; a batch that clears any mask
// entry costs one O(n + m) rebuild.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"
#include "u64_hash.hpp"

namespace zelk {

class DynamicForest {
public:
    // Builds `tree` with build_from_tree_edges (roots in node order) and
    // keeps the four arrays. Builder errors are returned.
    static TreeResult<DynamicForest> create_from_tree(std::size_t n, std::vector<NodeIndex> tails,
                                                      std::vector<NodeIndex> heads,
                                                      std::vector<double> lengths,
                                                      std::vector<bool> tree_mask);

    // Records every in-range identifier in `deleted`, clears its mask entry,
    // and rebuilds once when the mask changed. Returns the number of
    // identifiers that were not yet in `deleted`.
    std::uint64_t delete_edges(std::span<const std::uint64_t> ids);

    std::vector<NodeIndex> tails;
    std::vector<NodeIndex> heads;
    std::vector<double> lengths;
    std::vector<bool> tree_mask;
    LowStretchTree tree;
    U64HashSet deleted;
    std::uint64_t node_count = 0;
};

}  // namespace zelk
