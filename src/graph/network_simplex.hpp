// Primal network simplex: an exact minimum-cost flow with optimal node
// potentials, for networks whose lower bounds have been reduced to zero.
//
// Input: n nodes, m arcs tails[i] -> heads[i] with capacity cap[i] >= 0 and
// any 64-bit cost; balance[v] is the net inflow node v must receive. Output:
// a flow 0 <= flow[i] <= cap[i] meeting every balance at minimum cost, and
// potentials p with rc_i = cost[i] + p[tails[i]] - p[heads[i]] such that
// rc_i > 0 implies flow[i] = 0 and rc_i < 0 implies flow[i] = cap[i]: every
// residual arc has a non-negative reduced cost, which proves optimality.
// Negative costs, negative-cost cycles, parallel arcs and self-loops need no
// special treatment: every arc is bounded, so the optimum always exists.
//
// Method: a spanning tree rooted at an extra node joined to every node by an
// artificial arc of cost M > (n + 1) * max|cost|, large enough that a feasible
// instance never keeps artificial flow at the optimum; artificial flow left
// at the optimum means Infeasible. Entering arcs come from a block search
// (the most violating arc of the first block of about sqrt(m) arcs that has
// one, scanning on from where the last search stopped); the leaving arc is
// the last blocking arc of the cycle, which keeps the tree strongly feasible
// and so rules out cycling. Potentials live in 64 bits when M and every tree
// path provably fit, otherwise in 128 bits; flows never leave [0, cap], so
// they stay exact in 64 bits. Same input, same pivots, same flow.
//
// Failures: Infeasible; Interrupted when the context is cancelled (polled
// every few thousand pivots); InvalidInput "instance too large" beyond
// 2^32 - 2 nodes or arcs plus nodes.
//
// Cost: O(n + m) memory (about 33 bytes per arc and 45 per node with 64-bit
// potentials; nothing is allocated per pivot). Each pivot prices a block,
// walks the cycle, and shifts the potentials of the smaller of the two
// parts the tree falls into (the tree is a preorder thread with subtree
// sizes, so either part is a run of the thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "mcf_error.hpp"
#include "solve_context.hpp"

namespace zelk {

struct NetworkSimplexResult {
    std::vector<std::int64_t> flow;  // one value per arc, within [0, cap]
    std::vector<Int128> potentials;  // one value per node
    std::uint64_t pivots = 0;        // tree changes and bound flips
};

McfResult<NetworkSimplexResult> network_simplex(std::size_t n, std::span<const NodeIndex> tails,
                                                std::span<const NodeIndex> heads,
                                                std::span<const std::int64_t> cap,
                                                std::span<const std::int64_t> cost,
                                                std::span<const std::int64_t> balance,
                                                const SolveContext& ctx = SolveContext::none());

}  // namespace zelk
