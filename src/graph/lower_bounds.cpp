#include "graph/lower_bounds.hpp"

#include "checked_math.hpp"
#include "index_types.hpp"

namespace zelk {

McfResult<LowerBoundReduction> reduce_lower_bounds(std::span<const NodeIndex> tails,
                                                   std::span<const NodeIndex> heads,
                                                   std::span<const std::int64_t> lower,
                                                   std::span<const std::int64_t> upper,
                                                   std::span<const std::int64_t> demands,
                                                   BalanceOverflow policy) {
    const std::size_t m = lower.size();
    const std::size_t n = demands.size();
    const bool stop_at_first = policy == BalanceOverflow::StopAtFirst;
    LowerBoundReduction red{std::vector<std::int64_t>(m, 0),
                            std::vector<std::int64_t>(demands.begin(), demands.end())};
    auto& balance = red.balance;
    bool capacity_overflow = false;
    bool balance_overflow = false;
    // Exact when it fits; otherwise saturated and flagged, so that the
    // report-after-scan policy still checks every edge's bounds first.
    auto shift = [&](std::size_t v, std::int64_t delta, bool negate) {
        const auto next = negate ? checked_sub(balance[v], delta) : checked_add(balance[v], delta);
        if (next) {
            balance[v] = *next;
            return true;
        }
        balance_overflow = true;
        balance[v] = negate ? saturating_sub(balance[v], delta) : saturating_add(balance[v], delta);
        return false;
    };
    for (std::size_t e = 0; e < m; ++e) {
        if (tails[e] >= n || heads[e] >= n) {
            return invalid_input("edge endpoint outside node range");
        }
        if (upper[e] < lower[e]) return invalid_input("lower bound exceeds upper bound");
        const auto cap = checked_sub(upper[e], lower[e]);
        capacity_overflow |= !cap.has_value();
        if (stop_at_first && !cap) return invalid_input("capacity overflow");
        red.residual_cap[e] = cap.value_or(-1);
        if (!shift(tails[e], lower[e], false) && stop_at_first) {
            return invalid_input("demand overflow");
        }
        if (!shift(heads[e], lower[e], true) && stop_at_first) {
            return invalid_input("demand overflow");
        }
        // The classic formulation adds -lower, which INT64_MIN does not have.
        balance_overflow |= !stop_at_first && lower[e] == INT64_MIN;
    }
    if (capacity_overflow) return invalid_input("negative residual capacity");
    if (balance_overflow) return invalid_input("node balance overflow");
    return red;
}

}  // namespace zelk
