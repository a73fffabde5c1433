#include "min_ratio/min_ratio_oracle.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "numerics/guarded_math.hpp"
#include "worker_pool.hpp"

namespace zelk {

namespace {

inline double value_or_zero(std::span<const double> a, std::uint64_t i) {
    return i < a.size() ? a[i] : 0.0;
}

// Keeps `best` as select_better_candidate(best, new) would, where the new
// candidate is closed by edge e and its cycle is (e, +1) followed by `rest`
// (or, when `whole` is set, exactly `*whole`). The new cycle is only built
// when it wins, and then reuses the old candidate's storage.
void offer(std::optional<CycleCandidate>& best, std::uint64_t e, double numerator,
           double denominator, const std::vector<SignedEdge>* rest,
           const std::vector<SignedEdge>* whole) {
    const double ratio = numerator / denominator;
    if (best && keeps_first(best->ratio, best->closing_edge(), ratio, e)) return;
    if (!best) best.emplace();
    CycleCandidate& c = *best;
    if (whole != nullptr) {
        c.cycle.assign(whole->begin(), whole->end());
    } else {
        c.cycle.clear();
        c.cycle.reserve(rest->size() + 1);
        c.cycle.emplace_back(e, std::int8_t{1});
        c.cycle.insert(c.cycle.end(), rest->begin(), rest->end());
    }
    c.ratio = ratio;
    c.numerator = numerator;
    c.denominator = denominator;
}

std::optional<CycleCandidate> join_candidates(std::optional<CycleCandidate> a,
                                              std::optional<CycleCandidate> b) {
    if (!a) return b;
    if (!b) return a;
    return select_better_candidate(std::move(*a), std::move(*b));
}

}  // namespace

namespace {

// One upward tree step per node, laid out for the tree scan: the parent, the
// depth, and the step's terms for this query: sign * gradient and |length|
// of the parent edge, where the sign is the one path_edges gives the edge
// on an upward leg. A downward leg uses the same edge with the opposite
// sign; since multiplying by -1 is exact, the negated term is bit-for-bit
// the term path_edges would produce, and sums taken in list order are
// identical to score_edge_cycle's.
struct UpStep {
    std::uint64_t parent;
    std::uint64_t depth;
    double gradient;
    double length;
};

std::vector<UpStep> up_steps(const LowStretchTree& tree, std::span<const NodeIndex> tails,
                             std::span<const NodeIndex> heads, std::span<const double> gradients,
                             std::span<const double> lengths) {
    const std::size_t n = tree.node_count();
    std::vector<UpStep> steps(n);
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint64_t pe = tree.parent_edge[x];
        const std::uint64_t p = tree.parent[x];
        UpStep& st = steps[x];
        st.parent = p;
        st.depth = tree.depth[x];
        st.gradient = 0.0;
        st.length = 0.0;
        if (pe == NO_INDEX) continue;
        // The tree's edges index the arrays it was built from (a
        // precondition); an out-of-range edge reads as sign -1 and 0.0.
        const bool forward =
            pe < tails.size() && pe < heads.size() && tails[pe] == x && heads[pe] == p;
        st.gradient = (forward ? 1.0 : -1.0) * value_or_zero(gradients, pe);
        st.length = std::fabs(value_or_zero(lengths, pe));
    }
    return steps;
}

// Sums of the up-step terms from each node's root down to the node, taken
// top-down: signed gradients, their magnitudes and lengths.
struct RootSums {
    double gradient;
    double magnitude;
    double length;
};

// False when some node hangs below no root (then only the path walk is safe).
bool root_sums(const LowStretchTree& tree, const std::vector<UpStep>& steps,
               std::vector<RootSums>& sums) {
    const std::size_t n = steps.size();
    sums.assign(n, RootSums{0.0, 0.0, 0.0});
    std::vector<char> done(n, 0);
    std::vector<std::uint64_t> pending;
    for (std::size_t x = 0; x < n; ++x) {
        std::uint64_t y = x;
        while (!done[y]) {
            const std::uint64_t p = steps[y].parent;
            if (p >= n || tree.root[y] >= n) return false;
            if (p == y) {
                done[y] = 1;  // a root: all sums 0
                break;
            }
            pending.push_back(y);
            if (pending.size() > n) return false;  // parent links that never reach a root
            y = p;
        }
        while (!pending.empty()) {
            const std::uint64_t z = pending.back();
            pending.pop_back();
            const RootSums& above = sums[steps[z].parent];
            sums[z] = RootSums{above.gradient + steps[z].gradient,
                               above.magnitude + std::fabs(steps[z].gradient),
                               above.length + steps[z].length};
            done[z] = 1;
        }
    }
    return true;
}

// The cycle sums of off-tree edge e (head a, tail b, one tree) in the order
// score_edge_cycle takes them: e itself, the upward leg from a to the LCA,
// then the downward leg from the LCA to b.
void walk_cycle_sums(const std::vector<UpStep>& steps, double gradient, double length,
                     std::uint64_t a, std::uint64_t b, std::vector<std::uint64_t>& down,
                     double& num, double& den) {
    num = gradient;
    den = length;
    down.clear();
    while (steps[a].depth > steps[b].depth) {
        num += steps[a].gradient;
        den += steps[a].length;
        a = steps[a].parent;
    }
    while (steps[b].depth > steps[a].depth) {
        down.push_back(b);
        b = steps[b].parent;
    }
    while (a != b) {
        num += steps[a].gradient;
        den += steps[a].length;
        a = steps[a].parent;
        down.push_back(b);
        b = steps[b].parent;
    }
    for (std::size_t i = down.size(); i-- > 0;) {
        num += -steps[down[i]].gradient;
        den += steps[down[i]].length;
    }
}

// A value the ratio walk_cycle_sums yields for edge e cannot fall below, from
// the root sums in O(1); -infinity when no useful bound exists.
//
// With u = 2^-53 and k >= 2 bounding the terms of the walked sums, the walked
// numerator and the root-sum estimate N = g_e + (G[a] - G[b]) both lie within
// about 3.2 k u S of the exact numerator, S = |g_e| + |G|[a] + |G|[b]
// (recursive summation of k terms of magnitude sum S errs by at most
// (k - 1) u S / (1 - k u); the common root-to-LCA part of G[a] and G[b]
// cancels exactly in the real sums). The denominator's terms are
// non-negative; the walk and D = l_e + (L[a] - L[l]) + (L[b] - L[l]) lie
// within about 4.3 k u T, T = l_e + L[a] + L[b] + 2 L[l]. Widening both by
// 8 k u S and 8 k u T also covers rounding in the bounds themselves; since
// rounding is monotone, a corner quotient of the widened box rounds below
// the walked quotient.
double ratio_lower_bound(const LowStretchTree& tree, const std::vector<RootSums>& sums,
                         double gradient, double length, std::uint64_t a, std::uint64_t b) {
    constexpr double minus_infinity = -std::numeric_limits<double>::infinity();
    const auto l = tree.lca(a, b);
    if (!l) return minus_infinity;
    const RootSums& sa = sums[a];
    const RootSums& sb = sums[b];
    const RootSums& sl = sums[*l];
    const double k = static_cast<double>(tree.depth[a]) + static_cast<double>(tree.depth[b]) + 2.0;
    const double slack = 8.0 * k * 0x1p-53;
    const double magnitude = std::fabs(gradient) + sa.magnitude + sb.magnitude;
    const double extent = length + sa.length + sb.length + 2.0 * sl.length;
    // Far below the largest double, so no partial sum of the walk overflows.
    constexpr double safe = 0x1p1020;
    if (!(magnitude <= safe) || !(extent <= safe)) return minus_infinity;
    const double num = gradient + (sa.gradient - sb.gradient);
    const double num_error = slack * magnitude;
    const double den = length + (sa.length - sl.length) + (sb.length - sl.length);
    const double den_error = slack * extent;
    if (!std::isfinite(num) || !std::isfinite(den)) return minus_infinity;
    const double den_low = den - den_error;
    if (!(den_low > 0.0)) return minus_infinity;
    const double num_low = num - num_error;
    return num_low >= 0.0 ? num_low / (den + den_error) : num_low / den_low;
}

// Whether edge e's walked numerator provably is >= 0 with a finite
// denominator, so that its ratio is >= 0 (or the edge is skipped for a zero
// denominator). The numerator's side of ratio_lower_bound, with the same
// widening; it needs no common ancestor.
bool ratio_not_negative(const LowStretchTree& tree, const std::vector<RootSums>& sums,
                        double gradient, double length, std::uint64_t a, std::uint64_t b) {
    const RootSums& sa = sums[a];
    const RootSums& sb = sums[b];
    const double k = static_cast<double>(tree.depth[a]) + static_cast<double>(tree.depth[b]) + 2.0;
    const double slack = 8.0 * k * 0x1p-53;
    const double magnitude = std::fabs(gradient) + sa.magnitude + sb.magnitude;
    // Bounds every partial sum of the walked denominator.
    const double extent = length + sa.length + sb.length;
    constexpr double safe = 0x1p1020;
    if (!(magnitude <= safe) || !(extent <= safe)) return false;
    const double num = gradient + (sa.gradient - sb.gradient);
    if (!std::isfinite(num)) return false;
    return num - slack * magnitude >= 0.0;
}

// One chunk of the tree scan. With `sums`, an edge whose ratio provably
// cannot displace the chunk's best (keeps_first would keep the best) is
// passed over without walking its path; every other edge is walked and
// offered exactly as without pruning, so the answer is the same.
std::optional<CycleCandidate> scan_tree_chunk(
    const LowStretchTree& tree, const std::vector<UpStep>& steps, const std::vector<RootSums>* sums,
    std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> gradients, std::span<const double> lengths,
    std::span<const std::uint8_t> tree_edges, std::size_t begin, std::size_t end) {
    const std::size_t n = tree.node_count();
    const std::size_t m = std::min(tails.size(), heads.size());
    std::optional<CycleCandidate> best;
    std::vector<SignedEdge> path;
    std::vector<std::uint64_t> down;
    for (std::size_t e = begin; e < std::min(end, m); ++e) {
        if (e < tree_edges.size() && tree_edges[e] != 0) continue;
        const std::uint64_t a = heads[e], b = tails[e];
        if (a >= n || b >= n || tree.root[a] != tree.root[b]) continue;
        const double gradient = value_or_zero(gradients, e);
        const double length = std::fabs(value_or_zero(lengths, e));
        if (best && sums != nullptr) {
            // Against a clearly negative best a non-negative ratio loses
            // without the common ancestor's sums.
            const double beaten = best->ratio + CANDIDATE_TIE_TOLERANCE;
            if (beaten < 0.0 && ratio_not_negative(tree, *sums, gradient, length, a, b)) continue;
            if (ratio_lower_bound(tree, *sums, gradient, length, a, b) > beaten) continue;
        }
        double num = 0.0, den = 0.0;
        walk_cycle_sums(steps, gradient, length, a, b, down, num, den);
        if (den <= 0.0) continue;
        const double ratio = num / den;
        if (best && keeps_first(best->ratio, best->closing_edge(), ratio, e)) continue;
        // A new best: build its cycle (rare).
        tree.path_edges_into(heads[e], tails[e], tails, heads, path);
        offer(best, e, num, den, &path, nullptr);
    }
    return best;
}

std::optional<CycleCandidate> tree_scan(
    const LowStretchTree& tree, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> gradients, std::span<const double> lengths,
    std::span<const std::uint8_t> tree_edges, WorkerPool& pool, bool prune) {
    const std::vector<UpStep> steps = up_steps(tree, tails, heads, gradients, lengths);
    // With the constant-time lowest common ancestor the bound costs a few
    // flops per edge, less than walking even a shallow tree's path, so every
    // tree is bounded. The answer is the same either way.
    std::vector<RootSums> sums;
    const bool bounded = prune && root_sums(tree, steps, sums);
    // One chunk: the reduction would fold it on this thread and join it to
    // the empty identity, which returns it unchanged.
    if (tails.size() <= TREE_SCAN_CHUNK) {
        return scan_tree_chunk(tree, steps, bounded ? &sums : nullptr, tails, heads, gradients,
                               lengths, tree_edges, 0, tails.size());
    }
    return parallel_chunked_reduce(
        pool, tails.size(), TREE_SCAN_CHUNK, std::optional<CycleCandidate>{},
        [&](std::size_t begin, std::size_t end) {
            return scan_tree_chunk(tree, steps, bounded ? &sums : nullptr, tails, heads, gradients,
                                   lengths, tree_edges, begin, end);
        },
        join_candidates);
}

}  // namespace

