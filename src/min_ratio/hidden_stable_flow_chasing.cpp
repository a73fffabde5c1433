#include "min_ratio/hidden_stable_flow_chasing.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zelk {

HsfcState HsfcState::create(std::size_t m) {
    HsfcState s;
    s.flow.assign(m, 0.0);
    s.abs_flow.assign(m, 0.0);
    s.changed.assign(m, false);
    s.max_abs_flow = 0.0;
    return s;
}

HiddenStableFlowChasing::HiddenStableFlowChasing(std::size_t m, double slack_value)
    : slack(slack_value) {
    states.push_back(HsfcState::create(m));
}

void HiddenStableFlowChasing::reset(std::size_t m) {
    states.clear();
    states.push_back(HsfcState::create(m));
}

HsfcOutcome HiddenStableFlowChasing::update(std::span<const std::uint64_t> changed,
                                            std::span<const double> flow) {
    if (states.empty()) states.push_back(HsfcState::create(0));
    const HsfcState& prev = states.back();
    const std::size_t m = prev.flow.size();

    HsfcState next;
    next.flow = prev.flow;
    std::copy_n(flow.begin(), std::min(m, flow.size()), next.flow.begin());
    next.changed.assign(m, false);
    for (std::uint64_t i : changed) {
        if (i < m) next.changed[i] = true;
    }
    next.abs_flow.resize(m);
    double max = 0.0;
    std::size_t argmax = 0;
    bool undeclared_ok = true;
    for (std::size_t i = 0; i < m; ++i) {
        const double a = std::fabs(next.flow[i]);
        next.abs_flow[i] = a;
        if (a > max) {
            max = a;
            argmax = i;
        }
        if (!next.changed[i] && a > slack + 2.0 * prev.abs_flow[i]) undeclared_ok = false;
    }
    next.max_abs_flow = max;

    bool max_within_bound = max <= slack + 2.0 * prev.max_abs_flow;
    if (!max_within_bound) max_within_bound = m > 0 && next.changed[argmax];
    const HsfcOutcome outcome{max, undeclared_ok && max_within_bound, max_within_bound};
    states.push_back(std::move(next));
    return outcome;
}

HsfcState& HiddenStableFlowChasing::begin_advance(std::span<const std::uint64_t> changed) {
    if (states.empty()) states.push_back(HsfcState::create(0));
    if (states.size() > 1) states.erase(states.begin(), states.end() - 1);
    HsfcState& s = states.back();
    const std::size_t m = s.flow.size();
    // Sized alike by create and by every update.
    if (s.abs_flow.size() != m || s.changed.size() != m) {
        s.abs_flow.resize(m, 0.0);
        s.changed.resize(m, false);
    }
    std::fill(s.changed.begin(), s.changed.end(), false);
    for (std::uint64_t i : changed) {
        if (i < m) s.changed[i] = true;
    }
    return s;
}

HsfcOutcome HiddenStableFlowChasing::finish_advance(HsfcState& s, double max,
                                                    bool undeclared_ok) const {
    const double previous_max = s.max_abs_flow;
    s.max_abs_flow = max;
    const std::size_t m = s.flow.size();
    bool max_within_bound = max <= slack + 2.0 * previous_max;
    if (!max_within_bound && m > 0) {
        // The entry update names: the first to reach the maximum (the first
        // entry when nothing exceeds 0).
        std::size_t argmax = 0;
        if (max > 0.0) {
            while (!(s.abs_flow[argmax] == max)) ++argmax;
        }
        max_within_bound = s.changed[argmax];
    }
    return HsfcOutcome{max, undeclared_ok && max_within_bound, max_within_bound};
}

}  // namespace zelk
