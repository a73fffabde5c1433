// Warm starts and capacity scaling: feasibility checks of warm starts (with
// overflow that a wrapping sum would accept), rounding, the trailing-zero
// count and scale factor, exact division, a single phase when nothing divides,
// and the equivalence of an optimum of the divided problem, times the
// divisor, with an optimum of the input (against the classic solver).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "captured_lines.hpp"
#include "mcf_solution.hpp"
#include "random_flow_instances.hpp"
#include "scaling/capacity_scaling.hpp"
#include "scaling/scaling_bounds.hpp"
#include "scaling/warm_start.hpp"

using namespace zelk;
using zelk::testing::CapturedLines;
using zelk::testing::FlowInstance;
using zelk::testing::make_problem;
using zelk::testing::random_flow_instance;

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();

// The instance with every bound, demand and witness value times `factor`.
FlowInstance times(FlowInstance inst, std::int64_t factor) {
    for (auto* v : {&inst.lower, &inst.upper, &inst.demands, &inst.witness}) {
        for (std::int64_t& x : *v) x *= factor;
    }
    return inst;
}

McfOptions quick_options() {
    McfOptions o;
    o.max_iters = 60;
    o.oracle_mode = OracleMode::Fallback;
    return o;
}

}  // namespace

TEST(WarmStart, AcceptsExactlyTheFeasibleFlows) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 100; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, true);
        const McfProblem p = inst.problem();
        EXPECT_EQ(feasible_initial_flow(p, inst.witness), inst.witness);
        EXPECT_FALSE(feasible_initial_flow(p, std::nullopt));
        std::vector<std::int64_t> longer = inst.witness;
        longer.push_back(0);
        EXPECT_FALSE(feasible_initial_flow(p, longer));
        for (std::size_t i = 0; i < inst.witness.size(); ++i) {
            std::vector<std::int64_t> moved = inst.witness;
            if (moved[i] < inst.upper[i]) {
                ++moved[i];
            } else {
                --moved[i];
            }
            // A self-loop changes no balance; any other edge breaks two.
            EXPECT_EQ(feasible_initial_flow(p, moved).has_value(), inst.tails[i] == inst.heads[i]);
            moved = inst.witness;
            moved[i] = inst.upper[i] + 1;
            EXPECT_FALSE(feasible_initial_flow(p, moved));
        }
    }
    // 2 * (2^63 - 1) wraps to -2, which would match these (wrap-summed) demands.
    const McfProblem p = make_problem({0, 0}, {1, 1}, {0, 0}, {I64_MAX, I64_MAX}, {1, 1}, {2, -2});
    EXPECT_FALSE(feasible_initial_flow(p, std::vector<std::int64_t>{I64_MAX, I64_MAX}));
}

TEST(WarmStart, RoundsHalvesAwayFromZeroAndSaturates) {
    EXPECT_EQ(round_to_int64(2.5), 3);
    EXPECT_EQ(round_to_int64(-2.5), -3);
    EXPECT_EQ(round_to_int64(2.49), 2);
    EXPECT_EQ(round_to_int64(std::nan("")), 0);
    EXPECT_EQ(round_to_int64(1e300), I64_MAX);
    EXPECT_EQ(round_to_int64(-1e300), I64_MIN);
    EXPECT_EQ(round_to_int64(0x1p63), I64_MAX);
    EXPECT_EQ(round_to_int64(-0x1p63), I64_MIN);
    EXPECT_EQ(round_to_int128(-2.5), -3);
    EXPECT_EQ(round_to_int128(1e300), INT128_HIGHEST);
    EXPECT_EQ(round_to_int128(-std::numeric_limits<double>::infinity()), INT128_LOWEST);
    EXPECT_EQ(round_to_int128(0x1p100), Int128{1} << 100);
}

TEST(WarmStart, UpdateKeepsThePreviousStartWhenRoundingIsInfeasible) {
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 80; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, false);
        const McfProblem p = inst.problem();
        std::vector<double> near(inst.witness.size());
        for (std::size_t i = 0; i < near.size(); ++i) {
            near[i] = static_cast<double>(inst.witness[i]) +
                      (static_cast<double>(rng() % 9) - 4.0) / 10.0;
        }
        const WarmStart previous = std::vector<std::int64_t>(inst.witness.size(), 7);
        EXPECT_EQ(update_initial_flow(p, previous, near), inst.witness);
        std::vector<double> wrong(near.size() + 1, 0.0);
        EXPECT_EQ(update_initial_flow(p, previous, wrong), previous);
        EXPECT_EQ(update_initial_flow(p, std::nullopt, wrong), std::nullopt);
    }
}

