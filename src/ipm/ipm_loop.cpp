#include "ipm/ipm_loop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index_types.hpp"
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

// Whether powers memoised under `a` are valid under `b`: they depend on these
// constants only.
bool same_constants(const Potential& a, const Potential& b) {
    const NumericsConfig &x = a.numerics, &y = b.numerics;
    return a.alpha == b.alpha && a.barrier_exponent == b.barrier_exponent &&
           x.numerical_clamp_log == y.numerical_clamp_log && x.gradient_floor == y.gradient_floor &&
           x.residual_min == y.residual_min && x.barrier_clamp_max == y.barrier_clamp_max &&
           x.gradient_clamp_max == y.gradient_clamp_max &&
           x.barrier_alpha_min == y.barrier_alpha_min && x.barrier_alpha_max == y.barrier_alpha_max;
}

// One run: its flow, potential, constants, oracles, statistics and the
// buffers every iteration reuses. `run` sets up, iterates and finishes; each
// iteration either continues, stops with a termination code, or fails.
class IpmRun {
public:
    IpmRun(const McfProblem& p, const McfOptions& o, const SolveContext& c, IpmPowerMemo* memo)
        : problem(p),
          options(o),
          ctx(c),
          m_edges(p.edge_count()),
          n(p.node_count()),
          mode(o.oracle_mode),
          tails(p.tails()),
          heads(p.heads()),
          powers(memo != nullptr ? *memo : own_memo) {}
    IpmRun(const IpmRun&) = delete;
    IpmRun& operator=(const IpmRun&) = delete;
    // The dynamic oracle's storage goes to the next run sharing the memo.
    ~IpmRun() {
        if (dynamic_oracle) powers.last_dynamic_oracle = std::move(dynamic_oracle);
        if (carried) powers.spare_evaluations.push_back(std::move(*carried));
    }

    McfResult<IpmResult> run(double lower_bound, const std::vector<double>* start);

private:
    enum class Next { Continue, Stop };

    McfResult<void> choose_start(const std::vector<double>* start);
    McfResult<void> create_potential(double lower_bound);
    void compute_constants();
    void create_oracles();
    void open_result();
    void prepare_powers();

    McfResult<Next> iterate(std::size_t k);
    McfResult<Next> iterate_at(const GradientAndLengths& gl, std::size_t k);
    bool out_of_time_or_effort(std::size_t k);
    GradientAndLengths gradient_and_lengths(std::size_t k);
    Potential::ValueAndGap value_and_gap(const Residuals& residuals);
    GradientAndLengths evaluate_at_flow(bool timed);
    GradientAndLengths spare_evaluation();
    double gap_test(const GradientAndLengths& gl);
    Next stop_by_gap(double gap, std::size_t k);
    void monitor_stall(double value, std::size_t k);
    TreeResult<std::optional<CycleCandidate>> query_oracle(const GradientAndLengths& gl,
                                                           std::size_t k);
    McfResult<void> set_direction(const CycleCandidate& candidate, std::span<const double> lengths);
    std::optional<double> line_search_step(const GradientAndLengths& gl, double value,
                                           double ratio);
    void report_flow_changes(double step);
    void report_gradient_and_length_changes(const GradientAndLengths& gl);
    void update_failed(const OracleError& error);
    void hand_over();
    Next end_iteration(std::size_t k, double ratio, double gap);
    Next stop(IpmTermination reason, std::size_t k);
    IpmResult finish();

    const McfProblem& problem;
    const McfOptions& options;
    const SolveContext& ctx;
    const std::size_t m_edges;
    const std::size_t n;
    const OracleMode mode;
    const std::span<const NodeIndex> tails;
    const std::span<const NodeIndex> heads;

    std::vector<double> flow;
    std::vector<double> lower, upper, cost;
    Potential potential;

    // Per-run constants.
    double m_prime = 1.0;
    double reference = 1.0;  // U = max(1, max |upper|)
    TerminationConstants tc;
    std::size_t rebuild_period = 0;
    double change_tolerance = 0.0;
    std::uint64_t loss_limit = 0;

    MinRatioOracle* static_oracle = nullptr;  // the memo's, restarted or new
    std::unique_ptr<DynamicOracle> dynamic_oracle;
    bool use_static = false;

    Clock::time_point started;
    IpmResult result;
    IpmStats& stats = result.stats;

