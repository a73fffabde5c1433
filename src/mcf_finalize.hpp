// finalize_ipm_solution: turns a fractional interior-point run into an exact
// integral answer.
//
// A converged run whose final gap proxy meets the threshold has its residual
// graph cleaned of negative cycles (at most 10000), is rounded to an integral
// flow and verified. Whenever the run cannot be trusted (not converged, gap
// above the threshold, rounding infeasible, or verification finding an
// imbalance or a negative cycle) the classic solver answers instead, in mode
// `ClassicFallback`, with the summary attached as far as it was filled.
// Other residual-graph or rounding errors are returned.
#pragma once

#include <optional>

#include "ipm/ipm_result.hpp"
#include "ipm_summary.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"
#include "solve_context.hpp"

namespace zelk {

// gap_tolerance when given, else max(U' m', 1)^(-gap_exponent) with
// U' = max(1, max |upper|) and m' = max(m, 1).
double convergence_threshold(const McfProblem& problem, const McfOptions& options);

McfResult<McfSolution> finalize_ipm_solution(const McfProblem& problem, IpmResult result,
                                             std::optional<IpmSummary> summary,
                                             const McfOptions& options,
                                             const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
