// Cost scaling: interior-point runs on a copy of the problem whose costs are
// divided by a common factor k, so that the largest absolute cost is at most
// T = max(m, 1)^3.
//
// cost_scaling bisects, with exact big integers, over a bracket of the optimal
// total cost (the least cost any flow within the bounds can have, and
// sum |cost| * max(max |upper|, 1)). Each round runs the interior-point entry
// on the cost-scaled problem, warm-started by the previous round's rounded
// flow, prices that rounded flow with the unscaled costs and reports
//   "[cost_scaling] round={round} midpoint={mid} cost={cost} scaled_max={scaled_max}
//   elapsed_ms={elapsed_ms}"
// through the diagnostics sink. A price at most the midpoint accepts the run
// and lowers the bracket's top; otherwise the bottom rises. The last accepted
// run is returned (its flow is fractional, for the cost-scaled problem, which
// has the same bounds and demands as the input); without one, a final run
// from the caller's own warm start decides.
// Cost: at most bigint_bits(top of bracket) + 2 interior-point entries.
#pragma once

#include <cstdint>
#include <span>

#include "ipm/ipm_result.hpp"
#include "mcf_error.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "scaling/big_int.hpp"
#include "solve_context.hpp"

namespace zelk {

struct CostScaledProblem {
    McfProblem problem;           // the input with every cost divided by `divisor`
    std::int64_t divisor = 1;     // k, at least 1
    std::int64_t bound = 1;       // T = max(m, 1)^3, saturating, at least 1
    std::int64_t scaled_max = 0;  // largest absolute scaled cost
};

// k = 1 when max |cost| <= T, else ceil(max |cost| / T) (saturating); costs
// are divided truncating toward zero. InvalidInput "cost scaling failed to
// reduce bounds" when a scaled cost still exceeds T; McfProblem::create's
// errors pass through.
McfResult<CostScaledProblem> build_cost_scaled_problem(const McfProblem& problem);

// The bracket [lo, hi] of the bisection: min and max of sum cost * (upper
// when cost < 0, else lower) and sum |cost| * max(max |upper|, 1).
struct CostBracket {
    BigInt lo;
    BigInt hi;
};

// Big-integer sums cannot reach 2^256 for any McfProblem; should they, the
// error is InvalidInput "cost scaling bracket overflow".
McfResult<CostBracket> cost_bracket(const McfProblem& problem);

// sum cost[i] * round(x[i]), rounding halves away from zero (NaN to 0).
McfResult<BigInt> price_rounded_flow(const McfProblem& problem, std::span<const double> flow);

// Errors of build_cost_scaled_problem and of any interior-point run end the
// bisection.
McfResult<IpmResult> cost_scaling(const McfProblem& problem, const McfOptions& options,
                                  const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
