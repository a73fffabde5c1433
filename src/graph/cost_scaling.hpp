// Cost-scaling push-relabel: an exact minimum-cost flow with optimal node
// potentials, for networks whose lower bounds have been reduced to zero.
//
// Input and output as for network_simplex (graph/network_simplex.hpp): n
// nodes, m arcs tails[i] -> heads[i] with capacity cap[i] >= 0 and any
// 64-bit cost, balance[v] the net inflow node v must receive. Output: an
// optimal flow within [0, cap] and potentials p whose reduced costs
// cost[i] + p[tails[i]] - p[heads[i]] are non-negative on every residual arc.
//
// Method: costs are multiplied by n + 1 and refined through epsilon phases
// (epsilon divided by a constant factor each time); a phase saturates every
// arc of negative reduced cost, then discharges the nodes with excess in
// FIFO order (pushes along admissible walks of up to three arcs, relabels
// where a walk gets stuck), with periodic global price updates (a bucket
// Dijkstra from the deficits). A flow that is 1-optimal on costs scaled by
// n + 1 is optimal, and one label-correcting pass on its residual graph,
// started from the scaled prices divided by n + 1, yields the exact
// potentials. From the phase where epsilon drops below one cost unit, a
// bounded attempt of that pass runs after each phase that leaves few arcs
// of negative reduced cost under the rounded prices; it cancels the
// negative cycles it meets (cycles of its labels' parent arcs) and, when it
// settles, ends the run early. A global update that cannot reach every
// node with excess from a deficit proves the instance infeasible. Same
// input, same pushes, same flow.
//
// Range: the engine runs in 64 bits and declines (nullopt) up front when
// (n + 1)^2 * max|cost| or a node's capacity sum is too large to keep its
// prices and excesses provably in range, or 2m residual arcs do not fit 32-bit
// indices, and during the run if a price leaves its bound; the caller then
// uses another exact engine.
//
// Failures: Infeasible; Interrupted when the context is cancelled (polled
// once per phase and every few thousand discharges).
//
// Cost: O(n + m) memory (about 70 bytes per arc, 46 when capacities and
// scaled costs fit 32 bits, and 67 per node; nothing is allocated per phase
// or push). Time O(n^2 m log(n C)) in theory, far below
// that in practice thanks to the global updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "mcf_error.hpp"
#include "solve_context.hpp"

namespace zelk {

struct CostScalingResult {
    std::vector<std::int64_t> flow;      // one value per arc, within [0, cap]
    std::vector<Int128> potentials;      // one value per node
    std::uint64_t relabels = 0;          // single-node relabels over all phases
    std::uint64_t cycles_cancelled = 0;  // by the optimality checks
};

struct CostScalingOptions {
    // Arc records with 32-bit residuals, capacities and costs where they
    // fit; the same pushes and the same result as 64-bit records, faster.
    bool compact_arcs = true;
    // Try the bounded optimality check after every phase, not only where it
    // is likely to pay: more cycles cancelled, for tests of that path.
    bool check_every_phase = false;
};

// nullopt: the instance is out of this engine's 64-bit range (see above).
McfResult<std::optional<CostScalingResult>> cost_scaling(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const std::int64_t> cap, std::span<const std::int64_t> cost,
    std::span<const std::int64_t> balance, const SolveContext& ctx = SolveContext::none(),
    const CostScalingOptions& options = {});

}  // namespace zelk
