// McfProblem: one validated, immutable minimum-cost-flow instance.
//
// Edge i carries flow from tails[i] to heads[i] within [lower[i], upper[i]] at
// cost[i] per unit; a feasible flow gives every node v a net inflow
// (in - out) equal to demands[v]. Parallel edges and self-loops are allowed;
// bounds and costs may be negative. Every solver borrows the problem
// read-only and works on copies of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "mcf_error.hpp"

namespace zelk {

class McfProblem {
public:
    // Validates in this order, stopping at the first failure:
    //   1. heads, lower, upper, cost as long as tails: "edge arrays must have identical length"
    //   2. every endpoint below n = demands.size(): "edge endpoint outside node range"
    //   3. demands sum to exactly zero (no wrap-around): "demands must sum to zero"
    //   4. lower[i] <= upper[i]: "lower bound exceeds upper bound"
    static McfResult<McfProblem> create(std::vector<NodeIndex> tails, std::vector<NodeIndex> heads,
                                        std::vector<std::int64_t> lower,
                                        std::vector<std::int64_t> upper,
                                        std::vector<std::int64_t> cost,
                                        std::vector<std::int64_t> demands);

    std::span<const NodeIndex> tails() const { return tails_; }
    std::span<const NodeIndex> heads() const { return heads_; }
    std::span<const std::int64_t> lower() const { return lower_; }
    std::span<const std::int64_t> upper() const { return upper_; }
    std::span<const std::int64_t> cost() const { return cost_; }
    std::span<const std::int64_t> demands() const { return demands_; }
    std::size_t edge_count() const { return tails_.size(); }
    std::size_t node_count() const { return demands_.size(); }

private:
    McfProblem() = default;

    std::vector<NodeIndex> tails_;
    std::vector<NodeIndex> heads_;
    std::vector<std::int64_t> lower_;
    std::vector<std::int64_t> upper_;
    std::vector<std::int64_t> cost_;
    std::vector<std::int64_t> demands_;
};

}  // namespace zelk
