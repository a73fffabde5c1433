// Barrier numerics: the printed number format, guarded powers and barrier
// terms with their clamp counters, and the potential's value, gradient,
// lengths and gap proxy against a plain reimplementation of the formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "mcf_options.hpp"
#include "numerics/format.hpp"
#include "numerics/guarded_math.hpp"
#include "numerics/potential.hpp"

using namespace zelk;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double qnan = std::nan("");
using Vec = std::vector<double>;

Potential make_potential(const Vec& upper, double lower_bound, McfOptions options = {}) {
    return *Potential::create(numerics_config(options), options.alpha, upper, lower_bound);
}

void expect_close(double a, double b, double rel = 1e-12) {
    if (a == b) return;  // also equal infinities
    EXPECT_NEAR(a, b, rel * std::max({std::abs(a), std::abs(b), 1.0})) << a << " vs " << b;
}

}  // namespace

TEST(FormatSci, LowerCaseThreeDigitsPlainExponent) {
    EXPECT_EQ(format_sci(1e-30), "1.000e-30");
    EXPECT_EQ(format_sci(2500.0), "2.500e3");
    EXPECT_EQ(format_sci(0.0), "0.000e0");
    EXPECT_EQ(format_sci(-1.5e-7), "-1.500e-7");
    EXPECT_EQ(format_sci(999999.9), "1.000e6");  // rounding carries into the exponent
    EXPECT_EQ(format_sci(1.2345e300), "1.234e300");
    EXPECT_EQ(format_sci(inf), "inf");
    EXPECT_EQ(format_sci(-inf), "-inf");
    EXPECT_EQ(format_sci(-qnan), "nan");
}

TEST(GuardedNumerics, EachCounterMovesOnlyWithItsClamp) {
    struct Case {
        double base, exponent, limit, expected;
        std::uint64_t log_clamps, exp_clamps;
    };
    const Case cases[] = {
        {4.0, 0.5, 700.0, 2.0, 0, 0},
        {1e300, 1.0, 700.0, 1e300, 0, 0},            // log 690.8 is kept
        {1e300, 1.0, 100.0, std::exp(100.0), 1, 0},  // log clamped to 100
        {1e300, 2.0, 100.0, inf, 1, 1},              // product above L
        {1e-300, 2.0, 700.0, 0.0, 0, 1},             // product below -L
        {-3.0, 1.1, 700.0, 0.0, 0, 1},               // non-positive base
    };
    for (const Case& c : cases) {
        NumericalStats s;
        const double got = guarded_pow_with_stats(&s, c.base, c.exponent, c.limit);
        expect_close(got, c.expected);
        EXPECT_EQ(s.log_clamps, c.log_clamps) << c.base;
        EXPECT_EQ(s.exp_clamps, c.exp_clamps) << c.base;
        EXPECT_EQ(s.total_clamps(), c.log_clamps + c.exp_clamps);
        EXPECT_EQ(guarded_pow_with_stats(nullptr, c.base, c.exponent, c.limit), got);
    }
    NumericalStats s;
    EXPECT_TRUE(std::isnan(guarded_pow_with_stats(&s, qnan, 2.0, 700.0)));
    EXPECT_EQ(s.log_clamps, 1u);

    // Barrier terms r^-alpha: r <= 0 gives B untouched by extremes; a floored
    // or NaN slack counts one residual clamp; a cap counts one barrier clamp.
    NumericsConfig nc;
    NumericalStats z;
    EXPECT_EQ(clamped_barrier_term(nc, &z, 0.0, 0.5), 1e200);
    EXPECT_EQ(z.residual_clamps + z.barrier_clamps, 2u);
    EXPECT_EQ(z.max_barrier_value, 0.0);
    EXPECT_EQ(z.min_residual_seen, inf);
    NumericalStats ok;
    EXPECT_DOUBLE_EQ(clamped_barrier_term(nc, &ok, 4.0, 0.5), 0.5);
    EXPECT_EQ(ok.total_clamps(), 0u);
    EXPECT_EQ(ok.min_residual_seen, 4.0);
    EXPECT_DOUBLE_EQ(ok.max_barrier_value, 0.5);
    for (const double r : {1e-20, qnan}) {
        NumericalStats f;
        expect_close(clamped_barrier_term(nc, &f, r, 1.0), 1e12);
        EXPECT_EQ(f.residual_clamps, 1u);
        EXPECT_EQ(f.total_clamps(), 1u);
    }
    nc.barrier_clamp_max = 10.0;
    NumericalStats cap;
    EXPECT_EQ(clamped_barrier_term(nc, &cap, 1e-6, 1.0), 10.0);
    EXPECT_EQ(cap.barrier_clamps, 1u);
    EXPECT_EQ(cap.total_clamps(), 1u);
    EXPECT_EQ(cap.max_barrier_value, 10.0);
}

