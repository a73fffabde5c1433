// Capacity scaling: interior-point runs on exact coarsenings of a problem.
//
// Every lower bound, upper bound and demand is divided by a common power of
// two D; the divided problem is exactly equivalent (an integral optimum of it,
// times D, is an integral optimum of the input). D starts at the largest power
// of two dividing all of those values (at most 2^62) and is halved phase by
// phase down to a target that depends on the largest capacity against the cube
// of the edge count. Each phase runs the interior-point entry on its problem,
// warm-started by the previous phase's rounded flow, doubled, and reports
//   "[capacity_scaling] phase={phase} divisor={D} iterations={iterations} bound={B}"
// through the diagnostics sink. The last phase's problem and warm start are
// returned for the scaling driver to finish.
// Cost: log2(D0 / target) + 1 interior-point entries, plus O(n + m) per phase.
#pragma once

#include <cstdint>
#include <optional>

#include "ipm/ipm_result.hpp"
#include "mcf_error.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "scaling/warm_start.hpp"
#include "solve_context.hpp"

namespace zelk {

struct CapacityScalingResult {
    McfProblem problem;        // the input divided by `divisor`
    WarmStart initial_flow;    // already accepted by feasible_initial_flow for `problem`
    std::int64_t divisor = 1;  // a power of two, at least 1
    // The phase's run when the caller's effort budget ran out in it; no
    // later phase ran.
    std::optional<IpmResult> cut_run;
};

struct CapacityScaleFactor {
    std::int64_t target = 1;  // final divisor, a power of two
    std::int64_t bound = 1;   // B = max(m, 1)^3, saturating, at least 1
};

// Fewest trailing zero bits over the non-zero lower bounds, upper bounds and
// demands; none when all of them are zero.
std::optional<unsigned> trailing_zero_count(const McfProblem& problem);

// target = min(2^min(T, 62), max(p, 1)) with q = ceil(max(U, 1) / B) and p the
// smallest power of two >= q - 1 when q > 2, else 1 (U = max |upper|); 1 when
// T is none.
CapacityScaleFactor capacity_scale_factor(const McfProblem& problem);

// Bounds and demands divided by `divisor`. InvalidInput "capacity scaling
// divisor must be positive" or "capacity scaling requires divisible values";
// McfProblem::create's errors pass through.
McfResult<McfProblem> scale_problem(const McfProblem& problem, std::int64_t divisor);

// Errors of scale_problem and of any interior-point run end the phases.
McfResult<CapacityScalingResult> capacity_scaling(const McfProblem& problem,
                                                  const McfOptions& options,
                                                  const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
