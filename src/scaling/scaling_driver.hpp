// solve_mcf_with_scaling: the "ipm_scaled" route. It shrinks the numbers the
// interior-point method sees before running it, then answers exactly.
//
// 1. Capacity stage: capacity scaling down to its target divisor D (or D = 1
//    with `disable_capacity_scaling`), giving a working problem P and a
//    warm start.
// 2. Cost stage: cost scaling when forced or when max |cost| of P exceeds
//    max(m, 1)^3 (never for a problem without edges unless forced); otherwise
//    one cost-scaled-context interior-point entry on P.
// 3. Finalisation on P with its true costs: rounding, verification, and the
//    classic solver whenever the interior-point answer cannot be trusted.
// 4. Flow and cost multiplied back by D ("flow scaling overflow", "cost
//    scaling overflow"); a warning line when the smallest residual of the
//    unscaled flow is below `residual_min`.
// The result's mode is `IpmScaled`. Infeasibility reported by an
// interior-point stage (e.g. no strictly interior flow) is retried with the
// classic solver on the input (mode `ClassicFallback`, no summary).
// Cost: that of the stages; O(n + m) besides.
#pragma once

#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"
#include "solve_context.hpp"

namespace zelk {

// Flow and cost of a solution of the problem divided by `divisor`, multiplied
// back in place. InvalidInput "flow scaling overflow" / "cost scaling
// overflow" when a product leaves the 64-bit (flow) or 128-bit (cost) range;
// the solution is then unusable. A divisor of 1 changes nothing.
McfResult<void> unscale_solution(McfSolution& solution, std::int64_t divisor);

McfResult<McfSolution> solve_mcf_with_scaling(const McfProblem& problem, const McfOptions& options,
                                              const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
