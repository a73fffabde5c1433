// Lower bounds sent up front: every edge carries its lower bound, which
// leaves capacities upper - lower and shifts the node balances. The solvers
// then look for a flow between 0 and those capacities that meets the
// shifted balances. Cost: one pass over the edges.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "mcf_error.hpp"

namespace zelk {

struct LowerBoundReduction {
    std::vector<std::int64_t> residual_cap;  // upper - lower per edge
    std::vector<std::int64_t> balance;       // demands minus what the lower bounds deliver
};

// What a balance that leaves 64 bits does.
enum class BalanceOverflow {
    // Every edge is checked first ("lower bound exceeds upper bound"); then
    // a capacity that does not fit gives "negative residual capacity" and a
    // balance that does not fit "node balance overflow" (the classic
    // solver's contract).
    ReportAfterScan,
    // The first edge that does not fit stops the scan: "capacity overflow"
    // or "demand overflow" (the feasible-flow routine's contract).
    StopAtFirst,
};

// Checks per edge, in order: "edge endpoint outside node range", "lower
// bound exceeds upper bound", then the overflow rules of `policy`. Demands
// must have one entry per node.
McfResult<LowerBoundReduction> reduce_lower_bounds(std::span<const NodeIndex> tails,
                                                   std::span<const NodeIndex> heads,
                                                   std::span<const std::int64_t> lower,
                                                   std::span<const std::int64_t> upper,
                                                   std::span<const std::int64_t> demands,
                                                   BalanceOverflow policy);

}  // namespace zelk
