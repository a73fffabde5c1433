// The start of an interior-point run: an integral feasible flow (from the
// caller's initial flow, from successive shortest paths on randomly perturbed
// costs, or on zero costs), pushed at least half a unit inside every bound.
//
// Failures are InvalidInput with a fixed message, checked in the order
// documented per function, or Infeasible. An edge with lower = upper has no
// interior, so every start on such an instance is Infeasible.
// Cost: one successive-shortest-path solve (MinCostFlow) per feasibility
// problem: two per start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/feasible_flow.hpp"
#include "mcf_error.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

// A flow meeting the demands with lower + 0.5 <= flow <= upper - 0.5 on every
// edge, obtained from `base` (feasible, integral) by a circulation in half
// units. Checks "base flow length mismatch", then per edge the doubled
// bounds and offsets ("scaled value overflow", "scaled lower overflow",
// "scaled upper overflow", Infeasible when lower = upper, "delta lower
// overflow", "delta upper overflow"); "flow overflow" at the end.
McfResult<std::vector<double>> push_inside_strict(const McfProblem& problem,
                                                  std::span<const std::int64_t> base,
                                                  const SolveContext& ctx = SolveContext::none());

// Zero-cost feasible flow pushed inside.
McfResult<std::vector<double>> initialize_feasible_flow(
    const McfProblem& problem, const SolveContext& ctx = SolveContext::none());

// m costs drawn uniformly from about [-K, K], K = max(trunc(|p| 1000), 1),
// by a 64-bit linear congruential stream seeded with seed ^ 0x9E3779B97F4A7C15.
// InvalidInput "cost perturbation too large" when K exceeds 2^52.
McfResult<std::vector<std::int64_t>> perturbed_costs(std::size_t m, double perturbation,
                                                     std::uint64_t seed);

// The start of one run, chosen by the options: the initial flow if present
// (checked: "initial flow length mismatch", "initial flow violates bounds",
// "balance overflow", "initial flow violates demands"), else perturbed costs
// when cost_perturbation > 0, else zero costs; then pushed inside.
McfResult<std::vector<double>> choose_start_flow(const McfProblem& problem,
                                                 const McfOptions& options,
                                                 const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
