#include "scaling/scaling_driver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "ipm/ipm_entry.hpp"
#include "ipm_summary.hpp"
#include "mcf_finalize.hpp"
#include "numerics/format.hpp"
#include "scaling/capacity_scaling.hpp"
#include "scaling/cost_scaling.hpp"
#include "scaling/scaling_bounds.hpp"
#include "scaling/warm_start.hpp"

namespace zelk {

namespace {

struct CapacityStage {
    McfProblem problem;
    WarmStart initial_flow;
    std::int64_t divisor = 1;
    std::optional<IpmResult> cut_run;  // set when the effort budget ran out
};

McfResult<CapacityStage> capacity_stage(const McfProblem& problem, const McfOptions& options,
                                        const SolveContext& ctx) {
    if (options.disable_capacity_scaling) {
        return CapacityStage{problem, feasible_initial_flow(problem, options.initial_flow), 1};
    }
    auto scaled = capacity_scaling(problem, options, ctx);
    if (!scaled) return std::unexpected(scaled.error());
    return CapacityStage{std::move(scaled->problem), std::move(scaled->initial_flow),
                         scaled->divisor, std::move(scaled->cut_run)};
}

bool cost_scaling_needed(const McfProblem& problem, const McfOptions& options) {
    if (options.force_cost_scaling) return true;
    if (problem.edge_count() == 0) return false;
    return max_magnitude(problem.cost()) >
           static_cast<std::uint64_t>(cube_bound(problem.edge_count()));
}

// Smallest distance of the flow to a bound, +infinity without edges.
double min_residual(const McfProblem& problem, const std::vector<std::int64_t>& flow) {
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    const std::size_t count = std::min({lower.size(), upper.size(), flow.size()});
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < count; ++i) {
        // In 128 bits: a flow outside its bounds must not wrap into a large
        // residual.
        const Int128 above = static_cast<Int128>(upper[i]) - flow[i];
        const Int128 below = static_cast<Int128>(flow[i]) - lower[i];
        smallest = std::min(smallest, static_cast<double>(std::min(above, below)));
    }
    return smallest;
}

McfResult<McfSolution> scaled_route(const McfProblem& problem, const McfOptions& options,
                                    const SolveContext& ctx) {
    auto stage = capacity_stage(problem, options, ctx);
    if (!stage) return std::unexpected(stage.error());
    const McfProblem& working = stage->problem;
    McfOptions stage_options = options;
    stage_options.initial_flow = std::move(stage->initial_flow);

    auto run = stage->cut_run ? McfResult<IpmResult>(std::move(*stage->cut_run))
               : cost_scaling_needed(working, options)
                   ? cost_scaling(working, stage_options, ctx)
                   : run_ipm_with_context(working, stage_options, ScalingContext::CostScaled, ctx);
    if (!run) return std::unexpected(run.error());
    IpmSummary summary = IpmSummary::from_ipm(*run, run->termination, stage_options);
    if (ctx.effort_exhausted()) {
        // The budget cut a run short: the classic solver answers the input,
        // as for any run that did not converge.
        auto classic = solve_classic_with_mode(problem, SolverMode::ClassicFallback, ctx);
        if (classic) classic->ipm_summary = std::move(summary);
        return classic;
    }
    auto solution =
        finalize_ipm_solution(working, std::move(*run), std::move(summary), stage_options, ctx);
    if (!solution) return solution;

    if (auto unscaled = unscale_solution(*solution, stage->divisor); !unscaled) {
        return std::unexpected(unscaled.error());
    }

    const double r = min_residual(problem, solution->flow);
    if (r < options.residual_min) {
        ctx.diagnostic("warning: min residual (" + format_sci(r) + ") below residual_min (" +
                       format_sci(options.residual_min) + ") after unscaling");
    }
    solution->solver_mode = SolverMode::IpmScaled;
    return solution;
}

}  // namespace

McfResult<void> unscale_solution(McfSolution& solution, std::int64_t divisor) {
    if (divisor == 1) return {};
    for (std::int64_t& f : solution.flow) {
        if (__builtin_mul_overflow(f, divisor, &f)) return invalid_input("flow scaling overflow");
    }
    if (__builtin_mul_overflow(solution.cost, static_cast<Int128>(divisor), &solution.cost)) {
        return invalid_input("cost scaling overflow");
    }
    return {};
}

McfResult<McfSolution> solve_mcf_with_scaling(const McfProblem& problem, const McfOptions& options,
                                              const SolveContext& ctx) {
    auto solution = scaled_route(problem, options, ctx);
    if (solution || !solution.error().is_infeasible()) return solution;
    // The interior-point stages report Infeasible also when a feasible
    // instance merely has no strictly interior flow; the classic solver
    // decides, and its own error (Infeasible or another) is the answer.
    return solve_classic_with_mode(problem, SolverMode::ClassicFallback, ctx);
}

}  // namespace zelk
