// McfOptions: every solver setting, one field per keyword of the option-taking
// entries, plus three fields that only the solver's own stages set on a copy
// (time_limit_ms, initial_flow, cost_perturbation).
//
// build_options turns optional keyword values into a validated record,
// applying the defaults below; the first failing check wins and its message is
// the caller's ValueError text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

enum class RebuildStrategy { FullDynamic, PeriodicRebuild };
enum class OracleMode { Dynamic, Fallback, Hybrid };

struct McfOptions {
    RebuildStrategy strategy = RebuildStrategy::PeriodicRebuild;
    OracleMode oracle_mode = OracleMode::Hybrid;
    std::size_t rebuild_every = 25;
    std::size_t max_iters = 10000;
    double gap_exponent = 10.0;
    std::optional<double> gap_tolerance;
    double tolerance = 1e-9;
    double numerical_clamp_log = 700.0;
    double residual_min = 1e-12;
    double barrier_alpha_min = 1e-6;
    double barrier_alpha_max = 1.0;
    double barrier_clamp_max = 1e200;
    double gradient_clamp_max = 1e100;
    bool log_numerical_clamping = false;
    std::uint64_t seed = 0;
    std::optional<std::uint64_t> deterministic_seed;
    std::size_t threads = 1;  // forced to 1 whenever deterministic is true
    std::optional<double> alpha;
    std::optional<bool> use_ipm;
    std::optional<bool> use_scaling;
    bool force_cost_scaling = false;
    bool disable_capacity_scaling = false;
    double approx_factor = 0.1;
    bool deterministic = true;

    // Set by the solver's own stages, never by a keyword.
    std::optional<std::uint64_t> time_limit_ms;
    std::optional<std::vector<std::int64_t>> initial_flow;
    double cost_perturbation = 0.0;
};

// The keyword values as given; an absent field means "not given" (None).
// Field order is the keyword order of the option-taking entries.
struct McfOptionInputs {
    std::optional<std::string> strategy;
    std::optional<std::string> oracle_mode;
    std::optional<std::size_t> rebuild_every;
    std::optional<std::size_t> max_iters;
    std::optional<double> gap_exponent;
    std::optional<double> gap_tolerance;
    std::optional<double> tolerance;
    std::optional<double> numerical_clamp_log;
    std::optional<double> residual_min;
    std::optional<double> barrier_alpha_min;
    std::optional<double> barrier_alpha_max;
    std::optional<double> barrier_clamp_max;
    std::optional<double> gradient_clamp_max;
    std::optional<bool> log_numerical_clamping;
    std::optional<std::uint64_t> seed;
    std::optional<std::uint64_t> deterministic_seed;
    std::optional<std::size_t> threads;
    std::optional<double> alpha;
    std::optional<bool> use_ipm;
    std::optional<bool> use_scaling;
    std::optional<bool> force_cost_scaling;
    std::optional<bool> disable_capacity_scaling;
    std::optional<double> approx_factor;
    std::optional<bool> deterministic;
};

// A rejected keyword value; `message` is the ValueError text.
struct OptionError {
    std::string message;
    friend bool operator==(const OptionError&, const OptionError&) = default;
};

// Checks, in order: gap_exponent, gap_tolerance, numerical_clamp_log,
// residual_min, barrier_alpha_min, barrier_alpha_max, barrier_clamp_max,
// gradient_clamp_max, alpha (each "> 0"; NaN passes), approx_factor (">= 0"),
// then the strategy and oracle_mode texts.
std::expected<McfOptions, OptionError> build_options(const McfOptionInputs& inputs);

// Text parsers, ASCII case-insensitive, no trimming.
std::optional<RebuildStrategy> parse_rebuild_strategy(std::string_view text);
std::optional<OracleMode> parse_oracle_mode(std::string_view text);

}  // namespace zelk
