// DeterministicDynamicSpanner: contents (a spanning forest and copied
// edges), embeddings that close, value updates and the rebuild period.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "random_edge_graphs.hpp"
#include "spanner/deterministic_dynamic_spanner.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/union_find.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace {

DeterministicDynamicSpanner synced(const EdgeGraph& g, const std::vector<double>& grad,
                                   double factor = 4.0) {
    DeterministicDynamicSpanner s;
    s.stretch_factor = factor;
    s.sync_snapshot(g.n, g.tails, g.heads, g.lengths, grad);
    return s;
}

// Follows a walk of spanner edges from `from`; the end node, or NO_INDEX
// when a step does not start where the previous one ended.
std::uint64_t walk_end(const DynamicSpanner& sp, const std::vector<SignedEdge>& walk,
                       std::uint64_t from) {
    std::uint64_t at = from;
    for (auto [f, s] : walk) {
        const SpannerEdge& e = sp.edges[f];
        const std::uint64_t a = s > 0 ? e.u : e.v, b = s > 0 ? e.v : e.u;
        if (a != at) return NO_INDEX;
        at = b;
    }
    return at;
}

// The same spanner edges, edge map and walks as a spanner built afresh;
// `where` tags the failures.
template <class... Where>
void expect_same_spanner(const DeterministicDynamicSpanner& s,
                         const DeterministicDynamicSpanner& fresh, const Where&... where) {
    std::ostringstream tag;
    ((tag << where << ' '), ...);
    const std::string at = tag.str();
    ASSERT_EQ(s.spanner.edges.size(), fresh.spanner.edges.size()) << at;
    for (std::size_t f = 0; f < s.spanner.edges.size(); ++f) {
        const SpannerEdge &a = s.spanner.edges[f], &b = fresh.spanner.edges[f];
        EXPECT_EQ(std::tie(a.u, a.v, a.length, a.gradient, a.active),
                  std::tie(b.u, b.v, b.length, b.gradient, b.active))
            << at;
    }
    EXPECT_EQ(s.edge_to_spanner, fresh.edge_to_spanner) << at;
    EXPECT_EQ(s.spanner.insertions, fresh.spanner.insertions) << at;
    ASSERT_EQ(s.spanner.node_count, fresh.spanner.node_count) << at;
    for (std::uint64_t x = 0; x < s.spanner.node_count; ++x) {
        EXPECT_EQ(s.spanner.adjacency_of(x), fresh.spanner.adjacency_of(x)) << at << " node " << x;
    }
    ASSERT_EQ(s.spanner.embeddings.size(), fresh.spanner.embeddings.size()) << at;
    for (const auto& [id, walk] : fresh.spanner.embeddings) {
        ASSERT_TRUE(s.spanner.embeddings.contains(id)) << at;
        const auto kept = s.spanner.embeddings.at(id);
        EXPECT_EQ(std::vector<SignedEdge>(kept.begin(), kept.end()),
                  std::vector<SignedEdge>(walk.begin(), walk.end()))
            << at << " " << id;
    }
}

}  // namespace

