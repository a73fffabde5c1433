// Termination of an interior-point run: the gap estimate and its threshold,
// the per-run constants of the stop tests, and the tests themselves as small
// pieces the main loop applies in order:
//   1 time limit            -> TimeLimit
//   2 gap <= threshold      -> Converged (by gap)
//   3 potential at its floor or duality-gap proxy < tolerance -> Converged
//   4 no cycle              -> NoImprovingCycle
//   5 ratio >= -tolerance   -> Converged
//   6 improvement r < step floor -> Converged
//   7 no line-search step   -> NoImprovingCycle
//   8 step taken on the last allowed iteration -> IterationLimit
// Tests 3-7 turn into IterationLimit when k + 1 >= max_iters (stop_at).
// Cost: the estimate is one pass over the edges; everything else O(1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ipm/ipm_result.hpp"
#include "mcf_options.hpp"
#include "numerics/potential.hpp"
#include "numerics/slack_memo.hpp"
#include "solve_context.hpp"

namespace zelk {

// X^0.95 exp(-|alpha| B / (20 m)) for m >= 1, with X = max(|c.x|, reference,
// 1) and B the sum of both clamped barrier terms r^(-alpha) of every edge
// (clamped_barrier_term, no stats). +inf when flow and cost differ in length,
// a slack array differs from them, c.x, an edge's barrier pair, the exponent
// or the estimate is not finite.
// `memo` (optional, one per run: numerics and alpha must not change) keeps
// each edge's barrier pair for the slacks it was computed at.
double estimate_duality_gap_with_config(std::span<const double> flow, std::span<const double> cost,
                                        const Residuals& residuals, std::uint64_t m,
                                        const NumericsConfig& numerics, double alpha,
                                        double reference, SlackMemo<double>* memo = nullptr);

// gap_tolerance when given, else S'^(-gap_exponent) with
// S' = max(U max(edge_count, 1), 1) and U = max(1, max |upper|).
double gap_threshold(const McfOptions& options, std::span<const double> upper,
                     std::size_t edge_count);

// Constants of one run, fixed before the first iteration.
struct TerminationConstants {
    double potential_floor = 0.0;  // -200 m max(ln S, 1)
    double step_floor = 0.0;       // 1 / max(ln m, 2)
    double decrease_scale = 0.0;   // c, see line_search.hpp
    double gap_threshold = 0.0;
};

// m and S are the potential's edge_count and problem_scale; the threshold
// uses the problem's own edge count.
TerminationConstants termination_constants(const Potential& potential, const McfOptions& options,
                                           std::span<const double> upper, std::size_t edge_count);

// A time limit is set and has been reached.
bool time_limit_reached(double elapsed_ms, std::optional<std::uint64_t> time_limit_ms);

// The gap the check uses: the estimate itself on the first iteration, later
// max(estimate, max(-previous ratio, 0)).
double gap_for_check(double estimate, std::optional<double> previous_ratio);

// The gap is within the threshold; a NaN gap never passes.
bool gap_converged(double gap, double threshold);

// "gap termination check: gap=<G>, threshold=<T>" (no newline).
std::string gap_check_line(double gap, double threshold);
// Sends that line to the diagnostics sink.
void report_gap_check(double gap, double threshold, const SolveContext& ctx = SolveContext::none());

// The potential fell below its floor with the gap proxy within tolerance.
bool potential_converged(double value, double duality_gap_proxy, double potential_floor,
                         double tolerance);

// The best cycle's ratio no longer promises an improvement.
bool ratio_converged(double ratio, double tolerance);

// r = max(-ratio, 0), the improvement a cycle promises.
double cycle_improvement(double ratio);

// The improvement a cycle promises is below the step floor.
bool improvement_too_small(double improvement, double step_floor);

// The outcome of a stop inside iteration k (any test after the gap test).
struct IpmStop {
    IpmTermination termination = IpmTermination::Converged;
    bool by_max_iters = false;  // becomes terminated_by_max_iters
};

// `reason`, or IterationLimit (by_max_iters) when k + 1 >= max_iters.
IpmStop stop_at(IpmTermination reason, std::size_t k, std::size_t max_iters);

// A step was taken on the last allowed iteration.
bool last_iteration(std::size_t k, std::size_t max_iters);

}  // namespace zelk