    std::optional<double> previous_ratio;
    unsigned stall = 0;
    std::vector<double> direction;
    std::vector<EdgeValue> flow_changes, gradient_changes, length_changes;
    // The upkeep's evaluation at the flow the next iteration starts from; the
    // evaluation is a pure function of the flow, so it is reused, not redone.
    std::optional<GradientAndLengths> carried;
    // Per-edge powers keyed by the edge's slacks: a step changes only the
    // cycle's edges, so the rest are reused at the next flow.
    IpmPowerMemo own_memo;
    IpmPowerMemo& powers;
    // Barrier terms at the current flow when the line search already
    // evaluated them there (its accepted trial), else computed afresh.
    std::vector<double> barrier_terms;
    bool barrier_at_flow = false;
};

McfResult<IpmResult> IpmRun::run(double lower_bound, const std::vector<double>* start) {
    if (auto chosen = choose_start(start); !chosen) return std::unexpected(chosen.error());
    if (auto created = create_potential(lower_bound); !created) {
        return std::unexpected(created.error());
    }
    compute_constants();
    create_oracles();
    open_result();
    prepare_powers();
    for (std::size_t k = 0; k < options.max_iters; ++k) {
        const McfResult<Next> next = iterate(k);
        if (!next) return std::unexpected(next.error());
        if (*next == Next::Stop) break;
    }
    return finish();
}

McfResult<void> IpmRun::choose_start(const std::vector<double>* start) {
    if (start != nullptr) {
        flow = *start;
        return {};
    }
    auto chosen = choose_start_flow(problem, options, ctx);
    if (!chosen) return std::unexpected(chosen.error());
    flow = std::move(*chosen);
    return {};
}

// The bounds and costs as doubles, and the potential over them.
McfResult<void> IpmRun::create_potential(double lower_bound) {
    lower.assign(problem.lower().begin(), problem.lower().end());
    upper.assign(problem.upper().begin(), problem.upper().end());
    cost.assign(problem.cost().begin(), problem.cost().end());
    auto created = Potential::create(numerics_config(options), options.alpha, upper, lower_bound);
    if (!created) return std::unexpected(created.error());
    potential = *created;
    return {};
}

void IpmRun::compute_constants() {
    m_prime = static_cast<double>(std::max<std::size_t>(m_edges, 1));
    reference = 1.0;
    for (double u : upper) reference = std::max(reference, std::abs(u));
    tc = termination_constants(potential, options, upper, m_edges);
    rebuild_period =
        options.strategy == RebuildStrategy::PeriodicRebuild ? options.rebuild_every : 25;
    change_tolerance = std::max(options.tolerance, 1e-12);
    loss_limit = static_cast<std::uint64_t>(std::ceil(std::pow(m_prime, 0.1)));
}

// Fallback uses the static oracle only, Dynamic the dynamic one only, Hybrid
// both: the dynamic one until it passes its loss limit or asks for a rebuild,
// then the static one.
void IpmRun::create_oracles() {
    if (mode != OracleMode::Fallback) {
        const std::uint64_t seed =
            options.deterministic ? options.deterministic_seed.value_or(0) : options.seed;
        const double approx = std::max(options.approx_factor, std::pow(m_prime, -0.01));
        dynamic_oracle = make_full_dynamic_oracle(seed, 3, 1, 10, options.deterministic, approx,
                                                  std::move(powers.last_dynamic_oracle));
    }
    if (mode != OracleMode::Dynamic) {
        std::optional<MinRatioOracle>& kept = powers.static_oracle;
        if (kept && kept->fixed_seed == options.deterministic_seed && kept->seed == options.seed &&
            kept->deterministic == options.deterministic) {
            kept->restart();
        } else {
            kept.emplace();
            kept->fixed_seed = options.deterministic_seed;
            kept->seed = options.seed;
            kept->deterministic = options.deterministic;
        }
        kept->rebuild_every = rebuild_period;
        static_oracle = &*kept;
    }
    use_static = mode == OracleMode::Fallback;
}

// The time limit counts from here, once the start and the oracles are ready.
void IpmRun::open_result() {
    started = Clock::now();
    stats.oracle_mode = mode;
    result.termination = IpmTermination::IterationLimit;  // also the max_iters = 0 outcome
    direction.resize(flow.size());
}

