// LSForest, build_layer, DecrementalSpanner and build_spanner_on_core on
// random multigraphs: cluster and layer invariants, contraction, and walks
// that are shortest over the kept edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "random_edge_graphs.hpp"
#include "spanner/decremental_spanner.hpp"
#include "spanner/graph_layer.hpp"
#include "spanner/ls_forest.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/union_find.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::FAR;
using zelk::testing::hop_distances;
using zelk::testing::random_edge_graph;

namespace {

using Key = std::pair<std::uint64_t, std::uint64_t>;

std::vector<std::uint64_t> to_vec(std::span<const std::uint64_t> s) { return {s.begin(), s.end()}; }

DecrementalSpannerConfig config_with_layers(std::uint64_t layers, bool det = true) {
    DecrementalSpannerConfig c;
    c.layer_count = layers;
    c.deterministic = det;
    return c;
}

}  // namespace

TEST(DecrementalSpanner, ClusterLimit) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 0}, {1, 0}, {2, 0}, {3, 1}, {7, 1}, {8, 2}, {20, 2}, {21, 3}, {100, 4}};
    for (auto [n, limit] : cases) EXPECT_EQ(cluster_limit(n), limit) << n;
}

TEST(DecrementalSpanner, BuildLayerInvariants) {
    std::mt19937_64 rng(3);
    const std::uint64_t sizes[] = {0, 1, 2, 3, 8, 20, 60};
    for (int round = 0; round < 42; ++round) {
        const std::uint64_t n = sizes[round % 7];
        // Some endpoints beyond n: kept as edges, listed nowhere.
        EdgeGraph g = random_edge_graph(rng, n + 2, rng() % (3 * n + 4), 1 + rng() % 2);
        if (round % 5 == 0) g.lengths.resize(g.m() / 2);  // missing lengths count as 1.0
        const bool det = round % 2 == 0;
        const GraphLayer l = build_layer(n, g.tails, g.heads, g.lengths, det);
        const GraphLayer again = build_layer(n, g.tails, g.heads, g.lengths, det);
        EXPECT_EQ(l.cluster, again.cluster);
        EXPECT_EQ(l.spanner_edges, again.spanner_edges);
        EXPECT_EQ(l.node_count, n);
        EXPECT_TRUE(l.layer_adjacency(n).empty());
        ASSERT_EQ(l.edges.size(), g.m());
        for (std::size_t e = 0; e < g.m(); ++e) {
            EXPECT_EQ(l.edges[e].length, e < g.lengths.size() ? g.lengths[e] : 1.0);
            EXPECT_TRUE(l.edges[e].active);
        }
        // Kept edges are distinct, and each node's kept list holds exactly
        // its kept edges; every node keeps at least two of its edges.
        std::vector<bool> kept(g.m(), false);
        for (auto f : l.spanner_edges) {
            ASSERT_LT(f, g.m());
            EXPECT_FALSE(kept[f]);
            kept[f] = true;
        }
        for (std::uint64_t x = 0; x < n; ++x) {
            std::vector<std::uint64_t> own, own_kept;
            for (std::size_t f = 0; f < g.m(); ++f) {
                const int ends = (g.tails[f] == x) + (g.heads[f] == x);
                for (int k = 0; k < ends && g.tails[f] < n && g.heads[f] < n; ++k) own.push_back(f);
                for (int k = 0; k < ends && kept[f]; ++k) own_kept.push_back(f);
            }
            auto layer = to_vec(l.layer_adjacency(x)), span = to_vec(l.spanner_adjacency(x));
            std::sort(layer.begin(), layer.end());
            std::sort(span.begin(), span.end());
            EXPECT_EQ(layer, own);
            EXPECT_EQ(span, own_kept);
            EXPECT_GE(span.size(), std::min<std::size_t>(2, own.size()));
        }
        // Clusters are bounded in size and connected inside themselves.
        const std::uint64_t cap = std::max<std::uint64_t>(cluster_limit(n), 1);
        std::map<std::uint64_t, std::uint64_t> sizes_of;
        for (auto c : l.cluster) ++sizes_of[c];
        for (auto [c, s] : sizes_of) EXPECT_LE(s, cap);
        EXPECT_LE(l.spanner_edges.size(), 2 * n + sizes_of.size());
        UnionFind inside(n);
        std::uint64_t joins = 0;
        for (std::size_t f = 0; f < g.m(); ++f) {
            if (g.tails[f] < n && g.heads[f] < n &&
                l.cluster[g.tails[f]] == l.cluster[g.heads[f]]) {
                joins += inside.unite(g.tails[f], g.heads[f]) ? 1 : 0;
            }
        }
        EXPECT_EQ(joins, n - sizes_of.size());
    }
}

