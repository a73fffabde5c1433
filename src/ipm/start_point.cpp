#include "ipm/start_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "checked_math.hpp"
#include "graph/feasible_flow.hpp"
#include "numerics/guarded_math.hpp"

namespace zelk {

namespace {

constexpr std::int64_t HALF_RANGE = std::int64_t{1} << 62;

std::optional<std::int64_t> checked_double(std::int64_t v) {
    if (v < -HALF_RANGE || v > HALF_RANGE - 1) return std::nullopt;
    return 2 * v;
}

}  // namespace

McfResult<std::vector<double>> push_inside_strict(const McfProblem& problem,
                                                  std::span<const std::int64_t> base,
                                                  const SolveContext& ctx) {
    const std::size_t m = problem.edge_count();
    if (base.size() != m) return invalid_input("base flow length mismatch");
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    std::vector<std::int64_t> doubled_base(m), delta_lower(m), delta_upper(m);
    for (std::size_t e = 0; e < m; ++e) {
        const auto lower2 = checked_double(lower[e]);
        if (!lower2) return invalid_input("scaled value overflow");
        const auto lo = checked_add(*lower2, 1);
        if (!lo) return invalid_input("scaled lower overflow");
        const auto upper2 = checked_double(upper[e]);
        if (!upper2) return invalid_input("scaled value overflow");
        const auto hi = checked_sub(*upper2, 1);
        if (!hi) return invalid_input("scaled upper overflow");
        if (*hi < *lo) return std::unexpected(McfError::infeasible());
        const auto base2 = checked_double(base[e]);
        if (!base2) return invalid_input("scaled value overflow");
        const auto dlo = checked_sub(*lo, *base2);
        if (!dlo) return invalid_input("delta lower overflow");
        const auto dhi = checked_sub(*hi, *base2);
        if (!dhi) return invalid_input("delta upper overflow");
        doubled_base[e] = *base2;
        delta_lower[e] = *dlo;
        delta_upper[e] = *dhi;
    }

    const std::vector<std::int64_t> no_demands(problem.node_count(), 0);
    auto shift =
        solve_feasible_flow_with_costs(problem.node_count(), problem.tails(), problem.heads(),
                                       delta_lower, delta_upper, no_demands, std::nullopt, ctx);
    if (!shift) return std::unexpected(shift.error());

    std::vector<double> result(m);
    for (std::size_t e = 0; e < m; ++e) {
        const auto twice = checked_add(doubled_base[e], (*shift)[e]);
        if (!twice) return invalid_input("flow overflow");
        result[e] = static_cast<double>(*twice) / 2.0;
    }
    return result;
}

McfResult<std::vector<double>> initialize_feasible_flow(const McfProblem& problem,
                                                        const SolveContext& ctx) {
    auto base = solve_feasible_flow_with_costs(problem.node_count(), problem.tails(),
                                               problem.heads(), problem.lower(), problem.upper(),
                                               problem.demands(), std::nullopt, ctx);
    if (!base) return std::unexpected(base.error());
    return push_inside_strict(problem, *base, ctx);
}

McfResult<std::vector<std::int64_t>> perturbed_costs(std::size_t m, double perturbation,
                                                     std::uint64_t seed) {
    const double k = std::trunc(max_num(std::abs(perturbation) * 1000.0, 1.0));
    // Beyond 2^52 the drawn costs are no longer exact integers in a double.
    if (!(k <= 0x1p52)) return invalid_input("cost perturbation too large");
    std::vector<std::int64_t> costs(m);
    std::uint64_t state = seed ^ 0x9E3779B97F4A7C15ull;
    for (std::size_t e = 0; e < m; ++e) {
        state = state * 0x5851F42D4C957F2Dull + 1;
        const double u = static_cast<double>(state >> 11) * 0x1p-53;
        costs[e] = static_cast<std::int64_t>(std::round((2.0 * u - 1.0) * k));
    }
    return costs;
}

McfResult<std::vector<double>> choose_start_flow(const McfProblem& problem,
                                                 const McfOptions& options,
                                                 const SolveContext& ctx) {
    const std::size_t m = problem.edge_count();
    if (options.initial_flow.has_value()) {
        const std::vector<std::int64_t>& flow = *options.initial_flow;
        if (flow.size() != m) return invalid_input("initial flow length mismatch");
        const auto tails = problem.tails();
        const auto heads = problem.heads();
        std::vector<std::int64_t> balance(problem.node_count(), 0);
        for (std::size_t e = 0; e < m; ++e) {
            if (flow[e] < problem.lower()[e] || flow[e] > problem.upper()[e]) {
                return invalid_input("initial flow violates bounds");
            }
            const auto out = checked_sub(balance[tails[e]], flow[e]);
            if (!out) return invalid_input("balance overflow");
            balance[tails[e]] = *out;
            const auto in = checked_add(balance[heads[e]], flow[e]);
            if (!in) return invalid_input("balance overflow");
            balance[heads[e]] = *in;
        }
        if (!std::ranges::equal(balance, problem.demands())) {
            return invalid_input("initial flow violates demands");
        }
        return push_inside_strict(problem, flow, ctx);
    }
    if (options.cost_perturbation > 0.0) {
        auto costs = perturbed_costs(m, options.cost_perturbation, options.seed);
        if (!costs) return std::unexpected(costs.error());
        auto base = solve_feasible_flow_with_costs(
            problem.node_count(), problem.tails(), problem.heads(), problem.lower(),
            problem.upper(), problem.demands(), std::span<const std::int64_t>(*costs), ctx);
        if (!base) return std::unexpected(base.error());
        return push_inside_strict(problem, *base, ctx);
    }
    return initialize_feasible_flow(problem, ctx);
}

}  // namespace zelk
