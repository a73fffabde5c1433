#include "ipm/termination.hpp"

#include <cmath>
#include <limits>

#include "ipm/line_search.hpp"
#include "numerics/format.hpp"

namespace zelk {

double estimate_duality_gap_with_config(std::span<const double> flow, std::span<const double> cost,
                                        const Residuals& residuals, std::uint64_t m,
                                        const NumericsConfig& numerics, double alpha,
                                        double reference, SlackMemo<double>* memo) {
    constexpr double fail = std::numeric_limits<double>::infinity();
    const std::size_t n = flow.size();
    if (cost.size() != n) return fail;
    double dot = -0.0;
    for (std::size_t e = 0; e < n; ++e) dot += flow[e] * cost[e];
    if (!std::isfinite(dot)) return fail;
    if (residuals.upper_slack.size() != n || residuals.lower_slack.size() != n) return fail;

    double barrier = 0.0;
    for (std::size_t e = 0; e < n; ++e) {
        const double su = residuals.upper_slack[e];
        const double sl = residuals.lower_slack[e];
        const double* known = memo != nullptr ? memo->find(e, su, sl) : nullptr;
        const double pair = known != nullptr
                                ? *known
                                : clamped_barrier_term(numerics, nullptr, su, alpha) +
                                      clamped_barrier_term(numerics, nullptr, sl, alpha);
        if (memo != nullptr && known == nullptr) memo->store(e, su, sl, pair);
        if (!std::isfinite(pair)) return fail;
        barrier += pair;
    }
    const double scale = max_num(max_num(std::abs(dot), 1.0), max_num(reference, 1.0));
    const double md = static_cast<double>(m);
    const double exponent = std::log(scale) * md + std::abs(alpha) * barrier;
    if (!std::isfinite(exponent)) return fail;
    const double estimate = scale * std::exp(-exponent / max_num(20.0 * max_num(md, 1.0), 1.0));
    if (!std::isfinite(estimate)) return fail;
    return max_num(estimate, 0.0);
}

double gap_threshold(const McfOptions& options, std::span<const double> upper,
                     std::size_t edge_count) {
    if (options.gap_tolerance.has_value()) return *options.gap_tolerance;
    double u_max = 1.0;
    for (const double u : upper) u_max = max_num(u_max, std::abs(u));
    const double m = static_cast<double>(std::max<std::size_t>(edge_count, 1));
    return std::pow(max_num(u_max * m, 1.0), -options.gap_exponent);
}

TerminationConstants termination_constants(const Potential& potential, const McfOptions& options,
                                           std::span<const double> upper, std::size_t edge_count) {
    const double m = potential.edge_count;
    const double log_scale = std::log(potential.problem_scale);
    TerminationConstants c;
    c.potential_floor = -200.0 * m * max_num(log_scale, 1.0);
    c.step_floor = 1.0 / max_num(std::log(m), 2.0);
    c.decrease_scale = decrease_scale(m, potential.problem_scale);
    c.gap_threshold = gap_threshold(options, upper, edge_count);
    return c;
}

bool time_limit_reached(double elapsed_ms, std::optional<std::uint64_t> time_limit_ms) {
    return time_limit_ms.has_value() && elapsed_ms >= static_cast<double>(*time_limit_ms);
}

double gap_for_check(double estimate, std::optional<double> previous_ratio) {
    if (!previous_ratio.has_value()) return estimate;
    return max_num(estimate, max_num(-*previous_ratio, 0.0));
}

bool gap_converged(double gap, double threshold) { return gap <= threshold; }

std::string gap_check_line(double gap, double threshold) {
    return "gap termination check: gap=" + format_sci(gap) + ", threshold=" + format_sci(threshold);
}

void report_gap_check(double gap, double threshold, const SolveContext& ctx) {
    ctx.diagnostic(gap_check_line(gap, threshold));
}

bool potential_converged(double value, double duality_gap_proxy, double potential_floor,
                         double tolerance) {
    return value <= potential_floor || duality_gap_proxy < tolerance;
}

bool ratio_converged(double ratio, double tolerance) { return ratio >= -tolerance; }

double cycle_improvement(double ratio) { return max_num(-ratio, 0.0); }

bool improvement_too_small(double improvement, double step_floor) {
    return improvement < step_floor;
}

IpmStop stop_at(IpmTermination reason, std::size_t k, std::size_t max_iters) {
    if (last_iteration(k, max_iters)) return {IpmTermination::IterationLimit, true};
    return {reason, false};
}

bool last_iteration(std::size_t k, std::size_t max_iters) {
    return k >= max_iters || max_iters - k <= 1;
}

}  // namespace zelk
