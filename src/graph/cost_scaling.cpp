#include "graph/cost_scaling.hpp"

#include <algorithm>
#include <limits>

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

enum class Outcome { Done, Infeasible, OutOfRange, Interrupted };

class PushRelabel {
public:
    PushRelabel(std::size_t n, std::span<const std::uint32_t> tails,
                std::span<const std::uint32_t> heads, std::span<const std::int64_t> cap,
                std::span<const std::int64_t> cost, std::span<const std::int64_t> balance,
                std::int64_t scale);

    Outcome run(const SolveContext& ctx);
    CostScalingResult result(std::span<const std::int64_t> cap, std::span<const std::int64_t> cost);

private:
    Outcome refine(std::int64_t eps, const SolveContext& ctx);
    void saturate_negative_arcs();
    Outcome discharge(Index v);
    Outcome relabel(Index v);
    bool has_admissible(Index v);
    Outcome global_update();
    void enqueue(Index v);
    void exact_potentials();

    std::int64_t reduced_cost(Index a, Index from) const {
        return cost_[a] + price_[from] - price_[head_[a]];
    }

    Index n_, m_;
    std::int64_t scale_;
    std::int64_t eps_ = 1;
    // Residual arcs grouped by tail: node v owns first_[v]..first_[v+1]-1;
    // arc a and sister_[a] are the two directions of one input arc.
    std::vector<Index> first_, head_, sister_;
    std::vector<Index> forward_of_;  // input arc -> its forward residual arc
    std::vector<std::int64_t> cost_, residual_;
    // Nodes.
    std::vector<std::int64_t> price_, excess_;
    std::vector<Index> current_;  // current arc: earlier ones are inadmissible
    std::vector<Index> queue_;    // FIFO ring of nodes with excess
    std::vector<std::uint8_t> queued_;
    Index queue_head_ = 0, queue_size_ = 0;
    // Global update: buckets of nodes by distance (doubly linked lists).
    std::vector<Index> dist_, bucket_, bucket_next_, bucket_prev_;
    std::vector<std::uint8_t> settled_;
    std::uint64_t relabels_ = 0, relabels_since_update_ = 0, operations_ = 0;
};

PushRelabel::PushRelabel(std::size_t n, std::span<const std::uint32_t> tails,
                         std::span<const std::uint32_t> heads, std::span<const std::int64_t> cap,
                         std::span<const std::int64_t> cost, std::span<const std::int64_t> balance,
                         std::int64_t scale)
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
    head_.resize(arcs);
    sister_.resize(arcs);
    cost_.resize(arcs);
    residual_.resize(arcs);
    forward_of_.assign(m_, NONE);
    std::vector<Index> fill(first_.begin(), first_.end() - 1);
    for (Index i = 0; i < m_; ++i) {
        const Index u = tails[i], v = heads[i];
        if (u == v) continue;
        const Index a = fill[u]++, b = fill[v]++;
        head_[a] = v;
        head_[b] = u;
        sister_[a] = b;
        sister_[b] = a;
        cost_[a] = cost[i] * scale_;
        cost_[b] = -cost_[a];
        residual_[a] = cap[i];
        residual_[b] = 0;
        forward_of_[i] = a;
    }
    price_.assign(n_, 0);
    excess_.resize(n_);
    for (Index v = 0; v < n_; ++v) excess_[v] = -balance[v];
    current_.resize(n_);
    queue_.resize(std::max<Index>(n_, 1));
    queued_.assign(n_, 0);
    dist_.resize(n_);
    bucket_.resize(static_cast<std::size_t>(n_) + 1);
    bucket_next_.resize(n_);
    bucket_prev_.resize(n_);
    settled_.resize(n_);
}

Outcome PushRelabel::run(const SolveContext& ctx) {
    std::int64_t max_cost = 0;
    for (const std::int64_t c : cost_) max_cost = std::max(max_cost, c);
    // Zero flow and zero prices are max_cost-optimal.
    std::int64_t eps = std::max<std::int64_t>(max_cost, 1);
    do {
        eps = std::max<std::int64_t>(1, eps / SCALE_FACTOR);
        const Outcome phase = refine(eps, ctx);
        if (phase != Outcome::Done) return phase;
    } while (eps > 1);
    exact_potentials();
    return Outcome::Done;
}

void PushRelabel::enqueue(Index v) {
    queued_[v] = 1;
    Index slot = queue_head_ + queue_size_;
    if (slot >= n_) slot -= n_;
    queue_[slot] = v;
    ++queue_size_;
}

void PushRelabel::saturate_negative_arcs() {
    for (Index v = 0; v < n_; ++v) {
        for (Index a = first_[v]; a < first_[v + 1]; ++a) {
            const std::int64_t r = residual_[a];
            if (r > 0 && reduced_cost(a, v) < 0) {
                residual_[a] = 0;
                residual_[sister_[a]] += r;
                excess_[v] -= r;
                excess_[head_[a]] += r;
            }
        }
    }
}

