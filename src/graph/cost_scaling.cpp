#include "graph/cost_scaling.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <utility>

#include "index_types.hpp"

namespace zelk {

namespace {

using Index = std::uint32_t;  // nodes and arcs alike
constexpr Index NONE = std::numeric_limits<Index>::max();

// Epsilon shrinks by this factor per phase.
constexpr std::int64_t SCALE_FACTOR = 16;
// Prices start at 0 and only fall; below -PRICE_LIMIT the engine declines.
// With |scaled cost| <= COST_LIMIT every reduced cost and every relabel
// candidate stays below 2^62 in magnitude.
constexpr std::int64_t PRICE_LIMIT = std::int64_t{1} << 61;
constexpr std::int64_t COST_LIMIT = std::int64_t{1} << 56;
// A node's excess never exceeds its supply plus the capacities it touches.
constexpr Int128 EXCESS_LIMIT = Int128{1} << 62;
constexpr std::uint64_t CANCEL_POLL_MASK = 4095;
// Shortest-path labels start within PRICE_LIMIT and, once the flow is
// optimal, fall by at most n times the largest scaled cost (far below 2^61
// by the range check); only a check on a flow that is not optimal yet can
// pass this bound, and it then gives up.
constexpr std::int64_t LABEL_LIMIT = std::int64_t{1} << 62;
// Arc scans per arc allowed to an optimality check before the last phase:
// checks of optimal flows need about two, those that cancel a few cycles
// on the way up to about fifteen; failing ones would run on.
constexpr std::uint64_t EARLY_CHECK_BUDGET = 32;
// An early check is tried only with at most n / VIOLATION_SHARE residual
// arcs of negative cost under the rounded prices: with more, it fails.
constexpr std::uint64_t VIOLATION_SHARE = 16;
// Longest admissible walk a discharge pushes along at once.
constexpr Index PATH_LENGTH = 3;

enum class Outcome { Done, Infeasible, OutOfRange, Interrupted };

// Value holds an arc's residual, capacity and scaled cost: 32 bits when
// they all fit, which shrinks the arc records the scans stream through by
// more than a third; sums and prices are 64-bit either way.
template <class Value>
class PushRelabel {
public:
    PushRelabel(std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                std::span<const std::int64_t> cap, std::span<const std::int64_t> cost,
                std::span<const std::int64_t> balance, std::int64_t scale);

    Outcome run(const SolveContext& ctx, bool check_every_phase);
    CostScalingResult result(std::span<const std::int64_t> cap, std::span<const std::int64_t> cost);

private:
    Outcome refine(std::int64_t eps, const SolveContext& ctx);
    void saturate_negative_arcs();
    Outcome discharge(Index v);
    Outcome relabel(Index v);
    Outcome global_update();
    void enqueue(Index v);
    Index bucket_steps(std::int64_t rc, Index limit) const;
    bool nearly_optimal();
    void round_prices_into_labels();
    bool exact_potentials(std::uint64_t budget);
    void start_label_tree();
    bool detach_subtree(Index v, Index u);
    void adopt_detached(Index v);
    void attach_below(Index v, Index u);
    void cancel_cycle(Index a);
    void schedule_scan(Index v);
    bool stale(const std::pair<std::int64_t, Index>& entry) const {
        const Index v = entry.second;
        return !in_tree_[v] || !unscanned_[v] || entry.first != label_[v] - price_[v];
    }
    Index tail_of(Index a) const { return arcs_[arcs_[a].sister].head; }

    std::int64_t reduced_cost(Index a, Index from) const {
        return arcs_[a].cost + price_[from] - price_[arcs_[a].head];
    }

