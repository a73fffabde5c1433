// Line search, the gap estimate and threshold, the termination pieces, and
// the carried barrier terms and power memos against fresh evaluations.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "ipm/ipm_result.hpp"
#include "ipm/line_search.hpp"
#include "ipm/termination.hpp"
#include "numerics/potential.hpp"

using namespace zelk;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

Potential make_potential(const std::vector<double>& upper, double lower_bound, McfOptions o = {}) {
    return *Potential::create(numerics_config(o), o.alpha, upper, lower_bound);
}

// First bound reached along d, computed independently.
double step_bound(const std::vector<double>& x, const std::vector<double>& d,
                  const std::vector<double>& lo, const std::vector<double>& up) {
    double t = inf;
    for (std::size_t e = 0; e < x.size(); ++e) {
        if (d[e] > 0) t = std::min(t, (up[e] - x[e]) / d[e]);
        if (d[e] < 0) t = std::min(t, (x[e] - lo[e]) / -d[e]);
    }
    return t;
}

// The bit patterns of an array, so that equality is bitwise (NaN included).
std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

}  // namespace

TEST(LineSearch, ZeroOrBlockedDirectionGivesNoStep) {
    const std::vector<double> lo{0.0, 0.0}, up{4.0, 4.0}, x{1.0, 2.0}, c{1.0, 1.0};
    const Potential p = make_potential(up, -10.0);
    const std::vector<double> g{1.0, 1.0}, len{1.0, 1.0};
    const double phi = p.value(c, x, lo, up);
    const std::vector<double> zero{0.0, 0.0};
    EXPECT_FALSE(line_search({x, zero, c, lo, up, p, g, len, phi, 0.0}));
    // A flow sitting on the bound it would move towards allows no positive step.
    const std::vector<double> at_bound{0.0, 2.0}, down{-1.0, 0.0};
    EXPECT_FALSE(line_search({at_bound, down, c, lo, up, p, g, len, phi, 0.0}));
}

TEST(LineSearch, PhaseOneHalvesUntilTheDecreaseHolds) {
    // Cost 0 and alpha 1: along d = +1 from x = 1 the value is the barrier
    // (10 - x)^1.1 + x^1.1, lowest at 5 and back to its start level at 9.
    McfOptions o;
    o.alpha = 1.0;
    const std::vector<double> lo{0.0}, up{10.0}, x{1.0}, c{0.0}, d{1.0};
    const Potential p = make_potential(up, -1.0, o);
    const double phi = p.value(c, x, lo, up);
    // g.d = -100, d.(d len) = 1: the guess -s/q = 100 is cut to 0.99 t_max.
    const std::vector<double> g{-100.0}, len{1.0};
    const double t0 = 0.99 * 9.0;
    const double delta = 1e-3;
    const std::vector<double> at_t0{1.0 + t0};
    ASSERT_GT(p.value(c, at_t0, lo, up), phi - delta);  // the first trial fails

    const auto step = line_search({x, d, c, lo, up, p, g, len, phi, delta});
    ASSERT_TRUE(step);
    EXPECT_EQ(step->step, t0 / 2.0);
    EXPECT_EQ(step->flow, (std::vector<double>{1.0 + t0 / 2.0}));
    EXPECT_LE(p.value(c, step->flow, lo, up), phi - delta);
}

TEST(LineSearch, NanValuesAreNeverAccepted) {
    const std::vector<double> lo{0.0}, up{10.0}, x{5.0}, d{-1.0}, g{1.0}, len{1.0};
    const std::vector<double> nan_cost{std::nan("")};
    const Potential p = make_potential(up, 0.0);
    EXPECT_FALSE(line_search({x, d, nan_cost, lo, up, p, g, len, 1e300, -1e300}));
}

