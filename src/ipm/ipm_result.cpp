#include "ipm/ipm_result.hpp"

namespace zelk {

std::string_view ipm_termination_name(IpmTermination termination) {
    switch (termination) {
        case IpmTermination::Converged: return "converged";
        case IpmTermination::IterationLimit: return "iteration_limit";
        case IpmTermination::TimeLimit: return "time_limit";
        case IpmTermination::NoImprovingCycle: return "no_improving_cycle";
    }
    return "converged";
}

}  // namespace zelk