TEST(GuardedNumerics, ResidualsFloorOncePerEdge) {
    const Vec lower{0.0, 0.0, 0.0}, upper{4.0, 4.0, 0.0};
    const Vec flow{1.0, 0.0, 0.0, 9.0};  // the last entry has no bounds
    NumericalStats s;
    const Residuals r = Residuals::create_with_stats(flow, lower, upper, &s, 1e-12);
    EXPECT_EQ(r.upper_slack, (Vec{3.0, 4.0, 1e-12, 0.0}));
    EXPECT_EQ(r.lower_slack, (Vec{1.0, 1e-12, 1e-12, 0.0}));
    EXPECT_EQ(s.residual_clamps, 2u);  // edge 1 on one side, edge 2 on both
    EXPECT_EQ(s.min_residual_seen, 1e-12);
}

TEST(Potential, AlphaClampAndItsCheck) {
    const Vec upper(1000, 10.0);
    McfOptions o;
    o.alpha = 2.0;
    EXPECT_EQ(make_potential(upper, 0.0, o).alpha, 1.0);
    o.alpha = 1e-9;
    EXPECT_EQ(make_potential(upper, 0.0, o).alpha, 1e-6);
    o.barrier_alpha_min = 0.5;
    o.barrier_alpha_max = 0.1;
    EXPECT_EQ(Potential::create(numerics_config(o), o.alpha, upper, 0.0).error(),
              McfError::invalid_input("barrier_alpha_min exceeds barrier_alpha_max"));
}

TEST(Potential, MatchesPlainFormulasOnRandomInteriorPoints) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t m = 1 + rng() % 12;
        Vec lo(m), up(m), x(m), c(m);
        for (std::size_t e = 0; e < m; ++e) {
            lo[e] = static_cast<double>(static_cast<int>(rng() % 7) - 3);
            up[e] = lo[e] + static_cast<double>(1 + rng() % 6);
            x[e] =
                lo[e] + (up[e] - lo[e]) * std::uniform_real_distribution<double>(0.01, 0.99)(rng);
            c[e] = static_cast<double>(static_cast<int>(rng() % 5) - 2);
        }
        const double F = (rng() % 2 == 0) ? -50.0 : 1e6;  // gap open, or floored at eps
        McfOptions o;
        if (trial % 3 == 0) o.alpha = 0.25;
        const Potential p = make_potential(up, F, o);

        // The formulas written out with std::pow.
        double cx = 0.0, barrier = 0.0;
        Vec su(m), sl(m);
        for (std::size_t e = 0; e < m; ++e) {
            cx += c[e] * x[e];
            su[e] = up[e] - x[e];
            sl[e] = x[e] - lo[e];
            barrier += std::pow(su[e], 1.1) + std::pow(sl[e], 1.1);
        }
        const double gap = std::max(cx - F, std::pow(p.problem_scale, -10.0));
        const double v = p.value(c, x, lo, up);
        expect_close(v, barrier + cx + std::log(gap) / p.alpha);

        // Every route to the value agrees bit for bit, with or without stats.
        const Residuals r = Residuals::create_with_stats(x, lo, up, nullptr, p.residual_min);
        NumericalStats s;
        EXPECT_EQ(p.value_with_residuals_and_stats(c, x, r), v);
        EXPECT_EQ(p.value_with_residuals_and_stats(c, x, r, &s), v);
        EXPECT_EQ(s.total_clamps(), 0u);
        expect_close(p.duality_gap(c, x, r), barrier / 1.1 + std::max(cx - F, 0.0));

        const GradientAndLengths gl = compute_gradient_and_lengths(p, c, x, lo, up);
        EXPECT_EQ(gl.gradient, p.gradient_with_residuals_and_stats(c, x, r));
        EXPECT_EQ(gl.lengths, lengths_from_gradient(gl.gradient, p.numerics));
        EXPECT_EQ(gl.stats.total_clamps(), 0u);
        ASSERT_EQ(gl.gradient.size(), m);
        for (std::size_t e = 0; e < m; ++e) {
            const double barrier_part = 1.1 * (std::pow(su[e], 0.1) - std::pow(sl[e], 0.1));
            expect_close(gl.gradient[e], barrier_part + c[e] + c[e] / (gap * p.alpha));
            EXPECT_EQ(gl.lengths[e], 1.0 / std::max(std::abs(gl.gradient[e]), 1e-12));
        }
    }
}

