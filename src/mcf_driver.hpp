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
//
// When the route is automatic, the size limit and effort budget below apply,
// and an interior-point stage that fails on its own arithmetic (an
// InvalidInput of its own) hands the instance to the classic solver too.
#pragma once

#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"
#include "solve_context.hpp"

namespace zelk {

// Smallest instance the interior-point route takes by default.
inline constexpr std::size_t IPM_MIN_EDGES = 13;
inline constexpr std::size_t IPM_MIN_NODES = 9;

// Bounds of the route the solver chooses by itself (the caller set none of
// use_ipm, use_scaling, force_cost_scaling). Larger instances go straight to
// the classic solver; below the limit, all interior-point runs of one call
// together may spend at most AUTO_IPM_EFFORT_BUDGET edge-iterations (the sum
// over iterations of the edge count, so runs stay reproducible). When that
// runs out, the run in progress ends as TimeLimit and the classic solver
// answers. Explicit requests have neither bound. The budget keeps every
// automatic call near a second on one core (about 0.1-0.2 us per
// edge-iteration) while sweeps of random, grid and transportation instances
// and NETGEN-style ones up to about 1,000 edges finish within it.
inline constexpr std::size_t AUTO_IPM_MAX_EDGES = 2000;
inline constexpr std::uint64_t AUTO_IPM_EFFORT_BUDGET = 8'000'000;

// True when the caller left the choice of route to the solver.
bool automatic_route(const McfOptions& options);

// Whether the options send an instance of this size to the interior-point
// route.
bool ipm_eligible(const McfProblem& problem, const McfOptions& options);

// The automatic scaling decision for an eligible instance: costs or
// capacities large compared with the cube of the edge count.
bool scaling_recommended(const McfProblem& problem);

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
