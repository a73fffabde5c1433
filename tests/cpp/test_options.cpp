// build_options: the first failing check wins, the edges of the sign checks,
// case- and separator-insensitive texts, and threads only when not
// deterministic. (Every message also reaches Python: tests/python/test_module.py.)
#include <gtest/gtest.h>

#include <cmath>

#include "mcf_options.hpp"

using namespace zelk;

TEST(BuildOptions, FirstFailingCheckWins) {
    const double nan = std::nan("");
    struct Case {
        McfOptionInputs in;
        const char* message;
    };
    const Case cases[] = {
        // The edges of the sign checks: the smallest negative and negative zero.
        {{.approx_factor = -1e-300}, "approx_factor must be non-negative"},
        {{.residual_min = -0.0}, "residual_min must be positive"},
        {{.strategy = "nope", .gap_exponent = -1.0}, "gap_exponent must be positive"},
        {{.gap_tolerance = 0.0, .alpha = 0.0}, "gap_tolerance must be positive"},
        {{.strategy = "nope", .oracle_mode = "nope"},
         "strategy must be 'full_dynamic' or 'periodic_rebuild'"},
        {{.oracle_mode = "hybrid "}, "oracle_mode must be 'dynamic', 'fallback', or 'hybrid'"},
    };
    for (const Case& c : cases) {
        auto o = build_options(c.in);
        ASSERT_FALSE(o.has_value()) << c.message;
        EXPECT_EQ(o.error().message, c.message);
    }
    // NaN compares false everywhere and passes; zero approx_factor is fine;
    // there are no cross-checks.
    EXPECT_TRUE(build_options({.gap_exponent = nan, .alpha = nan, .approx_factor = nan}));
    EXPECT_TRUE(build_options({.approx_factor = 0.0}));
    EXPECT_TRUE(build_options({.barrier_alpha_min = 2.0, .barrier_alpha_max = 1.0}));
    EXPECT_TRUE(build_options({.threads = 0}));
}

TEST(BuildOptions, TextsAndThreads) {
    EXPECT_EQ(build_options({})->strategy, RebuildStrategy::PeriodicRebuild);
    EXPECT_EQ(build_options({})->oracle_mode, OracleMode::Hybrid);
    EXPECT_EQ(build_options({.strategy = "Full-Dynamic"})->strategy, RebuildStrategy::FullDynamic);
    EXPECT_EQ(build_options({.strategy = "FULLDYNAMIC"})->strategy, RebuildStrategy::FullDynamic);
    EXPECT_EQ(build_options({.strategy = "periodic-Rebuild"})->strategy,
              RebuildStrategy::PeriodicRebuild);
    EXPECT_EQ(build_options({.oracle_mode = "Dynamic"})->oracle_mode, OracleMode::Dynamic);
    EXPECT_EQ(build_options({.oracle_mode = "fallback"})->oracle_mode, OracleMode::Fallback);
    EXPECT_EQ(build_options({.threads = 8})->threads, 1u);
    EXPECT_EQ(build_options({.threads = 8, .deterministic = false})->threads, 8u);
    auto o = build_options({.gap_tolerance = 1e-3, .seed = 7, .deterministic_seed = 9});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->gap_tolerance, 1e-3);
    EXPECT_EQ(o->seed, 7u);
    EXPECT_EQ(o->deterministic_seed, 9u);
}
