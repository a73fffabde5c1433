// The interior-point loop and its bisection entry: the iteration limit, a
// graph without cycles, interior, demand-meeting and reproducible results on
// random instances, and runs that share a power memo.
#include <gtest/gtest.h>

#include <random>
#include <vector>

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

}  // namespace

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
