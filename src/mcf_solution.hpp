// McfSolution: the answer of one solve, whichever route produced it, and the
// classic solver as the routes call it (direct, or as the fallback of an
// interior-point run).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "checked_math.hpp"
#include "graph/classic_solver.hpp"
#include "ipm_summary.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"
#include "solve_context.hpp"

namespace zelk {

enum class SolverMode { Classic, Ipm, IpmScaled, ClassicFallback };

// "classic", "ipm", "ipm_scaled", "classic_fallback".
std::string_view solver_mode_name(SolverMode mode);

struct McfSolution {
    Int128 cost = 0;                        // sum of cost[i] * flow[i]
    std::optional<IpmSummary> ipm_summary;  // absent on the classic paths
    std::vector<std::int64_t> flow;         // one value per input edge
    SolverMode solver_mode = SolverMode::Classic;
    // Optimal node potentials when the route computed them (see
    // ClassicSolution); empty otherwise.
    std::vector<Int128> potentials;
};

// solve_classic, reported in `mode` (Classic, or ClassicFallback when it
// replaces an interior-point run), without a summary.
McfResult<McfSolution> solve_classic_with_mode(const McfProblem& problem, SolverMode mode,
                                               const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
