#include "trees/dynamic_tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "numerics/guarded_math.hpp"

namespace zelk {

double DynamicTree::length_bound(std::size_t n) {
    double b = static_cast<double>(std::max<std::size_t>(n, 1));
    b *= b;
    b *= b;
    return std::max(b, 1.0);
}

TreeResult<DynamicTree> DynamicTree::create(std::size_t n, std::vector<NodeIndex> tails,
                                            std::vector<NodeIndex> heads,
                                            std::vector<double> lengths,
                                            const DynamicTreeConfig& config) {
    const double bound = length_bound(n);
    for (double& x : lengths) x = clamp_length(x, bound);
    auto built = LowStretchTree::build_low_stretch_with_mode(n, tails, heads, lengths,
                                                             config.deterministic, config.seed);
    if (!built) return std::unexpected(built.error());
    DynamicTree t;
    t.edge_alive.assign(tails.size(), true);
    t.tails = std::move(tails);
    t.heads = std::move(heads);
    t.lengths = std::move(lengths);
    t.tree = std::move(*built);
    t.node_count = n;
    t.rebuild_every = std::max<std::uint64_t>(config.rebuild_every, 1);
    t.change_threshold = config.change_threshold;
    t.changes = 0;
    // `>= 1.0` is false for NaN, which is raised to 1.0 too.
    t.ratio_threshold = config.ratio_threshold >= 1.0 ? config.ratio_threshold : 1.0;
    t.seed = config.seed;
    t.deterministic = config.deterministic;
    t.current_ = config.deterministic && config.seed == 0;
    return t;
}

TreeResult<bool> DynamicTree::update_from_snapshot(std::uint64_t iteration, std::size_t n,
                                                   std::span<const NodeIndex> new_tails,
                                                   std::span<const NodeIndex> new_heads,
                                                   std::span<const double> new_lengths,
                                                   const RenamedForest* offered) {
    const double bound = length_bound(n);
    const std::size_t m = tails.size();
    const bool same_topology =
        n == node_count && new_tails.size() == m && new_heads.size() == heads.size() &&
        new_lengths.size() == lengths.size() &&
        (m == 0 || std::memcmp(new_tails.data(), tails.data(), m * sizeof(std::uint32_t)) == 0) &&
        (heads.empty() ||
         std::memcmp(new_heads.data(), heads.data(), heads.size() * sizeof(std::uint32_t)) == 0);

    if (same_topology) {
        bool moved = false;
        for (std::size_t e = 0; e < lengths.size(); ++e) {
            const double fresh = clamp_length(new_lengths[e], bound);
            const double old = lengths[e];
            saturating_increment(changes);
            if (fresh > 0.0 && old > 0.0 && larger_quotient(fresh, old) > ratio_threshold) {
                saturating_increment(changes);
            }
            moved = moved || fresh != old;
            lengths[e] = fresh;
        }
        if (moved) current_ = false;
    } else {
        current_ = false;
        node_count = n;
        tails.assign(new_tails.begin(), new_tails.end());
        heads.assign(new_heads.begin(), new_heads.end());
        lengths.resize(new_lengths.size());
        for (std::size_t e = 0; e < new_lengths.size(); ++e) {
            lengths[e] = clamp_length(new_lengths[e], bound);
        }
        edge_alive.assign(tails.size(), true);
        changes = std::max<std::uint64_t>(change_threshold, 1);
        built_from_order_ = false;
    }

    const bool by_changes = change_threshold > 0 && changes >= change_threshold;
    const bool by_period = iteration % rebuild_every == 0;
    if (!by_changes && !by_period) return false;
    auto r = rebuild(deterministic ? 0 : (seed ^ iteration), offered);
    if (!r) return std::unexpected(r.error());
    return true;
}

TreeResult<void> DynamicTree::rebuild(std::uint64_t build_seed, const RenamedForest* offered) {
    const bool all_alive =
        edge_alive.size() == tails.size() &&
        std::find(edge_alive.begin(), edge_alive.end(), false) == edge_alive.end();
    // While the lengths stand, the last build's own order is exact.
    if (all_alive && deterministic && build_seed == 0 && offered != nullptr && !current_) {
        if (adopt_renamed(*offered)) {
            current_ = true;
            changes = 0;
            return {};
        }
        // The offered order, renamed, is a close start for the sort. The
        // tree no longer comes from the hint, so the build cannot take an
        // unchanged order for an unchanged forest.
        const std::size_t m = tails.size();
        if (offered->order.size() == m && offered->edge_of.size() == m) {
            kruskal_order_.resize(m);
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint64_t p = offered->order[i];
                kruskal_order_[i] = p < m ? offered->edge_of[p] : NO_INDEX;
            }
            built_from_order_ = false;
        }
    }
    if (all_alive && deterministic) {
        // In place: the tree's storage serves the next build. Its owners
        // walk paths and never ask for ancestors: the table is not built.
        auto r = LowStretchTree::rebuild_low_stretch_deterministic(
            tree, node_count, tails, heads, lengths, build_seed, kruskal_order_, built_from_order_,
            false);
        if (!r) return std::unexpected(r.error());
        built_from_order_ = true;
        current_ = build_seed == 0;
        changes = 0;
        return {};
    }
    TreeResult<LowStretchTree> built;
    if (all_alive) {
        built = LowStretchTree::build_low_stretch_with_mode(node_count, tails, heads, lengths,
                                                            deterministic, build_seed);
    } else {
        std::vector<std::uint32_t> t, h;
        std::vector<double> l;
        const std::size_t m =
            std::min({tails.size(), heads.size(), lengths.size(), edge_alive.size()});
        for (std::size_t e = 0; e < m; ++e) {
            if (!edge_alive[e]) continue;
            t.push_back(tails[e]);
            h.push_back(heads[e]);
            l.push_back(lengths[e]);
        }
        built = LowStretchTree::build_low_stretch_with_mode(node_count, t, h, l, deterministic,
                                                            build_seed);
    }
    if (!built) return std::unexpected(built.error());
    tree = std::move(*built);
    built_from_order_ = false;
    current_ = false;
    changes = 0;
    return {};
}

