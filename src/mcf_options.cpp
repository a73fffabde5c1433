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

// A given keyword replaces the default; an optional field takes the keyword
// as it is (absent stays absent). Texts were parsed into enums already.
template <class T>
void apply(T& field, const std::optional<T>& given) {
    if (given) field = *given;
}
template <class T>
void apply(std::optional<T>& field, const std::optional<T>& given) {
    field = given;
}
template <class E>
void apply(E&, const std::optional<std::string>&) {}

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
#define ZELK_APPLY_OPTION(name, input, stored, initial) apply(o.name, in.name);
    ZELK_OPTION_KEYWORDS(ZELK_APPLY_OPTION)
#undef ZELK_APPLY_OPTION
    if (o.deterministic) o.threads = 1;
    return o;
}

}  // namespace zelk
