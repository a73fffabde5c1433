// run_ipm_with_lower_bound: one complete interior-point run for a fixed
// lower bound F on the optimal cost.
//
// From a strictly interior start it repeats: evaluate gradient and lengths,
// test for termination, ask an oracle for the cycle of most negative
// gradient-to-length ratio, step along the normalised cycle with the line
// search, and keep the dynamic oracle (when there is one) informed of what
// changed. Oracles by `oracle_mode`: `Fallback` the static oracle only,
// `Dynamic` the dynamic one only, `Hybrid` the dynamic one first and the
// static one after a loss-limit or rebuild warning.
//
// Errors end the run (start errors, a failed tree build as InvalidInput with
// the variant name, Interrupted when the caller cancels); every other stop is
// a termination code and the run returns its flow and statistics.
// Cost per iteration: a few passes over the edges, one oracle query and at
// most 40 line-search evaluations.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ipm/ipm_result.hpp"
#include "mcf_error.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "min_ratio/dynamic_oracle.hpp"
#include "min_ratio/min_ratio_oracle.hpp"
#include "numerics/potential.hpp"
#include "numerics/slack_memo.hpp"
#include "solve_context.hpp"

namespace zelk {

// Per-edge powers a run keeps, keyed by the edge's slacks bit for bit.
// Callers running many probes from one start pass the same record to each,
// so a probe's first evaluations reuse the last probe's powers at edges it
// left alone. The entries depend on the run's numerics, alpha and barrier
// exponent only; a run with other constants clears them first.
// The record also lends its static oracle to each run in turn, restarted
// (MinRatioOracle::restart) when its seed settings are the run's, else
// replaced: probes over one graph then rebuild its tree and spanner walks
// in place instead of afresh. The last run's dynamic oracle, kept here,
// lends the next one its spanner's storage and its level oracles
// (make_full_dynamic_oracle).
struct IpmPowerMemo {
    SlackMemo<BarrierGradientTerm> gradient;
    SlackMemo<double> estimate;
    SlackMemo<double> barrier;
    std::optional<Potential> made_for;  // constants the entries were computed with
    std::optional<MinRatioOracle> static_oracle;
    std::unique_ptr<DynamicOracle> last_dynamic_oracle;
    // Finished evaluations whose arrays later ones fill (any contents).
    std::vector<GradientAndLengths> spare_evaluations;
};

// `start`, when given, is the strictly interior start the options would
// choose (callers that run many probes compute it once).
McfResult<IpmResult> run_ipm_with_lower_bound(const McfProblem& problem, const McfOptions& options,
                                              double lower_bound,
                                              const SolveContext& ctx = SolveContext::none(),
                                              const std::vector<double>* start = nullptr,
                                              IpmPowerMemo* memo = nullptr);

}  // namespace zelk
