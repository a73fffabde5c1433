// Potential: the scalar that judges every interior-point move, with its
// per-edge gradient, the edge lengths handed to the cycle oracles and a cheap
// duality-gap proxy.
//
//   value = sum_e min(s_u^p + s_l^p, B) + (c.x + ln(max(c.x - F, eps)) / alpha)
//   g_e   = clamp(p (s_u^(p-1) - s_l^(p-1)), [-G, G]) + (c_e + (1/alpha)((1/gap) c_e))
//   len_e = 1 / max(|g_e|, 1e-12)
// with slacks s_u = max(upper - x, residual_min), s_l = max(x - lower,
// residual_min), p = 1.1, eps = S^-10 and every power guarded (guarded_math).
// Arrays of unequal length are truncated to the shortest each formula uses;
// sums run in edge order from -0.0. Non-finite values propagate.
// Cost: one pass over the edges per evaluation (two for gradient and
// lengths); nothing is allocated besides the returned arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mcf_error.hpp"
#include "numerics/guarded_math.hpp"
#include "numerics/slack_memo.hpp"

namespace zelk {

// Floored slacks of a flow; entries beyond the shortest of flow, lower and
// upper stay 0.0. Both arrays are as long as the flow.
struct Residuals {
    std::vector<double> upper_slack;
    std::vector<double> lower_slack;

    // With stats: one residual clamp per edge with a floored side, and the
    // smallest slack in min_residual_seen.
    static Residuals create_with_stats(std::span<const double> flow, std::span<const double> lower,
                                       std::span<const double> upper, NumericalStats* stats,
                                       double residual_min);
};

struct GradientAndLengths {
    std::vector<double> gradient;
    std::vector<double> lengths;
    Residuals residuals;
    NumericalStats stats;
};

// Immutable for a whole run.
struct Potential {
    double alpha = 1.0;             // the log-gap term is scaled by 1/alpha
    double barrier_exponent = 1.1;  // p
    double residual_min = 1e-12;
    double problem_scale = 1.0;  // S = max(U * m, 1)
    double edge_count = 1.0;     // m = max(number of upper bounds, 1)
    double lower_bound = 0.0;    // F
    NumericsConfig numerics;

    // U = max(1, max |upper|); alpha = `alpha` if present and > 0, else
    // 1 / (1000 max(log2 S, 1)), then clamped to [barrier_alpha_min,
    // barrier_alpha_max] of `numerics`. Fails with InvalidInput
    // "barrier_alpha_min exceeds barrier_alpha_max" when that range is empty.
    static McfResult<Potential> create(const NumericsConfig& numerics, std::optional<double> alpha,
                                       std::span<const double> upper, double lower_bound);

    double value_with_residuals_and_stats(std::span<const double> cost,
                                          std::span<const double> flow, const Residuals& residuals,
                                          NumericalStats* stats = nullptr) const;

    // Same result as building Residuals (no stats) and calling the above,
    // without the allocation.
    double value(std::span<const double> cost, std::span<const double> flow,
                 std::span<const double> lower, std::span<const double> upper) const;

    // One entry per edge below min(len cost, len upper_slack, len lower_slack).
    std::vector<double> gradient_with_residuals_and_stats(std::span<const double> cost,
                                                          std::span<const double> flow,
                                                          const Residuals& residuals,
                                                          NumericalStats* stats = nullptr) const;

    // value_with_residuals_and_stats (no stats) and duality_gap from one
    // barrier pass: `terms` receives each edge's barrier term, as long as the
    // slacks, for a LinePotential to start from. Both results are bit for bit
    // those of the separate calls (each sum keeps edge order).
    struct ValueAndGap {
        double value;
        double gap;
    };
    // `memo` (optional, one per potential) keeps each edge's term for the
    // slacks it was computed at.
    ValueAndGap value_and_gap(std::span<const double> cost, std::span<const double> flow,
                              const Residuals& residuals, std::vector<double>& terms,
                              SlackMemo<double>* memo = nullptr) const;
    // The same from barrier terms already evaluated at `flow` (one per flow
    // entry, e.g. a line search's accepted trial); no powers.
    ValueAndGap value_and_gap_from_terms(std::span<const double> cost, std::span<const double> flow,
                                         std::span<const double> terms) const;

