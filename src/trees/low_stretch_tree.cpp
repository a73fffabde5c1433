#include "trees/low_stretch_tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "index_types.hpp"
#include "trees/kruskal_order.hpp"

namespace zelk {

namespace {

// Flat adjacency: the list of node x is entries[offsets[x] .. offsets[x+1]).
struct AdjEntry {
    std::uint64_t neighbour;
    std::uint64_t edge;
};

struct FlatAdjacency {
    std::vector<std::size_t> offsets;
    std::vector<AdjEntry> entries;
};

// For every edge e in increasing order whose mask bit is set (all edges when
// `mask` is null): (heads[e], e) to the list of tails[e], then (tails[e], e)
// to the list of heads[e]. A counting pass keeps exactly the append order.
// `adj` and `cursor` are overwritten (their storage is reused).
void fill_adjacency(std::size_t n, std::span<const NodeIndex> tails,
                    std::span<const NodeIndex> heads, const std::vector<bool>* mask,
                    FlatAdjacency& adj, std::vector<std::size_t>& cursor) {
    const std::size_t m = tails.size();
    adj.offsets.assign(n + 1, 0);
    for (std::size_t e = 0; e < m; ++e) {
        if (mask != nullptr && !(*mask)[e]) continue;
        ++adj.offsets[tails[e] + 1];
        ++adj.offsets[heads[e] + 1];
    }
    for (std::size_t x = 0; x < n; ++x) adj.offsets[x + 1] += adj.offsets[x];
    adj.entries.resize(adj.offsets[n]);
    cursor.assign(adj.offsets.begin(), adj.offsets.end() - 1);
    for (std::size_t e = 0; e < m; ++e) {
        if (mask != nullptr && !(*mask)[e]) continue;
        adj.entries[cursor[tails[e]]++] = AdjEntry{heads[e], e};
        adj.entries[cursor[heads[e]]++] = AdjEntry{tails[e], e};
    }
}

// The same lists for the edges `edges`, appended in the given order.
void fill_adjacency_from_list(std::size_t n, std::span<const NodeIndex> tails,
                              std::span<const NodeIndex> heads,
                              std::span<const std::uint64_t> edges, FlatAdjacency& adj,
                              std::vector<std::size_t>& cursor) {
    adj.offsets.assign(n + 1, 0);
    for (const std::uint64_t e : edges) {
        ++adj.offsets[tails[e] + 1];
        ++adj.offsets[heads[e] + 1];
    }
    for (std::size_t x = 0; x < n; ++x) adj.offsets[x + 1] += adj.offsets[x];
    adj.entries.resize(adj.offsets[n]);
    cursor.assign(adj.offsets.begin(), adj.offsets.end() - 1);
    for (const std::uint64_t e : edges) {
        adj.entries[cursor[tails[e]]++] = AdjEntry{heads[e], e};
        adj.entries[cursor[heads[e]]++] = AdjEntry{tails[e], e};
    }
}

FlatAdjacency build_adjacency(std::size_t n, std::span<const NodeIndex> tails,
                              std::span<const NodeIndex> heads, const std::vector<bool>* mask) {
    FlatAdjacency adj;
    std::vector<std::size_t> cursor;
    fill_adjacency(n, tails, heads, mask, adj, cursor);
    return adj;
}

// Fisher-Yates from the back with the xorshift generator.
template <class T>
void shuffle_from_back(T* data, std::size_t len, XorShift64& rng) {
    if (len < 2) return;
    for (std::size_t i = len - 1; i >= 1; --i) {
        const std::size_t j =
            static_cast<std::size_t>(rng.next() % (static_cast<std::uint64_t>(i) + 1));
        std::swap(data[i], data[j]);
    }
}

// Stable bottom-up merge sort that stays memory-safe for comparators that
// are not strict weak orders (the randomized jitter comparator, NaN lengths).
// `before(a, b)` answers "a goes before b"; in a merge, the right element is
// taken only when it goes before the left one.
template <class Before>
void stable_merge_sort(std::vector<std::uint64_t>& v, Before before) {
    const std::size_t len = v.size();
    std::vector<std::uint64_t> buf(len);
    for (std::size_t width = 1; width < len; width *= 2) {
        for (std::size_t lo = 0; lo < len; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, len);
            const std::size_t hi = std::min(lo + 2 * width, len);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (before(v[j], v[i])) {
                    buf[k++] = v[j++];
                } else {
                    buf[k++] = v[i++];
                }
            }
            while (i < mid) buf[k++] = v[i++];
            while (j < hi) buf[k++] = v[j++];
        }
        v.swap(buf);
    }
}

