#include "mcf_driver.hpp"

namespace zelk {

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx) {
    McfOptions copy = options;
    if (copy.deterministic) copy.threads = 1;
    // Only the classic route exists so far; every instance takes it.
    return solve_classic_with_mode(problem, SolverMode::Classic, ctx);
}

}  // namespace zelk
