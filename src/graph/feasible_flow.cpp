#include "graph/feasible_flow.hpp"

#include "checked_math.hpp"
#include "graph/lower_bounds.hpp"
#include "graph/min_cost_flow.hpp"
#include "index_types.hpp"

namespace zelk {

McfResult<std::vector<std::int64_t>> solve_feasible_flow_with_costs(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
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

    // The search cannot undo a negative cycle that exists from the start
    // (and may not even terminate on one), so route_by_paths saturates
    // negative-cost edges first in that case.
    const std::span<const std::int64_t> edge_costs =
        costs.has_value() ? *costs : std::span<const std::int64_t>{};
    auto reduced_flow = route_by_paths(n, tails, heads, caps, edge_costs, std::move(balance),
                                       {"demand overflow", "demand overflow"}, ctx);
    if (!reduced_flow) return std::unexpected(reduced_flow.error());

    std::vector<std::int64_t> flow(m);
    for (std::size_t e = 0; e < m; ++e) {
        const auto f = checked_add(lower[e], (*reduced_flow)[e]);
        if (!f) return invalid_input("flow overflow");
        flow[e] = *f;
    }
    return flow;
}

}  // namespace zelk