Outcome PushRelabel::refine(std::int64_t eps, const SolveContext& ctx) {
    eps_ = eps;
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

bool PushRelabel::has_admissible(Index v) {
    const Index end = first_[v + 1];
    Index a = current_[v];
    while (a < end && (residual_[a] == 0 || reduced_cost(a, v) >= 0)) ++a;
    current_[v] = a;
    return a < end;
}

// Infeasible: v has no residual arc at all (with excess, that proves
// infeasibility). OutOfRange: the price would pass its bound.
Outcome PushRelabel::relabel(Index v) {
    // The highest price that leaves every residual arc of v at reduced
    // cost >= -eps, with one of them at exactly -eps.
    std::int64_t best = std::numeric_limits<std::int64_t>::min();
    for (Index a = first_[v]; a < first_[v + 1]; ++a) {
        if (residual_[a] == 0) continue;
        best = std::max(best, price_[head_[a]] - cost_[a]);
    }
    if (best == std::numeric_limits<std::int64_t>::min()) return Outcome::Infeasible;
    if (best - eps_ < -PRICE_LIMIT) return Outcome::OutOfRange;
    price_[v] = best - eps_;
    current_[v] = first_[v];
    ++relabels_;
    ++relabels_since_update_;
    return Outcome::Done;
}

Outcome PushRelabel::discharge(Index v) {
    const Index end = first_[v + 1];
    while (excess_[v] > 0) {
        Index a = current_[v];
        while (a < end && (residual_[a] == 0 || reduced_cost(a, v) >= 0)) ++a;
        current_[v] = a;
        if (a == end) {
            // Without any residual arc, v's excess cannot leave it.
            const Outcome lowered = relabel(v);
            if (lowered != Outcome::Done) return lowered;
            // Also inside a discharge: on an infeasible instance, excess can
            // circle between a few nodes, relabelling them forever.
            if (relabels_since_update_ > n_) {
                const Outcome updated = global_update();
                if (updated != Outcome::Done) return updated;
            }
            continue;
        }
        const Index w = head_[a];
        // Look-ahead: a node without deficit and without an admissible arc
        // would only have to send the flow back; relabel it first (one
        // without any residual arc gets one from this push).
        if (excess_[w] >= 0 && !has_admissible(w)) {
            const Outcome lowered = relabel(w);
            if (lowered == Outcome::OutOfRange) return lowered;
            if (lowered == Outcome::Done && reduced_cost(a, v) >= 0) continue;
        }
        const std::int64_t delta = std::min(excess_[v], residual_[a]);
        residual_[a] -= delta;
        residual_[sister_[a]] += delta;
        excess_[v] -= delta;
        const bool was_active = excess_[w] > 0;
        excess_[w] += delta;
        if (!was_active && excess_[w] > 0 && !queued_[w]) enqueue(w);
    }
    return Outcome::Done;
}

Outcome PushRelabel::global_update() {
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
        settled_[v] = 0;
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
            remove(w);
            settled_[w] = 1;
            if (excess_[w] > 0) --remaining;
            for (Index a = first_[w]; a < first_[w + 1]; ++a) {
                const Index v = head_[a];
                const Index b = sister_[a];  // v -> w
                if (settled_[v] || residual_[b] == 0) continue;
                const std::int64_t rc = cost_[b] + price_[v] - price_[w];
                const std::int64_t steps = rc < 0 ? 0 : rc / eps_ + 1;
                const Index next = steps >= static_cast<std::int64_t>(cap_level - level)
                                       ? cap_level
                                       : level + static_cast<Index>(steps);
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
        const std::int64_t d = settled_[v] ? dist_[v] : level;
        price_[v] -= d * eps_;
        if (price_[v] < -PRICE_LIMIT) return Outcome::OutOfRange;
        current_[v] = first_[v];
    }
    return Outcome::Done;
}

void PushRelabel::exact_potentials() {
    // The flow is 1-optimal on costs scaled by n + 1, so optimal; prices
    // divided by n + 1 (rounded down) leave reduced costs >= -1 on its
    // residual arcs, and label-correcting shortest paths, which terminate
    // since an optimal residual graph has no negative cycle, repair them.
    for (Index v = 0; v < n_; ++v) {
        const std::int64_t p = price_[v];
        std::int64_t q = p / scale_;
        if (q * scale_ > p) --q;
        price_[v] = q;
    }
    queue_head_ = queue_size_ = 0;
    for (Index v = 0; v < n_; ++v) enqueue(v);
    while (queue_size_ > 0) {
        const Index u = queue_[queue_head_];
        if (++queue_head_ == n_) queue_head_ = 0;
        --queue_size_;
        queued_[u] = 0;
        for (Index a = first_[u]; a < first_[u + 1]; ++a) {
            if (residual_[a] == 0) continue;
            const Index v = head_[a];
            const std::int64_t bound = price_[u] + cost_[a] / scale_;
            if (bound < price_[v]) {
                price_[v] = bound;
                if (!queued_[v]) enqueue(v);
            }
        }
    }
}

CostScalingResult PushRelabel::result(std::span<const std::int64_t> cap,
                                      std::span<const std::int64_t> cost) {
    CostScalingResult out;
    out.flow.resize(m_);
    for (Index i = 0; i < m_; ++i) {
        const Index a = forward_of_[i];
        if (a == NONE) {
            out.flow[i] = cost[i] < 0 ? cap[i] : 0;
        } else {
            out.flow[i] = cap[i] - residual_[a];
        }
    }
    out.potentials.assign(price_.begin(), price_.end());
    out.relabels = relabels_;
    return out;
}

}  // namespace

McfResult<std::optional<CostScalingResult>> cost_scaling(
    std::size_t n, std::span<const std::uint32_t> tails, std::span<const std::uint32_t> heads,
    std::span<const std::int64_t> cap, std::span<const std::int64_t> cost,
    std::span<const std::int64_t> balance, const SolveContext& ctx) {
    const std::size_t m = tails.size();
    if (n >= NONE - 1 || 2 * m >= NONE - 1) return invalid_input("instance too large");

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

    PushRelabel engine(n, tails, heads, cap, cost, balance, static_cast<std::int64_t>(scale));
    switch (engine.run(ctx)) {
        case Outcome::Done: return engine.result(cap, cost);
        case Outcome::Infeasible: return std::unexpected(McfError::infeasible());
        case Outcome::Interrupted: return std::unexpected(McfError::interrupted());
        case Outcome::OutOfRange: break;
    }
    return std::nullopt;
}

}  // namespace zelk