TEST(DeterministicSpanner, ContentsSpanAndEveryEdgeIsEmbedded) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 1 + rng() % 20;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (3 * n + 2), 1 + rng() % 3);
        for (std::size_t e = 0; e < g.m(); e += 7) g.lengths[e] = -g.lengths[e];
        if (g.m() > 3) g.lengths[3] = 0.0;
        std::vector<double> grad(g.m());
        for (double& x : grad) x = static_cast<double>(rng() % 5);
        const double factor = 1.0 + static_cast<double>(rng() % 4);
        DeterministicDynamicSpanner s = synced(g, grad, factor);

        // Each kept edge copies its graph edge; edges of non-positive length
        // are always kept, and the kept edges connect what the graph connects.
        std::size_t kept = 0;
        UnionFind all(n), spanned(n);
        for (std::size_t e = 0; e < g.m(); ++e) {
            all.unite(g.tails[e], g.heads[e]);
            const auto f = s.edge_to_spanner[e];
            if (f == NO_INDEX) {
                EXPECT_GT(g.lengths[e], 0.0) << e;
                continue;
            }
            ++kept;
            ASSERT_LT(f, s.spanner.edges.size());
            EXPECT_EQ(s.spanner.edges[f].u, g.tails[e]);
            EXPECT_EQ(s.spanner.edges[f].v, g.heads[e]);
            EXPECT_EQ(s.spanner.edges[f].length, g.lengths[e]);  // sign kept
            EXPECT_EQ(s.spanner.edges[f].gradient, grad[e]);
            spanned.unite(g.tails[e], g.heads[e]);
        }
        EXPECT_EQ(kept, s.spanner.edges.size());
        for (std::uint64_t v = 0; v < n; ++v) {
            for (std::uint64_t w = v + 1; w < n; ++w) {
                EXPECT_EQ(all.find(v) == all.find(w), spanned.find(v) == spanned.find(w));
            }
        }
        EXPECT_GE(s.edge_budget, 8 * n);
        EXPECT_GE(s.edge_budget, s.spanner.insertions);

        // Every edge has an embedding from its tail to its head.
        ASSERT_EQ(s.spanner.embeddings.size(), g.m());
        for (std::size_t e = 0; e < g.m(); ++e) {
            const auto stored = s.spanner.embeddings.at(e);
            const std::vector<SignedEdge> walk(stored.begin(), stored.end());
            if (s.edge_to_spanner[e] != NO_INDEX) {
                EXPECT_EQ(walk, (std::vector<SignedEdge>{{s.edge_to_spanner[e], 1}}));
            } else if (g.tails[e] == g.heads[e]) {
                EXPECT_TRUE(walk.empty());
            } else {
                EXPECT_TRUE(s.spanner.embedding_valid(e));
                EXPECT_EQ(walk_end(s.spanner, walk, g.tails[e]), g.heads[e]);
            }
        }
    }
}

TEST(DeterministicSpanner, EdgeCasesOfTheRule) {
    // Two parallel edges with one key: identifier order, and the builder's
    // tie rule decides the tree edge; the other has stretch 1 and stays out.
    EdgeGraph p;
    p.n = 2;
    p.add(1, 0, 1.0);
    p.add(0, 1, 1.0);
    DeterministicDynamicSpanner s = synced(p, {0.0, 0.0});
    EXPECT_EQ(s.spanner.edges.size(), 1u);
    auto tree =
        LowStretchTree::build_low_stretch_with_mode(2, p.tails, p.heads, p.lengths, true, 0);
    const std::uint64_t tree_edge = tree->in_tree[0] ? 0 : 1;
    EXPECT_EQ(tree_edge, 0u);  // the smaller identifier wins this tie
    EXPECT_EQ(s.edge_to_spanner[tree_edge], 0u);
    // The other edge runs along the tree edge, in its orientation.
    const auto walk = s.spanner.embeddings.at(1 - tree_edge);
    EXPECT_EQ(std::vector<SignedEdge>(walk.begin(), walk.end()),
              (std::vector<SignedEdge>{{0, static_cast<std::int8_t>(tree_edge == 1 ? 1 : -1)}}));

    // A negative length is always carried, with its sign.
    p.lengths = {1.0, -1.0};
    s = synced(p, {0.0, 0.0});
    ASSERT_EQ(s.spanner.edges.size(), 2u);
    EXPECT_EQ(s.spanner.edges[s.edge_to_spanner[1]].length, -1.0);

    // Stretch 4 exactly stays out, 4.5 goes in: a chord of length 1 over a
    // path of 8 (or 9) edges of length 0.5.
    for (std::uint32_t hops : {8u, 9u}) {
        EdgeGraph g;
        g.n = hops + 1;
        for (std::uint32_t i = 0; i < hops; ++i) g.add(i, i + 1, 0.5);
        g.add(0, hops, 1.0);
        s = synced(g, std::vector<double>(g.m(), 0.0));
        EXPECT_EQ(s.edge_to_spanner[hops] != NO_INDEX, hops == 9) << hops;
    }
}

