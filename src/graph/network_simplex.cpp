#include "graph/network_simplex.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "index_types.hpp"

namespace zelk {

namespace {

using Index = std::uint32_t;  // nodes and arcs alike
constexpr Index NONE = std::numeric_limits<Index>::max();
constexpr std::int64_t UNBOUNDED = std::numeric_limits<std::int64_t>::max();

// Arc states, signed so that state * reduced cost < 0 marks a violation.
constexpr std::int8_t AT_UPPER = -1;
constexpr std::int8_t IN_TREE = 0;
constexpr std::int8_t AT_LOWER = 1;

constexpr std::uint64_t CANCEL_POLL_MASK = 4095;

// The spanning-tree simplex over `Cost` (int64_t or Int128). Arcs 0..m-1
// are the input arcs, arc m + v the artificial arc between v and the root.
template <class Cost>
class SpanningTreeSimplex {
public:
    SpanningTreeSimplex(std::size_t n, std::span<const NodeIndex> tails,
                        std::span<const NodeIndex> heads, std::span<const std::int64_t> cap,
                        std::span<const std::int64_t> cost, std::span<const std::int64_t> balance,
                        Cost big_m, Cost drift_limit);

    McfResult<void> run(const SolveContext& ctx);
    McfResult<NetworkSimplexResult> result() &&;

private:
    Index find_entering();
    void pivot(Index entering);
    void rehang(Index entering, Index u_in, Index v_in, Index u_out, Index apex, Cost shift);
    void splice_preorder(Index u_in, Index v_in, Index u_out);

    void recentre_potentials();

    // The difference first: potentials carry a common offset (the root's).
    Cost reduced_cost(Index a) const { return cost_[a] + (pi_[source_[a]] - pi_[target_[a]]); }