TEST(LineSearch, AcceptedPointsStayStrictlyInsideAndDecrease) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int accepted = 0;
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t m = 1 + rng() % 8;
        std::vector<double> lo(m), up(m), x(m), c(m), d(m), g(m), len(m);
        for (std::size_t e = 0; e < m; ++e) {
            lo[e] = -static_cast<double>(rng() % 3);
            up[e] = lo[e] + 1.0 + static_cast<double>(rng() % 5);
            x[e] = lo[e] + (up[e] - lo[e]) * (0.05 + 0.9 * unit(rng));
            c[e] = static_cast<double>(static_cast<int>(rng() % 5) - 2);
            d[e] = rng() % 4 == 0 ? 0.0 : unit(rng) * 2.0 - 1.0;
            g[e] = unit(rng) * 4.0 - 2.0;
            len[e] = rng() % 5 == 0 ? 0.0 : unit(rng);
        }
        const Potential p = make_potential(up, -20.0);
        const double phi = p.value(c, x, lo, up);
        const double delta = rng() % 2 == 0 ? 1e-9 : 1.0;
        const auto step = line_search({x, d, c, lo, up, p, g, len, phi, delta});
        if (!step) continue;
        ++accepted;
        const double t_max = step_bound(x, d, lo, up);
        EXPECT_GT(step->step, 0.0);
        EXPECT_LE(step->step, 0.99 * t_max);
        const double relaxed = std::min(
            std::max(std::abs(phi), 1.0) * decrease_scale(p.edge_count, p.problem_scale), 1e-6);
        EXPECT_LE(p.value(c, step->flow, lo, up), phi - std::min(delta, relaxed));
        for (std::size_t e = 0; e < m; ++e) {
            EXPECT_EQ(step->flow[e], x[e] + step->step * d[e]);
            if (d[e] != 0.0) {
                EXPECT_GT(step->flow[e], lo[e]);
                EXPECT_LT(step->flow[e], up[e]);
            }
        }
    }
    EXPECT_GT(accepted, 20);
}

TEST(GapEstimate, FailsToInfinity) {
    const NumericsConfig nc;
    const std::vector<double> x{1.0, 2.0}, c{1.0, 1.0}, lo{0.0, 0.0}, up{4.0, 4.0};
    const Residuals r = Residuals::create_with_stats(x, lo, up, nullptr, 1e-12);
    EXPECT_TRUE(std::isfinite(estimate_duality_gap_with_config(x, c, r, 2, nc, 0.5, 4.0)));
    EXPECT_EQ(estimate_duality_gap_with_config(x, c, r, 2, nc, 0.5, std::nan("")),
              estimate_duality_gap_with_config(x, c, r, 2, nc, 0.5, 1.0));
    const std::vector<double> c_short{1.0};
    EXPECT_EQ(estimate_duality_gap_with_config(x, c_short, r, 2, nc, 0.5, 4.0), inf);
    Residuals short_slack = r;
    short_slack.lower_slack.pop_back();
    EXPECT_EQ(estimate_duality_gap_with_config(x, c, short_slack, 2, nc, 0.5, 4.0), inf);
    const std::vector<double> c_inf{inf, 0.0};
    EXPECT_EQ(estimate_duality_gap_with_config(x, c_inf, r, 2, nc, 0.5, 4.0), inf);
    NumericsConfig open_cap = nc;
    open_cap.barrier_clamp_max = inf;  // a zero slack then yields an infinite pair
    Residuals zero_slack = r;
    zero_slack.upper_slack[1] = 0.0;
    EXPECT_EQ(estimate_duality_gap_with_config(x, c, zero_slack, 2, open_cap, 0.5, 4.0), inf);
    EXPECT_EQ(estimate_duality_gap_with_config(x, c, r, 2, nc, inf, 4.0), inf);
    // Empty arrays with m = 0: X = max(reference, 1), E = 0.
    const std::vector<double> none;
    const Residuals empty = Residuals::create_with_stats(none, none, none, nullptr, 1e-12);
    EXPECT_EQ(estimate_duality_gap_with_config(none, none, empty, 0, nc, 0.5, 3.0), 3.0);
}

