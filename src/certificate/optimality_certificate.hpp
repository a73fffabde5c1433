// Optimality certificate of an integral flow: node potentials proving that
// no residual cycle has negative cost, or one such cycle.
//
// Contract: `flow` has one value per edge of `problem`, each within the
// edge's bounds (demands are not looked at; checking them is the caller's
// business). The residual graph has, for every edge i, a forward arc
// tail -> head of cost c = cost[i] while flow[i] < upper[i], and a backward
// arc head -> tail of cost -c while flow[i] > lower[i]. On success the
// potentials p satisfy c + p[tail] - p[head] >= 0 on every forward residual
// arc and <= 0 on every edge with a backward residual arc (so the flow is of
// minimum cost for its demands); they are shortest distances from a virtual
// source joined to every node at cost 0, hence in [-(n-1) max|c|, 0], exact
// in 128 bits. Otherwise a residual cycle of negative total cost is returned,
// its arcs in traversal order.
//
// Failures: InvalidInput "flow length mismatch", "flow violates bounds";
// Interrupted when the context's cancellation check fires.
// Cost: O(n + m) memory; a label-correcting pass (FIFO Bellman-Ford), at most
// O(n m) time and usually near-linear, with an O(n) walk of the predecessor
// graph after every n relaxations to catch negative cycles early.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "checked_math.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

// One arc of a residual cycle: edge `edge` used forward (+1, more flow) or
// backward (-1, less flow).
struct McfCycleArc {
    std::uint32_t edge = 0;
    std::int8_t direction = 1;
    friend bool operator==(const McfCycleArc&, const McfCycleArc&) = default;
};

// Exactly one of the two members is non-empty, unless the graph has no
// nodes: `potentials` (one per node) when the flow is optimal,
// `negative_cycle` when it is not.
struct McfOptimalityCertificate {
    std::vector<Int128> potentials;
    std::vector<McfCycleArc> negative_cycle;

    bool optimal() const { return negative_cycle.empty(); }
};

McfResult<McfOptimalityCertificate> optimality_certificate(
    const McfProblem& problem, std::span<const std::int64_t> flow,
    const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
