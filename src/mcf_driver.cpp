#include "mcf_driver.hpp"

#include <algorithm>
#include <cmath>

#include "ipm/ipm_entry.hpp"
#include "ipm_summary.hpp"
#include "mcf_finalize.hpp"
#include "scaling/scaling_bounds.hpp"
#include "scaling/scaling_driver.hpp"
#include "worker_pool.hpp"

namespace zelk {

namespace {

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
    const auto t = static_cast<std::uint64_t>(cube_bound(m));
    const double log_limit =
        10.0 * std::max(std::log2(static_cast<double>(std::max<std::size_t>(m, 1))), 1.0);
    const std::uint64_t max_upper = max_magnitude(problem.upper());
    const std::uint64_t max_cost = max_magnitude(problem.cost());
    return max_cost > t || max_upper > t ||
           std::log2(static_cast<double>(std::max<std::uint64_t>(max_upper, 1))) > log_limit ||
           std::log2(static_cast<double>(std::max<std::uint64_t>(max_cost, 1))) > log_limit;
}

bool automatic_route(const McfOptions& options) {
    return !options.use_ipm && !options.use_scaling && !options.force_cost_scaling;
}

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx) {
    McfOptions copy = options;
    if (copy.deterministic) copy.threads = 1;
    initialize_thread_pool(copy.threads, copy.deterministic);
    if (copy.force_cost_scaling) return solve_mcf_with_scaling(problem, copy, ctx);
    if (!ipm_eligible(problem, copy))
        return solve_classic_with_mode(problem, SolverMode::Classic, ctx);
    if (!automatic_route(copy)) {
        const bool scaling = copy.use_scaling ? *copy.use_scaling : scaling_recommended(problem);
        if (scaling) return solve_mcf_with_scaling(problem, copy, ctx);
        return interior_point_route(problem, copy, ctx);
    }

    if (problem.edge_count() > AUTO_IPM_MAX_EDGES) {
        return solve_classic_with_mode(problem, SolverMode::Classic, ctx);
    }
    EffortBudget budget(AUTO_IPM_EFFORT_BUDGET);
    const SolveContext budgeted = ctx.with_budget(budget);
    auto solution = scaling_recommended(problem) ? solve_mcf_with_scaling(problem, copy, budgeted)
                                                 : interior_point_route(problem, copy, budgeted);
    if (!solution && solution.error().is_invalid_input()) {
        // The interior-point stage failed on its own numbers; an input the
        // classic solver cannot take either is reported by it.
        return solve_classic_with_mode(problem, SolverMode::ClassicFallback, ctx);
    }
    return solution;
}

}  // namespace zelk
