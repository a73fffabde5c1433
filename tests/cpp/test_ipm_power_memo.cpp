// The interior-point loop's power memo shared between runs.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ipm/ipm_loop.hpp"
#include "ipm/start_point.hpp"
#include "random_flow_instances.hpp"

using namespace zelk;
using namespace zelk::testing;

// Runs sharing a power memo (as the bisection's probes do, and across
// changed constants, which must clear it) give exactly the results of runs
// without one: flows, potential values and every clamp counter.
TEST(IpmLoop, SharedPowerMemoChangesNoResult) {
    std::mt19937_64 rng(41);
    int compared = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, trial % 2 == 0);
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