// The decisions with a rule of their own (the thresholds themselves are
// pinned by the golden runs): the previous cycle's promise replaces the
// estimate, NaN never converges, and a converged last iteration reports the
// iteration limit.
TEST(Termination, Decisions) {
    EXPECT_EQ(gap_for_check(1e-3, std::nullopt), 1e-3);
    EXPECT_EQ(gap_for_check(1e-3, -0.5), 0.5);
    EXPECT_EQ(gap_for_check(1e-3, 0.5), 1e-3);
    EXPECT_FALSE(gap_converged(std::nan(""), 1.0));
    EXPECT_EQ(stop_at(IpmTermination::NoImprovingCycle, 3, 10).termination,
              IpmTermination::NoImprovingCycle);
    const IpmStop last = stop_at(IpmTermination::Converged, 9, 10);
    EXPECT_EQ(last.termination, IpmTermination::IterationLimit);
    EXPECT_TRUE(last.by_max_iters);
    EXPECT_FALSE(last_iteration(0, 2));
    EXPECT_TRUE(last_iteration(std::numeric_limits<std::size_t>::max() - 1,
                               std::numeric_limits<std::size_t>::max()));
}

// The loop evaluates the barrier once per flow and hands the terms on. A
// line potential, fresh or started from carried terms, equals a full
// evaluation at every trial point bit for bit (signed zeros, floored slacks,
// arrays of unequal length included); so do the fused value and gap and the
// terms taken at the last trial.
TEST(LinePotential, EqualsFreshEvaluationsBitForBit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (int trial = 0; trial < 150; ++trial) {
        const std::size_t m = 1 + rng() % 30;
        std::vector<double> lower(m), upper(m), cost(m), flow(m), dir(m, 0.0);
        for (std::size_t e = 0; e < m; ++e) {
            lower[e] = std::floor(unit(rng) * 6) - 3;
            upper[e] = lower[e] + std::floor(unit(rng) * 5);
            cost[e] = std::floor(unit(rng) * 9) - 4;
            flow[e] = lower[e] + (upper[e] - lower[e]) * unit(rng);
            if (rng() % 5 == 0) flow[e] = rng() % 2 ? 0.0 : -0.0;
            if (rng() % 6 == 0) flow[e] = upper[e] + 1e-13;  // a floored slack
            if (rng() % 3 == 0) dir[e] = unit(rng) * 2 - 1;
            if (rng() % 9 == 0) dir[e] = -0.0;
        }
        if (trial % 7 == 0) flow.push_back(1.5);  // a flow longer than the bounds
        if (trial % 11 == 0) cost.pop_back();     // and costs shorter than the flow
        // alpha 1 keeps the log term small, so the barrier sum's last bits show.
        McfOptions o;
        if (trial % 3 != 0) o.alpha = 1.0;
        const Potential p = make_potential(upper, trial % 2 ? -50.0 : 1e6, o);
        const Residuals r =
            Residuals::create_with_stats(flow, lower, upper, nullptr, p.residual_min);
        std::vector<double> terms;
        const auto fused = p.value_and_gap(cost, flow, r, terms);
        ASSERT_TRUE(same(fused.value, p.value_with_residuals_and_stats(cost, flow, r)));
        ASSERT_TRUE(same(fused.gap, p.duality_gap(cost, flow, r)));
        ASSERT_EQ(terms.size(), flow.size());

        LinePotential fresh(p, cost, flow, lower, upper, dir);
        LinePotential carried(p, cost, flow, lower, upper, dir, terms);
        for (double t : {0.0, 1e-3, 0.25, 1.0, 3.0}) {
            std::vector<double> x = flow;
            for (std::size_t e = 0; e < std::min(dir.size(), x.size()); ++e)
                x[e] = flow[e] + t * dir[e];
            const double expected = p.value(cost, x, lower, upper);
            ASSERT_TRUE(same(fresh.value_at(t), expected)) << trial << " t " << t;
            ASSERT_TRUE(same(carried.value_at(t), expected)) << trial << " t " << t;
            ASSERT_EQ(std::vector<double>(carried.trial().begin(), carried.trial().end()), x);
        }
        std::vector<double> x(carried.trial().begin(), carried.trial().end());
        const std::vector<double> at_trial = carried.take_barrier();
        const Residuals rx = Residuals::create_with_stats(x, lower, upper, nullptr, p.residual_min);
        std::vector<double> expected;
        const auto direct = p.value_and_gap(cost, x, rx, expected);
        ASSERT_EQ(std::memcmp(at_trial.data(), expected.data(), sizeof(double) * x.size()), 0);
        const auto from_terms = p.value_and_gap_from_terms(cost, x, at_trial);
        ASSERT_TRUE(same(from_terms.value, direct.value));
        ASSERT_TRUE(same(from_terms.gap, direct.gap));
    }
}