TEST(DeterministicSpanner, SnapshotLimitsAndAPeriodThatOnlyGrows) {
    EdgeGraph g;
    g.n = 3;
    g.add(0, 1, 1.0);
    g.add(1, 2, 1.0);
    g.add(2, 0, 1.0);
    DeterministicDynamicSpanner s;
    s.sync_snapshot(3, g.tails, g.heads, g.lengths, std::vector<double>{1.0, 2.0});
    EXPECT_EQ(s.edges.size(), 2u);  // the shorter array decides
    EXPECT_EQ(s.edge_to_spanner.size(), 2u);
    EXPECT_EQ(s.rebuild_period, 2u);  // ceil(ln 3)
    const std::uint64_t budget = s.edge_budget;
    s.sync_snapshot(1, {}, {}, {}, {});
    EXPECT_EQ(s.rebuild_period, 2u);
    EXPECT_EQ(s.edge_budget, budget);
    EXPECT_TRUE(s.edges.empty() && s.spanner.edges.empty());
    EXPECT_FALSE(s.update_edge_values(0, 1.0, 1.0));
    EXPECT_EQ(s.updates_since_rebuild, 0u);
}

TEST(DeterministicSpanner, UpdatesAccumulateInstabilityAndRebuildOnPeriod) {
    // A triangle of lengths 1, 1, 3: edge 2 has stretch 2/3 and stays out.
    EdgeGraph g;
    g.n = 3;
    g.add(0, 1, 1.0);
    g.add(1, 2, 1.0);
    g.add(2, 0, 3.0);
    DeterministicDynamicSpanner s = synced(g, {0.0, 0.0, 0.0});
    ASSERT_EQ(s.edge_to_spanner[2], NO_INDEX);
    ASSERT_EQ(s.rebuild_period, 2u);
    auto total = [&] { return s.spanner.instability.accumulated[0]; };

    // Not carried: only the snapshot and the counter.
    EXPECT_TRUE(s.update_edge_values(2, 5.0, 7.0));
    EXPECT_EQ(s.edges[2].length, 5.0);
    EXPECT_EQ(s.edges[2].gradient, 7.0);
    EXPECT_EQ(total(), 0.0);
    EXPECT_EQ(s.updates_since_rebuild, 1u);

    // Out of range or inactive: false, nothing counted.
    EXPECT_FALSE(s.update_edge_values(3, 1.0, 1.0));
    s.edges[1].active = false;
    EXPECT_FALSE(s.update_edge_values(1, 1.0, 1.0));
    s.edges[1].active = true;
    EXPECT_EQ(s.updates_since_rebuild, 1u);

    // Carried: |ln 2| + |3 - 0| * max(|1|, 1); the second update rebuilds
    // (period 2), which starts a new spanner with a zero total.
    const std::uint64_t f = s.edge_to_spanner[0];
    s.updates_since_rebuild = 0;
    EXPECT_TRUE(s.update_edge_values(0, 2.0, 3.0));
    EXPECT_DOUBLE_EQ(total(), std::log(2.0) + 3.0);
    EXPECT_EQ(s.spanner.edges[f].length, 2.0);
    EXPECT_EQ(s.spanner.edges[f].gradient, 3.0);
    // A NaN gradient change and a non-positive length add nothing.
    const double before = total();
    EXPECT_TRUE(s.update_edge_values(0, -1.0, std::nan("")));
    EXPECT_EQ(s.updates_since_rebuild, 0u);  // rebuilt
    EXPECT_EQ(total(), 0.0);
    s.rebuild();
    EXPECT_TRUE(s.update_edge_values(1, -1.0, std::nan("")));
    EXPECT_EQ(total(), 0.0);
    EXPECT_GT(before, 0.0);
    // After the rebuild the negative lengths are carried edges.
    EXPECT_NE(s.edge_to_spanner[0], NO_INDEX);
}

