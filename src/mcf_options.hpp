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

#include "numerics/guarded_math.hpp"

namespace zelk {

enum class RebuildStrategy { FullDynamic, PeriodicRebuild };
enum class OracleMode { Dynamic, Fallback, Hybrid };

// The keyword table, in the keyword order of the option-taking entries:
// X(name, input type, stored type, default). It generates the record's
// keyword fields, the optional inputs, and (in the bindings) the keyword
// lists, readers and text signatures, so a keyword is added in one place.
#define ZELK_OPTION_KEYWORDS(X)                                                              \
    X(strategy, std::string, RebuildStrategy, RebuildStrategy::PeriodicRebuild)              \
    X(oracle_mode, std::string, OracleMode, OracleMode::Hybrid)                              \
    X(rebuild_every, std::size_t, std::size_t, 25)                                           \
    X(max_iters, std::size_t, std::size_t, 10000)                                            \
    X(gap_exponent, double, double, 10.0)                                                    \
    X(gap_tolerance, double, std::optional<double>, std::nullopt)                            \
    X(tolerance, double, double, 1e-9)                                                       \
    X(numerical_clamp_log, double, double, 700.0)                                            \
    X(residual_min, double, double, 1e-12)                                                   \
    X(barrier_alpha_min, double, double, 1e-6)                                               \
    X(barrier_alpha_max, double, double, 1.0)                                                \
    X(barrier_clamp_max, double, double, 1e200)                                              \
    X(gradient_clamp_max, double, double, 1e100)                                             \
    X(log_numerical_clamping, bool, bool, false)                                             \
    X(seed, std::uint64_t, std::uint64_t, 0)                                                 \
    X(deterministic_seed, std::uint64_t, std::optional<std::uint64_t>, std::nullopt)         \
    X(threads, std::size_t, std::size_t, 1) /* forced to 1 whenever deterministic is true */ \
    X(alpha, double, std::optional<double>, std::nullopt)                                    \
    X(use_ipm, bool, std::optional<bool>, std::nullopt)                                      \
    X(use_scaling, bool, std::optional<bool>, std::nullopt)                                  \
    X(force_cost_scaling, bool, bool, false)                                                 \
    X(disable_capacity_scaling, bool, bool, false)                                           \
    X(approx_factor, double, double, 0.1)                                                    \
    X(deterministic, bool, bool, true)

#define ZELK_OPTION_FIELD(name, input, stored, initial) stored name = initial;
#define ZELK_OPTION_INPUT(name, input, stored, initial) std::optional<input> name;
#define ZELK_OPTION_COUNT_ONE(name, input, stored, initial) +1

inline constexpr std::size_t OPTION_KEYWORD_COUNT = 0 ZELK_OPTION_KEYWORDS(ZELK_OPTION_COUNT_ONE);

struct McfOptions {
    ZELK_OPTION_KEYWORDS(ZELK_OPTION_FIELD)

    // Set by the solver's own stages, never by a keyword.
    std::optional<std::uint64_t> time_limit_ms;
    std::optional<std::vector<std::int64_t>> initial_flow;
    double cost_perturbation = 0.0;
};

// The keyword values as given; an absent field means "not given" (None).
struct McfOptionInputs {
    ZELK_OPTION_KEYWORDS(ZELK_OPTION_INPUT)
};

// The guarded-numerics settings an interior-point run reads from the options.
inline NumericsConfig numerics_config(const McfOptions& options) {
    return NumericsConfig{options.numerical_clamp_log, 1e-300,
                          options.residual_min,        options.barrier_clamp_max,
                          options.gradient_clamp_max,  options.barrier_alpha_min,
                          options.barrier_alpha_max};
}

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