// With distinct lengths Kruskal's forest does not depend on the tie-break,
// and a forest has one rooting from roots 0..n-1 with one sum per distance,
// so the deterministic build over today's arrays gives the offered tree
// with its edges renamed.
bool DynamicTree::adopt_renamed(const RenamedForest& f) {
    const std::size_t m = tails.size();
    if (f.tree == nullptr || f.tree->node_count() != node_count || f.tree->in_tree.size() != m ||
        f.edge_of.size() != m || f.tails.size() != m || f.heads.size() != m ||
        f.lengths.size() != m || f.order.size() != m || lengths.size() != m) {
        return false;
    }
    // Every position names an edge with today's endpoints and length, bit
    // for bit, and the order is strictly increasing: the lengths are
    // distinct (stored ones are positive and finite) and each position comes
    // once, so no two positions name the same edge either.
    for (std::size_t p = 0; p < m; ++p) {
        const std::uint64_t e = f.edge_of[p];
        if (e >= m || tails[e] != f.tails[p] || heads[e] != f.heads[p] ||
            std::bit_cast<std::uint64_t>(lengths[e]) !=
                std::bit_cast<std::uint64_t>(f.lengths[p])) {
            return false;
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (f.order[i] >= m) return false;
        if (i > 0 && !(f.lengths[f.order[i - 1]] < f.lengths[f.order[i]])) return false;
    }
    const LowStretchTree& from = *f.tree;
    for (const std::uint64_t p : from.parent_edge) {
        if (p != NO_INDEX && p >= m) return false;
    }
    tree.parent = from.parent;
    tree.depth = from.depth;
    tree.dist = from.dist;
    tree.root = from.root;
    tree.parent_edge.resize(from.parent_edge.size());
    for (std::size_t v = 0; v < from.parent_edge.size(); ++v) {
        const std::uint64_t p = from.parent_edge[v];
        tree.parent_edge[v] = p == NO_INDEX ? NO_INDEX : f.edge_of[p];
    }
    tree.in_tree.assign(m, false);
    for (std::size_t p = 0; p < m; ++p) {
        if (from.in_tree[p]) tree.in_tree[f.edge_of[p]] = true;
    }
    tree.ancestors.clear();
    // The order, renamed, is this build's Kruskal order too.
    kruskal_order_.resize(m);
    for (std::size_t i = 0; i < m; ++i) kruskal_order_[i] = f.edge_of[f.order[i]];
    built_from_order_ = true;
    return true;
}

}  // namespace zelk