TEST(CapacityScaling, ExactAtTheEndsOfTheRange) {
    EXPECT_EQ(trailing_zero_count(make_problem({0}, {1}, {0}, {0}, {5}, {0, 0})), std::nullopt);
    EXPECT_EQ(trailing_zero_count(make_problem({}, {}, {}, {}, {}, {})), std::nullopt);
    EXPECT_EQ(trailing_zero_count(make_problem({0}, {1}, {-12}, {16}, {3}, {0, 0})), 2u);
    EXPECT_EQ(trailing_zero_count(make_problem({0}, {1}, {I64_MIN}, {I64_MIN}, {1}, {0, 0})), 63u);
    EXPECT_EQ(cube_bound(0), 1);
    EXPECT_EQ(cube_bound(2097151), std::int64_t{2097151} * 2097151 * 2097151);
    EXPECT_EQ(cube_bound(2097152), I64_MAX);  // 2^63
    EXPECT_EQ(cube_bound(std::numeric_limits<std::size_t>::max()), I64_MAX);
    const McfProblem p = make_problem({0, 1}, {1, 2}, {-4, 0}, {8, 12}, {3, -5}, {-4, 0, 4});
    const McfError positive = McfError::invalid_input("capacity scaling divisor must be positive");
    EXPECT_EQ(scale_problem(p, 0).error(), positive);
    EXPECT_EQ(scale_problem(p, -4).error(), positive);
    const McfError divisible =
        McfError::invalid_input("capacity scaling requires divisible values");
    EXPECT_EQ(scale_problem(p, 8).error(), divisible);  // lower -4
    EXPECT_EQ(scale_problem(make_problem({0}, {1}, {0}, {8}, {1}, {-6, 6}), 4).error(), divisible);
}

TEST(CapacityScaling, DividedOptimumTimesDivisorIsAnOptimum) {
    std::mt19937_64 rng(21);
    for (int trial = 0; trial < 100; ++trial) {
        const unsigned shift = static_cast<unsigned>(rng() % 40);
        const std::int64_t d = std::int64_t{1} << shift;
        const FlowInstance inst = times(random_flow_instance(rng, trial % 2 == 0), d);
        const McfProblem p = inst.problem();
        if (auto zeros = trailing_zero_count(p)) {
            EXPECT_GE(*zeros, shift);
        }
        auto scaled = scale_problem(p, d);
        ASSERT_TRUE(scaled);
        for (std::size_t i = 0; i < inst.upper.size(); ++i) {
            EXPECT_EQ(scaled->lower()[i] * d, inst.lower[i]);
            EXPECT_EQ(scaled->upper()[i] * d, inst.upper[i]);
            EXPECT_EQ(scaled->cost()[i], inst.cost[i]);  // costs are not divided
        }
        auto small = solve_classic_with_mode(*scaled, SolverMode::Classic);
        auto full = solve_classic_with_mode(p, SolverMode::Classic);
        ASSERT_TRUE(small && full);
        EXPECT_EQ(small->cost * d, full->cost);
        std::vector<std::int64_t> up = small->flow;
        for (std::int64_t& x : up) x *= d;
        EXPECT_TRUE(feasible_initial_flow(p, up));
        EXPECT_EQ(*flow_cost(p, up), full->cost);
    }
}

// The phase lines of real runs are pinned by the recorded runs; nothing to
// divide still runs one phase at divisor 1.
TEST(CapacityScaling, NothingToDivideRunsOnePhase) {
    CapturedLines one;
    auto z =
        capacity_scaling(make_problem({}, {}, {}, {}, {}, {0, 0}), quick_options(), one.context());
    ASSERT_TRUE(z) << z.error().to_string();
    EXPECT_EQ(z->divisor, 1);
    EXPECT_EQ(
        one.starting_with("[capacity_scaling] "),
        (std::vector<std::string>{"[capacity_scaling] phase=0 divisor=1 iterations=0 bound=1"}));
}

TEST(CapacityScaling, ResultsAreExactCoarseningsWithFeasibleWarmStarts) {
    std::mt19937_64 rng(34);
    for (int trial = 0; trial < 25; ++trial) {
        const std::int64_t d = std::int64_t{1} << (rng() % 12);
        FlowInstance inst = random_flow_instance(rng, true);
        // Strictly interior witness: widen every bound by one unit first.
        for (std::size_t i = 0; i < inst.lower.size(); ++i) {
            --inst.lower[i];
            ++inst.upper[i];
        }
        inst = times(inst, d);
        const McfProblem p = inst.problem();
        CapturedLines captured;
        auto r = capacity_scaling(p, quick_options(), captured.context());
        ASSERT_TRUE(r) << r.error().to_string();
        EXPECT_EQ(r->divisor, capacity_scale_factor(p).target);
        auto expected = scale_problem(p, r->divisor);
        ASSERT_TRUE(expected);
        EXPECT_TRUE(std::ranges::equal(expected->upper(), r->problem.upper()));
        EXPECT_TRUE(std::ranges::equal(expected->demands(), r->problem.demands()));
        if (r->initial_flow) {
            EXPECT_TRUE(feasible_initial_flow(r->problem, r->initial_flow));
        }
        EXPECT_FALSE(captured.starting_with("[capacity_scaling] phase=0 ").empty());
    }
}