TEST(Potential, EmptyShortAndNonFiniteArrays) {
    const Potential p = make_potential({}, -5.0);
    const Vec none;
    EXPECT_EQ(p.value(none, none, none, none), std::log(5.0) / p.alpha);
    const GradientAndLengths gl = compute_gradient_and_lengths(p, none, none, none, none);
    EXPECT_TRUE(gl.gradient.empty() && gl.lengths.empty());
    EXPECT_EQ(gl.stats, NumericalStats{});

    // c.x covers the first edge only; the barrier still covers both.
    const Potential q = make_potential({4.0, 4.0}, -10.0);
    const Vec lo{0.0, 0.0}, up{4.0, 4.0}, x{1.0, 2.0}, c_short{3.0};
    const Residuals r = Residuals::create_with_stats(x, lo, up, nullptr, 1e-12);
    EXPECT_EQ(q.gradient_with_residuals_and_stats(c_short, x, r).size(), 1u);
    const double barrier =
        std::exp(1.1 * std::log(3.0)) + 1.0 + 2.0 * std::exp(1.1 * std::log(2.0));
    expect_close(q.value(c_short, x, lo, up), barrier + (3.0 + std::log(13.0) / q.alpha));

    EXPECT_TRUE(std::isnan(q.value(Vec{qnan, 0.0}, x, lo, up)));
    // An infinite flow: the upper slack floors, the lower one overflows the
    // guarded power (log and exponent clamped) and the edge value caps at B.
    const Vec xi{inf}, c1{1.0};
    NumericalStats s;
    const Residuals ri = Residuals::create_with_stats(xi, Vec{0.0}, Vec{4.0}, &s, 1e-12);
    EXPECT_EQ(q.value_with_residuals_and_stats(c1, xi, ri, &s), inf);
    EXPECT_EQ(s.residual_clamps, 1u);
    EXPECT_EQ(s.log_clamps, 1u);
    EXPECT_EQ(s.exp_clamps, 1u);
    EXPECT_EQ(s.barrier_clamps, 1u);
    EXPECT_EQ(s.max_barrier_value, 1e200);
}

// One division gives the larger of the two quotients, bit for bit, on
// positive numbers of every magnitude, equal pairs and infinities.
TEST(GuardedNumerics, LargerQuotientIsTheTwoDivisionMaximum) {
    std::mt19937_64 rng(5);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v{inf,
                          std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::max(),
                          1.0,
                          1.0 + 0x1p-52,
                          1.0 - 0x1p-53};
    for (int i = 0; i < 300; ++i) {
        v.push_back(std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                               static_cast<int>(rng() % 2100) - 1074));
    }
    for (const double a : v) {
        for (const double b : v) {
            const double two = std::max(a / b, b / a);
            const double one = larger_quotient(a, b);
            EXPECT_TRUE(one == two || (std::isnan(one) && std::isnan(two))) << a << " " << b;
        }
    }
}