// A caller's memo made with other constants holds powers that do not apply.
void IpmRun::prepare_powers() {
    if (!powers.made_for || !same_constants(*powers.made_for, potential)) {
        powers.gradient = {};
        powers.estimate = {};
        powers.barrier = {};
        powers.made_for = potential;
    }
    powers.gradient.reserve(m_edges);
    powers.estimate.reserve(m_edges);
    powers.barrier.reserve(m_edges);
}

McfResult<IpmRun::Next> IpmRun::iterate(std::size_t k) {
    if (ctx.cancelled()) return std::unexpected(McfError::interrupted());
    if (out_of_time_or_effort(k)) return Next::Stop;

    GradientAndLengths gl = gradient_and_lengths(k);
    McfResult<Next> next = iterate_at(gl, k);
    powers.spare_evaluations.push_back(std::move(gl));
    return next;
}

McfResult<IpmRun::Next> IpmRun::iterate_at(const GradientAndLengths& gl, std::size_t k) {
    const auto [value, gap_at_flow] = value_and_gap(gl.residuals);
    stats.potential_values.push_back(value);
    stats.final_gap = gap_at_flow;

    const double gap = gap_test(gl);
    if (gap_converged(gap, tc.gap_threshold)) return stop_by_gap(gap, k);
    monitor_stall(value, k);
    if (potential_converged(value, stats.final_gap, tc.potential_floor, options.tolerance)) {
        return stop(IpmTermination::Converged, k);
    }

    const TreeResult<std::optional<CycleCandidate>> queried = query_oracle(gl, k);
    if (!queried) return invalid_input(std::string(to_string(queried.error())));
    // No cycle, or one that promises nothing.
    if (!queried->has_value()) return stop(IpmTermination::NoImprovingCycle, k);
    const CycleCandidate& candidate = **queried;
    if (ratio_converged(candidate.ratio, options.tolerance)) {
        return stop(IpmTermination::Converged, k);
    }

    if (auto set = set_direction(candidate, gl.lengths); !set) return std::unexpected(set.error());
    if (improvement_too_small(cycle_improvement(candidate.ratio), tc.step_floor)) {
        return stop(IpmTermination::Converged, k);
    }
    // No acceptable step ends the run.
    const std::optional<double> step = line_search_step(gl, value, candidate.ratio);
    if (!step) return stop(IpmTermination::NoImprovingCycle, k);

    if (dynamic_oracle) {
        report_flow_changes(*step);
        report_gradient_and_length_changes(gl);
    }
    return end_iteration(k, candidate.ratio, gap);
}

// The time limit, and the caller's effort budget (one unit per edge per
// iteration), which ends a run the same way.
bool IpmRun::out_of_time_or_effort(std::size_t k) {
    if (time_limit_reached(elapsed_ms(started), options.time_limit_ms) ||
        !ctx.charge_effort(m_edges)) {
        result.termination = IpmTermination::TimeLimit;
        stats.iterations = k;
        return true;
    }
    return false;
}

GradientAndLengths IpmRun::gradient_and_lengths(std::size_t k) {
    GradientAndLengths gl = evaluate_at_flow(true);
    stats.numerical_stats.push_back(gl.stats);
    if (options.log_numerical_clamping && gl.stats.total_clamps() != 0) {
        ctx.diagnostic("warning: numerical clamping occurred (total_clamps=" +
                       std::to_string(gl.stats.total_clamps()) + ") at iter " + std::to_string(k));
    }
    return gl;
}

// Potential value and duality-gap proxy at the current flow.
Potential::ValueAndGap IpmRun::value_and_gap(const Residuals& residuals) {
    if (barrier_at_flow) return potential.value_and_gap_from_terms(cost, flow, barrier_terms);
    barrier_at_flow = true;
    return potential.value_and_gap(cost, flow, residuals, barrier_terms, &powers.barrier);
}

GradientAndLengths IpmRun::evaluate_at_flow(bool timed) {
    if (carried) {
        GradientAndLengths reused = std::move(*carried);
        carried.reset();
        return reused;
    }
    const auto t = Clock::now();
    GradientAndLengths fresh = spare_evaluation();
    compute_gradient_and_lengths_into(fresh, potential, cost, flow, lower, upper, &powers.gradient);
    if (timed) stats.barrier_compute_ms.push_back(elapsed_ms(t));
    return fresh;
}

