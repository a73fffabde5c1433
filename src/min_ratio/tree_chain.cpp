#include "min_ratio/tree_chain.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "index_types.hpp"

namespace zelk {

void TreeChainLevel::charge(std::uint64_t events) {
    if (__builtin_add_overflow(budget_used, events, &budget_used)) {
        budget_used = std::numeric_limits<std::uint64_t>::max();
    }
    if (budget_used >= rebuild_budget) {
        budget_used = 0;
        rebuild_pending = true;
    }
}

TreeChainHierarchy TreeChainHierarchy::create(std::uint64_t seed, std::size_t levels,
                                              std::uint64_t rebuild_every,
                                              std::uint64_t rebuild_budget, bool deterministic,
                                              double approx_factor) {
    TreeChainHierarchy h;
    h.seed = seed;
    h.rebuild_every = rebuild_every;
    h.levels.resize(levels);
    for (std::size_t i = 0; i < levels; ++i) {
        TreeChainLevel& level = h.levels[i];
        level.oracle.seed = seed ^ (DEFAULT_SEED * (static_cast<std::uint64_t>(i) + 1));
        level.oracle.rebuild_every = rebuild_every;
        level.oracle.deterministic = deterministic;
        level.rebuild_budget = rebuild_budget;
        level.approx_factor = approx_factor;
    }
    return h;
}

void TreeChainHierarchy::charge_all(std::uint64_t events) {
    if (events == 0) return;
    for (TreeChainLevel& level : levels) level.charge(events);
}

bool TreeChainHierarchy::any_pending() const {
    return std::ranges::any_of(levels, [](const TreeChainLevel& l) { return l.rebuild_pending; });
}

std::vector<std::uint64_t> collect_off_tree_edges(const std::vector<bool>& in_tree, std::size_t m,
                                                  std::size_t max_count, bool sort) {
    std::vector<std::uint64_t> out;
    for (std::size_t e = 0; e < m && out.size() < max_count; ++e) {
        if (e < in_tree.size() && in_tree[e]) continue;
        out.push_back(e);
    }
    if (sort && out.size() >= 2) std::ranges::sort(out);
    return out;
}

std::optional<std::size_t> pick_weighted_candidate(std::span<const LevelScore> scores) {
    std::optional<std::size_t> best;
    double best_weighted = 0.0;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        const LevelScore& s = scores[i];
        if (!(s.denominator > 0.0)) continue;
        const double weighted = (s.numerator / s.denominator) / (1.0 + s.approx_factor);
        if (best && !(weighted < best_weighted)) continue;
        best = i;
        best_weighted = weighted;
    }
    return best;
}

std::optional<CycleCandidate> TreeChain::approx_best_cycle(std::span<const NodeIndex> tails,
                                                           std::span<const NodeIndex> heads,
                                                           std::span<const double> gradients,
                                                           std::span<const double> lengths) const {
    std::optional<CycleCandidate> best;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(off_tree_edges.size(), max_scored_edges));
    for (std::size_t i = 0; i < count; ++i) {
        auto c = score_edge_cycle(tree, off_tree_edges[i], tails, heads, gradients, lengths);
        if (!c) continue;
        best = best ? select_better_candidate(std::move(*best), std::move(*c)) : std::move(*c);
    }
    return best;
}

}  // namespace zelk
