// The scaling route end to end: every combination of its switches against the
// classic solver's optimum on seeded instances whose bounds and demands share
// powers of two and whose costs exceed m^3; the cost-stage choice at the
// m^3 boundary; unscaling overflow; the residual warning; the driver's
// routing into the scaling route.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "captured_lines.hpp"
#include "mcf_driver.hpp"
#include "random_flow_instances.hpp"
#include "scaling/scaling_driver.hpp"
#include "scaling/warm_start.hpp"

using namespace zelk;
using zelk::testing::CapturedLines;
using zelk::testing::FlowInstance;
using zelk::testing::make_problem;
using zelk::testing::random_flow_instance;

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

McfOptions quick_options() {
    McfOptions o;
    o.max_iters = 40;
    o.oracle_mode = OracleMode::Fallback;
    return o;
}

// A triangle with room around the forced unit: strictly interior flows exist.
McfProblem triangle(std::int64_t dear_cost) {
    return make_problem({0, 1, 0}, {1, 2, 2}, {0, 0, 0}, {4, 4, 4}, {1, 1, dear_cost}, {-1, 0, 1});
}

}  // namespace

TEST(ScalingDriver, EveryRouteEndsInTheOptimum) {
    std::mt19937_64 rng(2026);
    int interior = 0, rounded = 0;
    for (int trial = 0; trial < 16; ++trial) {
        FlowInstance inst = random_flow_instance(rng, trial % 2 == 0);
        // Widen the bounds so that most instances have an interior, then
        // share a power of two across bounds and demands.
        if (trial % 3 != 0) {
            for (std::size_t i = 0; i < inst.lower.size(); ++i) {
                --inst.lower[i];
                ++inst.upper[i];
            }
        }
        const std::int64_t d = std::int64_t{1} << (rng() % 20);
        for (auto* v : {&inst.lower, &inst.upper, &inst.demands, &inst.witness}) {
            for (std::int64_t& x : *v) x *= d;
        }
        const std::int64_t cost_factor =
            trial % 4 == 0 ? 1 : 1 + static_cast<std::int64_t>(rng() % 100000);
        for (std::int64_t& c : inst.cost) c *= cost_factor;
        const McfProblem p = inst.problem();
        const auto classic = solve_classic_with_mode(p, SolverMode::Classic);
        ASSERT_TRUE(classic);

        McfOptions o = quick_options();
        o.force_cost_scaling = trial % 5 == 1;
        o.disable_capacity_scaling = trial % 7 == 2;
        if (trial % 6 == 3) o.initial_flow = inst.witness;
        // A loose threshold sends converged runs through rounding on the
        // divided problem.
        if (trial % 2 == 1) o.gap_tolerance = 1e6;
        auto solution = solve_mcf_with_scaling(p, o);
        ASSERT_TRUE(solution) << trial << " " << solution.error().to_string();
        EXPECT_TRUE(feasible_initial_flow(p, solution->flow)) << trial;
        EXPECT_EQ(*flow_cost(p, solution->flow), classic->cost) << trial;
        EXPECT_EQ(solution->cost, classic->cost) << trial;
        if (solution->solver_mode == SolverMode::IpmScaled) {
            ++interior;
            ASSERT_TRUE(solution->ipm_summary);
            rounded += solution->ipm_summary->is_exact_optimal ? 1 : 0;
        } else {
            EXPECT_EQ(solution->solver_mode, SolverMode::ClassicFallback);
        }
    }
    EXPECT_GT(interior, 8);
    EXPECT_GT(rounded, 2);
}

TEST(ScalingDriver, CostStageRunsExactlyAboveTheCube) {
    // m = 3, m^3 = 27.
    for (std::int64_t dear : {27, 28, -28}) {
        McfOptions o = quick_options();
        o.disable_capacity_scaling = true;
        CapturedLines captured;
        auto solution = solve_mcf_with_scaling(triangle(dear), o, captured.context());
        ASSERT_TRUE(solution);
        EXPECT_EQ(solution->solver_mode, SolverMode::IpmScaled);
        EXPECT_EQ(captured.starting_with("[cost_scaling] ").empty(), dear == 27) << dear;
        EXPECT_TRUE(captured.starting_with("[capacity_scaling] ").empty());
        EXPECT_EQ(solution->cost, std::min<std::int64_t>(dear, 2));
    }
    // Forced: cost scaling even with small costs.
    McfOptions o = quick_options();
    o.force_cost_scaling = true;
    CapturedLines captured;
    ASSERT_TRUE(solve_mcf_with_scaling(triangle(5), o, captured.context()));
    EXPECT_FALSE(captured.starting_with("[cost_scaling] round=1 ").empty());
    EXPECT_FALSE(captured.starting_with("[capacity_scaling] phase=0 ").empty());
}

