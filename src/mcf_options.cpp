#include "mcf_options.hpp"

namespace zelk {

namespace {

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// A value fails when it compares <= 0, so NaN passes, as callers of the
// keyword interface rely on.
bool not_positive(const std::optional<double>& v) { return v.has_value() && *v <= 0.0; }

}  // namespace

std::optional<RebuildStrategy> parse_rebuild_strategy(std::string_view text) {
    const std::string t = ascii_lower(text);
    if (t == "fulldynamic" || t == "full_dynamic" || t == "full-dynamic") {
        return RebuildStrategy::FullDynamic;
    }
    if (t == "periodicrebuild" || t == "periodic_rebuild" || t == "periodic-rebuild") {
        return RebuildStrategy::PeriodicRebuild;
    }
    return std::nullopt;
}

std::optional<OracleMode> parse_oracle_mode(std::string_view text) {
    const std::string t = ascii_lower(text);
    if (t == "dynamic") return OracleMode::Dynamic;
    if (t == "fallback") return OracleMode::Fallback;
    if (t == "hybrid") return OracleMode::Hybrid;
    return std::nullopt;
}

std::expected<McfOptions, OptionError> build_options(const McfOptionInputs& in) {
    auto fail = [](const char* message) { return std::unexpected(OptionError{message}); };
    if (not_positive(in.gap_exponent)) return fail("gap_exponent must be positive");
    if (not_positive(in.gap_tolerance)) return fail("gap_tolerance must be positive");
    if (not_positive(in.numerical_clamp_log)) return fail("numerical_clamp_log must be positive");
    if (not_positive(in.residual_min)) return fail("residual_min must be positive");
    if (not_positive(in.barrier_alpha_min)) return fail("barrier_alpha_min must be positive");
    if (not_positive(in.barrier_alpha_max)) return fail("barrier_alpha_max must be positive");
    if (not_positive(in.barrier_clamp_max)) return fail("barrier_clamp_max must be positive");
    if (not_positive(in.gradient_clamp_max)) return fail("gradient_clamp_max must be positive");
    if (not_positive(in.alpha)) return fail("alpha must be positive");
    if (in.approx_factor && *in.approx_factor < 0.0) {
        return fail("approx_factor must be non-negative");
    }

    McfOptions o;
    if (in.strategy) {
        const auto parsed = parse_rebuild_strategy(*in.strategy);
        if (!parsed) return fail("strategy must be 'full_dynamic' or 'periodic_rebuild'");
        o.strategy = *parsed;
    }
    if (in.oracle_mode) {
        const auto parsed = parse_oracle_mode(*in.oracle_mode);
        if (!parsed) return fail("oracle_mode must be 'dynamic', 'fallback', or 'hybrid'");
        o.oracle_mode = *parsed;
    }
    o.rebuild_every = in.rebuild_every.value_or(o.rebuild_every);
    o.max_iters = in.max_iters.value_or(o.max_iters);
    o.gap_exponent = in.gap_exponent.value_or(o.gap_exponent);
    o.gap_tolerance = in.gap_tolerance;
    o.tolerance = in.tolerance.value_or(o.tolerance);
    o.numerical_clamp_log = in.numerical_clamp_log.value_or(o.numerical_clamp_log);
    o.residual_min = in.residual_min.value_or(o.residual_min);
    o.barrier_alpha_min = in.barrier_alpha_min.value_or(o.barrier_alpha_min);
    o.barrier_alpha_max = in.barrier_alpha_max.value_or(o.barrier_alpha_max);
    o.barrier_clamp_max = in.barrier_clamp_max.value_or(o.barrier_clamp_max);
    o.gradient_clamp_max = in.gradient_clamp_max.value_or(o.gradient_clamp_max);
    o.log_numerical_clamping = in.log_numerical_clamping.value_or(o.log_numerical_clamping);
    o.seed = in.seed.value_or(o.seed);
    o.deterministic_seed = in.deterministic_seed;
    o.threads = in.threads.value_or(o.threads);
    o.alpha = in.alpha;
    o.use_ipm = in.use_ipm;
    o.use_scaling = in.use_scaling;
    o.force_cost_scaling = in.force_cost_scaling.value_or(o.force_cost_scaling);
    o.disable_capacity_scaling = in.disable_capacity_scaling.value_or(o.disable_capacity_scaling);
    o.approx_factor = in.approx_factor.value_or(o.approx_factor);
    o.deterministic = in.deterministic.value_or(o.deterministic);
    if (o.deterministic) o.threads = 1;
    return o;
}

}  // namespace zelk
