#include "graph/min_cost_flow.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "zelk_assert.hpp"

namespace zelk {

namespace {

// Saturates every negative-cost arc among `arcs` (forward arcs named by
// (node, index), one per input edge i from tails[i] to heads[i]): its
// capacity moves to the reverse arc and into the balances (tail +, head -).
// After this no arc with spare capacity has a negative cost, so no negative
// cycle is left. False when a balance would leave the 64-bit range.
bool saturate_negative_arcs(MinCostFlow& mcf,
                            std::span<const std::pair<std::size_t, std::size_t>> arcs,
                            std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                            std::vector<std::int64_t>& balance) {
    for (std::size_t i = 0; i < arcs.size(); ++i) {
        auto& fwd = mcf.graph[arcs[i].first][arcs[i].second];
        if (fwd.cost >= 0 || fwd.cap == 0) continue;
        // The tail first: a self-loop is both ends.
        const auto tail_next = checked_add(balance[tails[i]], fwd.cap);
        if (!tail_next) return false;
        balance[tails[i]] = *tail_next;
        const auto head_next = checked_sub(balance[heads[i]], fwd.cap);
        if (!head_next) return false;
        balance[heads[i]] = *head_next;
        mcf.graph[fwd.to][fwd.rev].cap = fwd.cap;
        fwd.cap = 0;
    }
    return true;
}

// Joins node v to `sink` (balance > 0) or `source` to v (balance < 0) with
// capacity |balance| at cost 0, in node order, and returns the total supply.
// Nothing when a balance is INT64_MIN or the total overflows.
std::optional<std::int64_t> attach_balances(MinCostFlow& mcf, std::span<const std::int64_t> balance,
                                            std::size_t source, std::size_t sink) {
    std::int64_t supply = 0;
    for (std::size_t v = 0; v < balance.size(); ++v) {
        const std::int64_t b = balance[v];
        if (b > 0) {
            mcf.add_edge(v, sink, b, 0);
        } else if (b < 0) {
            if (b == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
            mcf.add_edge(source, v, -b, 0);
            const auto next = checked_add(supply, -b);
            if (!next) return std::nullopt;
            supply = *next;
        }
    }
    return supply;
}

constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

// Reachable potentials stay within 2^59 of the source's (distances of simple
// paths); the cap only stops nodes that left the reachable set from drifting.
constexpr std::int64_t POTENTIAL_CAP = std::int64_t{1} << 61;

// Sum of |cost| over all arcs (each edge counted twice) below this: every
// distance the reference search can produce is far from saturation.
constexpr std::uint64_t FAST_COST_LIMIT = std::uint64_t{1} << 60;

McfResult<Int128> add_cost(Int128 total, Int128 cost, std::int64_t f) {
    Int128 product, next;
    if (__builtin_mul_overflow(cost, Int128{f}, &product) ||
        __builtin_add_overflow(total, product, &next)) {
        return invalid_input("total cost overflow");
    }
    return next;
}

}  // namespace

std::pair<std::size_t, std::size_t> MinCostFlow::add_edge(std::size_t from, std::size_t to,
                                                          std::int64_t cap, std::int64_t cost) {
    ZELK_ASSERT(from < graph.size() && to < graph.size());
    const std::size_t fwd = graph[from].size();
    // For a self-loop the reverse arc lands right after the forward arc.
    const std::size_t bwd = graph[to].size() + (from == to ? 1 : 0);
    graph[from].push_back(Edge{to, bwd, cap, cost});
    graph[to].push_back(Edge{from, fwd, 0, -Int128{cost}});
    return {from, fwd};
}

bool MinCostFlow::fast_path_applies() const {
    std::uint64_t sum = 0;
    for (const auto& arcs : graph) {
        for (const Edge& e : arcs) {
            const Int128 mag = e.cost < 0 ? -e.cost : e.cost;
            if (mag >= static_cast<Int128>(FAST_COST_LIMIT)) return false;
            sum += static_cast<std::uint64_t>(mag);
            if (sum >= FAST_COST_LIMIT) return false;
        }
    }
    return true;
}

bool MinCostFlow::compute_potentials(std::vector<Int128>& potential) const {
    // Queue-based Bellman-Ford from a virtual source joined to every node at
    // cost 0. A path of n or more arcs proves a negative cycle. Exact in 128
    // bits: a walk of fewer than n arcs costs less than n * 2^63 in magnitude,
    // so a cycle of cost -2^63 or a self-loop of cost -2^62 is still seen.
    const std::size_t n = graph.size();
    potential.assign(n, 0);
    bool any_negative = false;
    for (const auto& arcs : graph) {
        for (const Edge& e : arcs) any_negative |= (e.cap > 0 && e.cost < 0);
    }
    if (!any_negative) return true;
    std::vector<std::size_t> arcs_on_path(n, 0);
    std::vector<char> queued(n, 1);
    std::vector<std::size_t> queue(n);
    for (std::size_t v = 0; v < n; ++v) queue[v] = v;
    std::size_t head = 0;
    while (head < queue.size()) {
        const std::size_t u = queue[head++];
        queued[u] = 0;
        for (const Edge& e : graph[u]) {
            if (e.cap <= 0) continue;
            const Int128 cand = potential[u] + e.cost;
            if (cand < potential[e.to]) {
                potential[e.to] = cand;
                arcs_on_path[e.to] = arcs_on_path[u] + 1;
                if (arcs_on_path[e.to] >= n) return false;
                if (!queued[e.to]) {
                    queued[e.to] = 1;
                    queue.push_back(e.to);
                }
            }
        }
        // Keep the queue's storage bounded by compacting its consumed prefix.
        if (head > n && head * 2 > queue.size()) {
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    return true;
}

bool MinCostFlow::has_negative_cycle() const {
    std::vector<Int128> potential;
    return !compute_potentials(potential);
}

McfResult<std::int64_t> MinCostFlow::augment(std::size_t s, std::size_t t, std::int64_t limit,
                                             const std::vector<std::size_t>& pred_node,
                                             const std::vector<std::size_t>& pred_arc,
                                             Int128& total) {
    // Bounded walk: more than n steps means the links form a cycle, which
    // only a negative-cost cycle in the residual graph can cause.
    std::int64_t f = limit;
    std::size_t steps = 0;
    for (std::size_t v = t; v != s; v = pred_node[v]) {
        if (pred_node[v] == NONE) return std::unexpected(McfError::infeasible());
        if (++steps > graph.size()) return invalid_input("negative-cost cycle in residual graph");
        f = std::min(f, graph[pred_node[v]][pred_arc[v]].cap);
    }
    for (std::size_t v = t; v != s; v = pred_node[v]) {
        Edge& e = graph[pred_node[v]][pred_arc[v]];
        e.cap -= f;
        graph[v][e.rev].cap += f;
        auto next = add_cost(total, e.cost, f);
        if (!next) return std::unexpected(next.error());
        total = *next;
    }
    return f;
}

McfResult<Int128> MinCostFlow::min_cost_flow(std::size_t s, std::size_t t, std::int64_t amount,
                                             const SolveContext& ctx) {
    if (amount < 1 || s == t) return Int128{0};
    if (!fast_path_applies()) return min_cost_flow_reference(s, t, amount, ctx);
    std::vector<Int128> exact;
    if (!compute_potentials(exact)) return min_cost_flow_reference(s, t, amount, ctx);
    // Without a negative cycle every potential is the cost of a simple path,
    // within the fast path's cost limit of zero.
    std::vector<std::int64_t> potential(exact.begin(), exact.end());
    return augment_fast(s, t, amount, potential, ctx);
}

// The fast search's state across augmentations: reduced distances, the
// reference's predecessor labels, and scratch reused throughout (stamps
// replace clearing).
class MinCostFlow::FastSearch {
public:
    FastSearch(const MinCostFlow& flow, std::size_t s, std::size_t t,
               std::vector<std::int64_t>& potential)
        : pred_node(flow.graph.size()),
          pred_arc(flow.graph.size()),
          graph_(flow.graph),
          s_(s),
          t_(t),
          potential_(potential),
          dist_(graph_.size()),
          seen_(graph_.size(), 0),
          settled_(graph_.size(), 0),
          labelled_(graph_.size(), 0) {}

    // The path find_path labelled, read by augment.
    std::vector<std::size_t> pred_node, pred_arc;

    // Labels a path from s to t that the reference search would augment
    // along. Most augmentations after the first reuse the previous
    // distances: t is still reachable through arcs of reduced cost 0. False
    // when t is unreachable.
    bool find_path() {
        next_stamp();
        shortcut_ = label_predecessors(false);
        if (shortcut_) return true;
        next_stamp();
        if (!settle_distances()) return false;
        label_predecessors(true);
        return true;
    }

    // Potentials: settled nodes move by their distance, the rest by d(t),
    // which keeps every residual reduced cost non-negative. After the
    // shortcut every distance up to d(t) = 0 was zero: nothing moves.
    void update_potentials() {
        if (shortcut_) return;
        for (std::size_t v = 0; v < potential_.size(); ++v) {
            const std::int64_t shift = settled_[v] == stamp_ ? dist_[v] : target_;
            potential_[v] = std::min(potential_[v] + shift, POTENTIAL_CAP);
        }
    }

private:
    using Entry = std::pair<std::int64_t, std::size_t>;   // (key, node), min-heap
    using Label = std::pair<std::uint64_t, std::size_t>;  // (round, node), min-heap

    void next_stamp() {
        if (++stamp_ == 0) {  // wrapped: clear the marks once
            std::ranges::fill(seen_, 0u);
            std::ranges::fill(settled_, 0u);
            std::ranges::fill(labelled_, 0u);
            stamp_ = 1;
        }
    }

    // Exact reduced distances of every node up to d(t) (Dijkstra); d(t) goes
    // to target_. False when t is unreachable.
    bool settle_distances() {
        heap_.clear();
        dist_[s_] = 0;
        seen_[s_] = stamp_;
        heap_.push_back({0, s_});
        target_ = -1;
        while (!heap_.empty()) {
            const auto [d, u] = heap_.front();
            if (target_ >= 0 && d > target_) break;
            std::ranges::pop_heap(heap_, std::greater<>{});
            heap_.pop_back();
            if (settled_[u] == stamp_ || d != dist_[u]) continue;
            settled_[u] = stamp_;
            if (u == t_) target_ = d;
            const std::int64_t pu = potential_[u];
            for (const Edge& e : graph_[u]) {
                if (e.cap <= 0 || settled_[e.to] == stamp_) continue;
                // The fast search only runs with every |cost| below 2^60.
                const std::int64_t nd =
                    d + (static_cast<std::int64_t>(e.cost) + pu - potential_[e.to]);
                if (seen_[e.to] != stamp_ || nd < dist_[e.to]) {
                    seen_[e.to] = stamp_;
                    dist_[e.to] = nd;
                    heap_.push_back({nd, e.to});
                    std::ranges::push_heap(heap_, std::greater<>{});
                }
            }
        }
        return target_ >= 0;
    }

    // The reference's predecessors: over tight arcs, the first offer in
    // (round, node, arc) order wins. Keys only grow, so each node is offered
    // its final label first. With `settled_only`, tight means exact after a
    // Dijkstra pass; otherwise it means reduced cost 0, which is exact when
    // t is at reduced distance 0 (then exactly the nodes reachable through
    // zero-cost arcs lie at distance <= d(t)). True when t was labelled.
    bool label_predecessors(bool settled_only) {
        labels_.clear();
        labelled_[s_] = stamp_;
        labels_.push_back({1, s_});
        while (!labels_.empty() && labelled_[t_] != stamp_) {
            std::ranges::pop_heap(labels_, std::greater<>{});
            const auto [r, u] = labels_.back();
            labels_.pop_back();
            const std::int64_t du = (settled_only ? dist_[u] : 0) + potential_[u];
            for (std::size_t k = 0; k < graph_[u].size(); ++k) {
                const Edge& e = graph_[u][k];
                const std::size_t v = e.to;
                if (e.cap <= 0 || v == u || labelled_[v] == stamp_) continue;
                if (settled_only && settled_[v] != stamp_) continue;
                const auto cost = static_cast<std::int64_t>(e.cost);
                if (du + cost != (settled_only ? dist_[v] : 0) + potential_[v]) continue;
                labelled_[v] = stamp_;
                pred_node[v] = u;
                pred_arc[v] = k;
                labels_.push_back({r + (v < u ? 1 : 0), v});
                std::ranges::push_heap(labels_, std::greater<>{});
            }
        }
        return labelled_[t_] == stamp_;
    }

    const std::vector<std::vector<Edge>>& graph_;
    std::size_t s_, t_;
    std::vector<std::int64_t>& potential_;
    std::vector<std::int64_t> dist_;
    std::vector<std::uint32_t> seen_, settled_, labelled_;
    std::vector<Entry> heap_;
    std::vector<Label> labels_;
    std::uint32_t stamp_ = 0;
    std::int64_t target_ = 0;
    bool shortcut_ = false;
};

McfResult<Int128> MinCostFlow::augment_fast(std::size_t s, std::size_t t, std::int64_t amount,
                                            std::vector<std::int64_t>& potential,
                                            const SolveContext& ctx) {
    FastSearch search(*this, s, t, potential);
    Int128 total = 0;
    std::int64_t remaining = amount;
    while (remaining > 0) {
        if (ctx.cancelled()) return std::unexpected(McfError::interrupted());
        if (!search.find_path()) return std::unexpected(McfError::infeasible());
        auto sent = augment(s, t, remaining, search.pred_node, search.pred_arc, total);
        if (!sent) return std::unexpected(sent.error());
        remaining -= *sent;
        search.update_potentials();
    }
    return total;
}

McfResult<Int128> MinCostFlow::min_cost_flow_reference(std::size_t s, std::size_t t,
                                                       std::int64_t amount,
                                                       const SolveContext& ctx) {
    if (amount < 1) return Int128{0};
    const std::size_t n = graph.size();
    // Distances are exact in 128 bits; "unreached" is a sentinel no walk of
    // this search can reach, so no real distance is mistaken for it.
    constexpr Int128 UNREACHED = INT128_HIGHEST;
    std::vector<Int128> dist(n);
    std::vector<std::size_t> prev_node(n), prev_arc(n);
    Int128 total = 0;
    std::int64_t remaining = amount;
    while (remaining > 0) {
        if (ctx.cancelled()) return std::unexpected(McfError::interrupted());
        std::ranges::fill(dist, UNREACHED);
        std::ranges::fill(prev_node, NONE);
        std::ranges::fill(prev_arc, NONE);
        dist[s] = 0;
        for (std::size_t r = 0; r < n; ++r) {
            bool updated = false;
            for (std::size_t u = 0; u < n; ++u) {
                if (dist[u] == UNREACHED) continue;
                for (std::size_t k = 0; k < graph[u].size(); ++k) {
                    const Edge& e = graph[u][k];
                    if (e.cap <= 0) continue;
                    const Int128 cand = saturating_add(dist[u], e.cost);
                    if (cand < dist[e.to]) {
                        dist[e.to] = cand;
                        prev_node[e.to] = u;
                        prev_arc[e.to] = k;
                        updated = true;
                    }
                }
            }
            if (!updated) break;
            if (ctx.cancelled()) return std::unexpected(McfError::interrupted());
        }
        if (dist[t] == UNREACHED) return std::unexpected(McfError::infeasible());

        auto sent = augment(s, t, remaining, prev_node, prev_arc, total);
        if (!sent) return std::unexpected(sent.error());
        remaining -= *sent;
    }
    return total;
}

McfResult<std::vector<std::int64_t>> route_by_paths(std::size_t n, std::span<const NodeIndex> tails,
                                                    std::span<const NodeIndex> heads,
                                                    std::span<const std::int64_t> caps,
                                                    std::span<const std::int64_t> costs,
                                                    std::vector<std::int64_t> balance,
                                                    const RouteOverflowMessages& messages,
                                                    const SolveContext& ctx) {
    const std::size_t m = caps.size();
    const std::size_t source = n;
    const std::size_t sink = n + 1;
    MinCostFlow mcf(n + 2);
    std::vector<std::pair<std::size_t, std::size_t>> arcs(m);
    bool any_negative = false;
    for (std::size_t e = 0; e < m; ++e) {
        const std::int64_t c = e < costs.size() ? costs[e] : 0;
        any_negative |= c < 0;
        arcs[e] = mcf.add_edge(tails[e], heads[e], caps[e], c);
    }
    if (any_negative && mcf.has_negative_cycle() &&
        !saturate_negative_arcs(mcf, arcs, tails, heads, balance)) {
        return invalid_input(std::string(messages.saturation));
    }
    const auto supply = attach_balances(mcf, balance, source, sink);
    if (!supply) return invalid_input(std::string(messages.supply));
    if (*supply > 0) {
        auto routed = mcf.min_cost_flow(source, sink, *supply, ctx);
        if (!routed) return std::unexpected(routed.error());
    }
    std::vector<std::int64_t> flow(m);
    for (std::size_t e = 0; e < m; ++e) {
        flow[e] = caps[e] - mcf.graph[arcs[e].first][arcs[e].second].cap;
    }
    return flow;
}

}  // namespace zelk