TreeResult<void> check_arrays(std::size_t n, std::span<const NodeIndex> tails,
                              std::span<const NodeIndex> heads, std::span<const double> lengths) {
    if (n == 0) return std::unexpected(TreeError::EmptyGraph);
    if (tails.size() != heads.size() || tails.size() != lengths.size()) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    return {};
}

}  // namespace

// Fills parent/parent_edge/depth/dist/root by the shared forest walk (nodes
// are claimed when pushed), then the `up` table.
struct TreeBuilderAccess {
    template <class RootSeq>
    static void forest_walk(LowStretchTree& t, std::size_t n, const FlatAdjacency& adj,
                            const RootSeq& roots, std::span<const double> lengths,
                            bool with_ancestors = true) {
        t.parent.assign(n, NO_INDEX);
        t.parent_edge.assign(n, NO_INDEX);
        t.depth.assign(n, 0);
        t.dist.assign(n, 0.0);
        t.root.assign(n, NO_INDEX);
        // Reused per thread: trees are rebuilt every iteration.
        thread_local std::vector<std::uint64_t> stack;
        stack.clear();
        stack.reserve(n);
        for (const std::uint64_t r : roots) {
            if (r >= n || t.parent[r] != NO_INDEX) continue;
            t.parent[r] = r;
            t.parent_edge[r] = NO_INDEX;
            t.root[r] = r;
            t.depth[r] = 0;
            t.dist[r] = 0.0;
            stack.push_back(r);
            while (!stack.empty()) {
                const std::uint64_t x = stack.back();
                stack.pop_back();
                const std::uint64_t dx = t.depth[x];
                const double distx = t.dist[x];
                for (std::size_t i = adj.offsets[x]; i < adj.offsets[x + 1]; ++i) {
                    const std::uint64_t y = adj.entries[i].neighbour;
                    if (t.parent[y] != NO_INDEX) continue;
                    const std::uint64_t e = adj.entries[i].edge;
                    t.parent[y] = x;
                    t.parent_edge[y] = e;
                    t.root[y] = r;
                    t.depth[y] = dx + 1;
                    t.dist[y] = distx + lengths[e];
                    stack.push_back(y);
                }
            }
        }
        if (with_ancestors) {
            t.build_ancestors();
        } else {
            t.ancestors.clear();
        }
    }
};

void LowStretchTree::build_ancestors() {
    // A node the root sequence never reached (a broken precondition of
    // build_from_tree_edges_with_order) keeps NO_INDEX and counts as a root
    // rather than reading out of range.
    ancestors.build(parent);
}

TreeResult<LowStretchTree> LowStretchTree::build_with_mode(std::size_t n,
                                                           std::span<const NodeIndex> tails,
                                                           std::span<const NodeIndex> heads,
                                                           std::span<const double> lengths,
                                                           bool deterministic, std::uint64_t seed) {
    if (auto ok = check_arrays(n, tails, heads, lengths); !ok) return std::unexpected(ok.error());
    FlatAdjacency adj = build_adjacency(n, tails, heads, nullptr);
    std::vector<std::uint64_t> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = i;
    if (deterministic) {
        for (std::size_t x = 0; x < n; ++x) {
            std::sort(adj.entries.begin() + static_cast<std::ptrdiff_t>(adj.offsets[x]),
                      adj.entries.begin() + static_cast<std::ptrdiff_t>(adj.offsets[x + 1]),
                      [](const AdjEntry& a, const AdjEntry& b) {
                          return a.neighbour != b.neighbour ? a.neighbour < b.neighbour
                                                            : a.edge < b.edge;
                      });
        }
    } else {
        XorShift64 rng(seed);
        shuffle_from_back(roots.data(), n, rng);
        for (std::size_t x = 0; x < n; ++x) {
            shuffle_from_back(adj.entries.data() + adj.offsets[x],
                              adj.offsets[x + 1] - adj.offsets[x], rng);
        }
    }
    LowStretchTree t;
    TreeBuilderAccess::forest_walk(t, n, adj, roots, lengths);
    t.in_tree.assign(tails.size(), false);
    for (std::size_t v = 0; v < n; ++v) {
        if (t.parent_edge[v] != NO_INDEX) t.in_tree[t.parent_edge[v]] = true;
    }
    return t;
}

