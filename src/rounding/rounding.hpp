// Rounding of a fractional flow to an exact integral one.
//
// Every edge keeps the integer part r of its flow x (x itself when within
// 1e-9 of an integer); each edge with a fraction left becomes a unit edge of
// a small residual instance, and a successive-shortest-path solve
// (MinCostFlow) picks the unit edges that carry one more unit so that every
// demand is met at least cost. Tolerance 1e-9 throughout (bounds, nearness to
// an integer, remaining fraction, total imbalance).
// Cost: O(n + m) plus one successive-shortest-path solve on the unit edges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"
#include "rounding/residual_graph.hpp"
#include "solve_context.hpp"

namespace zelk {

// The residual graph (residual_graph.hpp) of a real-valued flow of `problem`.
McfResult<ResidualGraph> build_residual_graph_from_problem(const McfProblem& problem,
                                                           std::span<const double> flow);

struct ResidualInstance {
    std::vector<std::int64_t> base_flow;    // integer part per edge
    std::vector<NodeIndex> residual_tails;  // one unit edge per fractional edge
    std::vector<NodeIndex> residual_heads;
    std::vector<std::int64_t> residual_caps;     // always 1
    std::vector<std::int64_t> residual_costs;    // cost of the edge stood for
    std::vector<std::size_t> residual_edge_ids;  // that edge's index
    std::vector<std::int64_t> residual_demands;  // demand left after base_flow, per node
};

// Fails (InvalidInput) with "fractional flow length mismatch", then per edge
// "fractional flow contains non-finite values", "fractional flow violates
// bounds", "rounded flow violates bounds", "fractional flow exceeds integer
// capacity"; then "demand overflow", "residual demands do not sum to zero".
McfResult<ResidualInstance> build_residual_instance(const McfProblem& problem,
                                                    std::span<const double> flow);

struct RoundedFlow {
    std::vector<std::int64_t> flow;
    Int128 cost = 0;  // sum of cost[i] * flow[i]
};

// The integral flow and its cost. Besides the instance's failures:
// Infeasible when the fractions cannot be rounded consistently, "flow
// overflow", "rounded flow violates bounds", "total cost overflow".
McfResult<RoundedFlow> round_fractional_flow(const McfProblem& problem,
                                             std::span<const double> flow,
                                             const SolveContext& ctx = SolveContext::none());

struct IntegerRounding {
    // round(rounded cost - fractional cost) when both are finite and it fits in
    // 64 bits.
    std::optional<std::int64_t> adjustment_cost;
    Int128 cost = 0;
    std::vector<std::int64_t> flow;
};

// round_fractional_flow, plus the adjustment cost; `residual_graph` is the
// residual graph of the same fractional flow, whose total absolute excess
// must not exceed 1e-9 ("residual demand imbalance too large").
McfResult<IntegerRounding> round_to_integer_flow(std::span<const double> flow,
                                                 const McfProblem& problem,
                                                 const ResidualGraph& residual_graph,
                                                 const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