TEST(ScalingDriver, NoEdgesNoCostScalingUnlessForcedAndNoWarning) {
    const McfProblem empty = make_problem({}, {}, {}, {}, {}, {0, 0});
    for (bool force : {false, true}) {
        McfOptions o = quick_options();
        o.force_cost_scaling = force;
        o.residual_min = 1e300;
        CapturedLines captured;
        auto solution = solve_mcf_with_scaling(empty, o, captured.context());
        ASSERT_TRUE(solution) << solution.error().to_string();
        EXPECT_TRUE(solution->flow.empty());
        EXPECT_EQ(captured.starting_with("[cost_scaling] ").size(), force ? 1u : 0u);
        EXPECT_TRUE(captured.starting_with("warning: ").empty());
    }
}

TEST(ScalingDriver, UnscalingMultipliesBackOrReportsOverflow) {
    McfSolution s;
    s.flow = {3, -2, 0};
    s.cost = 11;
    ASSERT_TRUE(unscale_solution(s, 1));
    EXPECT_EQ(s.flow, (std::vector<std::int64_t>{3, -2, 0}));
    ASSERT_TRUE(unscale_solution(s, 4));
    EXPECT_EQ(s.flow, (std::vector<std::int64_t>{12, -8, 0}));
    EXPECT_EQ(s.cost, 44);
    McfSolution big_flow;
    big_flow.flow = {I64_MAX / 2 + 1};
    EXPECT_EQ(unscale_solution(big_flow, 2).error(),
              McfError::invalid_input("flow scaling overflow"));
    McfSolution big_cost;
    big_cost.flow = {1};
    big_cost.cost = INT128_HIGHEST / 3;
    EXPECT_EQ(unscale_solution(big_cost, 4).error(),
              McfError::invalid_input("cost scaling overflow"));
}

TEST(ScalingDriver, WarnsWhenTheUnscaledFlowComesCloseToABound) {
    // One edge carries the forced 4 units within [-8, 8]: divisor 4, residual 4.
    const McfProblem p = make_problem({0}, {1}, {-8}, {8}, {3}, {-4, 4});
    for (double residual_min : {4.0, 4.5}) {
        McfOptions o = quick_options();
        o.residual_min = residual_min;
        CapturedLines captured;
        auto solution = solve_mcf_with_scaling(p, o, captured.context());
        ASSERT_TRUE(solution);
        EXPECT_EQ(solution->flow, (std::vector<std::int64_t>{4}));
        EXPECT_EQ(captured.starting_with("[capacity_scaling] phase=0 divisor=4 "),
                  captured.starting_with("[capacity_scaling] "));
        const auto warnings = captured.starting_with("warning: min residual");
        if (residual_min == 4.0) {
            EXPECT_TRUE(warnings.empty());
        } else {
            EXPECT_EQ(warnings,
                      (std::vector<std::string>{"warning: min residual (4.000e0) below "
                                                "residual_min (4.500e0) after unscaling"}));
        }
    }
}

TEST(ScalingDriver, NoInteriorIsNotInfeasibility) {
    // The middle edge is fixed (lower = upper), so no interior flow exists,
    // yet the instance is feasible.
    const McfProblem fixed =
        make_problem({0, 1, 0}, {1, 2, 2}, {0, 2, 0}, {4, 2, 4}, {1, 1, 5}, {-2, 0, 2});
    auto solution = solve_mcf_with_scaling(fixed, quick_options());
    ASSERT_TRUE(solution) << solution.error().to_string();
    EXPECT_EQ(solution->cost, 4);
    const McfProblem infeasible = make_problem({0, 1}, {1, 2}, {0, 0}, {4, 4}, {1, 1}, {-6, 0, 6});
    EXPECT_EQ(solve_mcf_with_scaling(infeasible, quick_options()).error(), McfError::infeasible());
}

// The automatic choice starts strictly above m^3 (m = 13 here) and an explicit
// refusal wins; the routes that take the scaling stage are covered from
// Python (tests/python/test_scaling.py).
TEST(ScalingDriver, AutomaticScalingStartsAboveTheCubeAndCanBeRefused) {
    std::vector<std::uint32_t> t, h;
    for (std::uint32_t v = 0; v < 9; ++v) {
        t.push_back(v);
        h.push_back((v + 1) % 9);
    }
    for (std::uint32_t v : {0u, 2u, 4u, 6u}) {
        t.push_back(v);
        h.push_back((v + 5) % 9);
    }
    std::vector<std::int64_t> d(9, 0);
    d[0] = -1;
    d[4] = 1;
    auto ring = [&](std::int64_t dear) {
        std::vector<std::int64_t> c(13, 1);
        c[12] = dear;
        return make_problem(t, h, std::vector<std::int64_t>(13, 0),
                            std::vector<std::int64_t>(13, 4), c, d);
    };
    EXPECT_FALSE(scaling_recommended(ring(2197)));
    EXPECT_TRUE(scaling_recommended(ring(2198)));
    EXPECT_TRUE(scaling_recommended(ring(-2198)));
    McfOptions refused = quick_options();
    refused.use_scaling = false;
    auto r = min_cost_flow_exact(ring(3000), refused);
    ASSERT_TRUE(r);
    EXPECT_NE(r->solver_mode, SolverMode::IpmScaled);
    EXPECT_EQ(r->cost, solve_classic_with_mode(ring(3000), SolverMode::Classic)->cost);
}
