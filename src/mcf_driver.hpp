// min_cost_flow_exact: the single entry of every caller into the solver.
//
// It works on a copy of the options, sizes the worker pool, and chooses a
// route: the scaling route whenever `force_cost_scaling` is set; the classic
// solver for instances not eligible for the interior-point method (fewer
// than 13 edges or 9 nodes unless `use_ipm` says otherwise, or `max_iters` =
// 0); for eligible ones the scaling route when `use_scaling` asks for it (or,
// when absent, when scaling_recommended says so), else the interior-point
// method finalised into an exact integral flow. Interior-point infeasibility
// is retried with the classic solver. Every route ends in an exact integral
// flow or an McfError.
#pragma once

#include "graph/classic_solver.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

// Smallest instance the interior-point route takes by default.
inline constexpr std::size_t IPM_MIN_EDGES = 13;
inline constexpr std::size_t IPM_MIN_NODES = 9;

// Whether the options send an instance of this size to the interior-point
// route.
bool ipm_eligible(const McfProblem& problem, const McfOptions& options);

// The automatic scaling decision for an eligible instance: costs or
// capacities large compared with the cube of the edge count.
bool scaling_recommended(const McfProblem& problem);

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
