// Cost scaling: the scaled problem and its divisor, the big-integer bracket
// and pricing against 128-bit sums, and the rounds of the bisection as seen
// in their progress lines (re-simulated from the printed midpoints and costs).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "captured_lines.hpp"
#include "random_flow_instances.hpp"
#include "scaling/cost_scaling.hpp"
#include "scaling/scaling_bounds.hpp"

using namespace zelk;
using zelk::testing::CapturedLines;
using zelk::testing::FlowInstance;
using zelk::testing::make_problem;
using zelk::testing::random_flow_instance;

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

std::vector<std::int64_t> costs_of(const McfProblem& p) {
    return {p.cost().begin(), p.cost().end()};
}

McfOptions quick_options() {
    McfOptions o;
    o.max_iters = 40;
    o.oracle_mode = OracleMode::Fallback;
    return o;
}

BigInt big(std::int64_t v) { return BigInt(v); }

// The values of "[cost_scaling] round=R midpoint=M cost=C scaled_max=S
// elapsed_ms=E", in that order, or nothing when the line has another shape.
// (The exact spacing is checked from Python, tests/python/test_scaling.py.)
std::optional<std::vector<std::string>> cost_line_fields(const std::string& line) {
    static const std::string keys[] = {
        "round=", "midpoint=", "cost=", "scaled_max=", "elapsed_ms="};
    std::istringstream in(line);
    std::string word;
    if (!(in >> word) || word != "[cost_scaling]") return std::nullopt;
    std::vector<std::string> values;
    for (const std::string& key : keys) {
        if (!(in >> word) || !word.starts_with(key)) return std::nullopt;
        const std::string v = word.substr(key.size());
        const std::size_t sign = v.starts_with('-') ? 1 : 0;
        if (v.size() == sign || v.find_first_not_of("0123456789", sign) != std::string::npos) {
            return std::nullopt;
        }
        values.push_back(v);
    }
    if (in >> word) return std::nullopt;
    return values;
}

}  // namespace

TEST(CostScaling, ScaledCostsStayWithinTheBound) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 150; ++trial) {
        FlowInstance inst = random_flow_instance(rng, true);
        const int shift = static_cast<int>(rng() % 61);
        for (std::int64_t& c : inst.cost) c = c * static_cast<std::int64_t>(rng() >> (shift + 3));
        const McfProblem p = inst.problem();
        auto s = build_cost_scaled_problem(p);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->bound, cube_bound(inst.cost.size()));
        EXPECT_LE(s->scaled_max, s->bound);
        for (std::size_t i = 0; i < inst.cost.size(); ++i) {
            EXPECT_EQ(s->problem.cost()[i], inst.cost[i] / s->divisor);
        }
        // k = ceil(C / T): C / (k - 1) would exceed T before truncation.
        if (s->divisor > 1) {
            Int128 largest = 0;
            for (std::int64_t c : inst.cost)
                largest = std::max<Int128>(largest, c < 0 ? -Int128{c} : c);
            EXPECT_GT(largest, Int128{s->bound} * (s->divisor - 1));
            EXPECT_LE(largest, Int128{s->bound} * s->divisor);
        }
        EXPECT_TRUE(std::ranges::equal(s->problem.upper(), p.upper()));
        EXPECT_TRUE(std::ranges::equal(s->problem.demands(), p.demands()));
    }
    // m = 1 (T = 1) with |cost| = 2^63: the divisor saturates and still
    // brings every cost within T.
    auto extreme = build_cost_scaled_problem(make_problem({0}, {1}, {0}, {1}, {I64_MIN}, {0, 0}));
    ASSERT_TRUE(extreme);
    EXPECT_EQ(extreme->divisor, I64_MAX);
    EXPECT_EQ(costs_of(extreme->problem), (std::vector<std::int64_t>{-1}));
}

