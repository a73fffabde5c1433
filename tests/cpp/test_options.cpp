#include <gtest/gtest.h>

#include <cmath>

#include "mcf_options.hpp"

using namespace zelk;

TEST(BuildOptions, Defaults) {
    auto o = build_options({});
    ASSERT_TRUE(o.has_value());
    EXPECT_EQ(o->strategy, RebuildStrategy::PeriodicRebuild);
    EXPECT_EQ(o->oracle_mode, OracleMode::Hybrid);
    EXPECT_EQ(o->rebuild_every, 25u);
    EXPECT_EQ(o->max_iters, 10000u);
    EXPECT_EQ(o->gap_exponent, 10.0);
    EXPECT_FALSE(o->gap_tolerance.has_value());
    EXPECT_EQ(o->tolerance, 1e-9);
    EXPECT_EQ(o->numerical_clamp_log, 700.0);
    EXPECT_EQ(o->residual_min, 1e-12);
    EXPECT_EQ(o->barrier_alpha_min, 1e-6);
    EXPECT_EQ(o->barrier_alpha_max, 1.0);
    EXPECT_EQ(o->barrier_clamp_max, 1e200);
    EXPECT_EQ(o->gradient_clamp_max, 1e100);
    EXPECT_FALSE(o->log_numerical_clamping);
    EXPECT_EQ(o->seed, 0u);
    EXPECT_FALSE(o->deterministic_seed.has_value());
    EXPECT_EQ(o->threads, 1u);
    EXPECT_FALSE(o->alpha || o->use_ipm || o->use_scaling);
    EXPECT_FALSE(o->force_cost_scaling || o->disable_capacity_scaling);
    EXPECT_EQ(o->approx_factor, 0.1);
    EXPECT_TRUE(o->deterministic);
    EXPECT_FALSE(o->time_limit_ms || o->initial_flow);
    EXPECT_EQ(o->cost_perturbation, 0.0);
}

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
        // First failing check wins.
        {{.strategy = "nope", .gap_exponent = -1.0}, "gap_exponent must be positive"},
        {{.gap_tolerance = 0.0, .alpha = 0.0}, "gap_tolerance must be positive"},
        {{.strategy = "nope", .oracle_mode = "nope"},
         "strategy must be 'full_dynamic' or 'periodic_rebuild'"},
    };
    for (const Case& c : cases) {
        auto o = build_options(c.in);
        ASSERT_FALSE(o.has_value()) << c.message;
        EXPECT_EQ(o.error().message, c.message);
    }
    // NaN compares false everywhere and passes; zero approx_factor is fine.
    EXPECT_TRUE(build_options({.gap_exponent = nan, .alpha = nan, .approx_factor = nan}));
    EXPECT_TRUE(build_options({.approx_factor = 0.0}));
    // No cross-checks.
    EXPECT_TRUE(build_options({.barrier_alpha_min = 2.0, .barrier_alpha_max = 1.0}));
    EXPECT_TRUE(build_options({.threads = 0}));
}

TEST(BuildOptions, TextsAndThreads) {
    EXPECT_EQ(build_options({.strategy = "Full-Dynamic"})->strategy, RebuildStrategy::FullDynamic);
    EXPECT_EQ(build_options({.strategy = "FULLDYNAMIC"})->strategy, RebuildStrategy::FullDynamic);
    EXPECT_EQ(build_options({.strategy = "periodic-Rebuild"})->strategy,
              RebuildStrategy::PeriodicRebuild);
    EXPECT_EQ(build_options({.oracle_mode = "HYBRID"})->oracle_mode, OracleMode::Hybrid);
    EXPECT_EQ(build_options({.oracle_mode = "Dynamic"})->oracle_mode, OracleMode::Dynamic);
    EXPECT_EQ(build_options({.oracle_mode = "fallback"})->oracle_mode, OracleMode::Fallback);
    EXPECT_FALSE(build_options({.oracle_mode = "hybrid "}));
    EXPECT_EQ(build_options({.threads = 8})->threads, 1u);
    EXPECT_EQ(build_options({.threads = 8, .deterministic = false})->threads, 8u);
    auto o = build_options({.gap_tolerance = 1e-3,
                            .seed = 7,
                            .deterministic_seed = 9,
                            .use_ipm = false,
                            .force_cost_scaling = true});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->gap_tolerance, 1e-3);
    EXPECT_EQ(o->seed, 7u);
    EXPECT_EQ(o->deterministic_seed, 9u);
    EXPECT_EQ(o->use_ipm, false);
    EXPECT_TRUE(o->force_cost_scaling);
}
