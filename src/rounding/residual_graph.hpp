// ResidualGraph: the residual arcs of a real-valued flow, a Bellman-Ford
// negative-cycle search over them, and cycle cancelling.
//
// Every edge e contributes, in edge order, a forward arc tail -> head with
// residual max(upper - x, 0) and cost round(cost), appended to the tail's
// list, then a backward arc head -> tail with residual max(x - lower, 0) and
// cost round(-cost) (halves away from zero), appended to the head's list.
// Arcs of one node are stored contiguously, node after node; an arc is named
// by (node, index within that node's arcs), which is the order of the lists.
// excess[v] = demands[v] - (inflow - outflow), all zero for a flow that
// meets the demands. Tolerance 1e-12: bound slack, usable residual, strict
// improvement.
// Cost: building O(n + m); a search O(n m); cancelling at most `limit`
// searches (10000 by default), with one set of scratch arrays throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/float_graph.hpp"
#include "mcf_error.hpp"

namespace zelk {

struct ResidualArc {
    std::size_t to = 0;
    double residual = 0.0;      // capacity left on the arc, >= 0 when built
    std::int64_t cost = 0;      // per unit, integral
    std::size_t rev = 0;        // index of the partner arc within the arcs of `to`
    std::size_t edge = 0;       // edge the arc belongs to
    std::int8_t direction = 1;  // +1 forward, -1 backward
};

struct ResidualGraph {
    std::vector<std::size_t> first_arc;  // node v owns arcs[first_arc[v] .. first_arc[v + 1])
    std::vector<ResidualArc> arcs;
    std::vector<double> excess;  // one per node
    std::vector<double> flow;    // one per edge, updated by cancelling

    std::size_t node_count() const { return excess.size(); }
    std::span<const ResidualArc> adj(std::size_t v) const {
        return std::span(arcs).subspan(first_arc[v], first_arc[v + 1] - first_arc[v]);
    }
    ResidualArc& arc(std::size_t v, std::size_t i) { return arcs[first_arc[v] + i]; }
    const ResidualArc& arc(std::size_t v, std::size_t i) const { return arcs[first_arc[v] + i]; }
};

// One cycle arc, named by its tail node and its index in that node's arcs.
struct CycleArc {
    std::size_t node = 0;
    std::size_t index = 0;
    friend bool operator==(const CycleArc&, const CycleArc&) = default;
};

// Fails with InvalidInput "approximate flow length mismatch", then per edge
// "approximate flow contains non-finite values", "approximate flow violates
// bounds" (beyond 1e-12) and "edge cost out of range" (a cost that is not a
// finite value within the 64-bit range after rounding).
McfResult<ResidualGraph> build_residual_graph(std::span<const double> flow, const Graph& graph);

// Bellman-Ford from a virtual source joined to every node at cost 0, over
// arcs with residual > 1e-12, improving only by more than 1e-12. The cycle
// is listed against its direction: each arc's tail is the next arc's head.
std::optional<std::vector<CycleArc>> find_negative_cycle(const ResidualGraph& graph);

bool has_negative_cycle(const ResidualGraph& graph);

// Sum of the arc costs of the cycle find_negative_cycle returns.
std::optional<double> negative_cycle_cost(const ResidualGraph& graph);

// Pushes the bottleneck residual around negative cycles until none is left,
// the bottleneck is not above 1e-12, or `limit` cycles were cancelled.
// Updates residuals and flow; returns the number of cycles cancelled.
inline constexpr std::size_t DEFAULT_CANCEL_LIMIT = 10000;
std::size_t cancel_negative_cycles(ResidualGraph& graph,
                                   std::optional<std::size_t> limit = std::nullopt);

}  // namespace zelk
