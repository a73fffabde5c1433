#include "mcf_driver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ipm/ipm_entry.hpp"
#include "ipm_summary.hpp"
#include "mcf_finalize.hpp"
#include "worker_pool.hpp"

namespace zelk {

namespace {

std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

McfResult<McfSolution> interior_point_route(const McfProblem& problem, const McfOptions& options,
                                            const SolveContext& ctx) {
    auto run = run_ipm_with_context(problem, options, ScalingContext::None, ctx);
    if (!run) {
        if (!run.error().is_infeasible()) return std::unexpected(run.error());
        auto classic = solve_classic_with_mode(problem, SolverMode::ClassicFallback, ctx);
        if (!classic && classic.error().is_interrupted()) return classic;
        if (!classic) return std::unexpected(McfError::infeasible());
        return classic;
    }
    IpmSummary summary = IpmSummary::from_ipm(*run, run->termination, options);
    return finalize_ipm_solution(problem, std::move(*run), std::move(summary), options, ctx);
}

}  // namespace

bool ipm_eligible(const McfProblem& problem, const McfOptions& options) {
    if (options.max_iters == 0) return false;
    if (options.use_ipm) return *options.use_ipm;
    return problem.edge_count() >= IPM_MIN_EDGES && problem.node_count() >= IPM_MIN_NODES;
}

bool scaling_recommended(const McfProblem& problem) {
    const std::size_t m = problem.edge_count();
    const auto x = static_cast<std::int64_t>(std::max<std::size_t>(m, 1));
    std::int64_t cube;
    if (__builtin_mul_overflow(x, x, &cube) || __builtin_mul_overflow(cube, x, &cube)) {
        cube = std::numeric_limits<std::int64_t>::max();
    }
    cube = std::max<std::int64_t>(cube, 1);
    const double log_limit = 10.0 * std::max(std::log2(static_cast<double>(x)), 1.0);
    std::uint64_t max_upper = 0, max_cost = 0;
    for (std::int64_t u : problem.upper()) max_upper = std::max(max_upper, magnitude(u));
    for (std::int64_t c : problem.cost()) max_cost = std::max(max_cost, magnitude(c));
    const auto t = static_cast<std::uint64_t>(cube);
    return max_cost > t || max_upper > t ||
           std::log2(static_cast<double>(std::max<std::uint64_t>(max_upper, 1))) > log_limit ||
           std::log2(static_cast<double>(std::max<std::uint64_t>(max_cost, 1))) > log_limit;
}

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx) {
    McfOptions copy = options;
    if (copy.deterministic) copy.threads = 1;
    initialize_thread_pool(copy.threads, copy.deterministic);
    // A forced cost-scaling request and the scaling decisions below take the
    // interior-point route until the scaling route exists.
    if (!ipm_eligible(problem, copy) && !copy.force_cost_scaling) {
        return solve_classic_with_mode(problem, SolverMode::Classic, ctx);
    }
    return interior_point_route(problem, copy, ctx);
}

}  // namespace zelk
