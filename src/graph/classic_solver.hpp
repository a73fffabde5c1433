// The classic solver: lower bounds reduced away, a super source S = n and a
// super sink T = n + 1 attached, and the resulting supply routed along
// successive shortest paths (MinCostFlow). Exact, integral, always available;
// it answers small instances and replaces interior-point runs that cannot be
// trusted.
//
// An instance whose residual graph starts with a negative-cost cycle has
// every negative-cost edge saturated first (flow at its upper bound, balances
// adjusted), which leaves no negative cycle, so the result is still of
// minimum cost.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "checked_math.hpp"
#include "ipm_summary.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

enum class SolverMode { Classic, Ipm, IpmScaled, ClassicFallback };

// "classic", "ipm", "ipm_scaled", "classic_fallback".
std::string_view solver_mode_name(SolverMode mode);

struct McfSolution {
    Int128 cost = 0;                        // sum of cost[i] * flow[i]
    std::optional<IpmSummary> ipm_summary;    // absent on the classic paths
    std::vector<std::int64_t> flow;           // one value per input edge
    SolverMode solver_mode = SolverMode::Classic;
};

// Failures: InvalidInput "lower bound exceeds upper bound", "negative
// residual capacity", "node balance overflow", "total supply overflow",
// "total cost overflow"; Infeasible when the demands cannot be met.
McfResult<McfSolution> solve_classic_with_mode(const McfProblem& problem, SolverMode mode,
                                               const SolveContext& ctx = SolveContext::none());

// Total cost sum(cost[i] * flow[i]) in 128 bits; InvalidInput
// "total cost overflow" when even that range is exceeded.
McfResult<Int128> flow_cost(const McfProblem& problem, const std::vector<std::int64_t>& flow);

}  // namespace zelk
