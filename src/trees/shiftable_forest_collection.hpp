// ShiftableForestCollection: a fixed number of DynamicForests over one graph,
// built with slightly different weights, a per-level pointer to the forest in
// use, and per-forest batches of deletions that are applied to a forest only
// while it is current.
//
// Contract: forest k is the deterministic_weighted_tree with weights
// 1 * ((1 + 0.001 k) + 1e-9 e), so the forests differ only in how they order
// nearly equal lengths. max(forest_count, 1) forests, max(level_count, 1)
// levels. The owner reads and writes current_forest, level_marks,
// level_counters, pending_deletions and epoch directly; the rotation rule
// belongs to the owner.
// Cost: construction is forest_count weighted Kruskal builds (each order
// sorted from the previous one's; a forest with the previous one's edges
// copies its tree); applying a batch is one forest rebuild.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/dynamic_forest.hpp"
#include "trees/tree_common.hpp"
#include "u64_hash.hpp"

namespace zelk {

class ShiftableForestCollection {
public:
    // Builder errors (EmptyGraph, MissingEdgeLengths) end the construction.
    static TreeResult<ShiftableForestCollection> build_deterministic(
        std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
        std::span<const double> lengths, std::uint64_t forest_count, std::uint64_t level_count);

    // Takes the pending set of the level's current forest (leaving it empty)
    // and deletes its edges from that forest; resets the level's counter.
    // A level out of range does nothing.
    void apply_pending_to_current(std::uint64_t level);

    std::vector<DynamicForest> forests;
    std::vector<std::uint64_t> current_forest;  // per level
    std::vector<std::uint64_t> level_marks;     // per level
    std::vector<std::uint64_t> level_counters;  // per level
    std::vector<U64HashSet> pending_deletions;  // per forest
    std::uint64_t epoch = 0;
};

}  // namespace zelk