// Rebuilds reuse the endpoint order, the last Kruskal order and the stored
// walks; after every rebuild the spanner must equal the one a fresh snapshot
// of the same values builds from scratch.
TEST(DeterministicSpanner, RebuildsEqualAFreshSnapshot) {
    std::mt19937_64 rng(404);
    for (int round = 0; round < 12; ++round) {
        EdgeGraph g = random_edge_graph(rng, 2 + rng() % 50, 10 + rng() % 300, 1 + rng() % 2);
        std::vector<double> grad(g.m());
        for (double& x : grad) x = static_cast<double>(static_cast<int>(rng() % 9) - 4);
        DeterministicDynamicSpanner s = synced(g, grad);
        for (int update = 0; update < 60; ++update) {
            const std::uint64_t e = rng() % g.m();
            // Mostly small moves (the tree survives), sometimes large ones,
            // now and then to a negative length and back.
            g.lengths[e] = rng() % 4 == 0
                               ? 0.5 * static_cast<double>(rng() % 7) * (rng() % 5 == 0 ? -1 : 1)
                               : g.lengths[e] * (1.0 + 1e-3 * static_cast<double>(rng() % 3));
            grad[e] += 0.25;
            const std::uint64_t before = s.updates_since_rebuild;
            ASSERT_TRUE(s.update_edge_values(e, g.lengths[e], grad[e]));
            if (s.updates_since_rebuild > before) continue;  // no rebuild this time
            DeterministicDynamicSpanner fresh = synced(g, grad);
            expect_same_spanner(s, fresh, round, update);
        }
    }
}

// Rebuilds after edges leave or rejoin the snapshot or move their endpoints
// or turn around (the key list changes, often at its end, or only the
// orientation at a position does) or after nothing changed: the
// spanner must equal the one a new spanner builds from the same snapshot.
TEST(DeterministicSpanner, RebuildsAfterKeyChangesEqualANewSpanner) {
    std::mt19937_64 rng(909);
    for (int round = 0; round < 16; ++round) {
        const std::uint64_t n = 2 + rng() % 30;
        EdgeGraph g = random_edge_graph(rng, n, 4 + rng() % 120, 1 + rng() % 2);
        std::vector<double> grad(g.m());
        for (double& x : grad) x = static_cast<double>(static_cast<int>(rng() % 9) - 4);
        DeterministicDynamicSpanner s = synced(g, grad);
        for (int step = 0; step < 40; ++step) {
            const std::size_t m = s.edges.size();
            // Half the changes hit the last few edges, where a shorter key
            // list is a prefix of the old one.
            const std::size_t e =
                rng() % 2 == 0 ? m - 1 - rng() % std::min<std::size_t>(m, 3) : rng() % m;
            switch (rng() % 5) {
                case 0: s.edges[e].active = !s.edges[e].active; break;
                case 1: s.edges[e].v = rng() % n; break;
                case 3: std::swap(s.edges[e].u, s.edges[e].v); break;
                case 2: s.edges[e].length = 0.5 * static_cast<double>(1 + rng() % 6); break;
                default: break;  // nothing changed
            }
            s.rebuild();
            DeterministicDynamicSpanner fresh;
            fresh.node_count = s.node_count;
            fresh.edges = s.edges;
            fresh.rebuild();
            expect_same_spanner(s, fresh, round, step);
        }
    }
}

// Over the same tree a rebuild reuses the ancestors it looked up before; an
// edge carried on its endpoints' distances alone had none looked up, and a
// larger stretch factor that needs it must find the right one. Every rebuild
// must equal a fresh snapshot with the same factor.
TEST(DeterministicSpanner, KeptAncestorsFollowTheStretchFactor) {
    std::mt19937_64 rng(505);
    for (int round = 0; round < 10; ++round) {
        EdgeGraph g = random_edge_graph(rng, 2 + rng() % 40, 10 + rng() % 200, 1 + rng() % 2);
        std::vector<double> grad(g.m());
        for (double& x : grad) x = static_cast<double>(static_cast<int>(rng() % 9) - 4);
        DeterministicDynamicSpanner s = synced(g, grad, 0.25);
        for (double factor : {64.0, 0.25, 4.0, 1e9, 1.5}) {
            s.stretch_factor = factor;
            s.rebuild();
            const DeterministicDynamicSpanner fresh = synced(g, grad, factor);
            expect_same_spanner(s, fresh, round, factor);
        }
    }
}