    // barrier sum / p + max(c.x - F, 0); counts nothing.
    double duality_gap(std::span<const double> cost, std::span<const double> flow,
                       const Residuals& residuals) const;
};

// len_e = 1 / max(|g_e|, 1e-12), the magnitude never below gradient_floor.
std::vector<double> lengths_from_gradient(std::span<const double> gradient,
                                          const NumericsConfig& numerics,
                                          NumericalStats* stats = nullptr);

// Potential::value along a line x + t d, for the line search's trials.
// The per-edge terms at x are computed once; a trial recomputes only the
// edges the move can change (d_e != 0, or x_e zero or NaN, where a signed
// zero could differ) and re-sums all terms in edge order, so every value
// equals Potential::value at the trial point bit for bit.
// Cost: O(m) at construction with two powers per edge, then per trial two
// powers per moved edge and two additions per edge from the first moved
// one on (the sums before it are kept). A trial value_at_most rejects with
// the moved edges' barrier terms taken at their least value (zero) costs no
// powers; the terms are evaluated when a later call needs them.
class LinePotential {
public:
    LinePotential(const Potential& potential, std::span<const double> cost,
                  std::span<const double> flow, std::span<const double> lower,
                  std::span<const double> upper, std::span<const double> direction);
    // Starts from the barrier terms at `flow` (one per flow entry, as
    // Potential::value_and_gap gives them) instead of evaluating them: O(m)
    // without powers.
    LinePotential(const Potential& potential, std::span<const double> cost,
                  std::span<const double> flow, std::span<const double> lower,
                  std::span<const double> upper, std::span<const double> direction,
                  std::span<const double> barrier_at_flow);

    // Value at x + t d; the trial point stays readable through trial().
    double value_at(double t);
    // Moves the trial point to x + t d as value_at does; then the value when
    // it may be <= limit, and nothing when it provably exceeds the limit (or
    // is NaN), decided from the moved edges alone in O(moved edges) by a
    // rounding-error bound on the edge-order sums. A value it returns is
    // value_at(t) bit for bit.
    std::optional<double> value_at_most(double t, double limit);
    std::span<const double> trial() const { return trial_; }
    std::vector<double> take_trial() { return std::move(trial_); }
    // Barrier terms at the last trial point (at the flow before any trial).
    std::vector<double> take_barrier();

private:
    // Both public constructors: with `evaluate_barrier` the terms at `flow`
    // are computed, else `barrier` holds them already.
    LinePotential(const Potential& potential, std::span<const double> cost,
                  std::span<const double> flow, std::span<const double> lower,
                  std::span<const double> upper, std::span<const double> direction,
                  std::vector<double> barrier, bool evaluate_barrier);

    const Potential& potential_;
    std::span<const double> cost_, flow_, lower_, upper_, direction_;
    std::vector<std::size_t> moved_;  // edges a move can change
    std::vector<double> trial_;
    std::vector<double> products_;  // cost_e * trial_e, over min(len cost, len flow)
    std::vector<double> barrier_;   // edge barrier terms at trial_, over len flow
    double prefix_dot_ = -0.0;      // partial sums over the edges before prefix_end_
    double prefix_barrier_ = -0.0;
    std::size_t prefix_end_ = 0;  // first moved edge
    // At the flow: both sums in edge order and the sums of their terms'
    // magnitudes, and each moved edge's two terms (in moved_ order).
    double base_dot_ = 0.0, base_barrier_ = 0.0;
    double base_dot_magnitude_ = 0.0, base_barrier_magnitude_ = 0.0;
    double floor_ = 0.0;  // the potential's gap floor
    std::vector<double> base_moved_products_, base_moved_barrier_;
    // Whether barrier_ holds the terms at trial_ for the moved edges.
    bool barrier_current_ = true;
    void refresh(std::size_t e);
    void move_to(double t);
    void refresh_barrier();
    double exact_value() const;
    void record_base();
    double value_lower_bound(bool barrier_known) const;
    void find_moved_edges();
    void sum_prefix();
};

// An edge's clamped barrier gradient p (s_u^(p-1) - s_l^(p-1)) and the
// clamps its evaluation counted, for a SlackMemo.
struct BarrierGradientTerm {
    double value = 0.0;
    std::uint8_t log_clamps = 0;
    std::uint8_t exp_clamps = 0;
    std::uint8_t gradient_clamps = 0;
};

// Fresh stats, residuals, gradient and lengths at one flow. `memo`
// (optional, one per potential) keeps each edge's barrier gradient for the
// slacks it was computed at; stats and results are the same with or without.
GradientAndLengths compute_gradient_and_lengths(const Potential& potential,
                                                std::span<const double> cost,
                                                std::span<const double> flow,
                                                std::span<const double> lower,
                                                std::span<const double> upper,
                                                SlackMemo<BarrierGradientTerm>* memo = nullptr);

// The same into `out`, whose arrays lend their storage: every field is
// overwritten, so the result equals compute_gradient_and_lengths's whatever
// `out` held.
void compute_gradient_and_lengths_into(GradientAndLengths& out, const Potential& potential,
                                       std::span<const double> cost, std::span<const double> flow,
                                       std::span<const double> lower, std::span<const double> upper,
                                       SlackMemo<BarrierGradientTerm>* memo = nullptr);

}  // namespace zelk
