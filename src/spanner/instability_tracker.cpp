#include "spanner/instability_tracker.hpp"

#include <algorithm>

namespace zelk {

InstabilityTracker InstabilityTracker::create(std::size_t slots, double threshold) {
    const std::size_t count = std::max<std::size_t>(slots, 1);
    // `threshold > 0.0` is false for NaN, so NaN gives 0.0.
    const double b = threshold > 0.0 ? threshold : 0.0;
    InstabilityTracker t;
    t.budget.assign(count, b);
    t.accumulated.assign(count, 0.0);
    return t;
}

}  // namespace zelk
