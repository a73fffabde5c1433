#include "graph/classic_solver.hpp"

#include "checked_math.hpp"
#include "graph/cost_scaling.hpp"
#include "graph/lower_bounds.hpp"
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

McfResult<LowerBoundReduction> reduce_lower_bounds(const McfProblem& problem) {
    return reduce_lower_bounds(problem.tails(), problem.heads(), problem.lower(), problem.upper(),
                               problem.demands(), BalanceOverflow::ReportAfterScan);
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
    auto reduced = reduce_lower_bounds(problem);
    if (!reduced) return std::unexpected(reduced.error());
    auto& [residual_cap, balance] = *reduced;

    // A supply of 2^63 or more, at one node or in total, is out of range.
    auto flow = route_by_paths(problem.node_count(), problem.tails(), problem.heads(), residual_cap,
                               problem.cost(), std::move(balance),
                               {"node balance overflow", "total supply overflow"}, ctx);
    if (!flow) return std::unexpected(flow.error());
    return finish(problem, std::move(*flow));
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