    Index n_, m_;
    std::int64_t scale_;
    std::int64_t eps_ = 1;
    double inverse_eps_ = 1.0;
    // Residual arcs grouped by tail: node v owns first_[v]..first_[v+1]-1;
    // arc a and arcs_[a].sister are the two directions of one input arc.
    // One record per arc: a scan touches one cache line, not four arrays.
    // residual + the sister's residual = capacity, so a scan over v's arcs
    // sees the residual of the arcs into v without visiting them.
    struct Arc {
        Value residual;
        Value capacity;
        Value cost;
        Index head;
        Index sister;
    };
    std::vector<Index> first_;
    std::vector<Arc> arcs_;
    std::vector<Index> forward_of_;  // input arc -> its forward residual arc
    // Nodes.
    std::vector<std::int64_t> price_, excess_;
    std::vector<std::int64_t> label_;  // exact potentials, once found
    // The labels' shortest-path tree: parent arcs, and a preorder thread
    // with depths through a virtual root n (see exact_potentials).
    std::vector<Index> parent_, thread_next_, thread_prev_, depth_;
    std::vector<std::uint8_t> in_tree_;
    std::vector<std::uint8_t> unscanned_;  // label lowered since its last full scan
    // Lowered nodes to scan, keyed by label minus price (min-heap).
    std::vector<std::pair<std::int64_t, Index>> scan_heap_;
    Index detached_end_ = NONE;   // thread successor of the last detached subtree
    std::vector<Index> current_;  // current arc: earlier ones are inadmissible
    std::vector<Index> queue_;    // FIFO ring of nodes with excess
    std::vector<std::uint8_t> queued_;
    Index queue_head_ = 0, queue_size_ = 0;
    std::array<Index, PATH_LENGTH> path_{};  // arcs of the walk being pushed along
    // Global update: buckets of nodes by distance (doubly linked lists).
    // A node is settled once its distance is at most the level scanned.
    std::vector<Index> dist_, bucket_, bucket_next_, bucket_prev_;
    std::uint64_t relabels_ = 0, relabels_since_update_ = 0, operations_ = 0;
    std::uint64_t cycles_cancelled_ = 0;
};

template <class Value>
PushRelabel<Value>::PushRelabel(std::size_t n, std::span<const NodeIndex> tails,
                                std::span<const NodeIndex> heads, std::span<const std::int64_t> cap,
                                std::span<const std::int64_t> cost,
                                std::span<const std::int64_t> balance, std::int64_t scale)
    : n_(static_cast<Index>(n)), m_(static_cast<Index>(tails.size())), scale_(scale) {
    // Self-loops carry no flow between nodes: they are settled in result().
    first_.assign(n_ + 1, 0);
    Index arcs = 0;
    for (Index i = 0; i < m_; ++i) {
        if (tails[i] == heads[i]) continue;
        ++first_[tails[i] + 1];
        ++first_[heads[i] + 1];
        arcs += 2;
    }
    for (Index v = 0; v < n_; ++v) first_[v + 1] += first_[v];
    arcs_.resize(arcs);
    forward_of_.assign(m_, NONE);
    std::vector<Index> fill(first_.begin(), first_.end() - 1);
    for (Index i = 0; i < m_; ++i) {
        const Index u = tails[i], v = heads[i];
        if (u == v) continue;
        const Index a = fill[u]++, b = fill[v]++;
        const auto capacity = static_cast<Value>(cap[i]);
        const auto scaled = static_cast<Value>(cost[i] * scale_);
        arcs_[a] = {capacity, capacity, scaled, v, b};
        arcs_[b] = {0, capacity, static_cast<Value>(-scaled), u, a};
        forward_of_[i] = a;
    }
    price_.assign(n_, 0);
    label_.resize(n_);
    parent_.resize(n_);
    thread_next_.resize(static_cast<std::size_t>(n_) + 1);
    thread_prev_.resize(static_cast<std::size_t>(n_) + 1);
    depth_.resize(static_cast<std::size_t>(n_) + 1);
    in_tree_.resize(n_);
    unscanned_.resize(n_);
    excess_.resize(n_);
    for (Index v = 0; v < n_; ++v) excess_[v] = -balance[v];
    current_.resize(n_);
    queue_.resize(std::max<Index>(n_, 1));
    queued_.assign(n_, 0);
    dist_.resize(n_);
    bucket_.resize(static_cast<std::size_t>(n_) + 1);
    bucket_next_.resize(n_);
    bucket_prev_.resize(n_);
}

template <class Value>
Outcome PushRelabel<Value>::run(const SolveContext& ctx, bool check_every_phase) {
    std::int64_t max_cost = 0;
    for (const Arc& arc : arcs_) max_cost = std::max<std::int64_t>(max_cost, arc.cost);
    // Zero flow and zero prices are max_cost-optimal.
    std::int64_t eps = std::max<std::int64_t>(max_cost, 1);
    do {
        eps = std::max<std::int64_t>(1, eps / SCALE_FACTOR);
        const Outcome phase = refine(eps, ctx);
        if (phase != Outcome::Done) return phase;
        // Below one unit of the original costs, the flow is often optimal
        // already; a bounded attempt at exact potentials finds out.
        const bool promising = check_every_phase || (eps < scale_ && nearly_optimal());
        if (eps > 1 && promising && exact_potentials(EARLY_CHECK_BUDGET * arcs_.size())) {
            return Outcome::Done;
        }
    } while (eps > 1);
    // Unbounded, it terminates within LABEL_LIMIT (see there).
    if (!exact_potentials(std::numeric_limits<std::uint64_t>::max())) return Outcome::OutOfRange;
    return Outcome::Done;
}

template <class Value>
void PushRelabel<Value>::enqueue(Index v) {
    queued_[v] = 1;
    Index slot = queue_head_ + queue_size_;
    if (slot >= n_) slot -= n_;
    queue_[slot] = v;
    ++queue_size_;
}

template <class Value>
void PushRelabel<Value>::saturate_negative_arcs() {
    for (Index v = 0; v < n_; ++v) {
        for (Index a = first_[v]; a < first_[v + 1]; ++a) {
            const std::int64_t r = arcs_[a].residual;
            if (r > 0 && reduced_cost(a, v) < 0) {
                arcs_[a].residual = 0;
                arcs_[arcs_[a].sister].residual += static_cast<Value>(r);
                excess_[v] -= r;
                excess_[arcs_[a].head] += r;
            }
        }
    }
}

template <class Value>
Outcome PushRelabel<Value>::refine(std::int64_t eps, const SolveContext& ctx) {
    if (ctx.cancelled()) return Outcome::Interrupted;
    eps_ = eps;
    inverse_eps_ = 1.0 / static_cast<double>(eps);
    saturate_negative_arcs();
    queue_head_ = queue_size_ = 0;
    for (Index v = 0; v < n_; ++v) {
        queued_[v] = 0;
        if (excess_[v] > 0) enqueue(v);
    }
    if (queue_size_ == 0) return Outcome::Done;
    const Outcome updated = global_update();
    if (updated != Outcome::Done) return updated;

    while (queue_size_ > 0) {
        if ((++operations_ & CANCEL_POLL_MASK) == 0 && ctx.cancelled()) {
            return Outcome::Interrupted;
        }
        const Index v = queue_[queue_head_];
        if (++queue_head_ == n_) queue_head_ = 0;
        --queue_size_;
        queued_[v] = 0;
        const Outcome step = discharge(v);
        if (step != Outcome::Done) return step;
    }
    return Outcome::Done;
}

// Infeasible: v has no residual arc at all (with excess, that proves
// infeasibility). OutOfRange: the price would pass its bound.
template <class Value>
Outcome PushRelabel<Value>::relabel(Index v) {
    // The highest price that leaves every residual arc of v at reduced
    // cost >= -eps, with one of them at exactly -eps.
    std::int64_t best = std::numeric_limits<std::int64_t>::min();
    for (Index a = first_[v]; a < first_[v + 1]; ++a) {
        if (arcs_[a].residual == 0) continue;
        best = std::max(best, price_[arcs_[a].head] - arcs_[a].cost);
    }
    if (best == std::numeric_limits<std::int64_t>::min()) return Outcome::Infeasible;
    if (best - eps_ < -PRICE_LIMIT) return Outcome::OutOfRange;
    price_[v] = best - eps_;
    current_[v] = first_[v];
    ++relabels_;
    ++relabels_since_update_;
    return Outcome::Done;
}

template <class Value>
Outcome PushRelabel<Value>::discharge(Index v) {
    // Partial augment-relabel: walk admissible arcs from v for up to
    // PATH_LENGTH steps (relabelling a tip without one and stepping back
    // from it), then push along the walk. Excess thus travels several arcs
    // per discharge instead of bouncing between neighbours.
    while (excess_[v] > 0) {
        Index length = 0;
        Index tip = v;
        while (true) {
            const Index end = first_[tip + 1];
            Index a = current_[tip];
            while (a < end && (arcs_[a].residual == 0 || reduced_cost(a, tip) >= 0)) ++a;
            current_[tip] = a;
            if (a < end) {
                path_[length++] = a;
                tip = arcs_[a].head;
                if (excess_[tip] < 0 || length == PATH_LENGTH) break;
                continue;
            }
            const Outcome lowered = relabel(tip);
            if (lowered == Outcome::OutOfRange) return lowered;
            // Without any residual arc, v's excess cannot leave it; a tip
            // without one gets one from the push that ends here.
            if (lowered == Outcome::Infeasible) {
                if (tip == v) return lowered;
                break;
            }
            // The arc into a relabelled tip is no longer admissible.
            if (tip != v) tip = arcs_[arcs_[path_[--length]].sister].head;
            // Also inside a discharge: on an infeasible instance, excess can
            // circle between a few nodes, relabelling them forever.
            if (relabels_since_update_ > n_) break;
        }
        Index u = v;
        for (Index i = 0; i < length; ++i) {
            Arc& arc = arcs_[path_[i]];
            const Index w = arc.head;
            const std::int64_t delta = std::min<std::int64_t>(excess_[u], arc.residual);
            if (delta == 0) break;
            arc.residual -= static_cast<Value>(delta);
            arcs_[arc.sister].residual += static_cast<Value>(delta);
            excess_[u] -= delta;
            const bool was_active = excess_[w] > 0;
            excess_[w] += delta;
            if (!was_active && excess_[w] > 0 && !queued_[w]) enqueue(w);
            u = w;
        }
        if (relabels_since_update_ > n_) {
            const Outcome updated = global_update();
            if (updated != Outcome::Done) return updated;
        }
    }
    return Outcome::Done;
}

// floor(rc / eps) + 1 for rc >= -eps, at most `limit`. A division per arc
// would dominate the update: the quotient comes from a multiplication by
// 1 / eps, corrected to the exact floor (it is off by at most one below
// 2^52, and anything near that is far above the limit).
template <class Value>
Index PushRelabel<Value>::bucket_steps(std::int64_t rc, Index limit) const {
    if (rc < 0) return 0;
    const double estimate = static_cast<double>(rc) * inverse_eps_;
    if (estimate >= static_cast<double>(limit)) return limit;
    auto q = static_cast<std::int64_t>(estimate);
    while (q > 0 && q * eps_ > rc) --q;
    while ((q + 1) * eps_ <= rc) ++q;
    return static_cast<Index>(std::min<std::int64_t>(q + 1, limit));
}

template <class Value>
Outcome PushRelabel<Value>::global_update() {
    // Distances (in units of eps) from each node to the nearest deficit
    // over residual arcs of length floor(rc / eps) + 1 >= 0. Lowering every
    // price by eps times its distance keeps eps-optimality and leaves an
    // admissible path from every node with excess. Distances are capped at
    // n; nodes not settled when the last excess is reached get the level
    // reached, which is a lower bound on their true distance.
    relabels_since_update_ = 0;
    const Index cap_level = n_;
    std::fill(bucket_.begin(), bucket_.end(), NONE);
    Index remaining = 0;
    auto insert = [&](Index v, Index level) {
        dist_[v] = level;
        bucket_prev_[v] = NONE;
        bucket_next_[v] = bucket_[level];
        if (bucket_[level] != NONE) bucket_prev_[bucket_[level]] = v;
        bucket_[level] = v;
    };
    auto remove = [&](Index v) {
        const Index p = bucket_prev_[v], q = bucket_next_[v];
        if (p != NONE) {
            bucket_next_[p] = q;
        } else {
            bucket_[dist_[v]] = q;
        }
        if (q != NONE) bucket_prev_[q] = p;
    };
    for (Index v = 0; v < n_; ++v) {
        dist_[v] = NONE;
        if (excess_[v] > 0) ++remaining;
    }
    for (Index v = n_; v-- > 0;) {
        if (excess_[v] < 0) insert(v, 0);
    }
    if (remaining == 0) return Outcome::Done;

    Index level = 0;
    for (; level <= cap_level && remaining > 0; ++level) {
        while (bucket_[level] != NONE && remaining > 0) {
            const Index w = bucket_[level];
            // The scan is bound by memory: fetch the next node's arcs early.
            if (const Index next = bucket_next_[w]; next != NONE) {
                const auto* line = reinterpret_cast<const char*>(arcs_.data() + first_[next]);
                const auto* end = reinterpret_cast<const char*>(arcs_.data() + first_[next + 1]);
                for (; line < end; line += 64) __builtin_prefetch(line);
            }
            remove(w);
            if (excess_[w] > 0) --remaining;
            for (Index a = first_[w]; a < first_[w + 1]; ++a) {
                // The arc v -> w has residual capacity - arc.residual. A
                // settled v has dist_[v] <= level and is never lowered.
                const Arc& arc = arcs_[a];
                if (arc.residual == arc.capacity) continue;
                const Index v = arc.head;
                const std::int64_t rc = price_[v] - price_[w] - arc.cost;
                const Index next = level + bucket_steps(rc, cap_level - level);
                if (next < dist_[v]) {
                    if (dist_[v] != NONE) remove(v);
                    insert(v, next);
                }
            }
        }
        if (remaining == 0) break;
    }
    // An excess no deficit can reach: the nodes reaching it hold more supply
    // than every arc leaving them can carry.
    if (remaining > 0) return Outcome::Infeasible;
    for (Index v = 0; v < n_; ++v) {
        const std::int64_t d = std::min(dist_[v], level);
        price_[v] -= d * eps_;
        if (price_[v] < -PRICE_LIMIT) return Outcome::OutOfRange;
        current_[v] = first_[v];
    }
    return Outcome::Done;
}

template <class Value>
void PushRelabel<Value>::round_prices_into_labels() {
    for (Index v = 0; v < n_; ++v) {
        const std::int64_t p = price_[v];
        std::int64_t q = p / scale_;
        if (q * scale_ > p) --q;
        label_[v] = q * scale_;  // multiples of n + 1: no division per arc
    }
}

template <class Value>
bool PushRelabel<Value>::nearly_optimal() {
    // Residual arcs of negative cost under the rounded prices: each is where
    // a negative cycle may pass. With many of them a check would run out of
    // budget; the next phase is cheaper than the failed check.
    round_prices_into_labels();
    std::uint64_t violated = 0;
    for (Index v = 0; v < n_; ++v) {
        for (Index a = first_[v]; a < first_[v + 1]; ++a) {
            const Arc& arc = arcs_[a];
            violated += arc.residual > 0 && label_[v] + arc.cost < label_[arc.head];
        }
    }
    return violated * VIOLATION_SHARE <= n_;
}

template <class Value>
bool PushRelabel<Value>::exact_potentials(std::uint64_t budget) {
    // Prices divided by n + 1 (rounded down) leave reduced costs of at least
    // -eps / (n + 1) - 1 on the residual arcs; label-correcting shortest
    // paths repair them. They terminate exactly when the residual graph has
    // no negative cycle, that is when the flow is optimal: always once the
    // flow is 1-optimal on costs scaled by n + 1, often earlier, which the
    // budget on arc scans tells apart.
    //
    // The labels keep their shortest-path tree. A lowered label takes its
    // node's subtree out of the tree: those labels will fall with it, so
    // scanning them now is wasted. Finding the arc's tail in that subtree
    // closes a negative cycle; a nearly optimal flow has few, and cancelling
    // them on the way often saves the last phase.
    round_prices_into_labels();
    start_label_tree();
    std::uint64_t scans = 0;
    // Lowered labels first, lowest relative to the node's price first; the
    // first scan of every other node in index order between them. Nearly
    // Dijkstra's order: most nodes are scanned once.
    Index next_unlowered = 0;
    while (true) {
        Index u = NONE;
        if (!scan_heap_.empty()) {
            std::ranges::pop_heap(scan_heap_, std::greater{});
            const auto entry = scan_heap_.back();
            scan_heap_.pop_back();
            // Stale entries: a node lowered again, scanned, or out of the
            // tree (queued again once it rejoins).
            if (stale(entry)) continue;
            u = entry.second;
        } else if (next_unlowered < n_) {
            u = next_unlowered++;
            if (!in_tree_[u] || !unscanned_[u]) continue;
        } else {
            break;
        }
        unscanned_[u] = 0;
        scans += first_[u + 1] - first_[u];
        if (scans > budget) return false;
        for (Index a = first_[u]; a < first_[u + 1]; ++a) {
            const Arc& arc = arcs_[a];
            if (arc.residual == 0) continue;
            const Index v = arc.head;
            const std::int64_t bound = label_[u] + arc.cost;
            if (bound >= label_[v]) continue;
            if (bound < -LABEL_LIMIT) return false;
            if (in_tree_[v] && detach_subtree(v, u)) {
                // The cycle lies in the detached subtree, whose labels stay
                // but whose tree paths may have lost their capacity.
                cancel_cycle(a);
                unscanned_[u] = 1;  // the rest of its arcs
                adopt_detached(v);
                break;
            }
            label_[v] = bound;
            parent_[v] = a;
            attach_below(v, u);
            schedule_scan(v);
        }
    }
    for (std::int64_t& label : label_) label /= scale_;
    return true;
}

template <class Value>
void PushRelabel<Value>::start_label_tree() {
    // Every node a child of the virtual root, in index order, to be scanned.
    const Index root = n_;
    scan_heap_.clear();
    for (Index v = 0; v < n_; ++v) {
        parent_[v] = NONE;
        depth_[v] = 1;
        in_tree_[v] = 1;
        unscanned_[v] = 1;
        thread_next_[v] = v + 1;
        thread_prev_[v] = v == 0 ? root : v - 1;
    }
    depth_[root] = 0;
    thread_next_[root] = n_ == 0 ? root : 0;
    thread_prev_[root] = n_ == 0 ? root : n_ - 1;
}

template <class Value>
void PushRelabel<Value>::schedule_scan(Index v) {
    unscanned_[v] = 1;
    // A label lowered again leaves its earlier entry behind; dropping the
    // stale ones now and then keeps the heap within a few times n.
    if (scan_heap_.size() >= 4 * static_cast<std::size_t>(n_) + 64) {
        std::erase_if(scan_heap_, [&](const auto& entry) { return stale(entry); });
        std::ranges::make_heap(scan_heap_, std::greater{});
    }
    scan_heap_.emplace_back(label_[v] - price_[v], v);
    std::ranges::push_heap(scan_heap_, std::greater{});
}

// Takes v and its subtree out of the thread; true if u was in it.
template <class Value>
bool PushRelabel<Value>::detach_subtree(Index v, Index u) {
    bool found = false;
    in_tree_[v] = 0;
    Index x = thread_next_[v];
    for (; depth_[x] > depth_[v]; x = thread_next_[x]) {
        found |= x == u;
        in_tree_[x] = 0;
    }
    thread_prev_[x] = thread_prev_[v];
    thread_next_[thread_prev_[v]] = x;
    detached_end_ = x;
    return found;
}

// The subtree just detached from v becomes children of the root. Only nodes
// with arcs left to scan are queued: the others' arcs held at their labels,
// and the cancelled cycle's reversed arcs were tight tree arcs (or, for the
// closing arc, slack), so they hold too.
template <class Value>
void PushRelabel<Value>::adopt_detached(Index v) {
    const Index root = n_;
    for (Index w = v; w != detached_end_;) {
        const Index next = thread_next_[w];
        parent_[w] = NONE;
        attach_below(w, root);
        if (unscanned_[w]) schedule_scan(w);
        w = next;
    }
}

// v, out of the tree, becomes u's first child (right after u in preorder).
template <class Value>
void PushRelabel<Value>::attach_below(Index v, Index u) {
    in_tree_[v] = 1;
    depth_[v] = depth_[u] + 1;
    thread_next_[v] = thread_next_[u];
    thread_prev_[thread_next_[u]] = v;
    thread_next_[u] = v;
    thread_prev_[v] = u;
}

// Arc a from u to v closes a cycle with the tree path from v down to u, of
// negative cost: u's label is v's plus the path's cost, and a undercuts v.
template <class Value>
void PushRelabel<Value>::cancel_cycle(Index a) {
    const Index v = arcs_[a].head;
    std::int64_t delta = arcs_[a].residual;
    for (Index w = tail_of(a); w != v; w = tail_of(parent_[w])) {
        delta = std::min<std::int64_t>(delta, arcs_[parent_[w]].residual);
    }
    auto push = [&](Index arc_index) {
        Arc& arc = arcs_[arc_index];
        arc.residual -= static_cast<Value>(delta);
        arcs_[arc.sister].residual += static_cast<Value>(delta);
    };
    push(a);
    for (Index w = tail_of(a); w != v; w = tail_of(parent_[w])) push(parent_[w]);
    ++cycles_cancelled_;
}

template <class Value>
CostScalingResult PushRelabel<Value>::result(std::span<const std::int64_t> cap,
                                             std::span<const std::int64_t> cost) {
    CostScalingResult out;
    out.flow.resize(m_);
    for (Index i = 0; i < m_; ++i) {
        const Index a = forward_of_[i];
        if (a == NONE) {
            out.flow[i] = cost[i] < 0 ? cap[i] : 0;
        } else {
            out.flow[i] = cap[i] - arcs_[a].residual;
        }
    }
    out.potentials.assign(label_.begin(), label_.end());
    out.relabels = relabels_;
    out.cycles_cancelled = cycles_cancelled_;
    return out;
}

template <class Value>
McfResult<std::optional<CostScalingResult>> run_engine(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const std::int64_t> cap, std::span<const std::int64_t> cost,
    std::span<const std::int64_t> balance, std::int64_t scale, const SolveContext& ctx,
    const CostScalingOptions& options) {
    PushRelabel<Value> engine(n, tails, heads, cap, cost, balance, scale);
    switch (engine.run(ctx, options.check_every_phase)) {
        case Outcome::Done: return engine.result(cap, cost);
        case Outcome::Infeasible: return std::unexpected(McfError::infeasible());
        case Outcome::Interrupted: return std::unexpected(McfError::interrupted());
        case Outcome::OutOfRange: break;
    }
    return std::nullopt;
}

}  // namespace

McfResult<std::optional<CostScalingResult>> cost_scaling(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const std::int64_t> cap, std::span<const std::int64_t> cost,
    std::span<const std::int64_t> balance, const SolveContext& ctx,
    const CostScalingOptions& options) {
    const std::size_t m = tails.size();
    // Two residual arcs per edge must be indexable; the simplex has room for
    // more, and reports what even it cannot index.
    if (n >= NONE - 1 || 2 * m >= NONE - 1) return std::nullopt;

    Int128 total = 0;
    std::vector<Int128> load(n, 0);
    for (std::size_t v = 0; v < n; ++v) {
        const Int128 b = balance[v];
        total += b;
        load[v] = b < 0 ? -b : b;
    }
    if (total != 0) return std::unexpected(McfError::infeasible());
    Int128 max_cost = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Int128 c = cost[i];
        max_cost = std::max(max_cost, c < 0 ? -c : c);
        load[tails[i]] += cap[i];
        load[heads[i]] += cap[i];
    }
    // Prices fall by a few times n * eps per phase and the epsilons shrink
    // geometrically, so their total stays near 4 (n + 1) times the largest
    // scaled cost; the bound below keeps a wide margin to PRICE_LIMIT.
    const Int128 scale = static_cast<Int128>(n) + 1;
    const Int128 scaled = max_cost * scale;
    if (scaled > COST_LIMIT || scaled * scale * 64 > PRICE_LIMIT) return std::nullopt;
    for (const Int128 l : load) {
        if (l >= EXCESS_LIMIT) return std::nullopt;
    }
    load = {};

    // Compact arcs when every capacity and scaled cost fits 32 bits.
    std::int64_t max_cap = 0;
    for (const std::int64_t c : cap) max_cap = std::max(max_cap, c);
    const Int128 narrow = std::numeric_limits<std::int32_t>::max();
    if (options.compact_arcs && max_cap <= narrow && scaled <= narrow) {
        return run_engine<std::int32_t>(n, tails, heads, cap, cost, balance,
                                        static_cast<std::int64_t>(scale), ctx, options);
    }
    return run_engine<std::int64_t>(n, tails, heads, cap, cost, balance,
                                    static_cast<std::int64_t>(scale), ctx, options);
}

}  // namespace zelk
