#include "mcf_finalize.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "certificate/optimality_certificate.hpp"
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

// What exact integer arithmetic says of an integral flow: the sum of the
// absolute node imbalances and, if the residual graph has one, the cost of a
// negative cycle. Doubles cannot tell costs apart near 2^60, so the verdict
// on "exact optimal" is taken here.
struct ExactCheck {
    Int128 imbalance = 0;
    std::optional<Int128> cycle_cost;
    bool optimal() const { return imbalance == 0 && !cycle_cost; }
};

McfResult<ExactCheck> check_integral_flow(const McfProblem& problem,
                                          const std::vector<std::int64_t>& flow,
                                          const SolveContext& ctx) {
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto cost = problem.cost();
    const auto demands = problem.demands();
    std::vector<Int128> excess(demands.begin(), demands.end());
    for (std::size_t i = 0; i < flow.size(); ++i) {
        excess[heads[i]] -= flow[i];
        excess[tails[i]] += flow[i];
    }
    ExactCheck check;
    for (const Int128 e : excess) check.imbalance += e < 0 ? -e : e;
    auto certificate = optimality_certificate(problem, flow, ctx);
    if (!certificate) return std::unexpected(certificate.error());
    if (!certificate->optimal()) {
        Int128 total = 0;
        for (const McfCycleArc& arc : certificate->negative_cycle) {
            total += arc.direction * Int128{cost[arc.edge]};
        }
        check.cycle_cost = total;
    }
    return check;
}

}  // namespace

double convergence_threshold(const McfProblem& problem, const McfOptions& options) {
    if (options.gap_tolerance) return *options.gap_tolerance;
    double scale = 1.0;
    for (std::int64_t u : problem.upper())
        scale = std::max(scale, std::abs(static_cast<double>(u)));
    const double m = static_cast<double>(std::max<std::size_t>(problem.edge_count(), 1));
    return std::pow(std::max(scale * m, 1.0), -options.gap_exponent);
}

McfResult<McfSolution> finalize_ipm_solution(const McfProblem& problem, IpmResult result,
                                             std::optional<IpmSummary> summary,
                                             const McfOptions& options, const SolveContext& ctx) {
    // Only a converged run within the threshold is rounded.
    if (result.termination != IpmTermination::Converged ||
        result.stats.final_gap > convergence_threshold(problem, options)) {
        return classic_fallback(problem, std::move(summary), ctx);
    }

    // Clean the fractional flow of negative cycles.
    auto residual = build_residual_graph_from_problem(problem, result.flow);
    if (!residual) return std::unexpected(residual.error());
    const std::size_t cancelled = cancel_negative_cycles(*residual);

    // Round; infeasible rounding is the classic solver's to decide.
    auto rounded = round_to_integer_flow(residual->flow, problem, *residual, ctx);
    if (!rounded) {
        if (rounded.error().is_infeasible())
            return classic_fallback(problem, std::move(summary), ctx);
        return std::unexpected(rounded.error());
    }

    // Record and verify.
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
        auto checked = check_integral_flow(problem, rounded->flow, ctx);
        if (!checked) return std::unexpected(checked.error());
        const ExactCheck& exact = *checked;
        summary->is_exact_optimal = exact.optimal();
        // The reported gap keeps the floating-point figure unless exact
        // arithmetic contradicts it.
        double gap = cycle_cost ? *cycle_cost : imbalance;
        if (exact.optimal()) {
            gap = 0.0;
        } else if (gap == 0.0) {
            gap = static_cast<double>(exact.cycle_cost ? *exact.cycle_cost : exact.imbalance);
        }
        summary->post_rounding_gap = gap;
        // An exact solver never returns a flow it has shown to be suboptimal.
        if (!summary->is_exact_optimal) return classic_fallback(problem, std::move(summary), ctx);
    }

    McfSolution solution;
    solution.cost = rounded->cost;
    solution.ipm_summary = std::move(summary);
    solution.flow = std::move(rounded->flow);
    solution.solver_mode = SolverMode::Ipm;
    return solution;
}

}  // namespace zelk
