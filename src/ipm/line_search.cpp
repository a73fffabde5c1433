#include "ipm/line_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelk {

namespace {

constexpr int TRIALS_PER_PHASE = 20;

// First bound a move along d reaches; +inf when d moves nothing.
double step_bound(const LineSearchInput& in) {
    // The bound arrays are as long as the flow; stay inside all four anyway.
    const std::size_t k =
        std::min({in.direction.size(), in.flow.size(), in.lower.size(), in.upper.size()});
    double t_max = std::numeric_limits<double>::infinity();
    for (std::size_t e = 0; e < k; ++e) {
        const double d = in.direction[e];
        if (d > 0.0) {
            t_max = min_num(t_max, (in.upper[e] - in.flow[e]) / d);
        } else if (d < 0.0) {
            t_max = min_num(t_max, (in.flow[e] - in.lower[e]) / (-d));
        }
    }
    return t_max;
}

double initial_step(const LineSearchInput& in, double t_max) {
    const std::size_t n = std::min({in.lengths.size(), in.gradient.size(), in.direction.size()});
    double s = 0.0;
    double q = 0.0;
    for (std::size_t e = 0; e < n; ++e) {
        const double d = in.direction[e];
        s += in.gradient[e] * d;
        q += d * (d * in.lengths[e]);
    }
    if (n > 0 && !(q <= 0.0)) {
        double t0 = -s / q;
        if (t0 < 0.0) t0 = 0.0;
        if (t0 > 0.99 * t_max) t0 = 0.99 * t_max;
        if (!(t0 <= 0.0)) return t0;
    }
    return 0.5 * t_max;
}

}  // namespace

double decrease_scale(double edge_count, double problem_scale) {
    const double log_scale = max_num(std::log(problem_scale), 2.0);
    return 1.0 / max_num(max_num(edge_count, 1.0) * (log_scale * log_scale * log_scale), 1.0);
}

double required_decrease(double value, double ratio, double scale) {
    const double r = max_num(-ratio, 0.0);
    return max_num(min_num(max_num(std::abs(value), 1.0) * scale, 1e-6), 0.01 * (r * r));
}

std::optional<LineSearchStep> line_search(const LineSearchInput& in) {
    const double t_max = step_bound(in);
    if (!(std::isfinite(t_max) && t_max > 0.0)) return std::nullopt;
    const double t0 = initial_step(in, t_max);

    const Potential& potential = in.potential;
    const double relaxed =
        min_num(max_num(std::abs(in.value), 1.0) *
                    decrease_scale(potential.edge_count, potential.problem_scale),
                1e-6);
    const double decreases[2] = {in.required_decrease, relaxed};

    // Trials move only the cycle's edges: evaluate them incrementally.
    LinePotential line =
        in.barrier_at_flow.size() == in.flow.size()
            ? LinePotential(potential, in.cost, in.flow, in.lower, in.upper, in.direction,
                            in.barrier_at_flow)
            : LinePotential(potential, in.cost, in.flow, in.lower, in.upper, in.direction);
    for (const double decrease : decreases) {
        double t = t0;
        for (int i = 0; i < TRIALS_PER_PHASE; ++i) {
            // Most trials fall well short; those are rejected from a bound
            // without summing every edge.
            const double limit = in.value - decrease;
            const std::optional<double> phi = line.value_at_most(t, limit);
            if (phi && *phi <= limit) {
                return LineSearchStep{line.take_trial(), line.take_barrier(), t};
            }
            t /= 2.0;
        }
    }
    return std::nullopt;
}

}  // namespace zelk
