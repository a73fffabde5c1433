// IpmSummary: the statistics of one solve that went through the
// interior-point method, one field per statistics key. Built from a run by
// `from_ipm`; finalisation fills the rounding fields. The classic paths carry
// none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "ipm/ipm_result.hpp"
#include "mcf_options.hpp"

namespace zelk {

struct IpmSummary {
    std::optional<double> last_duality_gap_proxy;
    std::optional<double> termination_gap_threshold;
    std::optional<double> final_gap_estimate;  // also reported as "final_gap_proxy"
    std::optional<double> gap_tolerance_used;
    std::optional<std::uint64_t> seed_used;
    std::optional<std::int64_t> final_integer_cost;
    std::optional<double> post_rounding_gap;
    std::optional<std::int64_t> rounding_adjustment_cost;
    std::uint64_t iterations = 0;
    double final_gap = 0.0;
    double gap_exponent_used = 0.0;
    double cycle_scoring_ms = 0.0;
    double barrier_compute_ms = 0.0;
    double spanner_update_ms = 0.0;
    std::size_t cycles_canceled = 0;
    double max_barrier_value = 0.0;
    double min_residual_seen = std::numeric_limits<double>::infinity();
    bool terminated_by_gap = false;
    bool terminated_by_max_iters = false;
    bool deterministic_mode_used = false;
    bool rounding_performed = false;
    bool rounding_success = false;
    bool is_exact_optimal = false;
    bool numerical_clamping_occurred = false;
    IpmTermination termination = IpmTermination::Converged;

    // Everything but the rounding fields, which keep their initial values.
    // The seed is `deterministic_seed` (possibly absent) in deterministic
    // mode and `seed` otherwise.
    static IpmSummary from_ipm(const IpmResult& result, IpmTermination termination,
                               const McfOptions& options);
};

}  // namespace zelk
