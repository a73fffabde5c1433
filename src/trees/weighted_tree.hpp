// deterministic_weighted_tree: a Kruskal spanning forest whose edge order
// comes from lengths divided by per-edge weights (the multiplicative-weights
// tree).
//
// Contract: key[e] = |lengths[e]| / max(weights[e], WEIGHT_FLOOR) (a NaN
// weight counts as the floor); edges are taken by ascending key, NaN keys
// after every number, equal keys in index order; the forest is then rooted
// by build_from_tree_edges (roots in node order, `dist` from the given
// lengths, not the keys). Errors: n == 0 gives EmptyGraph; the four arrays
// not all of one length give MissingEdgeLengths. Endpoints must be below n.
// deterministic_weighted_forest gives the same forest's edge mask alone, with
// the same errors; `order` carries the edge order from one call to the next
// (on entry any content, ideally an earlier call's over nearly the same keys;
// on exit this call's order).
// Cost: one stable sort, O(m log m) (about linear from a nearly sorted hint),
// plus near-linear Kruskal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

inline constexpr double WEIGHT_FLOOR = 1e-12;

TreeResult<LowStretchTree> deterministic_weighted_tree(std::size_t n,
                                                       std::span<const NodeIndex> tails,
                                                       std::span<const NodeIndex> heads,
                                                       std::span<const double> lengths,
                                                       std::span<const double> weights);

TreeResult<std::vector<bool>> deterministic_weighted_forest(std::size_t n,
                                                            std::span<const NodeIndex> tails,
                                                            std::span<const NodeIndex> heads,
                                                            std::span<const double> lengths,
                                                            std::span<const double> weights,
                                                            std::vector<std::uint64_t>& order);

}  // namespace zelk
