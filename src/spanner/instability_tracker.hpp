// InstabilityTracker: per-slot instability budgets and accumulated totals of
// a spanner. The static oracle and the deterministic spanner add to slot 0
// of `accumulated`.
#pragma once

#include <cstddef>
#include <vector>

namespace zelk {

struct InstabilityTracker {
    // max(slots, 1) entries each: budget = max(threshold, 0.0) (NaN gives
    // 0.0), accumulated = 0.0.
    static InstabilityTracker create(std::size_t slots, double threshold);

    std::vector<double> budget;
    std::vector<double> accumulated;
};

}  // namespace zelk
