#include "numerics/guarded_math.hpp"

namespace zelk {

std::uint64_t NumericalStats::total_clamps() const {
    const std::uint64_t parts[] = {log_clamps,      floor_clamps,   exp_clamps,
                                   residual_clamps, barrier_clamps, gradient_clamps};
    std::uint64_t total = 0;
    for (const std::uint64_t p : parts) {
        if (__builtin_add_overflow(total, p, &total))
            return std::numeric_limits<std::uint64_t>::max();
    }
    return total;
}

double guarded_pow_with_stats(NumericalStats* stats, double base, double exponent, double L) {
    return stats != nullptr ? detail::guarded_pow<true>(stats, base, exponent, L)
                            : detail::guarded_pow<false>(nullptr, base, exponent, L);
}

namespace {

template <bool Count>
double barrier_term(const NumericsConfig& numerics, NumericalStats* stats, double r, double alpha) {
    const double cap = numerics.barrier_clamp_max;
    if (r <= 0.0) {
        if constexpr (Count) {
            saturating_increment(stats->residual_clamps);
            saturating_increment(stats->barrier_clamps);
        }
        return cap;
    }
    const double floored = max_num(r, numerics.residual_min);
    if constexpr (Count) {
        if (floored != r) saturating_increment(stats->residual_clamps);
    }
    double term = 0.0;
    if (floored <= 0.0) {
        if constexpr (Count) saturating_increment(stats->exp_clamps);
    } else {
        term = detail::guarded_pow_positive<Count>(stats, floored, -alpha,
                                                   numerics.numerical_clamp_log);
    }
    const double result = min_num(term, cap);
    if constexpr (Count) {
        if (result != term) saturating_increment(stats->barrier_clamps);
        if (std::isfinite(result) && result > stats->max_barrier_value) {
            stats->max_barrier_value = result;
        }
        if (floored < stats->min_residual_seen) stats->min_residual_seen = floored;
    }
    return result;
}

}  // namespace

double clamped_barrier_term(const NumericsConfig& numerics, NumericalStats* stats, double r,
                            double alpha) {
    return stats != nullptr ? barrier_term<true>(numerics, stats, r, alpha)
                            : barrier_term<false>(numerics, nullptr, r, alpha);
}

}  // namespace zelk
