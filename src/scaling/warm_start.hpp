// Warm starts between scaling stages: an integral flow handed from one
// interior-point run to the next is kept only when it is exactly feasible for
// the problem it will start.
//
// - feasible_initial_flow: the candidate unchanged when it has one value per
//   edge, every value within its bounds and every node's net inflow equal to
//   its demand (balances overflow-checked, never wrapped); otherwise nothing.
// - update_initial_flow: rounds a fractional flow (halves away from zero,
//   saturating to 64 bits, NaN to 0) and keeps it when feasible, otherwise
//   returns the previous warm start.
// Neither reports an error: a rejected candidate only means the next run
// builds its own start. Cost: O(n + m) time, one balance array.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "checked_math.hpp"
#include "mcf_problem.hpp"

namespace zelk {

using WarmStart = std::optional<std::vector<std::int64_t>>;

// Nearest integer, halves away from zero; saturates at the 64-bit range and
// maps NaN to 0.
std::int64_t round_to_int64(double value);

// The same rounding into 128 bits.
Int128 round_to_int128(double value);

WarmStart feasible_initial_flow(const McfProblem& problem, WarmStart candidate);

WarmStart update_initial_flow(const McfProblem& problem, WarmStart previous,
                              std::span<const double> fractional);

}  // namespace zelk
