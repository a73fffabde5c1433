#include "scaling/warm_start.hpp"

#include <cmath>
#include <limits>

namespace zelk {

std::int64_t round_to_int64(double value) {
    if (std::isnan(value)) return 0;
    const double r = std::round(value);
    if (r >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    if (r < -0x1p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

Int128 round_to_int128(double value) { return saturating_int128(std::round(value)); }

WarmStart feasible_initial_flow(const McfProblem& problem, WarmStart candidate) {
    if (!candidate || candidate->size() != problem.edge_count()) return std::nullopt;
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    const std::vector<std::int64_t>& flow = *candidate;
    std::vector<std::int64_t> balance(problem.node_count(), 0);
    for (std::size_t i = 0; i < flow.size(); ++i) {
        const std::int64_t x = flow[i];
        if (x < lower[i] || x > upper[i]) return std::nullopt;
        if (__builtin_sub_overflow(balance[tails[i]], x, &balance[tails[i]]) ||
            __builtin_add_overflow(balance[heads[i]], x, &balance[heads[i]])) {
            return std::nullopt;
        }
    }
    const auto demands = problem.demands();
    for (std::size_t v = 0; v < balance.size(); ++v) {
        if (balance[v] != demands[v]) return std::nullopt;
    }
    return candidate;
}

WarmStart update_initial_flow(const McfProblem& problem, WarmStart previous,
                              std::span<const double> fractional) {
    std::vector<std::int64_t> rounded(fractional.size());
    for (std::size_t i = 0; i < fractional.size(); ++i) rounded[i] = round_to_int64(fractional[i]);
    WarmStart accepted = feasible_initial_flow(problem, std::move(rounded));
    return accepted ? std::move(accepted) : std::move(previous);
}

}  // namespace zelk
