#include "spanner/deterministic_dynamic_spanner.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "index_types.hpp"
#include "numerics/guarded_math.hpp"
#include "trees/low_stretch_tree.hpp"

namespace zelk {

DeterministicDynamicSpanner::DeterministicDynamicSpanner() : spanner(0) {}

void DeterministicDynamicSpanner::sync_snapshot(std::uint64_t n, std::span<const NodeIndex> tails,
                                                std::span<const NodeIndex> heads,
                                                std::span<const double> lengths,
                                                std::span<const double> gradients) {
    node_count = n;
    std::uint64_t eight_n;
    if (__builtin_mul_overflow(n, std::uint64_t{8}, &eight_n)) eight_n = NO_INDEX;
    edge_budget = std::max(edge_budget, eight_n);
    if (edge_budget == 0) edge_budget = 1;
    std::uint64_t ln_ceil = 0;
    if (n > 1) ln_ceil = static_cast<std::uint64_t>(std::ceil(std::log(static_cast<double>(n))));
    rebuild_period = std::max({ln_ceil, rebuild_period, std::uint64_t{1}});

    const std::size_t k = std::min({tails.size(), heads.size(), lengths.size(), gradients.size()});
    edges.resize(k);
    for (std::size_t e = 0; e < k; ++e) {
        edges[e] = SpannerEdge{tails[e], heads[e], lengths[e], gradients[e], true};
    }
    edge_to_spanner.assign(k, NO_INDEX);
    updates_since_rebuild = 0;
    walks_valid_ = false;
    rebuild();
}

void DeterministicDynamicSpanner::restart() {
    edges.clear();
    edge_to_spanner.clear();
    spanner.reset_keeping_embeddings(0);
    spanner.embeddings.clear();
    node_count = 0;
    edge_budget = 1;
    rebuild_period = 1;
    updates_since_rebuild = 0;
    walks_valid_ = false;
}

void DeterministicDynamicSpanner::rebuild() {
    const bool same_positions = sort_active_edges();

    // A fresh spanner; the walks of the last one are rewritten in place.
    spanner.reset_keeping_embeddings(node_count);
    edge_to_spanner.assign(edges.size(), NO_INDEX);
    if (order_.empty()) {
        spanner.embeddings.clear();
        walks_valid_ = false;
        return;
    }

    // The deterministic Kruskal tree over |length|, in sorted positions.
    // The last walks stand only over the last successful tree build, which
    // left tree_ and kruskal_order_ behind.
    if (!LowStretchTree::rebuild_low_stretch_deterministic(
            tree_, node_count, tails_, heads_, lengths_, 0, kruskal_order_, same_positions)) {
        spanner.embeddings.clear();
        walks_valid_ = false;
        return;
    }
    const LowStretchTree& tree = tree_;
    // The same tree over the same positions carries its edges under the same
    // spanner identifiers (tree edges come first, in position order), so the
    // walk of an edge left out both times, or carried by the same spanner
    // edge both times, is the stored one.
    const bool same_tree = same_positions && tree.in_tree == walked_in_tree_;
    carry_edges(tree, same_tree);
    write_embeddings(tree, same_tree);
    walked_carrier_ = edge_to_spanner;
    walked_in_tree_ = tree.in_tree;
    walks_valid_ = true;
}

// Active edges by (min endpoint, max endpoint, identifier); endpoints are
// 32-bit, so the pair packs into one key. The order only depends on the
// active edges' endpoints, which value updates leave alone: sort only when
// they changed. True when the last walks may still stand, i.e. when the
// active edges and their endpoints are the last rebuild's.
bool DeterministicDynamicSpanner::sort_active_edges() {
    // Value updates leave the endpoints alone, so most rebuilds find the last
    // active edges: compare with them in passing, taking the new |length| of
    // each into its position, before sorting anew.
    std::size_t matched = 0;
    const std::size_t last = active_.size();
    const bool fill = lengths_.size() == order_.size();
    for (std::size_t e = 0; e < edges.size(); ++e) {
        const SpannerEdge& edge = edges[e];
        if (!edge.active) continue;
        if (matched == last || active_[matched].u != edge.u || active_[matched].v != edge.v ||
            active_[matched].id != e) {
            matched = NO_INDEX;
            break;
        }
        if (fill) lengths_[active_[matched].position] = std::fabs(edge.length);
        ++matched;
    }
    if (matched == last && fill) return walks_valid_ && tails_.size() == last;

    // Keys carry the rank among active edges, which orders like the
    // identifier.
    keyed_.clear();
    active_.clear();
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (!edges[e].active) continue;
        const std::uint64_t lo = std::min(edges[e].u, edges[e].v);
        const std::uint64_t hi = std::max(edges[e].u, edges[e].v);
        keyed_.emplace_back((lo << 32) | (hi & 0xFFFFFFFFULL), active_.size());
        active_.push_back(ActiveEdge{edges[e].u, edges[e].v, e, 0});
    }
    std::sort(keyed_.begin(), keyed_.end());
    const std::size_t k = keyed_.size();
    order_.resize(k);
    tails_.resize(k);
    heads_.resize(k);
    lengths_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        ActiveEdge& a = active_[keyed_[i].second];
        a.position = i;
        order_[i] = a.id;
        const SpannerEdge& e = edges[a.id];
        tails_[i] = static_cast<std::uint32_t>(e.u);
        heads_[i] = static_cast<std::uint32_t>(e.v);
        lengths_[i] = std::fabs(e.length);
    }
    return false;
}

