// Guarded barrier numerics: powers and barrier terms that never overflow,
// with every clamp they perform counted in a NumericalStats record.
//
// Clamping v to [a, b] means: a if v < a, then b if the result > b; a NaN
// passes unchanged. max_num/min_num ignore a NaN operand (the other one wins).
// Every function takes an optional stats record (nullptr = no counting); the
// counting and the non-counting paths are separate instantiations, so an
// uncounted evaluation pays nothing for the counters. Cost: O(1) each.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "checked_math.hpp"

namespace zelk {

// Clamping parameters of one interior-point run.
struct NumericsConfig {
    double numerical_clamp_log = 700.0;  // L: logs and exponents live in [-L, L]
    double gradient_floor = 1e-300;      // smallest gap / gradient magnitude used
    double residual_min = 1e-12;         // floor of every slack
    double barrier_clamp_max = 1e200;    // B: cap of one edge's barrier value
    double gradient_clamp_max = 1e100;   // G: cap of |barrier gradient| per edge
    double barrier_alpha_min = 1e-6;
    double barrier_alpha_max = 1.0;
};

// Counters and extremes of one evaluation. Counters only ever grow.
struct NumericalStats {
    std::uint64_t log_clamps = 0;       // logs clamped to [-L, L]; non-positive or NaN gap
    std::uint64_t floor_clamps = 0;     // magnitudes raised to gradient_floor
    std::uint64_t exp_clamps = 0;       // powers whose exponent left [-L, L] or base <= 0
    std::uint64_t residual_clamps = 0;  // edges (or terms) whose slack was floored
    std::uint64_t barrier_clamps = 0;   // edge barrier values capped at B
    std::uint64_t gradient_clamps = 0;  // edge barrier gradients clamped to [-G, G]
    double max_barrier_value = 0.0;     // largest finite capped edge barrier value
    double min_residual_seen = std::numeric_limits<double>::infinity();

    // Sum of the six counters, saturating.
    std::uint64_t total_clamps() const;

    friend bool operator==(const NumericalStats&, const NumericalStats&) = default;
};

inline double max_num(double a, double b) { return a < b || a != a ? b : a; }
inline double min_num(double a, double b) { return b < a || a != a ? b : a; }
// max(a / b, b / a) for positive a and b (infinities included) with one
// division: rounding is monotone, so the quotient with the larger numerator
// is the one at least 1. Equal to the two-division form, NaN included.
inline double larger_quotient(double a, double b) { return a >= b ? a / b : b / a; }
inline double clamp_nan_passes(double v, double lo, double hi) {
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return v;
}

namespace detail {

// The guarded power once the base is known to be positive: exp(e ln b), with
// ln b clamped to [-L, L] and an exponent beyond +-L giving inf or 0.
// A NaN logarithm counts as clamped: it is not a usable value either.
template <bool Count>
inline double guarded_pow_positive(NumericalStats* stats, double base, double exponent,
                                   double limit) {
    const double log = std::log(base);
    const double clamped = clamp_nan_passes(log, -limit, limit);
    if constexpr (Count) {
        if (clamped != log) saturating_increment(stats->log_clamps);
    }
    const double t = exponent * clamped;
    if (t > limit) {
        if constexpr (Count) saturating_increment(stats->exp_clamps);
        return std::numeric_limits<double>::infinity();
    }
    if (t < -limit) {
        if constexpr (Count) saturating_increment(stats->exp_clamps);
        return 0.0;
    }
    return std::exp(t);
}

template <bool Count>
inline double guarded_pow(NumericalStats* stats, double base, double exponent, double limit) {
    if (base <= 0.0) {
        if constexpr (Count) saturating_increment(stats->exp_clamps);
        return 0.0;
    }
    return guarded_pow_positive<Count>(stats, base, exponent, limit);
}

}  // namespace detail

// base^exponent computed as exp(exponent * clamp(ln base, [-L, L])):
// 0.0 for base <= 0, +inf / 0.0 when the product leaves [-L, L].
// Requires L >= 0. A NaN base yields NaN (and counts one log clamp).
double guarded_pow_with_stats(NumericalStats* stats, double base, double exponent, double L);

// One edge side's barrier r^(-alpha), floored at residual_min and capped at B.
// r <= 0 returns B (one residual and one barrier clamp, extremes untouched).
double clamped_barrier_term(const NumericsConfig& numerics, NumericalStats* stats, double r,
                            double alpha);

}  // namespace zelk
