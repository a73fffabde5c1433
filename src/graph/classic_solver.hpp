// The classic solver: exact, integral, always available. It answers direct
// classic calls and replaces interior-point runs that cannot be trusted.
// Lower bounds are reduced away first (the same checks and messages for
// every search), then one of two exact searches answers:
//
// - at most CLASSIC_SEARCH_MAX_EDGES edges: successive shortest paths from a
//   super source S = n to a super sink T = n + 1 (MinCostFlow), whose order
//   of augmenting paths decides which optimal flow is returned on ties. An
//   instance whose residual graph starts with a negative-cost cycle has
//   every negative-cost edge saturated first, which leaves no negative
//   cycle, so the result is still of minimum cost. No potentials.
// - more edges: cost-scaling push-relabel (graph/cost_scaling.hpp), which
//   also returns optimal node potentials; the network simplex
//   (graph/network_simplex.hpp) answers instead when costs or capacities
//   leave the push-relabel engine's 64-bit range. Cost scaling grows more
//   slowly with size on every measured family, though the simplex is faster
//   on small sparse instances with few supply and demand nodes. Either
//   optimal flow may differ from the one successive shortest paths would
//   give; the cost is the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "checked_math.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

struct ClassicSolution {
    Int128 cost = 0;                 // sum of cost[i] * flow[i]
    std::vector<std::int64_t> flow;  // one value per input edge
    // Optimality certificate, one per node when an engine answered
    // (empty otherwise): rc_i = cost[i] + potentials[tails[i]] -
    // potentials[heads[i]] > 0 implies flow[i] = lower[i], < 0 implies
    // flow[i] = upper[i].
    std::vector<Int128> potentials;
};

// Largest edge count answered by successive shortest paths.
inline constexpr std::size_t CLASSIC_SEARCH_MAX_EDGES = 2000;

// Failures: InvalidInput "lower bound exceeds upper bound", "negative
// residual capacity", "node balance overflow", "total supply overflow",
// "total cost overflow"; Infeasible when the demands cannot be met.
McfResult<ClassicSolution> solve_classic(const McfProblem& problem,
                                         const SolveContext& ctx = SolveContext::none());

// The searches behind solve_classic, whatever the size; same failures. The
// engines add no overflow of their own beyond InvalidInput "instance too
// large" (2^32 - 2 nodes or arcs plus nodes); cost scaling hands instances
// out of its range to the simplex.
McfResult<ClassicSolution> solve_classic_by_paths(const McfProblem& problem,
                                                  const SolveContext& ctx = SolveContext::none());
McfResult<ClassicSolution> solve_classic_by_simplex(const McfProblem& problem,
                                                    const SolveContext& ctx = SolveContext::none());
McfResult<ClassicSolution> solve_classic_by_cost_scaling(
    const McfProblem& problem, const SolveContext& ctx = SolveContext::none());

// Total cost sum(cost[i] * flow[i]) in 128 bits; InvalidInput
// "total cost overflow" when even that range is exceeded.
McfResult<Int128> flow_cost(const McfProblem& problem, const std::vector<std::int64_t>& flow);

}  // namespace zelk