void DeterministicDynamicSpanner::carry(std::uint64_t id) {
    const SpannerEdge& e = edges[id];
    edge_to_spanner[id] = spanner.insert_edge_with_values(e.u, e.v, e.length, e.gradient);
}

// Tree edges first, then edges stretched beyond the factor (or without a
// usable tree path), inserted at once. The lowest common ancestors depend on
// the tree's shape alone: over the same tree and positions the last
// rebuild's stand.
void DeterministicDynamicSpanner::carry_edges(const LowStretchTree& tree, bool same_tree) {
    const std::size_t k = order_.size();
    carried_.resize(k);
    std::size_t count = 0;
    const std::uint64_t first = spanner.edges.size();
    auto mark = [&](std::uint64_t id) {
        edge_to_spanner[id] = first + count;
        carried_[count++] = id;
    };
    // (A bit iterator steps more cheaply than indexing.)
    auto in_tree = tree.in_tree.cbegin();
    for (std::size_t i = 0; i < k; ++i, ++in_tree) {
        if (*in_tree) mark(order_[i]);
    }
    const bool kept_lca = same_tree && lca_.size() == k;
    lca_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t id = order_[i];
        if (edge_to_spanner[id] != NO_INDEX) continue;
        const SpannerEdge& e = edges[id];
        const std::uint64_t a = tails_[i], b = heads_[i];
        const double dt = tree.dist[a], dh = tree.dist[b];
        const double limit = stretch_factor * std::fabs(e.length);
        // Distances only grow away from the roots, so no ancestor is farther
        // than the nearer endpoint and the path's length, as rounded below,
        // is at least this bound's: past the limit, the edge is carried
        // whatever its ancestor, which is then not looked up.
        if (!(e.length > 0.0) || (dt + dh) - 2.0 * std::min(dt, dh) > limit) {
            if (!kept_lca) lca_[i] = LCA_UNKNOWN;
            mark(id);
            continue;
        }
        if (!kept_lca || lca_[i] == LCA_UNKNOWN) {
            lca_[i] = tree.root[a] != tree.root[b] ? NO_INDEX : tree.ancestors.query(a, b);
        }
        const std::uint64_t l = lca_[i];
        const bool stays_out = l != NO_INDEX && dt + dh - 2.0 * tree.dist[l] <= limit;
        if (!stays_out) mark(id);
    }
    spanner.insert_edges_from(edges, std::span<const std::uint64_t>(carried_.data(), count));
    // The high-water mark of spanner insertions.
    edge_budget = std::max(edge_budget, spanner.insertions);
}

// The step from each node up to its parent as a spanner edge and sign, as
// the tree path walk signs it; false when a tree edge is not carried.
bool DeterministicDynamicSpanner::fill_up_steps(const LowStretchTree& tree) {
    const std::size_t n = tree.node_count();
    up_.resize(n);
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint64_t p = tree.parent_edge[x];
        if (p == NO_INDEX) continue;
        const std::uint64_t f = p < order_.size() ? edge_to_spanner[order_[p]] : NO_INDEX;
        if (f == NO_INDEX) return false;
        const bool forward = tails_[p] == x && heads_[p] == tree.parent[x];
        up_[x] = SignedEdge{f, forward ? std::int8_t{1} : std::int8_t{-1}};
    }
    return true;
}

// Embeddings under snapshot identifiers. Every active edge gets one, so
// afterwards the map holds more than k walks only when edges left the
// snapshot since the last rebuild.
void DeterministicDynamicSpanner::write_embeddings(const LowStretchTree& tree, bool same_tree) {
    const std::size_t k = order_.size();
    auto& embeddings = spanner.embeddings;
    const bool steps = fill_up_steps(tree);
    // Over a new tree every walk is rewritten, all at once.
    if (!same_tree && steps) {
        rewrite_embeddings(tree);
        return;
    }
    // Start from an empty table, so that no rewritten walk leaves garbage to
    // compact.
    if (!same_tree) embeddings.clear();
    embeddings.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t id = order_[i];
        const std::uint64_t f = edge_to_spanner[id];
        // Over the same tree a walk stored last time stands when the edge
        // has the same carrier (none: the same tree path) as then.
        if (same_tree && walked_carrier_[id] == f && embeddings.contains(id)) continue;
        if (f != NO_INDEX) {
            embeddings.open_walk(id, 1)[0] = SignedEdge{f, 1};
            continue;
        }
        // Left out, so its ancestor was looked up: the walk climbs from the
        // tail to it and comes down to the head, written in place.
        const std::uint64_t l = lca_[i];
        if (steps && l < tree.node_count()) {
            const std::uint64_t a = tails_[i], b = heads_[i];
            const std::uint64_t up = tree.depth[a] - tree.depth[l];
            const std::uint64_t down = tree.depth[b] - tree.depth[l];
            if (climb(tree, i, up, embeddings.open_walk(id, up + down))) continue;
        }
        write_embedding_walked(tree, i);
    }
    if (embeddings.size() != k) {
        embeddings.erase_if(
            [this](std::uint64_t key) { return key >= edges.size() || !edges[key].active; });
    }
}

