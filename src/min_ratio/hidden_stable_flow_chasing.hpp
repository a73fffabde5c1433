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

#include <algorithm>
#include <cmath>
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
    HsfcOutcome advance(std::span<const std::uint64_t> changed, std::span<const double> flow) {
        return advance_with(changed, flow.size(), [flow](std::size_t i) { return flow[i]; });
    }

    // advance with the flow value of entry i < count given by value_of(i),
    // computed as the pass reads it (the flow need not be stored first).
    template <class ValueOf>
    HsfcOutcome advance_with(std::span<const std::uint64_t> changed, std::size_t count,
                             ValueOf&& value_of) {
        HsfcState& s = begin_advance(changed);
        const std::size_t m = s.flow.size();
        const std::size_t k = std::min(m, count);
        double* const values = s.flow.data();
        double* const abs_values = s.abs_flow.data();
        double max = 0.0;
        bool undeclared_ok = true;
        auto take = [&](std::size_t i, double x) {
            const double a = std::fabs(x);
            const double before = abs_values[i];
            abs_values[i] = a;
            max = a > max ? a : max;
            // The declared flag is read only for an entry that grew too much.
            if (a > slack + 2.0 * before && !s.changed[i]) undeclared_ok = false;
        };
        for (std::size_t i = 0; i < k; ++i) {
            const double x = value_of(i);
            values[i] = x;
            take(i, x);
        }
        for (std::size_t i = k; i < m; ++i) take(i, values[i]);
        return finish_advance(s, max, undeclared_ok);
    }

    std::vector<HsfcState> states;  // oldest first
    double slack = 1e-9;

private:
    // The one state left, sized, with this update's declared flags.
    HsfcState& begin_advance(std::span<const std::uint64_t> changed);
    // Stores the new maximum and decides against the previous one.
    HsfcOutcome finish_advance(HsfcState& s, double max, bool undeclared_ok) const;
};

}  // namespace zelk