std::optional<CycleCandidate> best_tree_cycle(const LowStretchTree& tree,
                                              std::span<const NodeIndex> tails,
                                              std::span<const NodeIndex> heads,
                                              std::span<const double> gradients,
                                              std::span<const double> lengths, WorkerPool& pool) {
    const std::vector<std::uint8_t> tree_edges(tree.in_tree.begin(), tree.in_tree.end());
    return tree_scan(tree, tails, heads, gradients, lengths, tree_edges, pool, true);
}

std::optional<CycleCandidate> best_tree_cycle_by_paths(
    const LowStretchTree& tree, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> gradients, std::span<const double> lengths, WorkerPool& pool) {
    const std::vector<std::uint8_t> tree_edges(tree.in_tree.begin(), tree.in_tree.end());
    return tree_scan(tree, tails, heads, gradients, lengths, tree_edges, pool, false);
}

// In deterministic mode the tree depends on the graph alone (lengths only
// fill its distances), and so do the spanner's breadth-first walks: a
// rebuild over the graph of the last one keeps the tree's shape and the
// walks, and refreshes the distances and the spanner's values. Nothing
// else reads the seed or the lengths, so this is the fresh build exactly.
TreeResult<void> MinRatioOracle::rebuild_tree(std::uint64_t iteration, std::uint64_t node_count,
                                              std::span<const NodeIndex> tails,
                                              std::span<const NodeIndex> heads,
                                              std::span<const double> gradients,
                                              std::span<const double> lengths) {
    const bool same_graph = deterministic && tree_ && spanner_ && node_count != 0 &&
                            tails.size() == heads.size() && lengths.size() == tails.size() &&
                            built_nodes_ == node_count && std::ranges::equal(built_tails_, tails) &&
                            std::ranges::equal(built_heads_, heads);
    if (same_graph) {
        tree_->refresh_distances(lengths);
    } else {
        const std::uint64_t s = deterministic ? fixed_seed.value_or(0) : (seed ^ iteration);
        auto built =
            LowStretchTree::build_with_mode(node_count, tails, heads, lengths, deterministic, s);
        if (!built) return std::unexpected(built.error());
        tree_ = std::move(*built);
        tree_edges_.assign(tree_->in_tree.begin(), tree_->in_tree.end());
        built_nodes_ = node_count;
        built_tails_.assign(tails.begin(), tails.end());
        built_heads_.assign(heads.begin(), heads.end());
    }

    const std::size_t m = std::min(tails.size(), heads.size());
    // The last spanner's buffers are reused: reset it to the state of a new
    // one over node_count nodes instead of allocating afresh.
    if (spanner_) {
        spanner_->reset_keeping_embeddings(node_count);
        if (!same_graph) spanner_->embeddings.clear();
    } else {
        spanner_.emplace(node_count);
    }
    DynamicSpanner& sp = *spanner_;
    sp.reserve_edges(m);
    sp.embeddings.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
        sp.insert_edge_with_values(tails[i], heads[i], lengths[i], value_or_zero(gradients, i));
    }
    last_rebuild_iteration_ = iteration;
    scan_stats_.reset();
    return {};
}