// A trial rejected before its barrier terms are evaluated leaves them for
// the next call that needs them. After any mix of rejected, accepted and
// plain trials, values, trial points and the barrier terms handed on equal
// full evaluations at the same points.
TEST(LinePotential, TermsSkippedByRejectionsAreEvaluatedWhenNeeded) {
    std::mt19937_64 rng(41);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    int skipped = 0;
    for (int trial = 0; trial < 80; ++trial) {
        const std::size_t m = 1 + rng() % 40;
        std::vector<double> lower(m), upper(m), cost(m), flow(m), dir(m, 0.0);
        for (std::size_t e = 0; e < m; ++e) {
            lower[e] = std::floor(unit(rng) * 6) - 3;
            upper[e] = lower[e] + 1 + std::floor(unit(rng) * 5);
            cost[e] = std::floor(unit(rng) * 9) - 4;
            flow[e] = lower[e] + (upper[e] - lower[e]) * unit(rng);
            if (rng() % 7 == 0) flow[e] = rng() % 2 ? 0.0 : -0.0;
            if (rng() % 3 == 0) dir[e] = unit(rng) * 2 - 1;
        }
        McfOptions o;
        o.alpha = 1.0;
        const Potential p = make_potential(upper, -50.0, o);
        LinePotential line(p, cost, flow, lower, upper, dir);
        double last = 0.0;
        for (int k = 0; k < 12; ++k) {
            const double t = (0.5 + unit(rng)) * std::ldexp(1.0, -static_cast<int>(rng() % 8));
            last = t;
            std::vector<double> x = flow;
            for (std::size_t e = 0; e < m; ++e) x[e] = flow[e] + t * dir[e];
            const double expected = p.value(cost, x, lower, upper);
            const int kind = static_cast<int>(rng() % 3);
            if (kind == 0) {
                ASSERT_FALSE(line.value_at_most(t, expected - 1e6));  // far below: no powers
                ++skipped;
            } else if (kind == 1) {
                const std::optional<double> got = line.value_at_most(t, expected);
                ASSERT_TRUE(got && same(*got, expected)) << trial << " t " << t;
            } else {
                ASSERT_TRUE(same(line.value_at(t), expected)) << trial << " t " << t;
            }
            ASSERT_EQ(std::memcmp(line.trial().data(), x.data(), sizeof(double) * m), 0);
        }
        // The terms handed on are those at the last trial point, however it was left.
        if (rng() % 2 == 0) {
            ASSERT_FALSE(line.value_at_most(last, -1e300));
            ++skipped;
        }
        std::vector<double> x = flow;
        for (std::size_t e = 0; e < m; ++e) x[e] = flow[e] + last * dir[e];
        const Residuals rx = Residuals::create_with_stats(x, lower, upper, nullptr, p.residual_min);
        std::vector<double> expected;
        p.value_and_gap(cost, x, rx, expected);
        const std::vector<double> got = line.take_barrier();
        ASSERT_EQ(got.size(), expected.size());
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), sizeof(double) * got.size()), 0);
    }
    EXPECT_GT(skipped, 100);
}