    Index n_, m_, root_, arcs_;
    // Arcs.
    std::vector<Index> source_, target_;
    std::vector<std::int64_t> cap_, flow_;
    std::vector<Cost> cost_;
    std::vector<std::int8_t> state_;
    // Tree, rooted at root_: parent and the arc to it, subtree sizes, and
    // the preorder as a circular doubly linked list (next_, prev_) in which
    // the subtree of x is the segment from x to last_[x].
    std::vector<Index> parent_, pred_, size_, next_, prev_, last_;
    std::vector<Cost> pi_;  // rc = 0 on every tree arc
    // Scratch for re-hanging: the reversed path and preorder segments.
    std::vector<Index> path_;
    std::vector<std::pair<Index, Index>> pieces_;
    Cost drift_limit_;  // bound on |pi_[root_]|
    Index block_;
    Index next_arc_ = 0;
    std::uint64_t pivots_ = 0;
};

template <class Cost>
SpanningTreeSimplex<Cost>::SpanningTreeSimplex(std::size_t n, std::span<const NodeIndex> tails,
                                               std::span<const NodeIndex> heads,
                                               std::span<const std::int64_t> cap,
                                               std::span<const std::int64_t> cost,
                                               std::span<const std::int64_t> balance, Cost big_m,
                                               Cost drift_limit)
    : n_(static_cast<Index>(n)),
      m_(static_cast<Index>(tails.size())),
      root_(static_cast<Index>(n)),
      arcs_(static_cast<Index>(tails.size() + n)),
      drift_limit_(drift_limit) {
    const std::size_t nodes = n + 1;
    source_.resize(arcs_);
    target_.resize(arcs_);
    cap_.resize(arcs_);
    flow_.assign(arcs_, 0);
    cost_.resize(arcs_);
    state_.assign(arcs_, AT_LOWER);
    for (Index i = 0; i < m_; ++i) {
        source_[i] = tails[i];
        target_[i] = heads[i];
        cap_[i] = cap[i];
        cost_[i] = cost[i];
    }
    parent_.assign(nodes, NONE);
    pred_.assign(nodes, NONE);
    size_.assign(nodes, 1);
    next_.resize(nodes);
    prev_.resize(nodes);
    last_.resize(nodes);
    pi_.assign(nodes, Cost{0});
    path_.reserve(nodes);
    pieces_.reserve(2 * nodes);

    // The starting tree is a star. A sink is fed by the root; every other
    // node sends its supply (possibly zero) up to it, so each zero-flow tree
    // arc points towards the root: the tree is strongly feasible.
    for (Index v = 0; v < n_; ++v) {
        const Index a = m_ + v;
        cap_[a] = UNBOUNDED;
        cost_[a] = big_m;
        state_[a] = IN_TREE;
        if (balance[v] > 0) {
            source_[a] = root_;
            target_[a] = v;
            flow_[a] = balance[v];
            pi_[v] = big_m;
        } else {
            source_[a] = v;
            target_[a] = root_;
            flow_[a] = -balance[v];
            pi_[v] = -big_m;
        }
        parent_[v] = root_;
        pred_[v] = a;
        last_[v] = v;
    }
    // Preorder: the root, then the nodes in index order.
    for (Index v = 0; v <= n_; ++v) {
        next_[v] = v == n_ ? 0 : v + 1;
        prev_[v] = v == 0 ? n_ : v - 1;
    }
    last_[root_] = n_ == 0 ? root_ : n_ - 1;
    size_[root_] = n_ + 1;

    const double root_m = std::sqrt(static_cast<double>(arcs_));
    block_ = std::max<Index>(10, static_cast<Index>(root_m));
}

template <class Cost>
Index SpanningTreeSimplex<Cost>::find_entering() {
    // Block search: the most violating arc of the first block that has one.
    Cost best{0};
    Index best_arc = NONE;
    Index e = next_arc_;
    Index left = block_;
    for (Index scanned = 0; scanned < arcs_; ++scanned) {
        const Cost violation = reduced_cost(e) * state_[e];
        if (violation < best) {
            best = violation;
            best_arc = e;
        }
        if (++e == arcs_) e = 0;
        if (--left == 0) {
            if (best_arc != NONE) break;
            left = block_;
        }
    }
    next_arc_ = e;
    return best_arc;
}

template <class Cost>
void SpanningTreeSimplex<Cost>::pivot(Index entering) {
    // Flow moves along the entering arc from `first` to `second`, then up
    // from `second` to the apex and down from the apex to `first`.
    const bool forward = state_[entering] == AT_LOWER;
    const Index first = forward ? source_[entering] : target_[entering];
    const Index second = forward ? target_[entering] : source_[entering];

    // The leaving arc is the last blocking arc in the cycle's order (apex,
    // down to first, entering arc, up from second to apex): on the first
    // side the one nearest `first` wins ties, on the second side the one
    // nearest the apex.
    std::int64_t delta_first = 0, delta_second = 0;
    Index out_first = NONE, out_second = NONE;  // lower endpoints of the candidates
    // An ancestor has the larger subtree, so the smaller side steps up.
    Index u = first, v = second;
    while (u != v) {
        if (size_[u] <= size_[v]) {
            const Index a = pred_[u];
            const std::int64_t room = source_[a] == u ? flow_[a] : cap_[a] - flow_[a];
            if (out_first == NONE || room < delta_first) {
                delta_first = room;
                out_first = u;
            }
            u = parent_[u];
        } else {
            const Index a = pred_[v];
            const std::int64_t room = source_[a] == v ? cap_[a] - flow_[a] : flow_[a];
            if (out_second == NONE || room <= delta_second) {
                delta_second = room;
                out_second = v;
            }
            v = parent_[v];
        }
    }
    const Index apex = u;

    std::int64_t delta = cap_[entering];
    Index u_out = NONE;  // NONE: the entering arc itself blocks
    bool first_side = false;
    if (out_first != NONE && delta_first < delta) {
        delta = delta_first;
        u_out = out_first;
        first_side = true;
    }
    if (out_second != NONE && delta_second <= delta) {
        delta = delta_second;
        u_out = out_second;
        first_side = false;
    }

    if (delta > 0) {
        flow_[entering] += forward ? delta : -delta;
        for (Index x = first; x != apex; x = parent_[x]) {
            const Index a = pred_[x];
            flow_[a] += source_[a] == x ? -delta : delta;
        }
        for (Index x = second; x != apex; x = parent_[x]) {
            const Index a = pred_[x];
            flow_[a] += source_[a] == x ? delta : -delta;
        }
    }
    ++pivots_;

    if (u_out == NONE) {
        state_[entering] = forward ? AT_UPPER : AT_LOWER;
        return;
    }
    const Index leaving = pred_[u_out];
    state_[leaving] = flow_[leaving] == 0 ? AT_LOWER : AT_UPPER;
    state_[entering] = IN_TREE;

    // The subtree below the leaving arc holds the entering arc's endpoint
    // on that side; it is re-hung from the entering arc, and its potentials
    // move together so that the entering arc's reduced cost becomes zero.
    const Index u_in = first_side ? first : second;
    const Index v_in = first_side ? second : first;
    const Cost rc = reduced_cost(entering);
    rehang(entering, u_in, v_in, u_out, apex, u_in == target_[entering] ? rc : -rc);
}

template <class Cost>
void SpanningTreeSimplex<Cost>::rehang(Index entering, Index u_in, Index v_in, Index u_out,
                                       Index apex, Cost shift) {
    // Path u_in = p0, p1, ..., pk = u_out, before anything changes.
    path_.clear();
    for (Index x = u_in;; x = parent_[x]) {
        path_.push_back(x);
        if (x == u_out) break;
    }
    const Index moved = size_[u_out];

    // Sizes: the subtree leaves the old ancestors of u_out and joins those
    // of v_in; both chains meet at the apex, above which nothing changes.
    // Along the reversed path, p_j keeps everything but p_{j-1}'s old subtree.
    for (Index a = parent_[u_out]; a != apex; a = parent_[a]) size_[a] -= moved;
    for (Index b = v_in; b != apex; b = parent_[b]) size_[b] += moved;
    splice_preorder(u_in, v_in, u_out);
    for (std::size_t j = path_.size() - 1; j > 0; --j)
        size_[path_[j]] = moved - size_[path_[j - 1]];
    size_[u_in] = moved;

    // Parents: each path node hangs from the one below it, u_in from v_in.
    Index new_parent = v_in;
    Index new_pred = entering;
    for (const Index x : path_) {
        const Index old_pred = pred_[x];
        parent_[x] = new_parent;
        pred_[x] = new_pred;
        new_parent = x;
        new_pred = old_pred;
    }

    // Potentials: only differences matter, so the moved subtree (a run of
    // the preorder) moves by `shift`, or, when it is the larger part, the
    // rest of the tree moves by -shift. That lets the root's potential
    // drift; it is brought back to zero before it can grow large.
    const Index end = last_[u_in];
    if (moved <= n_ + 1 - moved) {
        for (Index x = u_in;; x = next_[x]) {
            pi_[x] += shift;
            if (x == end) break;
        }
    } else {
        for (Index x = next_[end]; x != u_in; x = next_[x]) pi_[x] -= shift;
        if (pi_[root_] > drift_limit_ || pi_[root_] < -drift_limit_) recentre_potentials();
    }
}

template <class Cost>
void SpanningTreeSimplex<Cost>::recentre_potentials() {
    const Cost offset = pi_[root_];
    for (Cost& p : pi_) p -= offset;
}

template <class Cost>
void SpanningTreeSimplex<Cost>::splice_preorder(Index u_in, Index v_in, Index u_out) {
    // Old preorder pieces of the subtree re-rooted at p0 = u_in: p0's own
    // segment, then for each p_j its segment without p_{j-1}'s, which is a
    // part before p_{j-1}'s segment (starting at p_j) and a part after it.
    pieces_.clear();
    pieces_.push_back({u_in, last_[u_in]});
    for (std::size_t j = 1; j < path_.size(); ++j) {
        const Index pj = path_[j], below = path_[j - 1];
        pieces_.push_back({pj, prev_[below]});
        if (last_[below] != last_[pj]) pieces_.push_back({next_[last_[below]], last_[pj]});
    }
    const Index new_last = pieces_.back().second;

    // Cut the old segment out; ancestors that ended with it now end before it.
    const Index old_last = last_[u_out];
    const Index before = prev_[u_out], after = next_[old_last];
    next_[before] = after;
    prev_[after] = before;
    for (Index a = parent_[u_out]; a != NONE && last_[a] == old_last; a = parent_[a]) {
        last_[a] = before;
    }

    // Chain the pieces and insert the chain right after v_in.
    for (std::size_t k = 1; k < pieces_.size(); ++k) {
        next_[pieces_[k - 1].second] = pieces_[k].first;
        prev_[pieces_[k].first] = pieces_[k - 1].second;
    }
    const Index follow = next_[v_in];
    next_[v_in] = u_in;
    prev_[u_in] = v_in;
    next_[new_last] = follow;
    prev_[follow] = new_last;
    for (const Index x : path_) last_[x] = new_last;
    // Ancestors that ended at v_in (a leaf until now) end with the chain.
    if (last_[v_in] == v_in) {
        for (Index a = v_in; a != NONE && last_[a] == v_in; a = parent_[a]) last_[a] = new_last;
    }
}

template <class Cost>
McfResult<void> SpanningTreeSimplex<Cost>::run(const SolveContext& ctx) {
    while (true) {
        if ((pivots_ & CANCEL_POLL_MASK) == 0 && ctx.cancelled()) {
            return std::unexpected(McfError::interrupted());
        }
        const Index entering = find_entering();
        if (entering == NONE) break;
        pivot(entering);
    }
    // With M as chosen, artificial flow at the optimum proves that no flow
    // meets the balances.
    for (Index v = 0; v < n_; ++v) {
        if (flow_[m_ + v] != 0) return std::unexpected(McfError::infeasible());
    }
    return {};
}

template <class Cost>
McfResult<NetworkSimplexResult> SpanningTreeSimplex<Cost>::result() && {
    NetworkSimplexResult out;
    flow_.resize(m_);
    out.flow = std::move(flow_);
    recentre_potentials();
    out.potentials.resize(n_);
    for (Index v = 0; v < n_; ++v) out.potentials[v] = static_cast<Int128>(pi_[v]);
    out.pivots = pivots_;
    return out;
}

template <class Cost>
McfResult<NetworkSimplexResult> solve_with(std::size_t n, std::span<const NodeIndex> tails,
                                           std::span<const NodeIndex> heads,
                                           std::span<const std::int64_t> cap,
                                           std::span<const std::int64_t> cost,
                                           std::span<const std::int64_t> balance, Int128 big_m,
                                           Int128 drift_limit, const SolveContext& ctx) {
    SpanningTreeSimplex<Cost> simplex(n, tails, heads, cap, cost, balance, static_cast<Cost>(big_m),
                                      static_cast<Cost>(drift_limit));
    auto done = simplex.run(ctx);
    if (!done) return std::unexpected(done.error());
    return std::move(simplex).result();
}

}  // namespace

McfResult<NetworkSimplexResult> network_simplex(std::size_t n, std::span<const NodeIndex> tails,
                                                std::span<const NodeIndex> heads,
                                                std::span<const std::int64_t> cap,
                                                std::span<const std::int64_t> cost,
                                                std::span<const std::int64_t> balance,
                                                const SolveContext& ctx) {
    const std::size_t m = tails.size();
    if (n >= NONE - 1 || m + n >= NONE - 1) return invalid_input("instance too large");

    // Flow conservation sums the balances exactly; a wrapped sum cannot be met.
    Int128 total = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (balance[v] == std::numeric_limits<std::int64_t>::min()) {
            return invalid_input("node balance overflow");
        }
        total += balance[v];
    }
    if (total != 0) return std::unexpected(McfError::infeasible());

