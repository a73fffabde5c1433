#include "graph/classic_solver.hpp"

#include "checked_math.hpp"
#include "graph/min_cost_flow.hpp"

namespace zelk {

std::string_view solver_mode_name(SolverMode mode) {
    switch (mode) {
        case SolverMode::Classic: return "classic";
        case SolverMode::Ipm: return "ipm";
        case SolverMode::IpmScaled: return "ipm_scaled";
        case SolverMode::ClassicFallback: return "classic_fallback";
    }
    return "classic";
}

McfResult<Int128> flow_cost(const McfProblem& problem, const std::vector<std::int64_t>& flow) {
    const auto cost = problem.cost();
    Int128 total = 0;
    for (std::size_t i = 0; i < flow.size(); ++i) {
        if (__builtin_add_overflow(total, static_cast<Int128>(cost[i]) * flow[i], &total)) {
            return invalid_input("total cost overflow");
        }
    }
    return total;
}

McfResult<McfSolution> solve_classic_with_mode(const McfProblem& problem, SolverMode mode,
                                               const SolveContext& ctx) {
    const std::size_t n = problem.node_count();
    const std::size_t m = problem.edge_count();
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    const auto cost = problem.cost();

    // Balances after the lower bounds are sent. They saturate as the classic
    // formulation does; a saturated balance could not be routed exactly, so
    // it is reported instead of solved wrongly.
    std::vector<std::int64_t> balance(problem.demands().begin(), problem.demands().end());
    std::vector<std::int64_t> residual_cap(m, 0);
    bool saturated = false;
    auto shift_balance = [&](std::size_t v, std::int64_t delta) {
        const auto next = checked_add(balance[v], delta);
        saturated |= !next.has_value();
        balance[v] = saturating_add(balance[v], delta);
    };
    for (std::size_t i = 0; i < m; ++i) {
        if (upper[i] < lower[i]) return invalid_input("lower bound exceeds upper bound");
        residual_cap[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(upper[i]) -
                                                    static_cast<std::uint64_t>(lower[i]));
        shift_balance(tails[i], lower[i]);
        shift_balance(heads[i], saturating_sub(0, lower[i]));
        // Negating INT64_MIN saturates one short; the flag above still
        // covers the node, which cannot be routed exactly anyway.
        saturated |= lower[i] == INT64_MIN;
    }

    const std::size_t source = n;
    const std::size_t sink = n + 1;
    MinCostFlow mcf(n + 2);
    std::vector<std::pair<std::size_t, std::size_t>> refs(m);
    for (std::size_t i = 0; i < m; ++i) {
        if (residual_cap[i] < 0) return invalid_input("negative residual capacity");
        refs[i] = mcf.add_edge(tails[i], heads[i], residual_cap[i], cost[i]);
    }
    if (saturated) return invalid_input("node balance overflow");

    // Successive shortest paths never cancel a negative cycle that exists
    // from the start: saturate every negative-cost edge instead, so that no
    // arc with spare capacity has a negative cost.
    if (mcf.has_negative_cycle() && !saturate_negative_arcs(mcf, refs, tails, heads, balance)) {
        return invalid_input("node balance overflow");
    }

    // A supply of 2^63 or more, at one node or in total, is out of range.
    const auto supply = attach_balances(mcf, balance, source, sink);
    if (!supply) return invalid_input("total supply overflow");
    const std::int64_t required = *supply;
    if (required > 0) {
        auto routed = mcf.min_cost_flow(source, sink, required, ctx);
        if (!routed) return std::unexpected(routed.error());
    }

    McfSolution solution;
    solution.flow.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        const auto& arc = mcf.graph[refs[i].first][refs[i].second];
        // created - residual <= upper - lower, so adding lower cannot overflow.
        solution.flow[i] = (residual_cap[i] - arc.cap) + lower[i];
    }
    auto total = flow_cost(problem, solution.flow);
    if (!total) return std::unexpected(total.error());
    solution.cost = *total;
    solution.solver_mode = mode;
    return solution;
}

}  // namespace zelk
