// HiddenStableFlowChasing: tells whether a change of a per-edge value (the
// flow: gradient over length) stayed confined to the edges declared as
// changed. A flow is stable when no undeclared edge grew beyond twice its
// previous magnitude plus `slack`, and the largest magnitude either stayed
// within twice the previous largest plus `slack` or sits on a declared edge.
//
// Contract: `states` is never empty (created with one state, reset leaves
// one); update works on the last state, ignores changed indices and flow
// values beyond its edge count, carries over entries the flow does not
// reach, and appends the new snapshot.
// Cost: O(m) per update plus the stored snapshot (the history is kept in
// full until the owner resets it); advance keeps one snapshot and reuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

struct HsfcState {
    // m zero flows, no declared edges, max_abs_flow 0.0.
    static HsfcState create(std::size_t m);

    std::vector<double> flow;
    std::vector<double> abs_flow;
    std::vector<bool> changed;
    double max_abs_flow = 0.0;
};

struct HsfcOutcome {
    double max_abs_flow = 0.0;
    bool stable = true;
    bool max_within_bound = true;

    friend bool operator==(const HsfcOutcome&, const HsfcOutcome&) = default;
};

class HiddenStableFlowChasing {
public:
    // One state of HsfcState::create(m) and the given slack (1e-9 in the
    // dynamic oracle).
    explicit HiddenStableFlowChasing(std::size_t m = 0, double slack = 1e-9);

    // Drops the history; one state of HsfcState::create(m).
    void reset(std::size_t m);

    HsfcOutcome update(std::span<const std::uint64_t> changed, std::span<const double> flow);

    // update for an owner that reads only the latest snapshot: the same
    // outcome and the same new snapshot, written over the last state in
    // place (older states are dropped), without copying or allocating.
    HsfcOutcome advance(std::span<const std::uint64_t> changed, std::span<const double> flow);

    std::vector<HsfcState> states;  // oldest first
    double slack = 1e-9;
};

}  // namespace zelk