// Union-find over `order`, then the forest walk from roots 0..n-1 over the
// chosen edges, into `t`; the buffers are the calling thread's, reused.
struct KruskalAccess {
    // Whether `t` already is the walk over `chosen`: the same edges, each
    // joining a node and its parent in `t`, and every tree rooted at its
    // smallest node. A forest's rooting fixes every parent, parent edge (two
    // chosen edges never join the same nodes) and depth, and the walk from
    // roots 0..n-1 roots each tree at its smallest node, so it would rebuild
    // `t` exactly; only the distances can differ.
    static bool same_forest(const LowStretchTree& t, std::size_t n,
                            std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                            const std::vector<bool>& chosen, std::size_t chosen_count) {
        if (t.parent.size() != n || t.in_tree != chosen) return false;
        std::size_t links = 0;
        for (std::size_t x = 0; x < n; ++x) {
            if (t.root[x] > x) return false;
            const std::uint64_t e = t.parent_edge[x];
            if (e == NO_INDEX) {
                if (t.parent[x] != x || t.root[x] != x) return false;
                continue;
            }
            ++links;
            const std::uint64_t p = t.parent[x];
            const bool joins =
                e < tails.size() && chosen[e] &&
                ((tails[e] == x && heads[e] == p) || (tails[e] == p && heads[e] == x));
            if (!joins) return false;
        }
        return links == chosen_count;
    }

    static void forest_in_order(LowStretchTree& t, std::size_t n, std::span<const NodeIndex> tails,
                                std::span<const NodeIndex> heads, std::span<const double> lengths,
                                std::span<const std::uint64_t> order, bool with_ancestors = true) {
        thread_local std::vector<std::uint32_t> set_parent;
        thread_local std::vector<std::uint8_t> set_rank;
        thread_local FlatAdjacency adj;
        thread_local std::vector<std::size_t> cursor;
        thread_local std::vector<std::uint64_t> roots;
        thread_local std::vector<std::uint64_t> picked;
        thread_local std::vector<bool> chosen;
        chosen.assign(tails.size(), false);
        // Union-find with path halving and union by rank; which edges join
        // two sets does not depend on how the sets are kept.
        set_parent.resize(n);
        for (std::size_t v = 0; v < n; ++v) set_parent[v] = static_cast<std::uint32_t>(v);
        set_rank.assign(n, 0);
        auto find = [&](std::uint32_t x) {
            while (set_parent[x] != x) {
                set_parent[x] = set_parent[set_parent[x]];
                x = set_parent[x];
            }
            return x;
        };
        picked.clear();
        for (const std::uint64_t e : order) {
            // n - 1 edges make one tree of all nodes: nothing later joins two sets.
            if (picked.size() + 1 >= n) break;
            std::uint32_t a = find(tails[e]), b = find(heads[e]);
            if (a == b) continue;
            if (set_rank[a] < set_rank[b]) std::swap(a, b);
            set_parent[b] = a;
            if (set_rank[a] == set_rank[b]) ++set_rank[a];
            chosen[e] = true;
            picked.push_back(e);
        }
        if (same_forest(t, n, tails, heads, chosen, picked.size())) {
            t.refresh_distances(lengths);
            // A table the last build skipped is built when now wanted.
            if (with_ancestors && t.ancestors.empty()) t.ancestors.build(t.parent);
            return;
        }
        t.in_tree.swap(chosen);
        // A forest has one rooting from given roots, whatever the order of
        // the adjacency lists, so the chosen edges are listed as picked.
        fill_adjacency_from_list(n, tails, heads, picked, adj, cursor);
        roots.resize(n);
        for (std::size_t i = 0; i < n; ++i) roots[i] = i;
        TreeBuilderAccess::forest_walk(t, n, adj, roots, lengths, with_ancestors);
    }

    static LowStretchTree forest_in_order(std::size_t n, std::span<const NodeIndex> tails,
                                          std::span<const NodeIndex> heads,
                                          std::span<const double> lengths,
                                          std::span<const std::uint64_t> order) {
        LowStretchTree t;
        forest_in_order(t, n, tails, heads, lengths, order);
        return t;
    }
};

