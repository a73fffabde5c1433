// A least-cost integral feasible flow for raw edge arrays: the lower bounds
// reduced into balances, a super source and sink attached, and the supply
// routed by successive shortest paths (MinCostFlow). Used for the
// interior-point start and for rounding's unit edges.
// Cost: one MinCostFlow solve, plus a negative-cycle search when costs are
// negative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "mcf_error.hpp"
#include "solve_context.hpp"

namespace zelk {

// An integral flow with lower <= flow <= upper and inflow - outflow =
// demands at every node, of least cost under `costs` (zero for edges beyond
// them, or when absent). Checks, in order: "edge arrays must have identical
// length", "demand array length mismatch", then per edge "edge endpoint
// outside node range", "lower bound exceeds upper bound", "capacity
// overflow", "demand overflow"; a flow that does not fit gives "flow
// overflow". Infeasible when the demands cannot be met. Costs may be
// negative, also around cycles: such instances start from every
// negative-cost edge saturated, so the result is still of least cost.
McfResult<std::vector<std::int64_t>> solve_feasible_flow_with_costs(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const std::int64_t> lower, std::span<const std::int64_t> upper,
    std::span<const std::int64_t> demands, std::optional<std::span<const std::int64_t>> costs,
    const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
