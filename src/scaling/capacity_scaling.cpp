#include "scaling/capacity_scaling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "ipm/ipm_entry.hpp"
#include "scaling/scaling_bounds.hpp"

namespace zelk {

namespace {

constexpr unsigned MAX_SHIFT = 62;

McfResult<std::vector<std::int64_t>> divide_all(std::span<const std::int64_t> values,
                                                std::int64_t divisor) {
    std::vector<std::int64_t> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] % divisor != 0)
            return invalid_input("capacity scaling requires divisible values");
        out[i] = values[i] / divisor;
    }
    return out;
}

// The previous phase's rounded flow at twice the scale. A value too large for
// 64 bits keeps its sign at the range's end, and is then rejected as a warm
// start by the bounds check.
std::vector<std::int64_t> doubled_warm_start(std::span<const double> fractional) {
    std::vector<std::int64_t> out(fractional.size());
    for (std::size_t i = 0; i < fractional.size(); ++i) {
        Int128 doubled;
        const bool overflow =
            __builtin_mul_overflow(round_to_int128(fractional[i]), Int128{2}, &doubled);
        if (overflow || doubled > std::numeric_limits<std::int64_t>::max() ||
            doubled < std::numeric_limits<std::int64_t>::min()) {
            out[i] = std::signbit(fractional[i]) ? std::numeric_limits<std::int64_t>::min()
                                                 : std::numeric_limits<std::int64_t>::max();
        } else {
            out[i] = static_cast<std::int64_t>(doubled);
        }
    }
    return out;
}

}  // namespace

std::optional<unsigned> trailing_zero_count(const McfProblem& problem) {
    std::optional<unsigned> fewest;
    auto visit = [&](std::span<const std::int64_t> values) {
        for (std::int64_t v : values) {
            if (v == 0) continue;
            const auto zeros =
                static_cast<unsigned>(std::countr_zero(static_cast<std::uint64_t>(v)));
            fewest = fewest ? std::min(*fewest, zeros) : zeros;
        }
    };
    visit(problem.lower());
    visit(problem.upper());
    visit(problem.demands());
    return fewest;
}

CapacityScaleFactor capacity_scale_factor(const McfProblem& problem) {
    const std::int64_t bound = cube_bound(problem.edge_count());
    const std::uint64_t largest = std::max<std::uint64_t>(max_magnitude(problem.upper()), 1);
    // ceil(U / B) without the overflow of B + U - 1 near 2^63.
    const std::uint64_t b = static_cast<std::uint64_t>(bound);
    const std::uint64_t q = largest / b + (largest % b != 0 ? 1 : 0);
    const std::uint64_t p = q <= 2 ? 1 : std::bit_ceil(q - 1);
    const auto zeros = trailing_zero_count(problem);
    if (!zeros) return {1, bound};
    const std::uint64_t power = std::uint64_t{1} << std::min(*zeros, MAX_SHIFT);
    return {static_cast<std::int64_t>(std::min(power, std::max<std::uint64_t>(p, 1))), bound};
}

McfResult<McfProblem> scale_problem(const McfProblem& problem, std::int64_t divisor) {
    if (divisor < 1) return invalid_input("capacity scaling divisor must be positive");
    auto lower = divide_all(problem.lower(), divisor);
    if (!lower) return std::unexpected(lower.error());
    auto upper = divide_all(problem.upper(), divisor);
    if (!upper) return std::unexpected(upper.error());
    auto demands = divide_all(problem.demands(), divisor);
    if (!demands) return std::unexpected(demands.error());
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto cost = problem.cost();
    return McfProblem::create({tails.begin(), tails.end()}, {heads.begin(), heads.end()},
                              std::move(*lower), std::move(*upper), {cost.begin(), cost.end()},
                              std::move(*demands));
}

McfResult<CapacityScalingResult> capacity_scaling(const McfProblem& problem,
                                                  const McfOptions& options,
                                                  const SolveContext& ctx) {
    const CapacityScaleFactor factor = capacity_scale_factor(problem);
    const auto zeros = trailing_zero_count(problem);
    std::int64_t divisor = zeros ? std::int64_t{1} << std::min(*zeros, MAX_SHIFT) : 1;
    divisor = std::max(divisor, factor.target);

    auto scaled = scale_problem(problem, divisor);
    if (!scaled) return std::unexpected(scaled.error());
    WarmStart warm = feasible_initial_flow(*scaled, options.initial_flow);
    for (std::size_t phase = 0;; ++phase) {
        McfOptions phase_options = options;
        phase_options.initial_flow = feasible_initial_flow(*scaled, warm);
        auto run =
            run_ipm_with_context(*scaled, phase_options, ScalingContext::CapacityScaled, ctx);
        if (!run) return std::unexpected(run.error());
        ctx.diagnostic("[capacity_scaling] phase=" + std::to_string(phase) +
                       " divisor=" + std::to_string(divisor) +
                       " iterations=" + std::to_string(run->stats.iterations) +
                       " bound=" + std::to_string(factor.bound));
        if (ctx.effort_exhausted()) {
            return CapacityScalingResult{std::move(*scaled), std::move(warm), divisor,
                                         std::move(*run)};
        }
        if (divisor == factor.target) {
            warm = update_initial_flow(*scaled, std::move(warm), run->flow);
            return CapacityScalingResult{std::move(*scaled), std::move(warm), divisor};
        }
        std::vector<std::int64_t> doubled = doubled_warm_start(run->flow);
        scaled = scale_problem(problem, divisor / 2);
        if (!scaled) return std::unexpected(scaled.error());
        warm = feasible_initial_flow(*scaled, std::move(doubled));
        divisor /= 2;
    }
}

}  // namespace zelk
