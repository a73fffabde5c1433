#include "ipm/ipm_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipm/line_search.hpp"
#include "ipm/start_point.hpp"
#include "ipm/termination.hpp"
#include "min_ratio/dynamic_oracle.hpp"
#include "min_ratio/min_ratio_oracle.hpp"
#include "numerics/format.hpp"
#include "numerics/potential.hpp"

namespace zelk {

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Stall monitor: this many iterations in a row whose potential fell by less
// than the square of the previous cycle's improvement raise a warning.
constexpr unsigned STALL_LIMIT = 10;

// Entries (e, value) of `next` that moved by more than `tolerance` from
// `prev`, over the first `count` edges, in edge order.
void collect_changes(std::span<const double> prev, std::span<const double> next, std::size_t count,
                     double tolerance, std::vector<EdgeValue>& out) {
    out.clear();
    for (std::size_t e = 0; e < count; ++e) {
        if (std::abs(next[e] - prev[e]) > tolerance) out.emplace_back(e, next[e]);
    }
}

}  // namespace

McfResult<IpmResult> run_ipm_with_lower_bound(const McfProblem& problem, const McfOptions& options,
                                              double lower_bound, const SolveContext& ctx,
                                              const std::vector<double>* start,
                                              IpmPowerMemo* memo) {
    const std::size_t m_edges = problem.edge_count();
    const std::size_t n = problem.node_count();

    // Setup 1: the start.
    std::vector<double> flow;
    if (start != nullptr) {
        flow = *start;
    } else {
        auto chosen = choose_start_flow(problem, options, ctx);
        if (!chosen) return std::unexpected(chosen.error());
        flow = std::move(*chosen);
    }

    // Setup 2: double arrays and the potential.
    const std::vector<double> lower(problem.lower().begin(), problem.lower().end());
    const std::vector<double> upper(problem.upper().begin(), problem.upper().end());
    const std::vector<double> cost(problem.cost().begin(), problem.cost().end());
    auto created = Potential::create(numerics_config(options), options.alpha, upper, lower_bound);
    if (!created) return std::unexpected(created.error());
    const Potential potential = *created;

    // Per-run constants.
    const double m_prime = static_cast<double>(std::max<std::size_t>(m_edges, 1));
    double reference = 1.0;  // U = max(1, max |upper|)
    for (double u : upper) reference = std::max(reference, std::abs(u));
    const TerminationConstants tc = termination_constants(potential, options, upper, m_edges);
    const std::size_t rebuild_period =
        options.strategy == RebuildStrategy::PeriodicRebuild ? options.rebuild_every : 25;
    const double change_tolerance = std::max(options.tolerance, 1e-12);
    const auto loss_limit = static_cast<std::uint64_t>(std::ceil(std::pow(m_prime, 0.1)));

    // Setup 3: oracles.
    const OracleMode mode = options.oracle_mode;
    std::optional<MinRatioOracle> static_oracle;
    std::unique_ptr<DynamicOracle> dynamic_oracle;
    if (mode != OracleMode::Fallback) {
        const std::uint64_t seed =
            options.deterministic ? options.deterministic_seed.value_or(0) : options.seed;
        const double approx = std::max(options.approx_factor, std::pow(m_prime, -0.01));
        dynamic_oracle = make_full_dynamic_oracle(seed, 3, 1, 10, options.deterministic, approx);
    }
    if (mode != OracleMode::Dynamic) {
        static_oracle.emplace();
        static_oracle->fixed_seed = options.deterministic_seed;
        static_oracle->seed = options.seed;
        static_oracle->rebuild_every = rebuild_period;
        static_oracle->deterministic = options.deterministic;
    }
    bool use_static = mode == OracleMode::Fallback;

    // Result and statistics.
    const auto started = Clock::now();
    IpmResult result;
    IpmStats& stats = result.stats;
    stats.oracle_mode = mode;
    result.termination = IpmTermination::IterationLimit;  // also the max_iters = 0 outcome

    const auto tails = problem.tails();
    const auto heads = problem.heads();
    std::optional<double> previous_ratio;
    unsigned stall = 0;
    std::vector<double> direction(flow.size());
    std::vector<EdgeValue> flow_changes, gradient_changes, length_changes;
    // The upkeep's evaluation at the flow the next iteration starts from; the
    // evaluation is a pure function of the flow, so it is reused, not redone.
    std::optional<GradientAndLengths> carried;
    // Per-edge powers keyed by the edge's slacks: a step changes only the
    // cycle's edges, so the rest are reused at the next flow.
    IpmPowerMemo own_memo;
    IpmPowerMemo& powers = memo != nullptr ? *memo : own_memo;
    auto same_constants = [](const Potential& a, const Potential& b) {
        const NumericsConfig &x = a.numerics, &y = b.numerics;
        return a.alpha == b.alpha && a.barrier_exponent == b.barrier_exponent &&
               x.numerical_clamp_log == y.numerical_clamp_log &&
               x.gradient_floor == y.gradient_floor && x.residual_min == y.residual_min &&
               x.barrier_clamp_max == y.barrier_clamp_max &&
               x.gradient_clamp_max == y.gradient_clamp_max &&
               x.barrier_alpha_min == y.barrier_alpha_min &&
               x.barrier_alpha_max == y.barrier_alpha_max;
    };
    if (!powers.made_for || !same_constants(*powers.made_for, potential)) {
        powers.gradient = {};
        powers.estimate = {};
        powers.barrier = {};
        powers.made_for = potential;
    }
    SlackMemo<BarrierGradientTerm>& gradient_memo = powers.gradient;
    SlackMemo<double>& estimate_memo = powers.estimate;
    gradient_memo.reserve(m_edges);
    estimate_memo.reserve(m_edges);
    powers.barrier.reserve(m_edges);
    // Barrier terms at the current flow when the line search already
    // evaluated them there (its accepted trial), else computed afresh.
    std::vector<double> barrier_terms;
    bool barrier_at_flow = false;
    auto value_and_gap = [&](const Residuals& residuals) {
        if (barrier_at_flow) return potential.value_and_gap_from_terms(cost, flow, barrier_terms);
        barrier_at_flow = true;
        return potential.value_and_gap(cost, flow, residuals, barrier_terms, &powers.barrier);
    };
    auto evaluate_at_flow = [&](bool timed) {
        if (carried) {
            GradientAndLengths reused = std::move(*carried);
            carried.reset();
            return reused;
        }
        const auto t = Clock::now();
        GradientAndLengths fresh =
            compute_gradient_and_lengths(potential, cost, flow, lower, upper, &gradient_memo);
        if (timed) stats.barrier_compute_ms.push_back(elapsed_ms(t));
        return fresh;
    };

    // Records a stop inside iteration k.
    auto stop = [&](IpmTermination reason, std::size_t k) {
        const IpmStop s = stop_at(reason, k, options.max_iters);
        result.termination = s.termination;
        stats.terminated_by_max_iters = s.by_max_iters;
        stats.iterations = k;
    };
    // A failed update: in Hybrid mode warn and switch to the static oracle.
    auto update_failed = [&](const OracleError& error) {
        if (mode != OracleMode::Hybrid) return;
        ctx.diagnostic("warning: dynamic oracle requested rebuild (" + error.display() + ")");
        use_static = true;
    };

    for (std::size_t k = 0; k < options.max_iters; ++k) {
        if (ctx.cancelled()) return std::unexpected(McfError::interrupted());
        // The time limit, and the caller's effort budget (one unit per edge per
        // iteration), which ends a run the same way.
        if (time_limit_reached(elapsed_ms(started), options.time_limit_ms) ||
            !ctx.charge_effort(m_edges)) {
            result.termination = IpmTermination::TimeLimit;
            stats.iterations = k;
            break;
        }

        // Gradient and lengths.
        GradientAndLengths gl = evaluate_at_flow(true);
        stats.numerical_stats.push_back(gl.stats);
        if (options.log_numerical_clamping && gl.stats.total_clamps() != 0) {
            ctx.diagnostic("warning: numerical clamping occurred (total_clamps=" +
                           std::to_string(gl.stats.total_clamps()) + ") at iter " +
                           std::to_string(k));
        }

        // Potential value and duality-gap proxy.
        const auto [value, gap_at_flow] = value_and_gap(gl.residuals);
        stats.potential_values.push_back(value);
        stats.final_gap = gap_at_flow;

        // Gap test.
        const double estimate = estimate_duality_gap_with_config(
            flow, cost, gl.residuals, static_cast<std::uint64_t>(m_prime), potential.numerics,
            potential.alpha, reference, &estimate_memo);
        const double gap = gap_for_check(estimate, previous_ratio);
        stats.last_duality_gap_proxy = gap;
        stats.termination_gap_threshold = tc.gap_threshold;
        report_gap_check(gap, tc.gap_threshold, ctx);
        if (gap_converged(gap, tc.gap_threshold)) {
            result.termination = IpmTermination::Converged;
            stats.terminated_by_gap = true;
            stats.final_gap_estimate = gap;
            stats.iterations = k;
            break;
        }

        // Stall monitor.
        if (mode == OracleMode::Hybrid && !use_static && k >= 1) {
            const double reduction = stats.potential_values[k - 1] - value;
            const double r = cycle_improvement(previous_ratio.value_or(0.0));
            stall = reduction < r * r ? stall + 1 : 0;
            if (stall >= STALL_LIMIT) {
                ctx.diagnostic("warning: dynamic oracle stalled (reduction " +
                               format_sci(reduction) + "); monitoring stability");
                stall = 0;
            }
        }

        // Potential floor.
        if (potential_converged(value, stats.final_gap, tc.potential_floor, options.tolerance)) {
            stop(IpmTermination::Converged, k);
            break;
        }

        // Oracle query.
        auto t0 = Clock::now();
        TreeResult<std::optional<CycleCandidate>> queried = std::optional<CycleCandidate>{};
        if (use_static) {
            if (static_oracle) {
                const OracleQuery query{tails, heads, gl.gradient, gl.lengths, k, n};
                queried = static_oracle->best_cycle_with_rebuild(query, false);
            }
        } else if (dynamic_oracle) {
            queried = dynamic_oracle->best_cycle(k, n, tails, heads, gl.gradient, gl.lengths);
            const auto instability = dynamic_oracle->branching_instability_count();
            if (mode == OracleMode::Hybrid && instability && *instability > loss_limit) {
                ctx.diagnostic("warning: dynamic oracle exceeded loss threshold (" +
                               std::to_string(*instability) + "); falling back to SSP");
                use_static = true;
            }
        }
        stats.cycle_scoring_ms.push_back(elapsed_ms(t0));
        if (!queried) return invalid_input(std::string(to_string(queried.error())));

        // No cycle, or one that promises nothing.
        if (!queried->has_value()) {
            stop(IpmTermination::NoImprovingCycle, k);
            break;
        }
        const CycleCandidate& candidate = **queried;
        if (ratio_converged(candidate.ratio, options.tolerance)) {
            stop(IpmTermination::Converged, k);
            break;
        }

        // Normalised direction.
        std::ranges::fill(direction, 0.0);
        for (const auto& [edge, sign] : candidate.cycle) {
            if (edge >= direction.size()) return invalid_input("oracle cycle edge out of range");
            direction[edge] += sign;
        }
        double q = 0.0;
        const std::size_t measured = std::min(flow.size(), gl.lengths.size());
        for (std::size_t e = 0; e < measured; ++e) q += direction[e] * direction[e] * gl.lengths[e];
        if (q > 0.0 && !flow.empty()) {
            const double norm = std::sqrt(q);
            for (double& d : direction) d /= norm;
        }

        // Too small an improvement.
        if (improvement_too_small(cycle_improvement(candidate.ratio), tc.step_floor)) {
            stop(IpmTermination::Converged, k);
            break;
        }

        // Line search; no acceptable step ends the run.
        const LineSearchInput input{
            flow,         direction,
            cost,         lower,
            upper,        potential,
            gl.gradient,  gl.lengths,
            value,        required_decrease(value, candidate.ratio, tc.decrease_scale),
            barrier_terms};
        std::optional<LineSearchStep> step = line_search(input);
        if (!step) {
            stop(IpmTermination::NoImprovingCycle, k);
            break;
        }
        flow = std::move(step->flow);
        barrier_terms = std::move(step->barrier);
        barrier_at_flow = barrier_terms.size() == flow.size();

        // Dynamic upkeep.
        if (dynamic_oracle) {
            flow_changes.clear();
            for (std::size_t e = 0; e < direction.size(); ++e) {
                const double change = step->step * direction[e];
                if (std::abs(change) > change_tolerance) flow_changes.emplace_back(e, change);
            }
            if (!flow_changes.empty()) {
                if (auto s = dynamic_oracle->notify_flow_change(flow_changes); !s) {
                    update_failed(s.error());
                }
            }
            t0 = Clock::now();
            GradientAndLengths next =
                compute_gradient_and_lengths(potential, cost, flow, lower, upper, &gradient_memo);
            stats.barrier_compute_ms.push_back(elapsed_ms(t0));
            stats.numerical_stats.push_back(next.stats);
            const std::size_t count = std::min(next.gradient.size(), next.lengths.size());
            collect_changes(gl.gradient, next.gradient, std::min(count, gl.gradient.size()),
                            change_tolerance, gradient_changes);
            collect_changes(gl.lengths, next.lengths, std::min(count, gl.lengths.size()),
                            change_tolerance, length_changes);
            if (!gradient_changes.empty() || !length_changes.empty()) {
                t0 = Clock::now();
                const OracleStatus s =
                    dynamic_oracle->update_many(gradient_changes, length_changes);
                stats.spanner_update_ms.push_back(elapsed_ms(t0));
                if (!s) update_failed(s.error());
            }
            carried = std::move(next);
        }

        // Iteration limit.
        previous_ratio = candidate.ratio;
        stats.iterations = k + 1;
        if (last_iteration(k, options.max_iters)) {
            result.termination = IpmTermination::IterationLimit;
            stats.terminated_by_max_iters = true;
            stats.final_gap_estimate = gap;
            break;
        }
    }

    // Finish.
    GradientAndLengths last = evaluate_at_flow(false);
    stats.numerical_stats.push_back(last.stats);
    stats.final_gap = value_and_gap(last.residuals).gap;
    if (!stats.final_gap_estimate) stats.final_gap_estimate = stats.last_duality_gap_proxy;
    result.flow = std::move(flow);
    return result;
}

}  // namespace zelk
