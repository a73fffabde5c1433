#include "spanner/deterministic_dynamic_spanner.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "index_types.hpp"
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
    bool same_positions = sort_active_edges();

    // A fresh spanner; the walks of the last one are rewritten in place.
    spanner.reset_keeping_embeddings(node_count);
    edge_to_spanner.assign(edges.size(), NO_INDEX);
    if (order_.empty()) {
        spanner.embeddings.clear();
        walks_valid_ = false;
        return;
    }

    // The deterministic Kruskal tree over |length|, in sorted positions.
    same_positions = fill_positions(same_positions);
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
    // walk of an edge left out both times is the stored one.
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
// the key list changed. True when the last walks may still stand.
bool DeterministicDynamicSpanner::sort_active_edges() {
    // Value updates leave the keys alone, so most rebuilds find the last key
    // list: compare with it in passing before writing a new one.
    std::size_t matched = 0;
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (!edges[e].active) continue;
        const std::uint64_t lo = std::min(edges[e].u, edges[e].v);
        const std::uint64_t hi = std::max(edges[e].u, edges[e].v);
        if (matched == sorted_from_.size() ||
            sorted_from_[matched] !=
                std::pair<std::uint64_t, std::uint64_t>((lo << 32) | (hi & 0xFFFFFFFFULL), e)) {
            matched = NO_INDEX;
            break;
        }
        ++matched;
    }
    if (matched == sorted_from_.size()) return walks_valid_;

    keyed_.clear();
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (!edges[e].active) continue;
        const std::uint64_t lo = std::min(edges[e].u, edges[e].v);
        const std::uint64_t hi = std::max(edges[e].u, edges[e].v);
        keyed_.emplace_back((lo << 32) | (hi & 0xFFFFFFFFULL), e);
    }
    bool same_positions = walks_valid_;
    if (keyed_ != sorted_from_) {
        same_positions = false;
        sorted_from_ = keyed_;
        std::sort(keyed_.begin(), keyed_.end());
        order_.resize(keyed_.size());
        for (std::size_t i = 0; i < keyed_.size(); ++i) order_[i] = keyed_[i].second;
    }
    return same_positions;
}

// The sorted edges' endpoints and |length| by position; true when the
// endpoints at every position are the last rebuild's.
bool DeterministicDynamicSpanner::fill_positions(bool same_positions) {
    const std::size_t k = order_.size();
    same_positions = same_positions && tails_.size() == k;
    tails_.resize(k);
    heads_.resize(k);
    lengths_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const SpannerEdge& e = edges[order_[i]];
        const auto u = static_cast<std::uint32_t>(e.u), v = static_cast<std::uint32_t>(e.v);
        same_positions = same_positions && tails_[i] == u && heads_[i] == v;
        tails_[i] = u;
        heads_[i] = v;
        lengths_[i] = std::fabs(e.length);
    }
    return same_positions;
}

void DeterministicDynamicSpanner::carry(std::uint64_t id) {
    const SpannerEdge& e = edges[id];
    edge_to_spanner[id] = spanner.insert_edge_with_values(e.u, e.v, e.length, e.gradient);
}

// Tree edges first, then edges stretched beyond the factor (or without a
// usable tree path). The lowest common ancestors depend on the tree's shape
// alone: over the same tree and positions the last rebuild's stand.
void DeterministicDynamicSpanner::carry_edges(const LowStretchTree& tree, bool same_tree) {
    const std::size_t k = order_.size();
    spanner.reserve_edges(k);
    for (std::size_t i = 0; i < k; ++i) {
        if (tree.in_tree[i]) carry(order_[i]);
    }
    const bool kept_lca = same_tree && lca_.size() == k;
    lca_.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t id = order_[i];
        if (edge_to_spanner[id] != NO_INDEX) continue;
        const SpannerEdge& e = edges[id];
        const double dt = tree.dist[tails_[i]], dh = tree.dist[heads_[i]];
        const double limit = stretch_factor * std::fabs(e.length);
        // Distances only grow away from the roots, so no ancestor is farther
        // than the nearer endpoint and the path's length, as rounded below,
        // is at least this bound's: past the limit, the edge is carried
        // whatever its ancestor, which is then not looked up.
        if (!(e.length > 0.0) || (dt + dh) - 2.0 * std::min(dt, dh) > limit) {
            if (!kept_lca) lca_[i] = LCA_UNKNOWN;
            carry(id);
            continue;
        }
        if (!kept_lca || lca_[i] == LCA_UNKNOWN) {
            lca_[i] = tree.lca(tails_[i], heads_[i]).value_or(NO_INDEX);
        }
        const std::uint64_t l = lca_[i];
        const bool stays_out = l != NO_INDEX && dt + dh - 2.0 * tree.dist[l] <= limit;
        if (!stays_out) carry(id);
    }
    // The high-water mark of spanner insertions.
    edge_budget = std::max(edge_budget, spanner.insertions);
}

// Embeddings under snapshot identifiers. Every active edge gets one, so
// afterwards the map holds more than k walks only when edges left the
// snapshot since the last rebuild.
void DeterministicDynamicSpanner::write_embeddings(const LowStretchTree& tree, bool same_tree) {
    const std::size_t k = order_.size();
    auto& embeddings = spanner.embeddings;
    // Over a new tree every walk is rewritten: start from an empty table,
    // so that no rewritten walk leaves garbage to compact.
    if (!same_tree) embeddings.clear();
    embeddings.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        const std::uint64_t id = order_[i];
        if (same_tree && edge_to_spanner[id] == NO_INDEX && walked_carrier_[id] == NO_INDEX &&
            embeddings.contains(id)) {
            continue;
        }
        bool mapped = false;
        if (edge_to_spanner[id] == NO_INDEX) {
            embeddings.open(id);
            if (tree.path_edges_into(tails_[i], heads_[i], tails_, heads_, path_)) {
                mapped = true;
                for (const SignedEdge& p : path_) {
                    const std::uint64_t f = edge_to_spanner[order_[p.first]];
                    if (f == NO_INDEX) {
                        mapped = false;
                        break;
                    }
                    embeddings.push(SignedEdge{f, p.second});
                }
            }
        }
        if (!mapped) {
            if (edge_to_spanner[id] == NO_INDEX) carry(id);
            const SignedEdge carrier{edge_to_spanner[id], 1};
            embeddings.assign(id, std::span<const SignedEdge>(&carrier, 1));
        }
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
                acc[0] += std::fabs(std::log(std::max(length / old_length, old_length / length)));
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
