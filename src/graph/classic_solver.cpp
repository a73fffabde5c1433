#include "graph/classic_solver.hpp"

#include "checked_math.hpp"
#include "graph/cost_scaling.hpp"
#include "graph/min_cost_flow.hpp"
#include "graph/network_simplex.hpp"

namespace zelk {

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

namespace {

// The instance with its lower bounds sent: edge capacities upper - lower and
// the balances they leave at the nodes.
struct LowerBoundReduction {
    std::vector<std::int64_t> residual_cap;
    std::vector<std::int64_t> balance;
};

McfResult<LowerBoundReduction> reduce_lower_bounds(const McfProblem& problem) {
    const std::size_t m = problem.edge_count();
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();

    // Balances saturate as the classic formulation does; a saturated balance
    // could not be routed exactly, so it is reported instead of solved wrongly.
    LowerBoundReduction red{
        std::vector<std::int64_t>(m, 0),
        std::vector<std::int64_t>(problem.demands().begin(), problem.demands().end())};
    auto& balance = red.balance;
    bool saturated = false;
    auto shift_balance = [&](std::size_t v, std::int64_t delta) {
        const auto next = checked_add(balance[v], delta);
        saturated |= !next.has_value();
        balance[v] = saturating_add(balance[v], delta);
    };
    for (std::size_t i = 0; i < m; ++i) {
        if (upper[i] < lower[i]) return invalid_input("lower bound exceeds upper bound");
        red.residual_cap[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(upper[i]) -
                                                        static_cast<std::uint64_t>(lower[i]));
        shift_balance(tails[i], lower[i]);
        shift_balance(heads[i], saturating_sub(0, lower[i]));
        // Negating INT64_MIN saturates one short; the flag above still
        // covers the node, which cannot be routed exactly anyway.
        saturated |= lower[i] == INT64_MIN;
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (red.residual_cap[i] < 0) return invalid_input("negative residual capacity");
    }
    if (saturated) return invalid_input("node balance overflow");
    return red;
}

// Flow of edge i = lower[i] + reduced flow, and the solution around it.
McfResult<ClassicSolution> finish(const McfProblem& problem, std::vector<std::int64_t> flow) {
    const auto lower = problem.lower();
    // The reduced flow is at most upper - lower, so adding lower cannot overflow.
    for (std::size_t i = 0; i < flow.size(); ++i) flow[i] += lower[i];
    ClassicSolution solution;
    solution.flow = std::move(flow);
    auto total = flow_cost(problem, solution.flow);
    if (!total) return std::unexpected(total.error());
    solution.cost = *total;
    return solution;
}

McfResult<LowerBoundReduction> reduce_lower_bounds_in_range(const McfProblem& problem) {
    auto reduced = reduce_lower_bounds(problem);
    if (!reduced) return std::unexpected(reduced.error());
    // The same range as the path search: a supply of 2^63 or more, at one
    // node or in total, is out of range.
    std::int64_t supply = 0;
    for (const std::int64_t b : reduced->balance) {
        if (b >= 0) continue;
        if (b == INT64_MIN || __builtin_add_overflow(supply, -b, &supply)) {
            return invalid_input("total supply overflow");
        }
    }
    return reduced;
}

McfResult<ClassicSolution> simplex_on(const McfProblem& problem, LowerBoundReduction& reduced,
                                      const SolveContext& ctx) {
    auto simplex = network_simplex(problem.node_count(), problem.tails(), problem.heads(),
                                   reduced.residual_cap, problem.cost(), reduced.balance, ctx);
    if (!simplex) return std::unexpected(simplex.error());
    // The inputs are not needed any more; release them before the result grows.
    reduced.residual_cap = {};
    reduced.balance = {};
    auto solution = finish(problem, std::move(simplex->flow));
    if (!solution) return solution;
    solution->potentials = std::move(simplex->potentials);
    return solution;
}

}  // namespace

McfResult<ClassicSolution> solve_classic(const McfProblem& problem, const SolveContext& ctx) {
    if (problem.edge_count() <= CLASSIC_SEARCH_MAX_EDGES) {
        return solve_classic_by_paths(problem, ctx);
    }
    return solve_classic_by_cost_scaling(problem, ctx);
}

McfResult<ClassicSolution> solve_classic_by_paths(const McfProblem& problem,
                                                  const SolveContext& ctx) {
    const std::size_t n = problem.node_count();
    const std::size_t m = problem.edge_count();
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto cost = problem.cost();

    auto reduced = reduce_lower_bounds(problem);
    if (!reduced) return std::unexpected(reduced.error());
    auto& [residual_cap, balance] = *reduced;

    const std::size_t source = n;
    const std::size_t sink = n + 1;
    MinCostFlow mcf(n + 2);
    std::vector<std::pair<std::size_t, std::size_t>> refs(m);
    for (std::size_t i = 0; i < m; ++i) {
        refs[i] = mcf.add_edge(tails[i], heads[i], residual_cap[i], cost[i]);
    }

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

    std::vector<std::int64_t> flow(m);
    for (std::size_t i = 0; i < m; ++i) {
        flow[i] = residual_cap[i] - mcf.graph[refs[i].first][refs[i].second].cap;
    }
    return finish(problem, std::move(flow));
}

McfResult<ClassicSolution> solve_classic_by_simplex(const McfProblem& problem,
                                                    const SolveContext& ctx) {
    auto reduced = reduce_lower_bounds_in_range(problem);
    if (!reduced) return std::unexpected(reduced.error());
    return simplex_on(problem, *reduced, ctx);
}

McfResult<ClassicSolution> solve_classic_by_cost_scaling(const McfProblem& problem,
                                                         const SolveContext& ctx) {
    auto reduced = reduce_lower_bounds_in_range(problem);
    if (!reduced) return std::unexpected(reduced.error());
    auto scaled = cost_scaling(problem.node_count(), problem.tails(), problem.heads(),
                               reduced->residual_cap, problem.cost(), reduced->balance, ctx);
    if (!scaled) return std::unexpected(scaled.error());
    // Out of the push-relabel engine's 64-bit range: the simplex answers.
    if (!scaled->has_value()) return simplex_on(problem, *reduced, ctx);
    reduced->residual_cap = {};
    reduced->balance = {};
    auto solution = finish(problem, std::move((*scaled)->flow));
    if (!solution) return solution;
    solution->potentials = std::move((*scaled)->potentials);
    return solution;
}

}  // namespace zelk