TEST(DecrementalSpanner, LayersContractClusters) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 16; ++round) {
        const std::uint64_t n = 8 + rng() % 40;
        EdgeGraph g = random_edge_graph(rng, n, 2 * n + rng() % n, 1 + rng() % 3);
        auto s = DecrementalSpanner::create(n, g.tails, g.heads, g.lengths,
                                            config_with_layers(3, round % 2 == 0));
        ASSERT_TRUE(s.has_value());
        ASSERT_EQ(s->layers.size(), 3u);
        ASSERT_EQ(s->layer_sets.size(), 3u);
        for (std::size_t k = 1; k < 3; ++k) {
            const GraphLayer& below = s->layers[k - 1];
            std::map<Key, double> expect;
            std::uint64_t largest = 0;
            bool any = false;
            for (const LayerEdge& e : below.edges) {
                const auto a = below.cluster[e.u], b = below.cluster[e.v];
                if (a == b) continue;
                const Key key{std::min(a, b), std::max(a, b)};
                auto [it, fresh] = expect.emplace(key, e.length);
                if (!fresh) it->second = std::min(it->second, e.length);
                largest = std::max(largest, key.second);
                any = true;
            }
            const GraphLayer& l = s->layers[k];
            EXPECT_EQ(l.node_count, any ? largest + 1 : 1);
            std::map<Key, double> got;
            for (const LayerEdge& e : l.edges) {
                EXPECT_LT(e.u, e.v);
                EXPECT_TRUE(got.emplace(Key{e.u, e.v}, e.length).second);
            }
            EXPECT_EQ(got, expect);
        }
        // pair_edges: every layer-0 edge under its unordered pair, in order.
        std::map<Key, std::vector<std::uint64_t>> pairs;
        for (std::size_t f = 0; f < g.m(); ++f) {
            const auto [lo, hi] = std::minmax(g.tails[f], g.heads[f]);
            pairs[{lo, hi}].push_back(f);
        }
        for (auto& [k, ids] : pairs) {
            EXPECT_EQ(to_vec(s->pair_edges(k.first, k.second)), ids);
            EXPECT_EQ(to_vec(s->pair_edges(k.second, k.first)), ids);
        }
        EXPECT_TRUE(s->pair_edges(n + 5, n + 6).empty());
    }
    // layer_count 0 or 1: layer 0 only; a layer without inter-cluster edges
    // contracts to one node without edges.
    EdgeGraph loops;
    loops.n = 4;
    loops.add(1, 1, 1.0);
    for (std::uint64_t layers : {0u, 1u}) {
        auto s = DecrementalSpanner::create(4, loops.tails, loops.heads, loops.lengths,
                                            config_with_layers(layers));
        EXPECT_EQ(s->layers.size(), 1u);
    }
    auto s = DecrementalSpanner::create(4, loops.tails, loops.heads, loops.lengths,
                                        config_with_layers(2));
    ASSERT_EQ(s->layers.size(), 2u);
    EXPECT_EQ(s->layers[1].node_count, 1u);
    EXPECT_TRUE(s->layers[1].edges.empty());
}

