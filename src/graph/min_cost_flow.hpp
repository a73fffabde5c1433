// MinCostFlow: residual adjacency lists with successive shortest paths.
//
// `min_cost_flow(s, t, amount)` sends exactly `amount` units from s to t
// along successive shortest paths and returns the 128-bit total cost, or
// `Infeasible` when t becomes unreachable first. Integral throughout.
//
// Contract on ties. The reference search (`min_cost_flow_reference`) is a
// round-based Bellman-Ford: nodes scanned in index order, arcs in list order,
// strictly shorter candidates only, updates visible within a round. Its
// predecessor choice defines which of several shortest paths is augmented.
// The fast search reproduces that choice exactly: with exact distances d, the
// reference's predecessor of v is the tight arc u->v (cap > 0, u != v,
// d(u) + cost = d(v)) minimising (R(u), u, arc index), where R(s) = 1 and
// R(v) = R(pred(v)) + [v < pred(v)] is the round in which v is first scanned
// at its final distance. Distances come from Dijkstra on reduced costs
// (potentials from one Bellman-Ford pass over the whole graph); the labels
// from a second priority search keyed by (R, node).
//
// The fast search is used when the initial residual graph has no negative
// cycle and the sum of |cost| over all arcs is below 2^60, so that its 64-bit
// reduced distances cannot overflow. Otherwise the reference runs, with exact
// 128-bit distances (a path of n arcs costs less than n * 2^63); its backward
// walk is bounded, and a predecessor cycle (only possible with a
// negative-cost cycle) is reported as InvalidInput.
//
// Cost per augmentation: O(m log n) fast, O(n m) reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "mcf_error.hpp"
#include "solve_context.hpp"

namespace zelk {

class MinCostFlow {
public:
    struct Edge {
        std::size_t to;
        std::size_t rev;   // index of the paired arc inside graph[to]
        std::int64_t cap;  // remaining residual capacity
        Int128 cost;       // 128 bits: the reverse of a cost of -2^63 is +2^63
    };

    explicit MinCostFlow(std::size_t n) : graph(n) {}

    std::size_t node_count() const { return graph.size(); }

    // Appends the forward arc {to, cap, cost} to graph[from], then the reverse
    // arc {from, 0, -cost} to graph[to]. Returns (from, index of the forward
    // arc). Both endpoints must be below node_count().
    std::pair<std::size_t, std::size_t> add_edge(std::size_t from, std::size_t to, std::int64_t cap,
                                                 std::int64_t cost);

    McfResult<Int128> min_cost_flow(std::size_t s, std::size_t t, std::int64_t amount,
                                    const SolveContext& ctx = SolveContext::none());

    // The literal round-based search, kept as the reference of the fast one.
    McfResult<Int128> min_cost_flow_reference(std::size_t s, std::size_t t, std::int64_t amount,
                                              const SolveContext& ctx = SolveContext::none());

    // True when some cycle of arcs with cap > 0 has negative total cost.
    bool has_negative_cycle() const;

    std::vector<std::vector<Edge>> graph;

private:
    class FastSearch;
    // Fills `potential` with shortest distances from a virtual source joined to
    // every node by zero-cost arcs. False when a negative cycle exists.
    bool compute_potentials(std::vector<Int128>& potential) const;
    bool fast_path_applies() const;
    // Sends min(limit, bottleneck) along the predecessor path from s to t,
    // adding its cost to `total`; returns the amount sent.
    McfResult<std::int64_t> augment(std::size_t s, std::size_t t, std::int64_t limit,
                                    const std::vector<std::size_t>& pred_node,
                                    const std::vector<std::size_t>& pred_arc, Int128& total);
    McfResult<Int128> augment_fast(std::size_t s, std::size_t t, std::int64_t amount,
                                   std::vector<std::int64_t>& potential, const SolveContext& ctx);
};

// What route_by_paths reports when a balance leaves the 64-bit range.
struct RouteOverflowMessages {
    std::string_view saturation;  // while saturating negative-cost edges
    std::string_view supply;      // a supply of 2^63 or more, at one node or in total
};

// A least-cost flow with 0 <= flow[i] <= caps[i] on edges tails[i] ->
// heads[i] (costs[i], 0 beyond `costs`) that meets `balance` (node v
// sends balance[v] < 0 units or takes balance[v] > 0, after the lower
// bounds were sent), found by successive shortest paths from a super source
// to a super sink in node order. When the residual graph starts with a
// negative cycle every negative-cost edge is saturated first, since the
// search never cancels one. Infeasible when the balances cannot be met.
McfResult<std::vector<std::int64_t>> route_by_paths(std::size_t n, std::span<const NodeIndex> tails,
                                                    std::span<const NodeIndex> heads,
                                                    std::span<const std::int64_t> caps,
                                                    std::span<const std::int64_t> costs,
                                                    std::vector<std::int64_t> balance,
                                                    const RouteOverflowMessages& messages,
                                                    const SolveContext& ctx);

}  // namespace zelk