RenamedForest DeterministicDynamicSpanner::last_forest() const {
    // A stored tree stands for the last rebuild exactly when its walks do.
    if (!walks_valid_ || kruskal_order_.size() != order_.size()) return {};
    return RenamedForest{&tree_, order_, tails_, heads_, lengths_, kruskal_order_};
}

// Fills `walk` with the tree path of position i: `up` steps from the tail to
// its ancestor lca_[i], then down to the head. False when the climbs do not
// meet there (not a forest).
[[gnu::always_inline]] inline bool DeterministicDynamicSpanner::climb(
    const LowStretchTree& tree, std::size_t i, std::uint64_t up, std::span<SignedEdge> walk) const {
    std::uint64_t a = tails_[i], b = heads_[i];
    for (std::uint64_t j = 0; j < up; ++j) {
        walk[j] = up_[a];
        a = tree.parent[a];
    }
    for (std::size_t j = walk.size(); j-- > up;) {
        walk[j] = SignedEdge{up_[b].first, static_cast<std::int8_t>(-up_[b].second)};
        b = tree.parent[b];
    }
    return a == lca_[i] && b == lca_[i];
}

// Every walk anew: their lengths first, then the table sized once and
// filled in position order. Walks that cannot climb are written afterwards,
// by the general form.
void DeterministicDynamicSpanner::rewrite_embeddings(const LowStretchTree& tree) {
    const std::size_t k = order_.size();
    const std::size_t n = tree.node_count();
    walk_steps_.resize(k);
    walk_up_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t l = lca_[i];
        if (edge_to_spanner[order_[i]] != NO_INDEX) {
            walk_steps_[i] = 1;
        } else if (l < n) {
            const std::uint64_t base = tree.depth[l];
            walk_up_[i] = tree.depth[tails_[i]] - base;
            walk_steps_[i] = walk_up_[i] + (tree.depth[heads_[i]] - base);
        } else {
            walk_steps_[i] = 0;
        }
    }
    const std::span<SignedEdge> cells = spanner.embeddings.reset_walks(order_, walk_steps_);
    unwalked_.clear();
    std::size_t at = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t f = edge_to_spanner[order_[i]];
        if (f != NO_INDEX) {
            cells[at++] = SignedEdge{f, 1};
            continue;
        }
        const std::size_t steps = walk_steps_[i];
        if (lca_[i] >= n || !climb(tree, i, walk_up_[i], cells.subspan(at, steps))) {
            unwalked_.push_back(i);
        }
        at += steps;
    }
    for (const std::size_t i : unwalked_) write_embedding_walked(tree, i);
}

// The general form of an embedding: the tree path found by walking, mapped
// to spanner edges, or the edge itself when no such path exists.
void DeterministicDynamicSpanner::write_embedding_walked(const LowStretchTree& tree,
                                                         std::size_t i) {
    const std::uint64_t id = order_[i];
    auto& embeddings = spanner.embeddings;
    embeddings.open(id);
    if (tree.path_edges_into(tails_[i], heads_[i], tails_, heads_, path_)) {
        bool mapped = true;
        for (const SignedEdge& p : path_) {
            const std::uint64_t f = edge_to_spanner[order_[p.first]];
            if (f == NO_INDEX) {
                mapped = false;
                break;
            }
            embeddings.push(SignedEdge{f, p.second});
        }
        if (mapped) return;
    }
    carry(id);
    const SignedEdge carrier{edge_to_spanner[id], 1};
    embeddings.assign(id, std::span<const SignedEdge>(&carrier, 1));
}

bool DeterministicDynamicSpanner::update_edge_values(std::uint64_t e, double length,
                                                     double gradient) {
    if (e >= edges.size() || !edges[e].active) return false;
    edges[e].length = length;
    edges[e].gradient = gradient;
    const std::uint64_t f = e < edge_to_spanner.size() ? edge_to_spanner[e] : NO_INDEX;
    if (f != NO_INDEX && f < spanner.edges.size() && spanner.edges[f].active) {
        SpannerEdge& s = spanner.edges[f];
        const double old_length = s.length, old_gradient = s.gradient;
        auto& acc = spanner.instability.accumulated;
        if (!acc.empty()) {
            if (length > 0.0 && old_length > 0.0) {
                acc[0] += std::fabs(std::log(larger_quotient(length, old_length)));
            }
            const double d = gradient - old_gradient;
            if (d != 0.0 && !std::isnan(d)) {
                acc[0] += std::fabs(d) * std::max(std::fabs(old_length), 1.0);
            }
        }
        s.length = length;
        s.gradient = gradient;
    }
    if (++updates_since_rebuild >= rebuild_period) {
        rebuild();
        updates_since_rebuild = 0;
    }
    return true;
}

}  // namespace zelk