// Trials are rejected from a bound on the value without summing every edge.
// Against the full evaluation at the same point, with limits at, just below
// and just above the value (where rounding decides): a rejection only when
// the value exceeds the limit or is NaN, and a returned value bit for bit.
TEST(LinePotential, BoundedTrialsAgreeWithFullValue) {
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    int rejected = 0, near_accepted = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t m = 1 + rng() % 60;
        const double scale = std::ldexp(1.0, static_cast<int>(rng() % 40) - 10);
        std::vector<double> lower(m), upper(m), cost(m), flow(m), dir(m, 0.0);
        for (std::size_t e = 0; e < m; ++e) {
            lower[e] = std::floor(unit(rng) * 6) - 3;
            upper[e] = lower[e] + 1 + std::floor(unit(rng) * 5);
            cost[e] = (unit(rng) * 9 - 4) * (rng() % 4 == 0 ? scale : 1.0);
            flow[e] = lower[e] + (upper[e] - lower[e]) * unit(rng);
            if (rng() % 9 == 0) flow[e] = rng() % 2 ? 0.0 : -0.0;
            if (rng() % 3 == 0) dir[e] = unit(rng) * 2 - 1;
        }
        McfOptions o;
        if (trial % 3 != 0) o.alpha = 1.0;
        // A negative cap makes every barrier term negative: zero is then no
        // least value, and rejections must wait for the terms.
        if (trial % 5 == 4) o.barrier_clamp_max = -1.0 - unit(rng);
        const Potential p = make_potential(upper, trial % 2 ? -50.0 : 1e6, o);
        LinePotential full(p, cost, flow, lower, upper, dir);
        LinePotential bounded(p, cost, flow, lower, upper, dir);
        for (double t : {1e-9, 1e-3, 0.05, 0.25, 1.0, 3.0}) {
            const double exact = full.value_at(t);
            const double spread = std::fabs(exact) * unit(rng) * 1e-6;
            for (double limit : {exact, std::nextafter(exact, -inf), std::nextafter(exact, inf),
                                 exact - spread, exact + spread, exact - 1.0}) {
                const std::optional<double> got = bounded.value_at_most(t, limit);
                ASSERT_EQ(std::vector<double>(bounded.trial().begin(), bounded.trial().end()),
                          std::vector<double>(full.trial().begin(), full.trial().end()));
                if (!got) {
                    ASSERT_FALSE(exact <= limit) << trial << " t " << t;
                    ++rejected;
                } else {
                    ASSERT_TRUE(same(*got, exact)) << trial << " t " << t;
                    if (!(exact <= limit)) ++near_accepted;
                }
            }
        }
    }
    EXPECT_GT(rejected, 1000);
    EXPECT_GT(near_accepted, 0);
}