TreeResult<LowStretchTree> LowStretchTree::build_low_stretch_with_mode(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, bool deterministic, std::uint64_t seed) {
    if (auto ok = check_arrays(n, tails, heads, lengths); !ok) return std::unexpected(ok.error());
    const std::size_t m = tails.size();
    std::vector<std::uint64_t> order(m);
    for (std::size_t e = 0; e < m; ++e) order[e] = e;

    if (deterministic) {
        auto hash = [seed](std::uint64_t e) { return kruskal_hash(seed, e); };
        const bool any_nan =
            std::any_of(lengths.begin(), lengths.end(), [](double x) { return std::isnan(x); });
        if (!any_nan) {
            std::vector<KeyedEdge> keys(m);
            for (std::size_t e = 0; e < m; ++e) keys[e] = KeyedEdge{ordered_key(lengths[e]), e};
            sort_kruskal_records(keys, seed);
            for (std::size_t i = 0; i < m; ++i) order[i] = keys[i].edge;
        } else {
            stable_merge_sort(order, [&](std::uint64_t a, std::uint64_t b) {
                if (lengths[a] < lengths[b]) return true;
                if (lengths[b] < lengths[a]) return false;
                return hash(a) < hash(b);
            });
        }
    } else {
        XorShift64 rng(seed);
        auto factor = [&rng]() {
            const std::uint64_t r = rng.next();
            return 1.0 + static_cast<double>(r >> 11) * 0x1p-53 * 1e-6;
        };
        stable_merge_sort(order, [&](std::uint64_t a, std::uint64_t b) {
            const double fa = factor();
            const double fb = factor();
            return lengths[a] * fa < lengths[b] * fb;
        });
    }
    return KruskalAccess::forest_in_order(n, tails, heads, lengths, order);
}

TreeResult<LowStretchTree> LowStretchTree::build_low_stretch_deterministic_reusing(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, std::uint64_t seed, std::vector<std::uint64_t>& order) {
    LowStretchTree t;
    if (auto r = rebuild_low_stretch_deterministic(t, n, tails, heads, lengths, seed, order); !r) {
        return std::unexpected(r.error());
    }
    return t;
}

TreeResult<void> LowStretchTree::rebuild_low_stretch_deterministic(
    LowStretchTree& t, std::size_t n, std::span<const NodeIndex> tails,
    std::span<const NodeIndex> heads, std::span<const double> lengths, std::uint64_t seed,
    std::vector<std::uint64_t>& order, bool same_endpoints, bool with_ancestors) {
    if (auto ok = check_arrays(n, tails, heads, lengths); !ok) return std::unexpected(ok.error());
    const std::size_t m = tails.size();
    if (std::any_of(lengths.begin(), lengths.end(), [](double x) { return std::isnan(x); })) {
        order.clear();
        auto built = build_low_stretch_with_mode(n, tails, heads, lengths, true, seed);
        if (!built) return std::unexpected(built.error());
        t = std::move(*built);
        return {};
    }
    // A hint that is not a permutation of the edges is replaced by 0..m-1.
    const bool permutation = keep_permutation_or_identity(order, m);
    thread_local std::vector<KeyedEdge> keys;
    keys.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t e = order[i];
        keys[i] = KeyedEdge{ordered_key(lengths[e]), e};
    }
    const bool same_order = sort_kruskal_records(keys, seed);
    // Union-find reads the order and the endpoints alone: the same order over
    // the same endpoints chooses the forest `t` already holds.
    if (same_endpoints && permutation && same_order && t.parent.size() == n &&
        t.in_tree.size() == m) {
        t.refresh_distances(lengths);
        if (with_ancestors && t.ancestors.empty()) t.build_ancestors();
        return {};
    }
    for (std::size_t i = 0; i < m; ++i) order[i] = keys[i].edge;
    KruskalAccess::forest_in_order(t, n, tails, heads, lengths, order, with_ancestors);
    return {};
}

TreeResult<LowStretchTree> LowStretchTree::build_from_tree_edges(std::size_t n,
                                                                 std::span<const NodeIndex> tails,
                                                                 std::span<const NodeIndex> heads,
                                                                 std::span<const double> lengths,
                                                                 std::vector<bool> tree_mask) {
    if (auto ok = check_arrays(n, tails, heads, lengths); !ok) return std::unexpected(ok.error());
    if (tree_mask.size() != tails.size()) return std::unexpected(TreeError::MissingEdgeLengths);
    std::vector<std::uint64_t> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = i;
    return build_from_tree_edges_with_order(n, tails, heads, lengths, std::move(tree_mask), roots);
}