    // A cycle through the root uses two artificial arcs and a simple path of
    // at most n - 1 input arcs, so with M > (n + 1) * max|cost| every such
    // cycle that removes artificial flow has negative cost: artificial flow
    // survives only when nothing else can carry it.
    Int128 max_cost = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Int128 c = cost[i];
        max_cost = std::max(max_cost, c < 0 ? -c : c);
    }
    const Int128 big_m = static_cast<Int128>(n + 1) * max_cost + 1;
    // Relative to the root, a potential is a tree path: one artificial arc
    // and at most n input arcs, so below P = M + n * max|cost|. A reduced
    // cost, and so every shift, is below R = 2P + M. The root itself drifts
    // by at most the drift limit plus one shift; with D = R the potentials
    // stay below P + 2R and their differences below 2P.
    const Int128 potential_bound = big_m + static_cast<Int128>(n) * max_cost;
    const Int128 reduced_bound = 2 * potential_bound + big_m;
    if (potential_bound + 3 * reduced_bound < (Int128{1} << 62)) {
        return solve_with<std::int64_t>(n, tails, heads, cap, cost, balance, big_m, reduced_bound,
                                        ctx);
    }
    // Here every bound stays below 2^102.
    return solve_with<Int128>(n, tails, heads, cap, cost, balance, big_m, reduced_bound, ctx);
}

}  // namespace zelk
