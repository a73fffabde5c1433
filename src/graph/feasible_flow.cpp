#include "graph/feasible_flow.hpp"

#include "checked_math.hpp"
#include "graph/lower_bounds.hpp"
#include "graph/min_cost_flow.hpp"

namespace zelk {

McfResult<std::vector<std::int64_t>> solve_feasible_flow_with_costs(
    std::size_t n, std::span<const std::uint32_t> tails, std::span<const std::uint32_t> heads,
    std::span<const std::int64_t> lower, std::span<const std::int64_t> upper,
    std::span<const std::int64_t> demands, std::optional<std::span<const std::int64_t>> costs,
    const SolveContext& ctx) {
    const std::size_t m = lower.size();
    if (tails.size() != m || heads.size() != m || upper.size() != m) {
        return invalid_input("edge arrays must have identical length");
    }
    if (demands.size() != n) return invalid_input("demand array length mismatch");

    auto reduced =
        reduce_lower_bounds(tails, heads, lower, upper, demands, BalanceOverflow::StopAtFirst);
    if (!reduced) return std::unexpected(reduced.error());
    auto& [caps, balance] = *reduced;

    const std::size_t source = n;
    const std::size_t sink = n + 1;
    MinCostFlow mcf(n + 2);
    std::vector<std::pair<std::size_t, std::size_t>> arcs(m);
    bool any_negative = false;
    for (std::size_t e = 0; e < m; ++e) {
        const std::int64_t c = costs.has_value() && e < costs->size() ? (*costs)[e] : 0;
        any_negative |= c < 0;
        arcs[e] = mcf.add_edge(tails[e], heads[e], caps[e], c);
    }

    // Successive shortest paths cannot undo a negative cycle that exists from
    // the start (and may not even terminate on one): begin with every
    // negative-cost edge saturated instead, which leaves no such cycle.
    if (any_negative && mcf.has_negative_cycle() &&
        !saturate_negative_arcs(mcf, arcs, tails, heads, balance)) {
        return invalid_input("demand overflow");
    }

    const auto total = attach_balances(mcf, balance, source, sink);
    if (!total) return invalid_input("demand overflow");
    const std::int64_t supply = *total;
    if (supply > 0) {
        auto routed = mcf.min_cost_flow(source, sink, supply, ctx);
        if (!routed) return std::unexpected(routed.error());
    }

    std::vector<std::int64_t> flow(m);
    for (std::size_t e = 0; e < m; ++e) {
        const std::int64_t remaining = mcf.graph[arcs[e].first][arcs[e].second].cap;
        const auto f = checked_add(lower[e], caps[e] - remaining);
        if (!f) return invalid_input("flow overflow");
        flow[e] = *f;
    }
    return flow;
}

}  // namespace zelk