// An earlier evaluation (of this run or one before it sharing the memo),
// whose arrays the next evaluation fills.
GradientAndLengths IpmRun::spare_evaluation() {
    std::vector<GradientAndLengths>& kept = powers.spare_evaluations;
    if (kept.empty()) return {};
    GradientAndLengths spare = std::move(kept.back());
    kept.pop_back();
    return spare;
}

// The gap the convergence test reads, recorded and reported.
double IpmRun::gap_test(const GradientAndLengths& gl) {
    const double estimate = estimate_duality_gap_with_config(
        flow, cost, gl.residuals, static_cast<std::uint64_t>(m_prime), potential.numerics,
        potential.alpha, reference, &powers.estimate);
    const double gap = gap_for_check(estimate, previous_ratio);
    stats.last_duality_gap_proxy = gap;
    stats.termination_gap_threshold = tc.gap_threshold;
    report_gap_check(gap, tc.gap_threshold, ctx);
    return gap;
}

IpmRun::Next IpmRun::stop_by_gap(double gap, std::size_t k) {
    result.termination = IpmTermination::Converged;
    stats.terminated_by_gap = true;
    stats.final_gap_estimate = gap;
    stats.iterations = k;
    return Next::Stop;
}

// A stall is only reported: the loss limit and failed updates decide the
// hand-over to the static oracle.
void IpmRun::monitor_stall(double value, std::size_t k) {
    if (mode != OracleMode::Hybrid || use_static || k < 1) return;
    const double reduction = stats.potential_values[k - 1] - value;
    const double r = cycle_improvement(previous_ratio.value_or(0.0));
    stall = reduction < r * r ? stall + 1 : 0;
    if (stall >= STALL_LIMIT) {
        ctx.diagnostic("warning: dynamic oracle stalled (reduction " + format_sci(reduction) +
                       "); monitoring stability");
        stall = 0;
    }
}

// The oracle in use; in Hybrid mode a dynamic oracle past its loss limit
// hands over to the static one from the next iteration on.
TreeResult<std::optional<CycleCandidate>> IpmRun::query_oracle(const GradientAndLengths& gl,
                                                               std::size_t k) {
    const auto t0 = Clock::now();
    TreeResult<std::optional<CycleCandidate>> queried = std::optional<CycleCandidate>{};
    if (use_static) {
        if (static_oracle != nullptr) {
            const OracleQuery query{tails, heads, gl.gradient, gl.lengths, k, n};
            queried = static_oracle->best_cycle_with_rebuild(query, false);
        }
    } else if (dynamic_oracle) {
        queried = dynamic_oracle->best_cycle(k, n, tails, heads, gl.gradient, gl.lengths);
        const auto instability = dynamic_oracle->branching_instability_count();
        if (mode == OracleMode::Hybrid && instability && *instability > loss_limit) {
            ctx.diagnostic("warning: dynamic oracle exceeded loss threshold (" +
                           std::to_string(*instability) + "); falling back to SSP");
            hand_over();
        }
    }
    stats.cycle_scoring_ms.push_back(elapsed_ms(t0));
    return queried;
}

// The candidate's cycle as a direction of unit length in the lengths' norm.
McfResult<void> IpmRun::set_direction(const CycleCandidate& candidate,
                                      std::span<const double> lengths) {
    std::ranges::fill(direction, 0.0);
    for (const auto& [edge, sign] : candidate.cycle) {
        if (edge >= direction.size()) return invalid_input("oracle cycle edge out of range");
        direction[edge] += sign;
    }
    double q = 0.0;
    const std::size_t measured = std::min(flow.size(), lengths.size());
    for (std::size_t e = 0; e < measured; ++e) q += direction[e] * direction[e] * lengths[e];
    if (q > 0.0 && !flow.empty()) {
        const double norm = std::sqrt(q);
        for (double& d : direction) d /= norm;
    }
    return {};
}

