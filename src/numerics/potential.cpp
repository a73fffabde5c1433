#include "numerics/potential.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "zelk_assert.hpp"

namespace zelk {

namespace {

struct SlackPair {
    double upper;
    double lower;
};

// Slacks exactly as Residuals::create_with_stats stores them.
inline SlackPair floored_slacks(double flow, double lower, double upper, double residual_min) {
    return {max_num(upper - flow, residual_min), max_num(flow - lower, residual_min)};
}

template <bool Count>
inline double edge_barrier(const Potential& potential, NumericalStats* stats, SlackPair s) {
    const double limit = potential.numerics.numerical_clamp_log;
    const double a = detail::guarded_pow<Count>(stats, s.upper, potential.barrier_exponent, limit);
    const double b = detail::guarded_pow<Count>(stats, s.lower, potential.barrier_exponent, limit);
    const double sum = a + b;
    const double v = min_num(sum, potential.numerics.barrier_clamp_max);
    if constexpr (Count) {
        if (v != sum) saturating_increment(stats->barrier_clamps);
        if (std::isfinite(v) && v > stats->max_barrier_value) stats->max_barrier_value = v;
    }
    return v;
}

template <bool Count>
inline double edge_length(double g, const NumericsConfig& numerics, NumericalStats* stats) {
    double mag = max_num(std::abs(g), 1e-12);
    if (mag < numerics.gradient_floor) {
        if constexpr (Count) saturating_increment(stats->floor_clamps);
        mag = std::abs(numerics.gradient_floor);
    }
    return 1.0 / mag;
}

struct Sums {
    double cost_dot_flow = -0.0;
    double barrier = -0.0;
};

// c.x over min(len cost, len flow) and the barrier over `barrier_edges`
// edges, fused into one pass over the common prefix; each sum keeps edge order.
template <bool Count, class SlackAt>
Sums potential_sums(const Potential& potential, std::span<const double> cost,
                    std::span<const double> flow, std::size_t barrier_edges, SlackAt slack_at,
                    NumericalStats* stats) {
    const std::size_t dot_edges = std::min(cost.size(), flow.size());
    const std::size_t common = std::min(dot_edges, barrier_edges);
    Sums sums;
    for (std::size_t e = 0; e < common; ++e) {
        sums.cost_dot_flow += cost[e] * flow[e];
        sums.barrier += edge_barrier<Count>(potential, stats, slack_at(e));
    }
    for (std::size_t e = common; e < dot_edges; ++e) sums.cost_dot_flow += cost[e] * flow[e];
    for (std::size_t e = common; e < barrier_edges; ++e) {
        sums.barrier += edge_barrier<Count>(potential, stats, slack_at(e));
    }
    return sums;
}

double cost_dot_flow(std::span<const double> cost, std::span<const double> flow) {
    const std::size_t k = std::min(cost.size(), flow.size());
    double sum = -0.0;
    for (std::size_t e = 0; e < k; ++e) sum += cost[e] * flow[e];
    return sum;
}

double gap_floor(const Potential& potential) { return std::pow(potential.problem_scale, -10.0); }

template <bool Count>
double finish_value(const Potential& potential, Sums sums, NumericalStats* stats) {
    const double gap = max_num(sums.cost_dot_flow - potential.lower_bound, gap_floor(potential));
    double log_term;
    if (gap <= 0.0) {
        if constexpr (Count) saturating_increment(stats->log_clamps);
        log_term = -std::numeric_limits<double>::infinity();
    } else {
        if constexpr (Count) {
            if (std::isnan(gap)) saturating_increment(stats->log_clamps);
        }
        log_term = std::log(gap);
    }
    return sums.barrier + (sums.cost_dot_flow + (1.0 / potential.alpha) * log_term);
}

template <bool Count>
double value_impl(const Potential& potential, std::span<const double> cost,
                  std::span<const double> flow, const Residuals& residuals, NumericalStats* stats) {
    const std::span<const double> su = residuals.upper_slack;
    const std::span<const double> sl = residuals.lower_slack;
    const Sums sums = potential_sums<Count>(
        potential, cost, flow, std::min(su.size(), sl.size()),
        [&](std::size_t e) { return SlackPair{su[e], sl[e]}; }, stats);
    return finish_value<Count>(potential, sums, stats);
}

// Gradient, and lengths when `lengths` is given, in one pass.
void add_counts(NumericalStats& stats, const BarrierGradientTerm& known) {
    for (int i = 0; i < known.log_clamps; ++i) saturating_increment(stats.log_clamps);
    for (int i = 0; i < known.exp_clamps; ++i) saturating_increment(stats.exp_clamps);
    for (int i = 0; i < known.gradient_clamps; ++i) saturating_increment(stats.gradient_clamps);
}

// Every entry of `gradient` (and `lengths`) is written; their old contents
// only lend storage.
template <bool Count>
void gradient_impl(const Potential& potential, std::span<const double> cost,
                   std::span<const double> flow, const Residuals& residuals, NumericalStats* stats,
                   std::vector<double>& gradient, std::vector<double>* lengths,
                   SlackMemo<BarrierGradientTerm>* memo = nullptr) {
    // Only counted evaluations fill or read the memo: its entries carry counts.
    if constexpr (!Count) memo = nullptr;
    const NumericsConfig& nc = potential.numerics;
    double gap = max_num(cost_dot_flow(cost, flow) - potential.lower_bound, gap_floor(potential));
    if (std::abs(gap) < nc.gradient_floor) {
        if constexpr (Count) saturating_increment(stats->floor_clamps);
        gap = std::copysign(nc.gradient_floor, gap);
    }
    const std::size_t n =
        std::min({cost.size(), residuals.upper_slack.size(), residuals.lower_slack.size()});
    const double p = potential.barrier_exponent;
    const double p_minus_one = p - 1.0;
    const double inv_alpha = 1.0 / potential.alpha;
    const double inv_gap = 1.0 / gap;
    const double limit = nc.numerical_clamp_log;
    const double g_max = nc.gradient_clamp_max;
    gradient.resize(n);
    if (lengths != nullptr) lengths->resize(n);
    for (std::size_t e = 0; e < n; ++e) {
        const double su = residuals.upper_slack[e];
        const double sl = residuals.lower_slack[e];
        const BarrierGradientTerm* known = memo != nullptr ? memo->find(e, su, sl) : nullptr;
        double d;
        if (known != nullptr) {
            d = known->value;
            // Nearly every edge clamps nothing: one test covers the three counts.
            if constexpr (Count) {
                if ((known->log_clamps | known->exp_clamps | known->gradient_clamps) != 0) {
                    add_counts(*stats, *known);
                }
            }
        } else {
            // Per-edge counts, for the memo: each call's stats start from zero
            // and an edge adds at most two of each, so nothing saturates here.
            NumericalStats edge;
            NumericalStats* edge_stats = Count ? &edge : nullptr;
            const double a = detail::guarded_pow<Count>(edge_stats, su, p_minus_one, limit);
            const double b = detail::guarded_pow<Count>(edge_stats, sl, p_minus_one, limit);
            const double raw = p * (a - b);
            d = clamp_nan_passes(raw, -g_max, g_max);
            if constexpr (Count) {
                if (d != raw) saturating_increment(edge.gradient_clamps);
                for (std::uint64_t i = 0; i < edge.log_clamps; ++i)
                    saturating_increment(stats->log_clamps);
                for (std::uint64_t i = 0; i < edge.exp_clamps; ++i)
                    saturating_increment(stats->exp_clamps);
                for (std::uint64_t i = 0; i < edge.gradient_clamps; ++i) {
                    saturating_increment(stats->gradient_clamps);
                }
            }
            if (memo != nullptr) {
                memo->store(e, su, sl,
                            {d, static_cast<std::uint8_t>(edge.log_clamps),
                             static_cast<std::uint8_t>(edge.exp_clamps),
                             static_cast<std::uint8_t>(edge.gradient_clamps)});
            }
        }
        const double g = d + (cost[e] + inv_alpha * (inv_gap * cost[e]));
        gradient[e] = g;
        if (lengths != nullptr) (*lengths)[e] = edge_length<Count>(g, nc, stats);
    }
}

// Every entry of `r` is written; its old contents only lend storage.
template <bool Count>
void residuals_impl(Residuals& r, std::span<const double> flow, std::span<const double> lower,
                    std::span<const double> upper, NumericalStats* stats, double residual_min) {
    r.upper_slack.resize(flow.size());
    r.lower_slack.resize(flow.size());
    const std::size_t k = std::min({flow.size(), lower.size(), upper.size()});
    std::fill(r.upper_slack.begin() + static_cast<std::ptrdiff_t>(k), r.upper_slack.end(), 0.0);
    std::fill(r.lower_slack.begin() + static_cast<std::ptrdiff_t>(k), r.lower_slack.end(), 0.0);
    for (std::size_t e = 0; e < k; ++e) {
        const double up = upper[e] - flow[e];
        const double down = flow[e] - lower[e];
        const SlackPair s{max_num(up, residual_min), max_num(down, residual_min)};
        r.upper_slack[e] = s.upper;
        r.lower_slack[e] = s.lower;
        if constexpr (Count) {
            if (s.upper != up || s.lower != down) saturating_increment(stats->residual_clamps);
            stats->min_residual_seen = min_num(stats->min_residual_seen, min_num(s.upper, s.lower));
        }
    }
}

}  // namespace

Residuals Residuals::create_with_stats(std::span<const double> flow, std::span<const double> lower,
                                       std::span<const double> upper, NumericalStats* stats,
                                       double residual_min) {
    Residuals r;
    if (stats != nullptr) {
        residuals_impl<true>(r, flow, lower, upper, stats, residual_min);
    } else {
        residuals_impl<false>(r, flow, lower, upper, nullptr, residual_min);
    }
    return r;
}

McfResult<Potential> Potential::create(const NumericsConfig& numerics, std::optional<double> alpha,
                                       std::span<const double> upper, double lower_bound) {
    if (numerics.barrier_alpha_min > numerics.barrier_alpha_max) {
        return invalid_input("barrier_alpha_min exceeds barrier_alpha_max");
    }
    double u_max = 1.0;
    for (const double u : upper) u_max = max_num(u_max, std::abs(u));
    const double m = static_cast<double>(std::max<std::size_t>(upper.size(), 1));
    const double scale = max_num(u_max * m, 1.0);
    const double raw_alpha = alpha.has_value() && *alpha > 0.0
                                 ? *alpha
                                 : 1.0 / (1000.0 * max_num(std::log2(scale), 1.0));
    Potential p;
    p.alpha = clamp_nan_passes(raw_alpha, numerics.barrier_alpha_min, numerics.barrier_alpha_max);
    p.barrier_exponent = 1.1;
    p.residual_min = numerics.residual_min;
    p.problem_scale = scale;
    p.edge_count = m;
    p.lower_bound = lower_bound;
    p.numerics = numerics;
    return p;
}

double Potential::value_with_residuals_and_stats(std::span<const double> cost,
                                                 std::span<const double> flow,
                                                 const Residuals& residuals,
                                                 NumericalStats* stats) const {
    return stats != nullptr ? value_impl<true>(*this, cost, flow, residuals, stats)
                            : value_impl<false>(*this, cost, flow, residuals, nullptr);
}

double Potential::value(std::span<const double> cost, std::span<const double> flow,
                        std::span<const double> lower, std::span<const double> upper) const {
    // Residuals span the whole flow; entries past the bounds are 0.0 slacks.
    const std::size_t k = std::min({flow.size(), lower.size(), upper.size()});
    const double rmin = residual_min;
    const Sums sums = potential_sums<false>(
        *this, cost, flow, flow.size(),
        [&](std::size_t e) {
            return e < k ? floored_slacks(flow[e], lower[e], upper[e], rmin) : SlackPair{0.0, 0.0};
        },
        nullptr);
    return finish_value<false>(*this, sums, nullptr);
}

std::vector<double> Potential::gradient_with_residuals_and_stats(std::span<const double> cost,
                                                                 std::span<const double> flow,
                                                                 const Residuals& residuals,
                                                                 NumericalStats* stats) const {
    std::vector<double> gradient;
    if (stats != nullptr) {
        gradient_impl<true>(*this, cost, flow, residuals, stats, gradient, nullptr);
    } else {
        gradient_impl<false>(*this, cost, flow, residuals, nullptr, gradient, nullptr);
    }
    return gradient;
}

Potential::ValueAndGap Potential::value_and_gap_from_terms(std::span<const double> cost,
                                                           std::span<const double> flow,
                                                           std::span<const double> terms) const {
    Sums sums;
    const std::size_t dot_edges = std::min(cost.size(), flow.size());
    for (std::size_t e = 0; e < dot_edges; ++e) sums.cost_dot_flow += cost[e] * flow[e];
    for (const double b : terms) sums.barrier += b;
    return {finish_value<false>(*this, sums, nullptr),
            sums.barrier / barrier_exponent + max_num(sums.cost_dot_flow - lower_bound, 0.0)};
}

Potential::ValueAndGap Potential::value_and_gap(std::span<const double> cost,
                                                std::span<const double> flow,
                                                const Residuals& residuals,
                                                std::vector<double>& terms,
                                                SlackMemo<double>* memo) const {
    const std::span<const double> su = residuals.upper_slack;
    const std::span<const double> sl = residuals.lower_slack;
    terms.resize(std::min(su.size(), sl.size()));
    for (std::size_t e = 0; e < terms.size(); ++e) {
        const double* known = memo != nullptr ? memo->find(e, su[e], sl[e]) : nullptr;
        if (known != nullptr) {
            terms[e] = *known;
            continue;
        }
        terms[e] = edge_barrier<false>(*this, nullptr, SlackPair{su[e], sl[e]});
        if (memo != nullptr) memo->store(e, su[e], sl[e], terms[e]);
    }
    return value_and_gap_from_terms(cost, flow, terms);
}

double Potential::duality_gap(std::span<const double> cost, std::span<const double> flow,
                              const Residuals& residuals) const {
    const std::span<const double> su = residuals.upper_slack;
    const std::span<const double> sl = residuals.lower_slack;
    const Sums sums = potential_sums<false>(
        *this, cost, flow, std::min(su.size(), sl.size()),
        [&](std::size_t e) { return SlackPair{su[e], sl[e]}; }, nullptr);
    return sums.barrier / barrier_exponent + max_num(sums.cost_dot_flow - lower_bound, 0.0);
}

LinePotential::LinePotential(const Potential& potential, std::span<const double> cost,
                             std::span<const double> flow, std::span<const double> lower,
                             std::span<const double> upper, std::span<const double> direction)
    : LinePotential(potential, cost, flow, lower, upper, direction,
                    std::vector<double>(flow.size()), true) {}

LinePotential::LinePotential(const Potential& potential, std::span<const double> cost,
                             std::span<const double> flow, std::span<const double> lower,
                             std::span<const double> upper, std::span<const double> direction,
                             std::vector<double> barrier, bool evaluate_barrier)
    : potential_(potential),
      cost_(cost),
      flow_(flow),
      lower_(lower),
      upper_(upper),
      direction_(direction),
      trial_(flow.begin(), flow.end()),
      products_(std::min(cost.size(), flow.size())),
      barrier_(std::move(barrier)) {
    find_moved_edges();
    if (evaluate_barrier) {
        for (std::size_t e = 0; e < flow.size(); ++e) refresh(e);
    } else {
        for (std::size_t e = 0; e < products_.size(); ++e) products_[e] = cost[e] * flow[e];
    }
    sum_prefix();
    record_base();
}

void LinePotential::record_base() {
    base_dot_ = -0.0;
    base_barrier_ = -0.0;
    base_dot_magnitude_ = 0.0;
    base_barrier_magnitude_ = 0.0;
    for (const double v : products_) {
        base_dot_ += v;
        base_dot_magnitude_ += std::fabs(v);
    }
    for (const double v : barrier_) {
        base_barrier_ += v;
        base_barrier_magnitude_ += std::fabs(v);
    }
    floor_ = gap_floor(potential_);
    base_moved_products_.resize(moved_.size());
    base_moved_barrier_.resize(moved_.size());
    for (std::size_t i = 0; i < moved_.size(); ++i) {
        const std::size_t e = moved_[i];
        base_moved_products_[i] = e < products_.size() ? products_[e] : 0.0;
        base_moved_barrier_[i] = e < barrier_.size() ? barrier_[e] : 0.0;
    }
}

void LinePotential::find_moved_edges() {
    // Edges a step along the direction can change (a zero or NaN flow is
    // evaluated afresh too).
    const std::size_t moved = std::min(direction_.size(), flow_.size());
    for (std::size_t e = 0; e < moved; ++e) {
        const double x = flow_[e];
        if (direction_[e] != 0.0 || x == 0.0 || x != x) moved_.push_back(e);
    }
}

void LinePotential::sum_prefix() {
    // Terms before the first moved edge never change, and a sum in edge order
    // reaches the same partial sum there on every trial.
    const std::size_t first = moved_.empty() ? barrier_.size() : moved_.front();
    prefix_end_ = first;
    prefix_dot_ = -0.0;
    prefix_barrier_ = -0.0;
    const std::size_t dot_end = std::min(first, products_.size());
    const std::size_t barrier_end = std::min(first, barrier_.size());
    for (std::size_t e = 0; e < dot_end; ++e) prefix_dot_ += products_[e];
    for (std::size_t e = 0; e < barrier_end; ++e) prefix_barrier_ += barrier_[e];
}

LinePotential::LinePotential(const Potential& potential, std::span<const double> cost,
                             std::span<const double> flow, std::span<const double> lower,
                             std::span<const double> upper, std::span<const double> direction,
                             std::span<const double> barrier_at_flow)
    : LinePotential(potential, cost, flow, lower, upper, direction,
                    std::vector<double>(barrier_at_flow.begin(), barrier_at_flow.end()), false) {
    ZELK_ASSERT(barrier_at_flow.size() == flow.size());
}

void LinePotential::refresh(std::size_t e) {
    if (e < products_.size()) products_[e] = cost_[e] * trial_[e];
    const std::size_t k = std::min({flow_.size(), lower_.size(), upper_.size()});
    const SlackPair s =
        e < k ? floored_slacks(trial_[e], lower_[e], upper_[e], potential_.residual_min)
              : SlackPair{0.0, 0.0};
    barrier_[e] = edge_barrier<false>(potential_, nullptr, s);
}

// The trial point and its products; the barrier terms wait for
// refresh_barrier.
void LinePotential::move_to(double t) {
    for (std::size_t e : moved_) {
        trial_[e] = flow_[e] + t * direction_[e];
        if (e < products_.size()) products_[e] = cost_[e] * trial_[e];
    }
    barrier_current_ = moved_.empty();
}

void LinePotential::refresh_barrier() {
    if (barrier_current_) return;
    for (std::size_t e : moved_) refresh(e);
    barrier_current_ = true;
}

double LinePotential::value_at(double t) {
    move_to(t);
    refresh_barrier();
    return exact_value();
}

std::optional<double> LinePotential::value_at_most(double t, double limit) {
    move_to(t);
    // An edge's barrier term lies in [0, B] (a NaN sum caps at B), so with B
    // >= 0 zero is its least value; most trials are rejected right here.
    if (potential_.numerics.barrier_clamp_max >= 0.0 && value_lower_bound(false) > limit) {
        return std::nullopt;
    }
    refresh_barrier();
    if (value_lower_bound(true) > limit) return std::nullopt;
    return exact_value();
}

std::vector<double> LinePotential::take_barrier() {
    refresh_barrier();
    return std::move(barrier_);
}

// A value exact_value() cannot fall below, from the sums at the flow and the
// moved edges' changes; -infinity when no useful bound exists.
//
// With u = 2^-53, a sum of n terms in edge order errs by at most about
// n u times the sum of their magnitudes, at the flow and at the trial alike;
// the exact trial sum is the exact flow sum plus the moved terms' changes.
// So the trial's computed sum lies above S0 + D - (m + 2k) u (2 A0 + N),
// with S0 and A0 the sum and the magnitude sum at the flow, D the changes'
// sum and N their magnitudes (k moved edges); the slack below is four times
// that and covers the rounding of the bound itself. The value is
// nondecreasing in both sums (alpha > 0, and rounding is monotone), and the
// logarithm errs by under 2 u relative, so finishing from the lowered sums
// and a lowered logarithm stays below the computed value.
// Without `barrier_known` the moved edges' trial terms count as zero: the
// bound only grows with each non-negative term (by 1 - slack per unit, its
// magnitude included), so it stays below the value whatever they are.
double LinePotential::value_lower_bound(bool barrier_known) const {
    constexpr double minus_infinity = -std::numeric_limits<double>::infinity();
    constexpr double u = 0x1p-53;
    const double inv_alpha = 1.0 / potential_.alpha;
    if (!(inv_alpha > 0.0) || !std::isfinite(inv_alpha)) return minus_infinity;
    double dot_change = 0.0, dot_magnitude = 0.0;
    double barrier_change = 0.0, barrier_magnitude = 0.0;
    for (std::size_t i = 0; i < moved_.size(); ++i) {
        const std::size_t e = moved_[i];
        if (e < products_.size()) {
            dot_change += products_[e] - base_moved_products_[i];
            dot_magnitude += std::fabs(products_[e]) + std::fabs(base_moved_products_[i]);
        }
        const double term = barrier_known ? barrier_[e] : 0.0;
        barrier_change += term - base_moved_barrier_[i];
        barrier_magnitude += std::fabs(term) + std::fabs(base_moved_barrier_[i]);
    }
    const double terms = static_cast<double>(std::max(products_.size(), barrier_.size())) +
                         2.0 * static_cast<double>(moved_.size()) + 8.0;
    const double slack = 4.0 * terms * u;
    constexpr double tiny = 0x1p-1000;
    const double dot_low =
        (base_dot_ + dot_change) - (slack * (2.0 * base_dot_magnitude_ + dot_magnitude) + tiny);
    const double barrier_low = (base_barrier_ + barrier_change) -
                               (slack * (2.0 * base_barrier_magnitude_ + barrier_magnitude) + tiny);
    if (!std::isfinite(base_dot_magnitude_) || !std::isfinite(base_barrier_magnitude_) ||
        !std::isfinite(dot_low) || !std::isfinite(barrier_low)) {
        return minus_infinity;
    }
    const double gap = max_num(dot_low - potential_.lower_bound, floor_);
    if (!(gap > 0.0) || !std::isfinite(gap)) return minus_infinity;
    const double log_gap = std::log(gap);
    const double log_low = log_gap - 8.0 * u * std::fabs(log_gap);
    const double low = barrier_low + (dot_low + inv_alpha * log_low);
    return std::isnan(low) ? minus_infinity : low;
}

double LinePotential::exact_value() const {
    // Two accumulators in edge order, as the fused pass of Potential::value.
    Sums sums{prefix_dot_, prefix_barrier_};
    for (std::size_t e = std::min(prefix_end_, products_.size()); e < products_.size(); ++e) {
        sums.cost_dot_flow += products_[e];
    }
    for (std::size_t e = std::min(prefix_end_, barrier_.size()); e < barrier_.size(); ++e) {
        sums.barrier += barrier_[e];
    }
    return finish_value<false>(potential_, sums, nullptr);
}

std::vector<double> lengths_from_gradient(std::span<const double> gradient,
                                          const NumericsConfig& numerics, NumericalStats* stats) {
    std::vector<double> lengths(gradient.size());
    for (std::size_t e = 0; e < gradient.size(); ++e) {
        lengths[e] = stats != nullptr ? edge_length<true>(gradient[e], numerics, stats)
                                      : edge_length<false>(gradient[e], numerics, nullptr);
    }
    return lengths;
}

GradientAndLengths compute_gradient_and_lengths(const Potential& potential,
                                                std::span<const double> cost,
                                                std::span<const double> flow,
                                                std::span<const double> lower,
                                                std::span<const double> upper,
                                                SlackMemo<BarrierGradientTerm>* memo) {
    GradientAndLengths out;
    compute_gradient_and_lengths_into(out, potential, cost, flow, lower, upper, memo);
    return out;
}

void compute_gradient_and_lengths_into(GradientAndLengths& out, const Potential& potential,
                                       std::span<const double> cost, std::span<const double> flow,
                                       std::span<const double> lower, std::span<const double> upper,
                                       SlackMemo<BarrierGradientTerm>* memo) {
    out.stats = NumericalStats{};
    residuals_impl<true>(out.residuals, flow, lower, upper, &out.stats, potential.residual_min);
    gradient_impl<true>(potential, cost, flow, out.residuals, &out.stats, out.gradient,
                        &out.lengths, memo);
}

}  // namespace zelk