TEST(DecrementalSpanner, EmbedPathIsBreadthFirstOverKeptEdges) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 20; ++round) {
        const std::uint64_t n = 2 + rng() % 30;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (3 * n), 1 + rng() % 2);
        auto s = DecrementalSpanner::create(n, g.tails, g.heads, g.lengths,
                                            config_with_layers(2, round % 2 == 0));
        ASSERT_TRUE(s.has_value());
        const GraphLayer& l = s->layers[0];
        const auto d = hop_distances(n, [&](std::uint64_t x) {
            std::vector<std::uint64_t> out;
            for (auto f : l.spanner_adjacency(x))
                out.push_back(l.edges[f].u == x ? l.edges[f].v : l.edges[f].u);
            return out;
        });
        std::vector<std::uint64_t> use(g.m(), 0);
        for (int q = 0; q < 30; ++q) {
            const std::uint64_t u = rng() % (n + 1), v = rng() % (n + 1);
            auto got = s->embed_path(u, v);
            const bool reachable = u < n && v < n && d[u][v] < FAR;
            ASSERT_EQ(got.has_value(), reachable) << u << " " << v;
            if (!got) continue;
            EXPECT_EQ(got->size(), d[u][v]);
            std::uint64_t at = u;
            for (auto [f, sign] : *got) {
                EXPECT_EQ(sign, 1);
                ASSERT_TRUE(l.edges[f].u == at || l.edges[f].v == at);
                EXPECT_TRUE(std::ranges::find(l.spanner_edges, f) != l.spanner_edges.end());
                at = l.edges[f].u == at ? l.edges[f].v : l.edges[f].u;
                ++use[f];
            }
            EXPECT_EQ(at, v);
        }
        for (std::size_t f = 0; f < g.m(); ++f) EXPECT_EQ(s->edge_use_of(f), use[f]);
    }
    EdgeGraph g;
    g.n = 3;
    g.add(0, 1, 1.0);
    auto s = DecrementalSpanner::create(3, g.tails, g.heads, g.lengths, config_with_layers(1));
    EXPECT_EQ(s->embed_path(1, 1), std::vector<SignedEdge>{});
    EXPECT_EQ(s->edge_use_of(0), 0u);
    EXPECT_FALSE(s->embed_path(0, 2).has_value());
    EXPECT_FALSE(s->embed_path(0, 3).has_value());
    EXPECT_EQ(s->embed_path(1, 0), (std::vector<SignedEdge>{{0, 1}}));  // sign not recorded
    s->layers[0].edges[0].active = false;
    EXPECT_FALSE(s->embed_path(1, 0).has_value());
}

TEST(DecrementalSpanner, InternalErrorsAreReturned) {
    EdgeGraph g;
    g.n = 5;
    for (std::uint32_t a = 0; a < 5; ++a) {
        for (std::uint32_t b = a + 1; b < 5; ++b) g.add(a, b, 1.0);
    }
    DecrementalSpannerConfig c = config_with_layers(1);
    c.edge_factor = 1;
    const GraphLayer l = build_layer(5, g.tails, g.heads, g.lengths, true);
    ASSERT_GT(l.spanner_edges.size(), 5u);
    auto s = DecrementalSpanner::create(5, g.tails, g.heads, g.lengths, c);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind, DecrementalSpannerError::Kind::EdgeBudgetExceeded);
    EXPECT_EQ(s.error().message,
              "spanner edges " + std::to_string(l.spanner_edges.size()) + " exceed 1 * n (n=5)");
    c.edge_factor = 0;  // budget max(0, 1) * n, message keeps the configured 0
    EXPECT_EQ(DecrementalSpanner::create(5, g.tails, g.heads, g.lengths, c).error().message,
              "spanner edges " + std::to_string(l.spanner_edges.size()) + " exceed 0 * n (n=5)");
    c.edge_factor = 8;
    c.recourse_denominator = 0;
    auto r = DecrementalSpanner::create(5, g.tails, g.heads, g.lengths, c);
    EXPECT_EQ(r.error().kind, DecrementalSpannerError::Kind::RecourseExponentMismatch);
    EXPECT_EQ(r.error().message, "recourse exponent mismatch");
}

