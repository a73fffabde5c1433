#include "mcf_finalize.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rounding/residual_graph.hpp"
#include "rounding/rounding.hpp"

namespace zelk {

namespace {

constexpr double IMBALANCE_TOLERANCE = 1e-9;

McfResult<McfSolution> classic_fallback(const McfProblem& problem,
                                        std::optional<IpmSummary> summary,
                                        const SolveContext& ctx) {
    auto solution = solve_classic_with_mode(problem, SolverMode::ClassicFallback, ctx);
    if (!solution) return solution;
    solution->ipm_summary = std::move(summary);
    return solution;
}

}  // namespace

double convergence_threshold(const McfProblem& problem, const McfOptions& options) {
    if (options.gap_tolerance) return *options.gap_tolerance;
    double scale = 1.0;
    for (std::int64_t u : problem.upper()) scale = std::max(scale, std::abs(static_cast<double>(u)));
    const double m = static_cast<double>(std::max<std::size_t>(problem.edge_count(), 1));
    return std::pow(std::max(scale * m, 1.0), -options.gap_exponent);
}

McfResult<McfSolution> finalize_ipm_solution(const McfProblem& problem, IpmResult result,
                                             std::optional<IpmSummary> summary,
                                             const McfOptions& options, const SolveContext& ctx) {
    // 1-2. Only a converged run within the threshold is rounded.
    if (result.termination != IpmTermination::Converged ||
        result.stats.final_gap > convergence_threshold(problem, options)) {
        return classic_fallback(problem, std::move(summary), ctx);
    }

    // 3-4. Clean the fractional flow of negative cycles.
    auto residual = build_residual_graph_from_problem(problem, result.flow);
    if (!residual) return std::unexpected(residual.error());
    const std::size_t cancelled = cancel_negative_cycles(*residual);

    // 5. Round.
    auto rounded = round_to_integer_flow(residual->flow, problem, *residual, ctx);
    if (!rounded) {
        if (rounded.error().is_infeasible()) return classic_fallback(problem, std::move(summary), ctx);
        return std::unexpected(rounded.error());
    }

    // 6. Record and verify.
    if (summary) {
        summary->rounding_performed = true;
        summary->rounding_success = true;
        summary->cycles_canceled = cancelled;
        summary->rounding_adjustment_cost = rounded->adjustment_cost;
        const bool fits = rounded->cost >= std::numeric_limits<std::int64_t>::min() &&
                          rounded->cost <= std::numeric_limits<std::int64_t>::max();
        summary->final_integer_cost =
            fits ? std::optional<std::int64_t>(static_cast<std::int64_t>(rounded->cost))
                 : std::nullopt;
        const std::vector<double> integral(rounded->flow.begin(), rounded->flow.end());
        auto check = build_residual_graph_from_problem(problem, integral);
        if (!check) return std::unexpected(check.error());
        double imbalance = 0.0;
        for (double x : check->excess) imbalance += std::abs(x);
        if (!(imbalance > IMBALANCE_TOLERANCE)) imbalance = 0.0;
        const std::optional<double> cycle_cost = negative_cycle_cost(*check);
        summary->post_rounding_gap = cycle_cost ? *cycle_cost : imbalance;
        summary->is_exact_optimal = imbalance == 0.0 && !has_negative_cycle(*check);
        // An exact solver never returns a flow it has shown to be suboptimal.
        if (!summary->is_exact_optimal) return classic_fallback(problem, std::move(summary), ctx);
    }

    // 7.
    McfSolution solution;
    solution.cost = rounded->cost;
    solution.ipm_summary = std::move(summary);
    solution.flow = std::move(rounded->flow);
    solution.solver_mode = SolverMode::Ipm;
    return solution;
}

}  // namespace zelk