TreeResult<LowStretchTree> LowStretchTree::build_from_tree_edges_with_order(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, std::vector<bool> tree_mask,
    std::span<const std::uint64_t> order) {
    if (auto ok = check_arrays(n, tails, heads, lengths); !ok) return std::unexpected(ok.error());
    if (tree_mask.size() != tails.size()) return std::unexpected(TreeError::MissingEdgeLengths);
    const FlatAdjacency adj = build_adjacency(n, tails, heads, &tree_mask);
    LowStretchTree t;
    TreeBuilderAccess::forest_walk(t, n, adj, order, lengths);
    t.in_tree = std::move(tree_mask);
    return t;
}

// Nodes bucketed by depth (a counting sort), so parents come first.
void LowStretchTree::refresh_distances(std::span<const double> lengths) {
    const std::size_t n = parent.size();
    thread_local std::vector<std::size_t> start;
    thread_local std::vector<std::uint64_t> by_depth;
    std::uint64_t deepest = 0;
    for (std::size_t v = 0; v < n; ++v) deepest = std::max(deepest, depth[v]);
    start.assign(deepest + 2, 0);
    for (std::size_t v = 0; v < n; ++v) ++start[depth[v] + 1];
    for (std::size_t d = 0; d <= deepest; ++d) start[d + 1] += start[d];
    by_depth.resize(n);
    for (std::size_t v = 0; v < n; ++v) by_depth[start[depth[v]]++] = v;
    for (const std::uint64_t v : by_depth) {
        const std::uint64_t e = parent_edge[v];
        dist[v] = e == NO_INDEX ? 0.0 : dist[parent[v]] + lengths[e];
    }
}

std::optional<std::uint64_t> LowStretchTree::lca(std::uint64_t u, std::uint64_t v) const {
    if (root[u] != root[v]) return std::nullopt;
    if (!ancestors.empty()) return ancestors.query(u, v);
    // Built without the table: climb.
    while (depth[u] > depth[v]) u = parent[u];
    while (depth[v] > depth[u]) v = parent[v];
    while (u != v) {
        u = parent[u];
        v = parent[v];
    }
    return u;
}

bool LowStretchTree::path_edges_into(std::uint64_t u, std::uint64_t v,
                                     std::span<const NodeIndex> tails,
                                     std::span<const NodeIndex> heads,
                                     std::vector<SignedEdge>& out) const {
    out.clear();
    if (root[u] != root[v]) return false;
    // Downward leg, collected from v upwards; reused per thread.
    thread_local std::vector<SignedEdge> down;
    down.clear();
    std::uint64_t a = u, b = v;
    auto step_up = [&](std::uint64_t x) {
        const std::uint64_t e = parent_edge[x];
        const std::uint64_t p = parent[x];
        const std::int8_t s = (tails[e] == x && heads[e] == p) ? std::int8_t{1} : std::int8_t{-1};
        return std::pair<SignedEdge, std::uint64_t>{SignedEdge{e, s}, p};
    };
    while (depth[a] > depth[b]) {
        auto [pe, p] = step_up(a);
        out.push_back(pe);
        a = p;
    }
    while (depth[b] > depth[a]) {
        auto [pe, p] = step_up(b);
        down.push_back(pe);
        b = p;
    }
    while (a != b) {
        auto [pa, qa] = step_up(a);
        out.push_back(pa);
        a = qa;
        auto [pb, qb] = step_up(b);
        down.push_back(pb);
        b = qb;
    }
    for (std::size_t i = down.size(); i-- > 0;) {
        out.emplace_back(down[i].first, static_cast<std::int8_t>(-down[i].second));
    }
    return true;
}

std::optional<std::vector<SignedEdge>> LowStretchTree::path_edges(
    std::uint64_t u, std::uint64_t v, std::span<const NodeIndex> tails,
    std::span<const NodeIndex> heads) const {
    std::vector<SignedEdge> out;
    if (!path_edges_into(u, v, tails, heads, out)) return std::nullopt;
    return out;
}

std::optional<double> LowStretchTree::edge_stretch(std::uint64_t e,
                                                   std::span<const NodeIndex> tails,
                                                   std::span<const NodeIndex> heads,
                                                   std::span<const double> lengths) const {
    if (e >= tails.size() || e >= heads.size() || e >= lengths.size()) return std::nullopt;
    const double len = lengths[e];
    if (len <= 0.0) return std::nullopt;
    const std::uint64_t a = tails[e], b = heads[e];
    if (a >= node_count() || b >= node_count()) return std::nullopt;
    const auto l = lca(a, b);
    if (!l) return std::nullopt;
    return (dist[a] + dist[b] - 2.0 * dist[*l]) / len;
}

}  // namespace zelk
