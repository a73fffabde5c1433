#include "mcf_problem.hpp"

#include "checked_math.hpp"
#include "index_types.hpp"

namespace zelk {

McfResult<McfProblem> McfProblem::create(std::vector<NodeIndex> tails, std::vector<NodeIndex> heads,
                                         std::vector<std::int64_t> lower,
                                         std::vector<std::int64_t> upper,
                                         std::vector<std::int64_t> cost,
                                         std::vector<std::int64_t> demands) {
    const std::size_t m = tails.size();
    if (heads.size() != m || lower.size() != m || upper.size() != m || cost.size() != m) {
        return invalid_input("edge arrays must have identical length");
    }
    const std::size_t n = demands.size();
    for (std::size_t i = 0; i < m; ++i) {
        if (tails[i] >= n || heads[i] >= n)
            return invalid_input("edge endpoint outside node range");
    }
    // The true sum, in 128 bits: demands whose 64-bit sum merely wraps to
    // zero (MAX + MAX + 2) describe no flow at all.
    Int128 sum = 0;
    for (std::int64_t d : demands) sum += d;
    if (sum != 0) return invalid_input("demands must sum to zero");
    for (std::size_t i = 0; i < m; ++i) {
        if (lower[i] > upper[i]) return invalid_input("lower bound exceeds upper bound");
    }
    McfProblem p;
    p.tails_ = std::move(tails);
    p.heads_ = std::move(heads);
    p.lower_ = std::move(lower);
    p.upper_ = std::move(upper);
    p.cost_ = std::move(cost);
    p.demands_ = std::move(demands);
    return p;
}

}  // namespace zelk
