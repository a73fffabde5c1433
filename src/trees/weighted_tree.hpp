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
// Cost: one stable sort, O(m log m), plus near-linear Kruskal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

inline constexpr double WEIGHT_FLOOR = 1e-12;

TreeResult<LowStretchTree> deterministic_weighted_tree(std::size_t n,
                                                       std::span<const std::uint32_t> tails,
                                                       std::span<const std::uint32_t> heads,
                                                       std::span<const double> lengths,
                                                       std::span<const double> weights);

}  // namespace zelk
