// line_search: how far to move along a normalised direction.
//
// The step is bounded by the first bound the direction reaches (t_max); the
// first guess is t0 = -(g.d) / (d.(d*len)), kept in (0, 0.99 t_max] (else
// 0.5 t_max). Phase 1 tries t0, t0/2, ... (20 trials) and accepts the first
// point whose potential value is <= value - required_decrease; phase 2
// restarts at t0 with the relaxed decrease min(max(|value|, 1) c, 1e-6),
// c = decrease_scale(m, S) of the potential. A NaN value is never accepted.
// Every accepted point lies strictly inside the bounds of the moved edges.
// Cost: at most 40 potential evaluations, each recomputing only the edges the
// direction moves (LinePotential); a summing pass only for trials a rounding
// bound cannot reject.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "numerics/potential.hpp"

namespace zelk {

// Borrowed views of one iterate; all arrays indexed by edge, as long as the flow.
struct LineSearchInput {
    std::span<const double> flow;       // x
    std::span<const double> direction;  // d
    std::span<const double> cost;
    std::span<const double> lower;
    std::span<const double> upper;
    const Potential& potential;
    std::span<const double> gradient;  // g at x
    std::span<const double> lengths;   // len at x
    double value = 0.0;                // potential value at x
    double required_decrease = 0.0;    // phase-1 decrease
    // Barrier terms at x (Potential::value_and_gap), one per flow entry, or
    // empty to evaluate them here.
    std::span<const double> barrier_at_flow = {};
};

struct LineSearchStep {
    std::vector<double> flow;     // x + step * d
    std::vector<double> barrier;  // barrier terms at `flow`, one per entry
    double step = 0.0;
};

// Nothing when the direction allows no finite positive step or 40 trials fail.
std::optional<LineSearchStep> line_search(const LineSearchInput& input);

// c = 1 / max(max(m, 1) * max(ln S, 2)^3, 1).
double decrease_scale(double edge_count, double problem_scale);

// max(min(max(|value|, 1) c, 1e-6), 0.01 r^2) with r = max(-ratio, 0): the
// decrease the main loop asks of a step along a cycle of this ratio.
double required_decrease(double value, double ratio, double scale);

}  // namespace zelk
