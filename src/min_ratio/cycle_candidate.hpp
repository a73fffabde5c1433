// CycleCandidate and the scoring and tie rules shared by the min-ratio
// oracles: score_edge_cycle closes an off-tree edge with its tree
// path, select_better_candidate picks the better of two candidates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

// Ratios closer than this count as tied (absolute).
inline constexpr double CANDIDATE_TIE_TOLERANCE = 1e-12;

// One scored cycle. The first pair is the closing off-tree edge with sign
// +1; ratio = numerator / denominator; denominator > 0 in every candidate
// an oracle produces.
struct CycleCandidate {
    std::vector<SignedEdge> cycle;
    double ratio = 0.0;
    double numerator = 0.0;
    double denominator = 0.0;

    // Identifier of the closing edge: the first pair's edge, or NO_INDEX for
    // an empty cycle.
    std::uint64_t closing_edge() const { return cycle.empty() ? NO_INDEX : cycle.front().first; }

    friend bool operator==(const CycleCandidate&, const CycleCandidate&) = default;
};

// The tie rule on (ratio, closing edge) keys: true when a candidate with key
// a is kept against one with key b, i.e. a.ratio + tol < b.ratio, or
// |a.ratio - b.ratio| <= tol and first_a <= first_b. Any NaN gives false.
inline bool keeps_first(double ratio_a, std::uint64_t first_a, double ratio_b,
                        std::uint64_t first_b) {
    if (ratio_a + CANDIDATE_TIE_TOLERANCE < ratio_b) return true;
    const double diff = ratio_a - ratio_b;
    return (diff <= CANDIDATE_TIE_TOLERANCE && -diff <= CANDIDATE_TIE_TOLERANCE) &&
           first_a <= first_b;
}

// The better of two candidates: a clearly smaller ratio wins; within the
// tolerance the lower closing edge wins; a full tie keeps a; a NaN ratio on
// either side returns b.
CycleCandidate select_better_candidate(CycleCandidate a, CycleCandidate b);

// The candidate closed by edge e with its tree path from heads[e] back to
// tails[e]; nothing for a tree edge, endpoints in different trees, or a
// total length <= 0. Gradient and length values beyond their arrays count
// as 0.0; an edge or endpoint outside the tree's range gives nothing.
std::optional<CycleCandidate> score_edge_cycle(const LowStretchTree& tree, std::uint64_t e,
                                               std::span<const NodeIndex> tails,
                                               std::span<const NodeIndex> heads,
                                               std::span<const double> gradients,
                                               std::span<const double> lengths);

// The scoring of score_edge_cycle without building the candidate: on
// success `path` holds the tree path (the cycle without its first pair) and
// numerator/denominator hold exactly the values score_edge_cycle reports.
bool score_edge_cycle_parts(const LowStretchTree& tree, std::uint64_t e,
                            std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                            std::span<const double> gradients, std::span<const double> lengths,
                            std::vector<SignedEdge>& path, double& numerator, double& denominator);

}  // namespace zelk
