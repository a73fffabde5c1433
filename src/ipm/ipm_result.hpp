// IpmResult: what one interior-point run returns — its statistics, the final
// strictly interior flow and why it stopped (IpmTermination).
//
// Plain data: the main loop appends and overwrites fields, consumers only
// read. Moving a result moves all of its arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "mcf_options.hpp"
#include "numerics/guarded_math.hpp"

namespace zelk {

enum class IpmTermination : std::uint8_t {
    Converged = 0,
    IterationLimit = 1,
    TimeLimit = 2,
    NoImprovingCycle = 3,
};

// "converged", "iteration_limit", "time_limit", "no_improving_cycle".
std::string_view ipm_termination_name(IpmTermination termination);

struct IpmStats {
    // Gap value used by the latest gap check.
    std::optional<double> last_duality_gap_proxy;
    // The run's gap threshold, set at the first gap check.
    std::optional<double> termination_gap_threshold;
    // Gap at a stop by the gap test or the iteration limit after a step; at
    // the end of the run, if still absent, a copy of last_duality_gap_proxy.
    std::optional<double> final_gap_estimate;
    std::vector<double> potential_values;         // one per iteration
    std::vector<double> cycle_scoring_ms;         // one per oracle query
    std::vector<double> barrier_compute_ms;       // one per timed gradient-and-lengths evaluation
    std::vector<double> spanner_update_ms;        // one per dynamic-oracle batch update
    std::vector<NumericalStats> numerical_stats;  // one per evaluation, the final one included
    std::size_t iterations = 0;
    double final_gap = std::numeric_limits<double>::infinity();  // duality-gap proxy
    bool terminated_by_gap = false;
    bool terminated_by_max_iters = false;
    OracleMode oracle_mode = OracleMode::Hybrid;
};

struct IpmResult {
    IpmStats stats;
    std::vector<double> flow;  // one per edge
    IpmTermination termination = IpmTermination::Converged;
};

}  // namespace zelk
