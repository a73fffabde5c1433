#include "ipm_summary.hpp"

#include <numeric>

namespace zelk {

namespace {

double total(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0);
}

}  // namespace

IpmSummary IpmSummary::from_ipm(const IpmResult& result, IpmTermination termination,
                                const McfOptions& options) {
    const IpmStats& stats = result.stats;
    IpmSummary s;
    s.last_duality_gap_proxy = stats.last_duality_gap_proxy;
    s.termination_gap_threshold = stats.termination_gap_threshold;
    s.final_gap_estimate = stats.final_gap_estimate;
    s.gap_tolerance_used = options.gap_tolerance;
    s.seed_used = options.deterministic ? options.deterministic_seed
                                        : std::optional<std::uint64_t>(options.seed);
    s.iterations = stats.iterations;
    s.final_gap = stats.final_gap;
    s.gap_exponent_used = options.gap_exponent;
    s.cycle_scoring_ms = total(stats.cycle_scoring_ms);
    s.barrier_compute_ms = total(stats.barrier_compute_ms);
    s.spanner_update_ms = total(stats.spanner_update_ms);
    for (const NumericalStats& n : stats.numerical_stats) {
        s.max_barrier_value = max_num(s.max_barrier_value, n.max_barrier_value);
        s.min_residual_seen = min_num(s.min_residual_seen, n.min_residual_seen);
        s.numerical_clamping_occurred |= n.total_clamps() != 0;
    }
    s.terminated_by_gap = stats.terminated_by_gap;
    s.terminated_by_max_iters = stats.terminated_by_max_iters;
    s.deterministic_mode_used = options.deterministic;
    s.termination = termination;
    return s;
}

}  // namespace zelk
