#include "ipm/ipm_entry.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "checked_math.hpp"
#include "ipm/ipm_loop.hpp"
#include "ipm/start_point.hpp"

namespace zelk {

namespace {

constexpr std::size_t MAX_PROBES = 64;

double flow_cost(std::span<const double> flow, std::span<const std::int64_t> cost) {
    double total = 0.0;
    const std::size_t count = std::min(flow.size(), cost.size());
    for (std::size_t e = 0; e < count; ++e) total += flow[e] * static_cast<double>(cost[e]);
    return total;
}

}  // namespace

McfOptions scaled_run_options(const McfProblem& problem, const McfOptions& options,
                              ScalingContext context) {
    McfOptions copy = options;
    if (context == ScalingContext::None) return copy;
    copy.tolerance = std::max(10.0 * copy.tolerance, 1e-8);
    double magnitude = 1.0;
    for (std::int64_t u : problem.upper())
        magnitude = std::max(magnitude, std::abs(static_cast<double>(u)));
    for (std::int64_t c : problem.cost())
        magnitude = std::max(magnitude, std::abs(static_cast<double>(c)));
    const double digits = std::max(std::ceil(std::log10(magnitude)), 1.0);
    copy.numerical_clamp_log = std::max(copy.numerical_clamp_log - 10.0 * digits, 100.0);
    return copy;
}

McfResult<IpmResult> run_ipm_with_context(const McfProblem& problem, const McfOptions& options,
                                          ScalingContext context, const SolveContext& ctx) {
    const McfOptions copy = scaled_run_options(problem, options, context);
    const auto cost = problem.cost();
    const auto lower = problem.lower();
    const auto upper = problem.upper();

    // Upper end: the cost of a zero-cost feasible flow.
    auto x0 = initialize_feasible_flow(problem, ctx);
    if (!x0) return std::unexpected(x0.error());
    const Int128 c0 = saturating_int128(std::ceil(flow_cost(*x0, cost)));

    // Lower end: every edge at the bound its cost sign prefers.
    Int128 lb = 0;
    const std::size_t count = std::min({lower.size(), upper.size(), cost.size()});
    for (std::size_t e = 0; e < count; ++e) {
        const std::int64_t bound = cost[e] >= 0 ? lower[e] : upper[e];
        lb = saturating_add(lb, static_cast<Int128>(cost[e]) * bound);
    }

    // Every probe starts from the same point: the start depends on the
    // problem and options only, never on F. Without an initial flow or a
    // cost perturbation it is the zero-cost flow pushed inside, which is x0.
    const bool zero_cost_start = !copy.initial_flow.has_value() && !(copy.cost_perturbation > 0.0);
    auto start = zero_cost_start ? McfResult<std::vector<double>>(*x0)
                                 : choose_start_flow(problem, copy, ctx);
    if (!start) return std::unexpected(start.error());

    double lo = static_cast<double>(std::min(lb, c0));
    double hi = static_cast<double>(std::max(lb, c0));
    const double bracket_tolerance = std::max(copy.tolerance, 1e-8);
    std::optional<IpmResult> best;
    IpmPowerMemo powers;  // every probe starts from `start`: its powers carry over
    for (std::size_t probe = 0; probe < MAX_PROBES && hi - lo > bracket_tolerance; ++probe) {
        const double mid = (lo + hi) * 0.5;
        auto run = run_ipm_with_lower_bound(problem, copy, mid, ctx, &*start, &powers);
        if (!run) return std::unexpected(run.error());
        // A run cut by the effort budget ends the search: it is the answer.
        if (ctx.effort_exhausted()) return std::move(*run);
        const double cx = flow_cost(run->flow, cost);
        const bool accepted = run->termination == IpmTermination::Converged &&
                              (cx <= copy.tolerance + mid || run->stats.final_gap < copy.tolerance);
        if (accepted) {
            best = std::move(*run);
            hi = mid;
        } else {
            lo = mid;
        }
    }
    if (best) return std::move(*best);
    return run_ipm_with_lower_bound(problem, copy, hi, ctx, &*start, &powers);
}

McfResult<IpmResult> run_ipm(const McfProblem& problem, const McfOptions& options,
                             const SolveContext& ctx) {
    return run_ipm_with_context(problem, options, ScalingContext::None, ctx);
}

}  // namespace zelk