std::optional<CycleCandidate> MinRatioOracle::spanner_scan(const OracleQuery& q) {
    DynamicSpanner& sp = *spanner_;
    const LowStretchTree& t = *tree_;
    const std::size_t m = q.tails.size();
    if (sp.instability.accumulated.empty()) sp.instability.accumulated.push_back(0.0);
    double total = sp.instability.accumulated[0];
    double max_drift = 0.0, max_ratio = 0.0;
    std::uint64_t count = 0;
    std::optional<CycleCandidate> best;

    // With the value arrays covering every edge the scan reads them directly;
    // otherwise a missing value reads as 0.0. Both read the same values.
    const auto scan = [&](auto fits) {
        const auto at = [](std::span<const double> a, std::uint64_t i) {
            if constexpr (decltype(fits)::value) {
                return a[i];
            } else {
                return value_or_zero(a, i);
            }
        };
        for (std::size_t e = 0; e < m; ++e) {
            // Refresh spanner edge e (spanner edge e is graph edge e).
            if (e < sp.edges.size()) {
                SpannerEdge& se = sp.edges[e];
                const double l = at(q.lengths, e);
                const double g = at(q.gradients, e);
                const bool l_same = se.length == l || std::isnan(se.length) || std::isnan(l);
                const bool g_same = se.gradient == g || std::isnan(se.gradient) || std::isnan(g);
                if (!(l_same && g_same) && se.active) {
                    if (l > 0.0 && se.length > 0.0) {
                        total += std::fabs(std::log(larger_quotient(l, se.length)));
                    }
                    const double dg = g - se.gradient;
                    if (dg != 0.0 && !std::isnan(dg)) {
                        total += std::fabs(dg) * std::max(std::fabs(se.length), 1.0);
                    }
                    se.length = l;
                    se.gradient = g;
                }
            }
            // Tree edges close no cycle.
            if (e < tree_edges_.size() && tree_edges_[e] != 0) continue;
            if (e >= q.heads.size()) continue;
            const std::uint64_t h = q.heads[e], tl = q.tails[e];

            // Stored embedding (no validity check), else a new one by BFS.
            std::optional<EmbeddingTable::Walk> path = sp.embeddings.find(e);
            if (!path) path = sp.embed_edge_with_bfs_stored(e, h, tl);

            double num = 0.0, den = 0.0;
            if (!path) {
                // No embedding: the tree cycle.
                if (!score_edge_cycle_parts(t, e, q.tails, q.heads, q.gradients, q.lengths,
                                            path_buf_, num, den)) {
                    continue;
                }
                offer(best, e, num, den, &path_buf_, nullptr);
            } else {
                // The spanner cycle, with the values stored in the spanner.
                num = at(q.gradients, e);
                den = std::fabs(at(q.lengths, e));
                for (const auto& [f, sign] : *path) {
                    if (f >= sp.edges.size() || !sp.edges[f].active) continue;
                    const SpannerEdge& fe = sp.edges[f];
                    num += static_cast<double>(sign) * fe.gradient;
                    den += std::fabs(fe.length);
                    const double drift = std::fabs(fe.gradient - at(q.gradients, f));
                    if (drift > max_drift) max_drift = drift;
                    const double c = at(q.lengths, f);
                    if (fe.length > 0.0 && c != 0.0 && !std::isnan(c)) {
                        const double r = larger_quotient(fe.length, std::fabs(c));
                        if (r > max_ratio) max_ratio = r;
                    }
                }
                if (den <= 0.0) continue;
                // Most candidates lose: the cycle is only spelled out for a winner.
                if (!best || !keeps_first(best->ratio, best->closing_edge(), num / den, e)) {
                    cycle_buf_.clear();
                    cycle_buf_.emplace_back(e, std::int8_t{1});
                    for (const auto& [f, sign] : *path) {
                        if (f < sp.edges.size() && sp.edges[f].active)
                            cycle_buf_.emplace_back(f, sign);
                    }
                    offer(best, e, num, den, nullptr, &cycle_buf_);
                }
            }
            // A candidate was produced.
            ++count;
        }
    };
    const std::size_t covered = std::max(m, sp.edges.size());
    if (q.gradients.size() >= covered && q.lengths.size() >= covered) {
        scan(std::true_type{});
    } else {
        scan(std::false_type{});
    }
    sp.instability.accumulated[0] = total;
    scan_stats_ = ScanStats{max_drift, max_ratio, count};
    spanner_queries_ = saturating_count_sum(spanner_queries_, 1);
    spanner_candidates_total_ = saturating_count_sum(spanner_candidates_total_, count);
    return best;
}

