// The tree-chain pieces of the fully dynamic oracle: TreeChainLevel (one
// static oracle with its own random tree and an instability budget),
// TreeChainHierarchy (the levels, level 0 first) and TreeChain (a copy of
// the dynamic low-stretch tree with a short list of off-tree edges that a
// query scores).
//
// Contract: a level is charged with instability events; when its
// `budget_used` reaches `rebuild_budget` the count restarts at 0 and the
// level is marked `rebuild_pending` until the owner's next query consumes
// the flag. Charges saturate. TreeChain::approx_best_cycle scores only the
// first `max_scored_edges` off-tree edges, each closed by its tree path.
// Cost: charging is O(levels); approx_best_cycle is O(max_scored_edges *
// tree path length); collect_off_tree_edges stops after max_count edges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "min_ratio/cycle_candidate.hpp"
#include "min_ratio/min_ratio_oracle.hpp"
#include "trees/low_stretch_tree.hpp"

namespace zelk {

struct TreeChainLevel {
    MinRatioOracle oracle;             // own tree, own spanner
    std::uint64_t budget_used = 0;     // instability charged since the last reset
    std::uint64_t rebuild_budget = 0;  // charge at which the level is marked
    double approx_factor = 0.0;        // weighs the level's candidates
    bool rebuild_pending = false;      // consumed by the next query

    // budget_used += events (saturating); on reaching rebuild_budget the
    // count restarts at 0 and the level becomes pending.
    void charge(std::uint64_t events);
};

struct TreeChainHierarchy {
    // Level i: a fresh oracle with seed = seed ^ (0x9E3779B97F4A7C15 * (i+1))
    // (wrapping), the given rebuild period and mode; budget 0 of
    // `rebuild_budget`; the given factor; not pending.
    static TreeChainHierarchy create(std::uint64_t seed, std::size_t levels,
                                     std::uint64_t rebuild_every, std::uint64_t rebuild_budget,
                                     bool deterministic, double approx_factor);

    // Charges every level (events > 0 only).
    void charge_all(std::uint64_t events);
    bool any_pending() const;

    std::vector<TreeChainLevel> levels;  // level 0 first
    std::uint64_t seed = 0;
    std::uint64_t rebuild_every = 0;
};

// The first edges e = 0, 1, ... below m whose in_tree flag is false (an
// edge beyond the flags counts as off-tree), at most max_count of them, in
// ascending order (so `sort` never reorders them).
std::vector<std::uint64_t> collect_off_tree_edges(const std::vector<bool>& in_tree, std::size_t m,
                                                  std::size_t max_count, bool sort);

// A level candidate as the weighted choice sees it.
struct LevelScore {
    double numerator = 0.0;
    double denominator = 0.0;
    double approx_factor = 0.0;
};

// The candidate with the smallest weighted ratio (numerator / denominator) /
// (1 + approx_factor) among those with denominator > 0, the earlier one on
// ties; nothing when none qualifies. The factor only scales the comparison:
// the chosen candidate keeps its unweighted ratio.
std::optional<std::size_t> pick_weighted_candidate(std::span<const LevelScore> scores);

struct TreeChain {
    // The best score_edge_cycle candidate over the first
    // min(|off_tree_edges|, max_scored_edges) off-tree edges, in order,
    // reduced with select_better_candidate (best so far first).
    std::optional<CycleCandidate> approx_best_cycle(std::span<const NodeIndex> tails,
                                                    std::span<const NodeIndex> heads,
                                                    std::span<const double> gradients,
                                                    std::span<const double> lengths) const;

    LowStretchTree tree;  // copy of the dynamic tree's tree
    std::vector<std::uint64_t> off_tree_edges;
    std::uint64_t max_scored_edges = 3;
    std::uint64_t max_off_tree_edges = 8;
    bool sort_off_tree_edges = false;
};

}  // namespace zelk
