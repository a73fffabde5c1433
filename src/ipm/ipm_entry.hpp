// run_ipm / run_ipm_with_context: the interior-point entry. The potential
// needs a lower bound F on the optimal cost, so the entry brackets the
// optimum between a trivial bound LB and the cost C0 of a feasible flow and
// bisects: each probe is a full run at the midpoint, and a probe that
// converges to a flow costing at most the midpoint (within tolerance) moves
// the upper end down. The best accepted run is returned; without one, a
// final run at the upper end decides.
//
// Scaled contexts (cost- or capacity-scaled problems) loosen the tolerance
// and the log clamp of the entry's own copy of the options.
// Cost: between 1 and 65 runs, all from one shared start.
#pragma once

#include <cstdint>

#include "ipm/ipm_result.hpp"
#include "mcf_error.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

enum class ScalingContext : std::uint8_t { None = 0, CostScaled = 1, CapacityScaled = 2 };

// The options a run in `context` uses: unchanged for None; otherwise
// tolerance = max(10 tolerance, 1e-8) and numerical_clamp_log =
// max(L - 10 max(ceil(log10 M), 1), 100), M = max(|upper|, |cost|, 1).
McfOptions scaled_run_options(const McfProblem& problem, const McfOptions& options,
                              ScalingContext context);

McfResult<IpmResult> run_ipm_with_context(const McfProblem& problem, const McfOptions& options,
                                          ScalingContext context,
                                          const SolveContext& ctx = SolveContext::none());

McfResult<IpmResult> run_ipm(const McfProblem& problem, const McfOptions& options,
                             const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
