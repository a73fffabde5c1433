#include "spanner/decremental_spanner.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "index_types.hpp"

namespace zelk {

namespace {

inline std::uint64_t pair_key(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
    return (lo << 32) | (hi & 0xFFFFFFFFULL);
}

}  // namespace

DecrementalResult<DecrementalSpanner> DecrementalSpanner::create(
    std::uint64_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, const DecrementalSpannerConfig& config) {
    DecrementalSpanner s;
    s.config = config;
    auto r = s.rebuild_from_edges(n, tails, heads, lengths);
    if (!r) return std::unexpected(std::move(r.error()));
    return s;
}

DecrementalResult<void> DecrementalSpanner::rebuild_from_edges(std::uint64_t n,
                                                               std::span<const NodeIndex> tails,
                                                               std::span<const NodeIndex> heads,
                                                               std::span<const double> lengths) {
    layers.clear();
    layer_sets.clear();
    pair_slot_.clear();
    pair_offsets_.clear();
    pair_entries_.clear();
    build_layers(n, tails, heads, lengths);
    index_pair_edges();
    return check_edge_budget();
}

// Layer 0 over the edges, then each next layer over the previous one's
// clusters, up to config.layer_count layers.
void DecrementalSpanner::build_layers(std::uint64_t n, std::span<const NodeIndex> tails,
                                      std::span<const NodeIndex> heads,
                                      std::span<const double> lengths) {
    layers.push_back(build_layer(n, tails, heads, lengths, config.deterministic));
    layer_sets.emplace_back();

    // Contracted edge lists, reused across layers. The map sends a cluster
    // pair to its position in the lists, so the lists run in first-seen
    // order, which is the map's iteration order here.
    std::vector<std::uint32_t> ct, ch;
    std::vector<double> cl;
    U64HashMap<std::uint64_t> slot_of_pair;
    while (layers.size() < config.layer_count) {
        const GraphLayer& last = layers.back();
        ct.clear();
        ch.clear();
        cl.clear();
        slot_of_pair.clear();
        std::uint64_t largest = 0;
        bool any = false;
        for (const LayerEdge& e : last.edges) {
            if (!e.active) continue;
            const std::uint64_t a = e.u < last.cluster.size() ? last.cluster[e.u] : e.u;
            const std::uint64_t b = e.v < last.cluster.size() ? last.cluster[e.v] : e.v;
            if (a == b) continue;
            const std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
            auto [slot, fresh] = slot_of_pair.try_emplace(pair_key(lo, hi));
            if (fresh) {
                *slot = ct.size();
                ct.push_back(static_cast<std::uint32_t>(lo));
                ch.push_back(static_cast<std::uint32_t>(hi));
                cl.push_back(e.length);
                largest = any ? std::max(largest, hi) : hi;
                any = true;
            } else if (e.length < cl[*slot]) {
                cl[*slot] = e.length;
            }
        }
        const std::uint64_t next_n = any ? largest + 1 : 1;
        layers.push_back(build_layer(next_n, ct, ch, cl, config.deterministic));
        layer_sets.emplace_back();
    }
}

// pair_edges of layer 0 as flat lists in identifier order.
void DecrementalSpanner::index_pair_edges() {
    const GraphLayer& base = layers.front();
    pair_slot_.reserve(base.edges.size());
    std::vector<std::uint64_t> slot_of_edge(base.edges.size());
    for (std::size_t f = 0; f < base.edges.size(); ++f) {
        auto [slot, fresh] = pair_slot_.try_emplace(pair_key(base.edges[f].u, base.edges[f].v));
        if (fresh) {
            *slot = pair_offsets_.size();
            pair_offsets_.push_back(0);
        }
        slot_of_edge[f] = *slot;
        ++pair_offsets_[*slot];
    }
    // Counts to start offsets, then fill (identifier order is kept).
    std::size_t running = 0;
    for (std::size_t& c : pair_offsets_) {
        const std::size_t count = c;
        c = running;
        running += count;
    }
    pair_offsets_.push_back(running);
    pair_entries_.resize(running);
    std::vector<std::size_t> cursor(pair_offsets_.begin(), pair_offsets_.end() - 1);
    for (std::size_t f = 0; f < base.edges.size(); ++f) {
        pair_entries_[cursor[slot_of_edge[f]]++] = f;
    }
}

// The kept edges of all layers stay within edge_factor * n.
DecrementalResult<void> DecrementalSpanner::check_edge_budget() const {
    const GraphLayer& base = layers.front();
    std::uint64_t kept = 0;
    for (const GraphLayer& layer : layers) kept += layer.spanner_edges.size();
    const std::uint64_t factor = std::max<std::uint64_t>(config.edge_factor, 1);
    const std::uint64_t nodes = std::max<std::uint64_t>(base.node_count, 1);
    std::uint64_t budget;
    if (__builtin_mul_overflow(factor, nodes, &budget)) budget = NO_INDEX;
    if (kept > budget) {
        return std::unexpected(
            DecrementalSpannerError{DecrementalSpannerError::Kind::EdgeBudgetExceeded,
                                    "spanner edges " + std::to_string(kept) + " exceed " +
                                        std::to_string(config.edge_factor) +
                                        " * n (n=" + std::to_string(base.node_count) + ")"});
    }
    if (config.recourse_denominator == 0) {
        return std::unexpected(DecrementalSpannerError{
            DecrementalSpannerError::Kind::RecourseExponentMismatch, "recourse exponent mismatch"});
    }
    return {};
}

std::span<const std::uint64_t> DecrementalSpanner::pair_edges(std::uint64_t a,
                                                              std::uint64_t b) const {
    const std::uint64_t* slot = pair_slot_.find(pair_key(a, b));
    if (slot == nullptr) return {};
    return std::span<const std::uint64_t>(pair_entries_)
        .subspan(pair_offsets_[*slot], pair_offsets_[*slot + 1] - pair_offsets_[*slot]);
}

std::optional<std::vector<SignedEdge>> DecrementalSpanner::embed_path(std::uint64_t u,
                                                                      std::uint64_t v) {
    if (layers.empty()) return std::nullopt;
    const GraphLayer& g = layers.front();
    const std::uint64_t n = g.node_count;
    if (u >= n || v >= n) return std::nullopt;
    if (u == v) return std::vector<SignedEdge>{};
    if (mark_.size() < n) {
        mark_.assign(n, 0);
        pred_node_.resize(n);
        pred_edge_.resize(n);
        generation_ = 0;
    }
    if (++generation_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        generation_ = 1;
    }
    queue_.clear();
    queue_.push_back(u);
    mark_[u] = generation_;
    bool found = false;
    for (std::size_t head = 0; head < queue_.size() && !found; ++head) {
        const std::uint64_t x = queue_[head];
        if (x == v) {
            found = true;
            break;
        }
        for (std::uint64_t f : g.spanner_adjacency(x)) {
            if (f >= g.edges.size()) return std::nullopt;
            const LayerEdge& e = g.edges[f];
            if (!e.active) continue;
            const std::uint64_t y = e.u == x ? e.v : e.u;
            if (y >= n || mark_[y] == generation_) continue;
            mark_[y] = generation_;
            pred_node_[y] = x;
            pred_edge_[y] = f;
            queue_.push_back(y);
        }
    }
    if (mark_[v] != generation_) return std::nullopt;
    std::vector<SignedEdge> walk;
    for (std::uint64_t y = v; y != u; y = pred_node_[y]) walk.emplace_back(pred_edge_[y], 1);
    std::reverse(walk.begin(), walk.end());
    for (const SignedEdge& p : walk) {
        if (p.first >= edge_use.size()) edge_use.resize(p.first + 1, 0);
        if (edge_use[p.first] != NO_INDEX) ++edge_use[p.first];
    }
    return walk;
}

DecrementalResult<DecrementalSpanner> build_spanner_on_core(
    const ContractedGraph& graph, const LSForest& forest, const DecrementalSpannerConfig& config) {
    auto built = DecrementalSpanner::create(graph.node_count, graph.tails, graph.heads,
                                            graph.lengths, config);
    if (!built) return built;
    DecrementalSpanner& s = *built;
    const GraphLayer& base = s.layers.front();
    std::vector<std::uint64_t> nodes;
    for (std::size_t c = 0; c < graph.members.size(); ++c) {
        const auto& members = graph.members[c];
        if (members.size() < 2) continue;
        // Only the walk of the last member with a forest path survives, and
        // one search from the representative answers every member's path.
        const std::uint64_t r = members.front();
        forest.search_all_from(r);
        std::size_t last = 0;
        for (std::size_t j = members.size() - 1; j >= 1; --j) {
            if (forest.reached(members[j])) {
                last = j;
                break;
            }
        }
        if (last == 0) continue;
        forest.path_from_source(members[last], nodes);
        EmbeddingPath walk;
        for (std::size_t j = 0; j + 1 < nodes.size(); ++j) {
            for (std::uint64_t f : s.pair_edges(nodes[j], nodes[j + 1])) {
                if (f < base.edges.size() && base.edges[f].active) {
                    walk.edges.emplace_back(f, 1);
                    break;
                }
            }
        }
        s.cluster_paths[c] = std::move(walk);
    }
    return built;
}

}  // namespace zelk