TEST(LSForest, PathsMatchBreadthFirstSearch) {
    std::mt19937_64 rng(41);
    for (int round = 0; round < 24; ++round) {
        const std::uint64_t n = 1 + rng() % 25;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (2 * n + 1), 1 + rng() % 3);
        // Kruskal forests, and arbitrary masks that may hold cycles.
        TreeResult<LowStretchTree> t;
        if (round % 2 == 0) {
            t = LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths, true,
                                                            0);
        } else {
            std::vector<bool> mask(g.m());
            for (std::size_t e = 0; e < g.m(); ++e) mask[e] = rng() % 3 != 0;
            t = LowStretchTree::build_from_tree_edges(n, g.tails, g.heads, g.lengths, mask);
        }
        ASSERT_TRUE(t.has_value());
        const LSForest f = LSForest::from_tree(*t, g.tails, g.heads, g.lengths);
        EXPECT_EQ(f.node_count, n);
        std::vector<std::vector<std::uint64_t>> adj(n);
        for (std::size_t e = 0; e < g.m(); ++e) {
            if (!t->in_tree[e]) continue;
            adj[g.tails[e]].push_back(g.heads[e]);
            adj[g.heads[e]].push_back(g.tails[e]);
        }
        for (std::uint64_t x = 0; x < n; ++x) EXPECT_EQ(f.neighbours(x).size(), adj[x].size());
        // A forest exactly when no listed edge joins two nodes already joined.
        std::vector<std::uint64_t> rep(n);
        for (std::uint64_t x = 0; x < n; ++x) rep[x] = x;
        auto find = [&](std::uint64_t x) {
            while (rep[x] != x) x = rep[x];
            return x;
        };
        bool acyclic = true;
        for (std::size_t e = 0; e < g.m(); ++e) {
            if (!t->in_tree[e]) continue;
            const std::uint64_t a = find(g.tails[e]), b = find(g.heads[e]);
            if (a == b) acyclic = false;
            rep[a] = b;
        }
        EXPECT_EQ(f.is_forest(), acyclic) << round;
        const auto d = hop_distances(n, [&](std::uint64_t x) { return adj[x]; });
        for (std::uint64_t u = 0; u <= n; ++u) {
            for (std::uint64_t v = 0; v <= n; ++v) {
                // A shortest chain of forest neighbours from u to v, if any.
                const auto p = f.path_between(u, v);
                const bool reachable = u < n && v < n && d[u][v] < FAR;
                ASSERT_EQ(p.has_value(), reachable) << u << " " << v;
                if (!p) continue;
                if (u == v) {
                    EXPECT_TRUE(p->empty());
                    continue;
                }
                ASSERT_EQ(p->size(), d[u][v] + 1);
                EXPECT_EQ(p->front(), u);
                EXPECT_EQ(p->back(), v);
                for (std::size_t k = 0; k + 1 < p->size(); ++k) {
                    EXPECT_TRUE(std::ranges::find(adj[(*p)[k]], (*p)[k + 1]) != adj[(*p)[k]].end());
                }
            }
            // One full search answers every target the same way.
            f.search_all_from(u);
            std::vector<std::uint64_t> out;
            for (std::uint64_t v = 0; v < n && u < n; ++v) {
                auto ref = f.path_between(u, v);
                f.search_all_from(u);
                EXPECT_EQ(f.reached(v), ref.has_value());
                if (ref && u != v) {
                    f.path_from_source(v, out);
                    EXPECT_EQ(out, *ref);
                }
            }
        }
    }
}

TEST(DecrementalSpanner, CorePathsFollowTheForest) {
    std::mt19937_64 rng(53);
    for (int round = 0; round < 12; ++round) {
        // Forest and contracted graph over the same nodes, so that the
        // forest's node pairs name contracted edges.
        const std::uint64_t n = 2 + rng() % 20;
        EdgeGraph g = random_edge_graph(rng, n, n + rng() % (2 * n), 1 + rng() % 2);
        auto t =
            LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths, true, 0);
        const LSForest f = LSForest::from_tree(*t, g.tails, g.heads, g.lengths);
        ContractedGraph cg;
        cg.tails = g.tails;
        cg.heads = g.heads;
        cg.lengths = g.lengths;
        cg.node_count = n;
        cg.members.resize(1 + rng() % 4);
        for (std::uint64_t x = 0; x < n; ++x) cg.members[rng() % cg.members.size()].push_back(x);
        auto s = build_spanner_on_core(cg, f, config_with_layers(2));
        ASSERT_TRUE(s.has_value());
        for (std::size_t c = 0; c < cg.members.size(); ++c) {
            const auto& mem = cg.members[c];
            std::optional<std::vector<SignedEdge>> expect;
            for (std::size_t j = 1; j < mem.size(); ++j) {
                auto p = f.path_between(mem[0], mem[j]);
                if (!p) continue;
                std::vector<SignedEdge> walk;
                for (std::size_t k = 0; k + 1 < p->size(); ++k) {
                    for (auto e : s->pair_edges((*p)[k], (*p)[k + 1])) {
                        walk.emplace_back(e, 1);
                        break;
                    }
                }
                expect = walk;
            }
            const EmbeddingPath* got = s->cluster_paths.find(c);
            ASSERT_EQ(got != nullptr, expect.has_value()) << c;
            if (got) {
                EXPECT_EQ(got->edges, *expect);
            }
        }
    }
}