TreeResult<std::optional<CycleCandidate>> MinRatioOracle::best_cycle_with_rebuild(
    const OracleQuery& query, bool force) {
    const bool reuse = !force && reuses_tree_at(query.iteration);
    if (!reuse) {
        auto r = rebuild_tree(query.iteration, query.node_count, query.tails, query.heads,
                              query.gradients, query.lengths);
        if (!r) return std::unexpected(r.error());
    }
    std::optional<CycleCandidate> from_spanner = spanner_scan(query);
    WorkerPool& p = pool != nullptr ? *pool : global_worker_pool();
    std::optional<CycleCandidate> from_tree = tree_scan(
        *tree_, query.tails, query.heads, query.gradients, query.lengths, tree_edges_, p, true);
    return join_candidates(std::move(from_spanner), std::move(from_tree));
}

bool MinRatioOracle::reuses_tree_at(std::uint64_t iteration) const {
    return tree_.has_value() && spanner_.has_value() && iteration != 0 &&
           (iteration - last_rebuild_iteration_) < rebuild_every;
}

void MinRatioOracle::restart() {
    scan_stats_.reset();
    last_rebuild_iteration_ = 0;
    spanner_queries_ = 0;
    spanner_candidates_total_ = 0;
}

void MinRatioOracle::copy_scan_from(const MinRatioOracle& from) {
    tree_ = from.tree_;
    tree_edges_ = from.tree_edges_;
    spanner_ = from.spanner_;
    built_nodes_ = from.built_nodes_;
    built_tails_ = from.built_tails_;
    built_heads_ = from.built_heads_;
    scan_stats_ = from.scan_stats_;
    last_rebuild_iteration_ = from.last_rebuild_iteration_;
    const std::uint64_t count = from.scan_stats_ ? from.scan_stats_->candidates_scored : 0;
    spanner_queries_ = saturating_count_sum(spanner_queries_, 1);
    spanner_candidates_total_ = saturating_count_sum(spanner_candidates_total_, count);
}

}  // namespace zelk