// Moves the flow by the accepted step and keeps the barrier terms the line
// search evaluated there; the step length, or nothing when none is acceptable.
std::optional<double> IpmRun::line_search_step(const GradientAndLengths& gl, double value,
                                               double ratio) {
    const LineSearchInput input{flow,         direction,
                                cost,         lower,
                                upper,        potential,
                                gl.gradient,  gl.lengths,
                                value,        required_decrease(value, ratio, tc.decrease_scale),
                                barrier_terms};
    std::optional<LineSearchStep> step = line_search(input);
    if (!step) return std::nullopt;
    flow = std::move(step->flow);
    barrier_terms = std::move(step->barrier);
    barrier_at_flow = barrier_terms.size() == flow.size();
    return step->step;
}

// The dynamic oracle learns which flows the step moved.
void IpmRun::report_flow_changes(double step) {
    flow_changes.clear();
    for (std::size_t e = 0; e < direction.size(); ++e) {
        const double change = step * direction[e];
        if (std::abs(change) > change_tolerance) flow_changes.emplace_back(e, change);
    }
    if (!flow_changes.empty()) {
        if (auto s = dynamic_oracle->notify_flow_change(flow_changes); !s) update_failed(s.error());
    }
}

// The dynamic oracle learns the gradients and lengths that moved at the new
// flow; that evaluation is carried into the next iteration.
void IpmRun::report_gradient_and_length_changes(const GradientAndLengths& gl) {
    auto t0 = Clock::now();
    GradientAndLengths next = spare_evaluation();
    compute_gradient_and_lengths_into(next, potential, cost, flow, lower, upper, &powers.gradient);
    stats.barrier_compute_ms.push_back(elapsed_ms(t0));
    stats.numerical_stats.push_back(next.stats);
    const std::size_t count = std::min(next.gradient.size(), next.lengths.size());
    collect_changes(gl.gradient, next.gradient, std::min(count, gl.gradient.size()),
                    change_tolerance, gradient_changes);
    collect_changes(gl.lengths, next.lengths, std::min(count, gl.lengths.size()), change_tolerance,
                    length_changes);
    if (!gradient_changes.empty() || !length_changes.empty()) {
        t0 = Clock::now();
        const OracleStatus s = dynamic_oracle->update_many(gradient_changes, length_changes);
        stats.spanner_update_ms.push_back(elapsed_ms(t0));
        if (!s) update_failed(s.error());
    }
    carried = std::move(next);
}

// A failed update: in Hybrid mode warn and switch to the static oracle.
void IpmRun::update_failed(const OracleError& error) {
    if (mode != OracleMode::Hybrid) return;
    ctx.diagnostic("warning: dynamic oracle requested rebuild (" + error.display() + ")");
    hand_over();
}

// The static oracle answers from now on; the dynamic one is still told of
// every change, for the statuses (and warnings) its updates give.
void IpmRun::hand_over() {
    use_static = true;
    dynamic_oracle->stop_queries();
}

// Counts the finished iteration and applies the iteration limit.
IpmRun::Next IpmRun::end_iteration(std::size_t k, double ratio, double gap) {
    previous_ratio = ratio;
    stats.iterations = k + 1;
    if (!last_iteration(k, options.max_iters)) return Next::Continue;
    result.termination = IpmTermination::IterationLimit;
    stats.terminated_by_max_iters = true;
    stats.final_gap_estimate = gap;
    return Next::Stop;
}

// Records a stop inside iteration k.
IpmRun::Next IpmRun::stop(IpmTermination reason, std::size_t k) {
    const IpmStop s = stop_at(reason, k, options.max_iters);
    result.termination = s.termination;
    stats.terminated_by_max_iters = s.by_max_iters;
    stats.iterations = k;
    return Next::Stop;
}

// The final gap at the flow the run returns.
IpmResult IpmRun::finish() {
    GradientAndLengths last = evaluate_at_flow(false);
    stats.numerical_stats.push_back(last.stats);
    stats.final_gap = value_and_gap(last.residuals).gap;
    powers.spare_evaluations.push_back(std::move(last));
    if (!stats.final_gap_estimate) stats.final_gap_estimate = stats.last_duality_gap_proxy;
    result.flow = std::move(flow);
    return std::move(result);
}

}  // namespace

McfResult<IpmResult> run_ipm_with_lower_bound(const McfProblem& problem, const McfOptions& options,
                                              double lower_bound, const SolveContext& ctx,
                                              const std::vector<double>* start,
                                              IpmPowerMemo* memo) {
    IpmRun ipm(problem, options, ctx, memo);
    return ipm.run(lower_bound, start);
}

}  // namespace zelk
