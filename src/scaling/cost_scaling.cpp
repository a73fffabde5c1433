#include "scaling/cost_scaling.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ipm/ipm_entry.hpp"
#include "scaling/scaling_bounds.hpp"
#include "scaling/warm_start.hpp"

namespace zelk {

namespace {

// Magnitudes stay far below 2^256 (products of a 64-bit and at most a 128-bit
// value, summed over fewer than 2^61 edges), so this error only guards that
// argument.
McfError bracket_overflow() { return McfError::invalid_input("cost scaling bracket overflow"); }

// total += a * b, false on overflow.
bool add_product(BigInt& total, const BigInt& a, const BigInt& b) {
    auto product = checked_mul(a, b);
    if (!product) return false;
    auto sum = checked_add(total, *product);
    if (!sum) return false;
    total = *sum;
    return true;
}

}  // namespace

McfResult<CostScaledProblem> build_cost_scaled_problem(const McfProblem& problem) {
    const std::int64_t bound = cube_bound(problem.edge_count());
    const std::uint64_t largest = max_magnitude(problem.cost());
    const auto t = static_cast<std::uint64_t>(bound);
    std::uint64_t k = 1;
    if (problem.edge_count() > 0 && largest > t) {
        k = largest / t + (largest % t != 0 ? 1 : 0);
    }
    // Only max |cost| = 2^63 with T = 1 gives k = 2^63; one less divides every
    // cost into [-1, 1] just as well.
    const auto divisor = static_cast<std::int64_t>(
        std::min<std::uint64_t>(k, std::numeric_limits<std::int64_t>::max()));

    const auto cost = problem.cost();
    std::vector<std::int64_t> scaled(cost.size());
    std::uint64_t scaled_max = 0;
    for (std::size_t i = 0; i < cost.size(); ++i) {
        scaled[i] = cost[i] / divisor;
        scaled_max = std::max(scaled_max, magnitude(scaled[i]));
    }
    if (scaled_max > t) return invalid_input("cost scaling failed to reduce bounds");

    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    const auto demands = problem.demands();
    auto scaled_problem = McfProblem::create(
        {tails.begin(), tails.end()}, {heads.begin(), heads.end()}, {lower.begin(), lower.end()},
        {upper.begin(), upper.end()}, std::move(scaled), {demands.begin(), demands.end()});
    if (!scaled_problem) return std::unexpected(scaled_problem.error());
    return CostScaledProblem{std::move(*scaled_problem), divisor, bound,
                             static_cast<std::int64_t>(scaled_max)};
}

McfResult<CostBracket> cost_bracket(const McfProblem& problem) {
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    const auto cost = problem.cost();
    const std::size_t count = std::min({lower.size(), upper.size(), cost.size()});
    BigInt least;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t bound = cost[i] < 0 ? upper[i] : lower[i];
        if (!add_product(least, BigInt(cost[i]), BigInt(bound)))
            return std::unexpected(bracket_overflow());
    }
    const std::uint64_t u = std::max<std::uint64_t>(max_magnitude(upper), 1);
    BigInt most;
    for (std::int64_t c : cost) {
        const BigInt term = BigInt::from_magnitude(static_cast<UInt128>(magnitude(c)) * u, false);
        if (!add_product(most, term, BigInt(std::int64_t{1})))
            return std::unexpected(bracket_overflow());
    }
    return least <= most ? CostBracket{least, most} : CostBracket{most, least};
}

McfResult<BigInt> price_rounded_flow(const McfProblem& problem, std::span<const double> flow) {
    const auto cost = problem.cost();
    const std::size_t count = std::min(cost.size(), flow.size());
    BigInt total;
    for (std::size_t i = 0; i < count; ++i) {
        if (!add_product(total, BigInt(cost[i]), BigInt(round_to_int128(flow[i])))) {
            return std::unexpected(bracket_overflow());
        }
    }
    return total;
}

McfResult<IpmResult> cost_scaling(const McfProblem& problem, const McfOptions& options,
                                  const SolveContext& ctx) {
    auto scaled = build_cost_scaled_problem(problem);
    if (!scaled) return std::unexpected(scaled.error());
    const McfProblem& pc = scaled->problem;

    auto bracket = cost_bracket(problem);
    if (!bracket) return std::unexpected(bracket.error());
    BigInt lo = bracket->lo;
    BigInt hi = bracket->hi;
    const std::uint64_t max_rounds = bigint_bits(hi) + 1;
    const BigInt one(std::int64_t{1});

    WarmStart warm = feasible_initial_flow(problem, options.initial_flow);
    std::optional<IpmResult> best;
    for (std::uint64_t round = 1; lo <= hi; ++round) {
        const auto sum = checked_add(lo, hi);
        if (!sum) return std::unexpected(bracket_overflow());
        const BigInt mid = sum->half();
        McfOptions round_options = options;
        round_options.initial_flow = feasible_initial_flow(pc, warm);
        const auto started = std::chrono::steady_clock::now();
        auto run = run_ipm_with_context(pc, round_options, ScalingContext::CostScaled, ctx);
        if (!run) return std::unexpected(run.error());
        if (ctx.effort_exhausted()) return std::move(*run);
        const auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count();
        const auto priced = price_rounded_flow(problem, run->flow);
        if (!priced) return std::unexpected(priced.error());
        const BigInt& price = *priced;
        ctx.diagnostic("[cost_scaling] round=" + std::to_string(round) +
                       " midpoint=" + mid.to_string() + " cost=" + price.to_string() +
                       " scaled_max=" + std::to_string(scaled->scaled_max) +
                       " elapsed_ms=" + std::to_string(elapsed_ms));
        warm = update_initial_flow(pc, std::move(warm), run->flow);
        // |mid| is at most max(|lo|, |hi|), so one more fits.
        const auto next = price <= mid ? checked_sub(mid, one) : checked_add(mid, one);
        if (!next) return std::unexpected(bracket_overflow());
        if (price <= mid) {
            hi = *next;
            best = std::move(*run);
        } else {
            lo = *next;
        }
        if (round >= max_rounds) break;
    }
    if (best) return std::move(*best);
    return run_ipm_with_context(pc, options, ScalingContext::CostScaled, ctx);
}

}  // namespace zelk
