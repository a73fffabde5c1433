// The interior-point loop and its bisection entry: statistics records of the
// early stops, each termination code, interior, demand-meeting, reproducible
// results, and runs that share a power memo.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "captured_lines.hpp"
#include "ipm/ipm_entry.hpp"
#include "ipm/ipm_loop.hpp"
#include "ipm/start_point.hpp"
#include "random_flow_instances.hpp"

using namespace zelk;
using zelk::testing::make_problem;

namespace {

// A 3-cycle with a chord: enough cycles for the oracle, small enough to read.
McfProblem small_problem() {
    return make_problem({0, 1, 2, 0, 3, 3}, {1, 2, 0, 2, 0, 2}, {0, 0, 0, 0, 0, 0},
                        {6, 6, 6, 6, 6, 6}, {3, 1, 4, 2, 1, 5}, {-2, 0, 3, -1});
}

McfOptions fallback_options() {
    McfOptions o = *build_options({.oracle_mode = "fallback"});
    return o;
}

using Lines = zelk::testing::CapturedLines;

}  // namespace

TEST(IpmLoop, RecordsOfEarlyStops) {
    const McfProblem p = small_problem();
    McfOptions o = fallback_options();

    o.max_iters = 0;
    auto none = run_ipm_with_lower_bound(p, o, 0.0);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->termination, IpmTermination::IterationLimit);
    EXPECT_EQ(none->stats.iterations, 0u);
    EXPECT_FALSE(none->stats.terminated_by_max_iters);
    EXPECT_TRUE(none->stats.potential_values.empty());
    EXPECT_EQ(none->stats.numerical_stats.size(), 1u);
    EXPECT_FALSE(none->stats.final_gap_estimate.has_value());
    EXPECT_TRUE(std::isfinite(none->stats.final_gap));

    o = fallback_options();
    o.time_limit_ms = 0;
    auto timed = run_ipm_with_lower_bound(p, o, 0.0);
    ASSERT_TRUE(timed);
    EXPECT_EQ(timed->termination, IpmTermination::TimeLimit);
    EXPECT_EQ(timed->stats.iterations, 0u);
    EXPECT_EQ(timed->stats.numerical_stats.size(), 1u);

    // A gap tolerance that the first estimate meets: stop at k = 0 by the gap test.
    o = fallback_options();
    o.gap_tolerance = 1e300;
    Lines sink;
    auto gap = run_ipm_with_lower_bound(p, o, 0.0, sink.context());
    ASSERT_TRUE(gap);
    EXPECT_EQ(gap->termination, IpmTermination::Converged);
    EXPECT_TRUE(gap->stats.terminated_by_gap);
    EXPECT_EQ(gap->stats.iterations, 0u);
    EXPECT_EQ(gap->stats.potential_values.size(), 1u);
    EXPECT_EQ(gap->stats.numerical_stats.size(), 2u);
    EXPECT_EQ(gap->stats.barrier_compute_ms.size(), 1u);
    EXPECT_EQ(gap->stats.final_gap_estimate, gap->stats.last_duality_gap_proxy);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_TRUE(sink.lines[0].starts_with("gap termination check: gap="));
    EXPECT_TRUE(sink.lines[0].ends_with(", threshold=1.000e300"));
}

TEST(IpmLoop, IterationLimitAndNoCycle) {
    McfOptions o = fallback_options();
    o.max_iters = 1;
    auto one = run_ipm_with_lower_bound(small_problem(), o, 0.0);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->termination, IpmTermination::IterationLimit);
    EXPECT_TRUE(one->stats.terminated_by_max_iters);
    EXPECT_LE(one->stats.iterations, 1u);

    // A path has no cycle at all.
    const McfProblem path = make_problem({0, 1}, {1, 2}, {0, 0}, {5, 5}, {1, 1}, {-2, 0, 2});
    auto flat = run_ipm_with_lower_bound(path, fallback_options(), 0.0);
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->termination, IpmTermination::NoImprovingCycle);
    EXPECT_FALSE(flat->stats.terminated_by_max_iters);
    EXPECT_TRUE(flat->stats.spanner_update_ms.empty());
    EXPECT_EQ(flat->stats.oracle_mode, OracleMode::Fallback);
}

TEST(IpmEntry, RandomInstancesStayInsideAndMeetDemands) {
    std::mt19937_64 rng(11);
    int runs = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const auto inst = zelk::testing::random_flow_instance(rng, trial % 2 == 0);
        const McfProblem p = inst.problem();
        const McfOptions o = trial % 3 == 0 ? *build_options({}) : fallback_options();
        auto r = run_ipm(p, o);
        if (!r) {
            // No point lies half a unit inside every bound (a fixed edge, or
            // flows pinned to a bound); the driver answers classically then.
            ASSERT_TRUE(r.error().is_infeasible()) << r.error().to_string();
            continue;
        }
        ++runs;
        for (std::size_t i = 0; i < inst.lower.size(); ++i) {
            EXPECT_GT(r->flow[i], static_cast<double>(inst.lower[i]));
            EXPECT_LT(r->flow[i], static_cast<double>(inst.upper[i]));
        }
        for (double b : zelk::testing::imbalance(inst, r->flow)) EXPECT_NEAR(b, 0.0, 1e-6);
        auto again = run_ipm(p, o);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->flow, r->flow);
        EXPECT_EQ(again->termination, r->termination);
        EXPECT_EQ(again->stats.iterations, r->stats.iterations);
    }
    EXPECT_GT(runs, 15);
}

// Runs sharing a power memo (as the bisection's probes do, and across
// changed constants, which must clear it) give exactly the results of runs
// without one: flows, potential values and every clamp counter.
TEST(IpmLoop, SharedPowerMemoChangesNoResult) {
    std::mt19937_64 rng(41);
    int compared = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const auto inst = zelk::testing::random_flow_instance(rng, trial % 2 == 0);
        const McfProblem p = inst.problem();
        McfOptions o = *build_options({.oracle_mode = trial % 3 == 0 ? "hybrid" : "fallback"});
        o.max_iters = 30;
        IpmPowerMemo shared;
        for (int run = 0; run < 4; ++run) {
            if (run == 2) o.gradient_clamp_max = 1e-3;  // other constants: entries are stale
            auto start = choose_start_flow(p, o, SolveContext::none());
            if (!start) break;  // no strictly interior start for this instance
            const double bound = -5.0 * run;
            auto plain = run_ipm_with_lower_bound(p, o, bound, SolveContext::none(), &*start);
            auto kept =
                run_ipm_with_lower_bound(p, o, bound, SolveContext::none(), &*start, &shared);
            ASSERT_EQ(plain.has_value(), kept.has_value());
            if (!plain) continue;
            ++compared;
            ASSERT_EQ(kept->flow, plain->flow) << trial << "/" << run;
            EXPECT_EQ(kept->termination, plain->termination);
            EXPECT_EQ(kept->stats.iterations, plain->stats.iterations);
            EXPECT_EQ(kept->stats.potential_values, plain->stats.potential_values);
            EXPECT_EQ(kept->stats.numerical_stats, plain->stats.numerical_stats);
        }
    }
    EXPECT_GT(compared, 10);
}
