// min_cost_flow_exact: the single entry of every caller into the solver.
// It copies the options, sizes the worker pool and chooses a route; every
// route ends in an exact integral flow or an McfError.
#pragma once

#include "graph/classic_solver.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