TEST(CostScaling, BracketAndPriceAgreeWith128BitSums) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 150; ++trial) {
        FlowInstance inst = random_flow_instance(rng, true);
        for (std::int64_t& c : inst.cost) c *= 1'000'003;
        const McfProblem p = inst.problem();
        Int128 least = 0, most = 0;
        std::int64_t u = 1;
        for (std::int64_t x : inst.upper) u = std::max<std::int64_t>(u, std::abs(x));
        for (std::size_t i = 0; i < inst.cost.size(); ++i) {
            least += Int128{inst.cost[i]} * (inst.cost[i] < 0 ? inst.upper[i] : inst.lower[i]);
            most += Int128{std::abs(inst.cost[i])} * u;
        }
        auto bracket = cost_bracket(p);
        ASSERT_TRUE(bracket);
        EXPECT_EQ(bracket->lo, BigInt(std::min(least, most)));
        EXPECT_EQ(bracket->hi, BigInt(std::max(least, most)));
        std::vector<double> x(inst.witness.size());
        Int128 price = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] =
                static_cast<double>(inst.witness[i]) + (static_cast<double>(rng() % 9) - 4.0) / 8.0;
            price += Int128{inst.cost[i]} * static_cast<std::int64_t>(std::round(x[i]));
        }
        EXPECT_EQ(*price_rounded_flow(p, x), BigInt(price));
    }
}

TEST(CostScaling, ExtremeBracketNeedsMoreThan128Bits) {
    const McfProblem p = make_problem({0, 0}, {1, 1}, {I64_MIN, I64_MIN}, {I64_MAX, I64_MAX},
                                      {I64_MIN, I64_MIN}, {0, 0});
    auto bracket = cost_bracket(p);
    ASSERT_TRUE(bracket);
    // lo = 2 (-2^63)(2^63 - 1) and hi = 2 |-2^63| (2^63 - 1): beyond 2^126.
    EXPECT_EQ(bracket->lo.to_string(), "-170141183460469231713240559642174554112");
    EXPECT_EQ(bracket->hi.to_string(), "170141183460469231713240559642174554112");
    EXPECT_EQ(bigint_bits(bracket->hi), 127u);
    // Prices of huge fractional values saturate to 2^127 - 1 per unit.
    const std::vector<double> x = {1e300, std::nan("")};
    EXPECT_EQ(price_rounded_flow(p, x)->to_string(),
              "-1569275433846670190958947355801916604016365489079153852416");
}

TEST(CostScaling, RoundsFollowTheBisection) {
    std::mt19937_64 rng(4);
    for (int trial = 0; trial < 6; ++trial) {
        // A ring (so a strictly interior flow exists) plus chords; large costs.
        const std::uint32_t n = 4 + static_cast<std::uint32_t>(rng() % 3);
        std::vector<std::uint32_t> t, h;
        std::vector<std::int64_t> lo, up, c;
        for (std::uint32_t v = 0; v < n + 3; ++v) {
            t.push_back(v % n);
            h.push_back(v < n ? (v + 1) % n : static_cast<std::uint32_t>(rng() % n));
            lo.push_back(0);
            up.push_back(6);
            // All costs zero in the first trial: one round closes the bracket.
            c.push_back(trial == 0 ? 0 : static_cast<std::int64_t>(rng() % 20000) - 5000);
        }
        std::vector<std::int64_t> d(n, 0);
        d[0] = -2;
        d[n / 2] = 2;
        const McfProblem p = make_problem(t, h, lo, up, c, d);
        auto scaled = build_cost_scaled_problem(p);
        auto bracket = cost_bracket(p);
        ASSERT_TRUE(scaled && bracket);
        CapturedLines captured;
        auto run = cost_scaling(p, quick_options(), captured.context());
        ASSERT_TRUE(run) << run.error().to_string();
        const auto lines = captured.starting_with("[cost_scaling] ");
        ASSERT_FALSE(lines.empty());
        if (trial == 0) {
            EXPECT_EQ(lines.size(), 1u);
        }
        EXPECT_LE(lines.size(), bigint_bits(bracket->hi) + 1);
        BigInt low = bracket->lo, high = bracket->hi;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const auto m = cost_line_fields(lines[k]);
            ASSERT_TRUE(m) << lines[k];
            EXPECT_EQ((*m)[0], std::to_string(k + 1));
            const BigInt mid = checked_add(low, high)->half();
            EXPECT_EQ((*m)[1], mid.to_string());
            EXPECT_EQ((*m)[3], std::to_string(scaled->scaled_max));
            // The printed cost decides the next bracket.
            const bool accepted = std::stoll((*m)[2]) <= std::stoll((*m)[1]);
            if (accepted) {
                high = *checked_sub(mid, big(1));
            } else {
                low = *checked_add(mid, big(1));
            }
        }
        // The loop ended because the bracket closed or the rounds ran out.
        EXPECT_TRUE(high < low || lines.size() == bigint_bits(bracket->hi) + 1);
    }
}
