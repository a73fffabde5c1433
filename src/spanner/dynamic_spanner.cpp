#include "spanner/dynamic_spanner.hpp"

#include <algorithm>
#include <span>

namespace zelk {

DynamicSpanner::DynamicSpanner(std::size_t n)
    : instability(InstabilityTracker::create(1, 0.0)), node_count(n) {
    grow_nodes(n);
}

void DynamicSpanner::grow_nodes(std::size_t count) {
    if (count <= adj_head_.size()) return;
    adj_head_.resize(count, NO_INDEX);
    adj_tail_.resize(count, NO_INDEX);
}

void DynamicSpanner::insert_edges_from(std::span<const SpannerEdge> source,
                                       std::span<const std::uint64_t> ids) {
    const std::size_t first = edges.size();
    edges.resize(first + ids.size());
    adj_next_.resize(adj_next_.size() + 2 * ids.size(), NO_INDEX);
    SpannerEdge* out = edges.data() + first;
    for (std::size_t j = 0; j < ids.size(); ++j) {
        const SpannerEdge& e = source[ids[j]];
        const std::uint64_t u = e.u, v = e.v, id = first + j;
        out[j] = SpannerEdge{u, v, e.length, e.gradient, true};
        if (u >= adj_head_.size() || v >= adj_head_.size()) {
            const std::uint64_t count = std::max(u, v) + 1;
            grow_nodes(count);
            node_count = count;
        }
        append_slot(u, 2 * id);
        append_slot(v, 2 * id + 1);
    }
    insertions += ids.size();
}

void DynamicSpanner::reserve_edges(std::size_t count) {
    edges.reserve(edges.size() + count);
    adj_next_.reserve(adj_next_.size() + 2 * count);
}

void DynamicSpanner::reset_keeping_embeddings(std::size_t n) {
    edges.clear();
    // InstabilityTracker::create(1, 0.0), in place.
    instability.budget.assign(1, 0.0);
    instability.accumulated.assign(1, 0.0);
    node_count = n;
    insertions = 0;
    adj_head_.assign(n, NO_INDEX);
    adj_tail_.assign(n, NO_INDEX);
    adj_next_.clear();
    // The search scratch stays: marks older than the generation read as
    // unvisited, and every other entry is written before it is read.
}

std::vector<std::uint64_t> DynamicSpanner::adjacency_of(std::uint64_t x) const {
    std::vector<std::uint64_t> out;
    for_each_incident(x, [&](std::uint64_t f) { out.push_back(f); });
    return out;
}

bool DynamicSpanner::bfs(std::uint64_t u, std::uint64_t v) {
    const std::size_t n = static_cast<std::size_t>(node_count);
    if (mark_.size() < n) {
        mark_.resize(n, 0);
        pred_node_.resize(n);
        pred_edge_.resize(n);
    }
    if (++generation_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        generation_ = 1;
    }
    const std::uint32_t gen = generation_;
    queue_.clear();
    mark_[u] = gen;
    pred_node_[u] = NO_INDEX;
    pred_edge_[u] = NO_INDEX;
    queue_.push_back(u);
    const std::size_t edge_count = edges.size();
    // The search could stop when v is taken from the queue, but a node's
    // predecessor record is fixed when it is first reached, and so are those
    // of all nodes reached before it, so the walk back from v is already
    // final when v is reached: stopping there gives the same walk and skips
    // scanning the rest of the frontier.
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        const std::uint64_t x = queue_[head];
        if (x == v) return true;
        if (x >= adj_head_.size()) continue;
        for (std::uint64_t s = adj_head_[x]; s != NO_INDEX; s = adj_next_[s]) {
            const std::uint64_t f = s >> 1;
            if (f >= edge_count) continue;
            const SpannerEdge& se = edges[f];
            if (!se.active) continue;
            std::uint64_t y;
            if (se.u == x) {
                y = se.v;
            } else if (se.v == x) {
                y = se.u;
            } else {
                continue;
            }
            // Endpoints are below node_count by construction; a record whose
            // endpoint was edited beyond it is skipped.
            if (y >= n || mark_[y] == gen) continue;
            mark_[y] = gen;
            pred_node_[y] = x;
            pred_edge_[y] = f;
            if (y == v) return true;
            queue_.push_back(y);
        }
    }
    return mark_[v] == gen;
}

std::optional<EmbeddingTable::Walk> DynamicSpanner::embed_edge_with_bfs_stored(
    std::uint64_t edge_id, std::uint64_t u, std::uint64_t v) {
    if (u >= node_count || v >= node_count || u == v) return std::nullopt;
    if (!bfs(u, v)) return std::nullopt;
    walk_.clear();
    for (std::uint64_t y = v; y != u;) {
        const std::uint64_t p = pred_node_[y];
        const std::uint64_t f = pred_edge_[y];
        const std::int8_t s =
            (edges[f].u == p && edges[f].v == y) ? std::int8_t{1} : std::int8_t{-1};
        walk_.emplace_back(f, s);
        y = p;
    }
    std::reverse(walk_.begin(), walk_.end());
    return embeddings.assign(edge_id, walk_);
}

std::optional<std::vector<SignedEdge>> DynamicSpanner::embed_edge_with_bfs(std::uint64_t edge_id,
                                                                           std::uint64_t u,
                                                                           std::uint64_t v) {
    const auto walk = embed_edge_with_bfs_stored(edge_id, u, v);
    if (!walk) return std::nullopt;
    return std::vector<SignedEdge>(walk->begin(), walk->end());
}

bool DynamicSpanner::embedding_valid(std::uint64_t edge_id) const {
    if (embeddings.empty()) return false;
    const auto walk = embeddings.find(edge_id);
    if (!walk || walk->empty()) return false;
    std::uint64_t position = NO_INDEX;
    bool first = true;
    for (const auto& [f, sign] : *walk) {
        if (sign != 1 && sign != -1) return false;
        if (f >= edges.size() || !edges[f].active) return false;
        const SpannerEdge& se = edges[f];
        const std::uint64_t from = sign == 1 ? se.u : se.v;
        const std::uint64_t to = sign == 1 ? se.v : se.u;
        if (!first && from != position) return false;
        position = to;
        first = false;
    }
    return true;
}

}  // namespace zelk
