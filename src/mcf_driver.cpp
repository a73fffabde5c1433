#include "mcf_driver.hpp"

#include "worker_pool.hpp"

namespace zelk {

McfResult<McfSolution> min_cost_flow_exact(const McfProblem& problem, const McfOptions& options,
                                           const SolveContext& ctx) {
    McfOptions copy = options;
    if (copy.deterministic) copy.threads = 1;
    initialize_thread_pool(copy.threads, copy.deterministic);
    // Only the classic route exists so far; every instance takes it.
    return solve_classic_with_mode(problem, SolverMode::Classic, ctx);
}

}  // namespace zelk
