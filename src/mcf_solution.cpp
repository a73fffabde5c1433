#include "mcf_solution.hpp"

namespace zelk {

std::string_view solver_mode_name(SolverMode mode) {
    switch (mode) {
        case SolverMode::Classic: return "classic";
        case SolverMode::Ipm: return "ipm";
        case SolverMode::IpmScaled: return "ipm_scaled";
        case SolverMode::ClassicFallback: return "classic_fallback";
    }
    return "classic";
}

McfResult<McfSolution> solve_classic_with_mode(const McfProblem& problem, SolverMode mode,
                                               const SolveContext& ctx) {
    auto classic = solve_classic(problem, ctx);
    if (!classic) return std::unexpected(classic.error());
    McfSolution solution;
    solution.cost = classic->cost;
    solution.flow = std::move(classic->flow);
    solution.potentials = std::move(classic->potentials);
    solution.solver_mode = mode;
    return solution;
}

}  // namespace zelk