// The loop keeps per-edge powers keyed by the edge's slacks and reuses them
// when a step leaves an edge alone. Along a walk of flows where each step
// moves a few edges (some into clamping ranges, some to NaN), evaluations
// with the memos equal fresh ones: arrays, values and every counter.
TEST(SlackMemo, ReusedPowersEqualFreshEvaluations) {
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int run = 0; run < 12; ++run) {
        McfOptions o;
        o.numerical_clamp_log = run % 3 == 0 ? 4.0 : 700.0;  // small: logs and powers clamp
        o.gradient_clamp_max = run % 4 == 1 ? 0.5 : 1e100;
        o.residual_min = run % 2 ? 1e-12 : 1e-300;
        const std::size_t m = 2 + rng() % 25;
        std::vector<double> lower(m), upper(m), cost(m), flow(m);
        for (std::size_t e = 0; e < m; ++e) {
            lower[e] = std::floor(unit(rng) * 6) - 3;
            upper[e] = lower[e] + 1 + std::floor(unit(rng) * 1e3);
            cost[e] = std::floor(unit(rng) * 9) - 4;
            flow[e] = lower[e] + (upper[e] - lower[e]) * unit(rng);
        }
        const Potential p = make_potential(upper, -100.0, o);
        SlackMemo<BarrierGradientTerm> gradient_memo;
        SlackMemo<double> estimate_memo;
        for (int step = 0; step < 15; ++step) {
            for (int k = 0; k < 3; ++k) {
                const std::size_t e = rng() % m;
                const double r = unit(rng);
                flow[e] = r < 0.1    ? upper[e]        // slack floored
                          : r < 0.2  ? lower[e] - 1.0  // negative slack
                          : r < 0.25 ? std::nan("")
                          : r < 0.3  ? upper[e] - 1e-200  // tiny slack
                                     : lower[e] + (upper[e] - lower[e]) * unit(rng);
            }
            const GradientAndLengths fresh =
                compute_gradient_and_lengths(p, cost, flow, lower, upper);
            const GradientAndLengths kept =
                compute_gradient_and_lengths(p, cost, flow, lower, upper, &gradient_memo);
            ASSERT_EQ(bits(kept.gradient), bits(fresh.gradient)) << run << "/" << step;
            ASSERT_EQ(bits(kept.lengths), bits(fresh.lengths));
            ASSERT_EQ(kept.stats, fresh.stats);
            const double a = estimate_duality_gap_with_config(flow, cost, fresh.residuals, m,
                                                              p.numerics, p.alpha, 10.0);
            const double b = estimate_duality_gap_with_config(
                flow, cost, fresh.residuals, m, p.numerics, p.alpha, 10.0, &estimate_memo);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(a), std::bit_cast<std::uint64_t>(b));
        }
    }
}

// Each iteration evaluates into the arrays of an earlier evaluation. Reused
// across flows of changing lengths (bounds and costs shorter than the flow
// included), with clamps counted, it equals a fresh evaluation: arrays,
// slacks and every counter.
TEST(GradientAndLengths, EvaluationIntoUsedArraysEqualsFresh) {
    std::mt19937_64 rng(47);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    GradientAndLengths used;
    for (int run = 0; run < 80; ++run) {
        const std::size_t m = 1 + rng() % 30;
        std::vector<double> lower(m), upper(m), cost(m), flow(m);
        for (std::size_t e = 0; e < m; ++e) {
            lower[e] = std::floor(unit(rng) * 6) - 3;
            upper[e] = lower[e] + 1 + std::floor(unit(rng) * 50);
            cost[e] = std::floor(unit(rng) * 9) - 4;
            flow[e] = rng() % 5 == 0 ? upper[e] : lower[e] + (upper[e] - lower[e]) * unit(rng);
        }
        if (run % 4 == 1) flow.push_back(2.5);  // entries past the bounds: 0.0 slacks
        if (run % 5 == 2) cost.pop_back();
        if (run % 6 == 3) {  // a gradient entry past the bounds too
            flow.push_back(-1.0);
            cost.resize(flow.size(), 3.0);
        }
        McfOptions o;
        o.numerical_clamp_log = run % 3 == 0 ? 4.0 : 700.0;
        const Potential p = make_potential(upper, -100.0, o);
        const GradientAndLengths fresh = compute_gradient_and_lengths(p, cost, flow, lower, upper);
        // Without a memo, then filling one and reading it back.
        SlackMemo<BarrierGradientTerm> memo;
        SlackMemo<BarrierGradientTerm>* const kinds[] = {nullptr, &memo, &memo};
        for (SlackMemo<BarrierGradientTerm>* kept : kinds) {
            compute_gradient_and_lengths_into(used, p, cost, flow, lower, upper, kept);
            ASSERT_EQ(bits(used.gradient), bits(fresh.gradient)) << run;
            ASSERT_EQ(bits(used.lengths), bits(fresh.lengths)) << run;
            ASSERT_EQ(bits(used.residuals.upper_slack), bits(fresh.residuals.upper_slack)) << run;
            ASSERT_EQ(bits(used.residuals.lower_slack), bits(fresh.residuals.lower_slack)) << run;
            ASSERT_EQ(used.stats, fresh.stats) << run;
        }
    }
}
