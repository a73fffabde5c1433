#include "min_ratio/cycle_candidate.hpp"

#include <cmath>
#include <utility>

#include "index_types.hpp"

namespace zelk {

namespace {

inline double value_or_zero(std::span<const double> a, std::uint64_t i) {
    return i < a.size() ? a[i] : 0.0;
}

}  // namespace

CycleCandidate select_better_candidate(CycleCandidate a, CycleCandidate b) {
    if (keeps_first(a.ratio, a.closing_edge(), b.ratio, b.closing_edge())) return a;
    return b;
}

bool score_edge_cycle_parts(const LowStretchTree& tree, std::uint64_t e,
                            std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                            std::span<const double> gradients, std::span<const double> lengths,
                            std::vector<SignedEdge>& path, double& numerator, double& denominator) {
    if (e >= tails.size() || e >= heads.size()) return false;
    if (e < tree.in_tree.size() && tree.in_tree[e]) return false;
    const std::uint64_t h = heads[e], t = tails[e];
    if (h >= tree.node_count() || t >= tree.node_count()) return false;
    if (!tree.path_edges_into(h, t, tails, heads, path)) return false;
    double num = value_or_zero(gradients, e);
    double den = std::fabs(value_or_zero(lengths, e));
    for (const auto& [f, sign] : path) {
        num += static_cast<double>(sign) * value_or_zero(gradients, f);
        den += std::fabs(value_or_zero(lengths, f));
    }
    // A NaN denominator is not <= 0 and does give a (NaN) candidate.
    if (den <= 0.0) return false;
    numerator = num;
    denominator = den;
    return true;
}

std::optional<CycleCandidate> score_edge_cycle(const LowStretchTree& tree, std::uint64_t e,
                                               std::span<const NodeIndex> tails,
                                               std::span<const NodeIndex> heads,
                                               std::span<const double> gradients,
                                               std::span<const double> lengths) {
    std::vector<SignedEdge> path;
    double num = 0.0, den = 0.0;
    if (!score_edge_cycle_parts(tree, e, tails, heads, gradients, lengths, path, num, den)) {
        return std::nullopt;
    }
    CycleCandidate c;
    c.cycle.reserve(path.size() + 1);
    c.cycle.emplace_back(e, std::int8_t{1});
    c.cycle.insert(c.cycle.end(), path.begin(), path.end());
    c.numerator = num;
    c.denominator = den;
    c.ratio = num / den;
    return c;
}

}  // namespace zelk
