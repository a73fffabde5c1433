// LowStretchTree builders and queries, UnionFind, TreeError.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "random_edge_graphs.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"
#include "trees/union_find.hpp"

using namespace zelk;

namespace {

struct G {
    std::size_t n = 0;
    std::vector<std::uint32_t> tails, heads;
    std::vector<double> lengths;
};

// Random multigraph with `components` planted blocks (so some graphs are
// disconnected), self-loops and parallel edges. Lengths are small integers
// when `integral`, else random reals.
G random_graph(std::mt19937_64& rng, std::size_t n, std::size_t m, bool integral = true) {
    G g;
    g.n = n;
    std::uniform_int_distribution<std::size_t> blocks_d(1, 3);
    const std::size_t blocks = std::min(n, blocks_d(rng));
    std::uniform_int_distribution<int> len_d(1, 5);
    std::uniform_real_distribution<double> real_d(0.1, 10.0);
    for (std::size_t i = 0; i < m; ++i) {
        std::uniform_int_distribution<std::size_t> block_d(0, blocks - 1);
        const std::size_t b = block_d(rng);
        // Nodes of block b: those with index % blocks == b.
        const std::size_t size = (n - b + blocks - 1) / blocks;
        std::uniform_int_distribution<std::size_t> pick(0, size - 1);
        std::uint32_t t = static_cast<std::uint32_t>(pick(rng) * blocks + b);
        std::uint32_t h = static_cast<std::uint32_t>(pick(rng) * blocks + b);
        if (i % 17 == 5) h = t;      // self-loop
        if (i % 13 == 7 && i > 0) {  // parallel copy of the previous edge
            t = g.tails.back();
            h = g.heads.back();
        }
        g.tails.push_back(t);
        g.heads.push_back(h);
        g.lengths.push_back(integral ? static_cast<double>(len_d(rng)) : real_d(rng));
    }
    return g;
}

std::vector<std::size_t> components(const G& g) {
    UnionFind uf(g.n);
    for (std::size_t e = 0; e < g.tails.size(); ++e) uf.unite(g.tails[e], g.heads[e]);
    std::vector<std::size_t> c(g.n);
    for (std::size_t v = 0; v < g.n; ++v) c[v] = uf.find(v);
    return c;
}

// The tree record's invariants, and "spanning forest of the graph".
void check_invariants(const G& g, const LowStretchTree& t, bool mask_is_forest = true) {
    const std::size_t n = g.n, m = g.tails.size();
    ASSERT_EQ(t.node_count(), n);
    ASSERT_EQ(t.in_tree.size(), m);
    std::size_t roots = 0;
    std::vector<bool> parent_edges(m, false);
    for (std::size_t v = 0; v < n; ++v) {
        ASSERT_NE(t.parent[v], NO_INDEX);
        if (t.parent[v] == v) {
            ++roots;
            EXPECT_EQ(t.parent_edge[v], NO_INDEX);
            EXPECT_EQ(t.depth[v], 0u);
            EXPECT_EQ(t.dist[v], 0.0);
            EXPECT_EQ(t.root[v], v);
            continue;
        }
        const auto e = t.parent_edge[v];
        const auto p = t.parent[v];
        ASSERT_LT(e, m);
        parent_edges[e] = true;
        EXPECT_TRUE((g.tails[e] == v && g.heads[e] == p) || (g.heads[e] == v && g.tails[e] == p));
        EXPECT_EQ(t.depth[v], t.depth[p] + 1);
        EXPECT_EQ(t.dist[v], t.dist[p] + g.lengths[e]);
        EXPECT_EQ(t.root[v], t.root[p]);
        EXPECT_TRUE(t.in_tree[e]);
    }
    if (mask_is_forest) {
        for (std::size_t e = 0; e < m; ++e) EXPECT_EQ(t.in_tree[e], parent_edges[e]) << e;
    }
    // One tree per connected component of the graph seen by the builder.
    const auto comp = components(g);
    std::set<std::size_t> distinct(comp.begin(), comp.end());
    if (mask_is_forest) {
        EXPECT_EQ(roots, distinct.size());
    }
    for (std::size_t v = 0; v < n; ++v) EXPECT_EQ(comp[v], comp[t.root[v]]);
    // Binary lifting table.
    std::size_t levels = 0;
    while ((n >> levels) != 0) ++levels;
    levels = std::max<std::size_t>(levels, 1);
    ASSERT_EQ(t.levels(), levels);
    ASSERT_EQ(t.up.size(), levels * n);
    for (std::size_t v = 0; v < n; ++v) EXPECT_EQ(t.up_level(0)[v], t.parent[v]);
    for (std::size_t k = 1; k < levels; ++k) {
        for (std::size_t v = 0; v < n; ++v) {
            EXPECT_EQ(t.up_level(k)[v], t.up_level(k - 1)[t.up_level(k - 1)[v]]);
        }
    }
}

std::optional<std::uint64_t> naive_lca(const LowStretchTree& t, std::uint64_t u, std::uint64_t v) {
    std::set<std::uint64_t> anc;
    for (auto x = u;; x = t.parent[x]) {
        anc.insert(x);
        if (t.parent[x] == x) break;
    }
    for (auto y = v;; y = t.parent[y]) {
        if (anc.count(y)) return y;
        if (t.parent[y] == y) break;
    }
    return std::nullopt;
}

// The signed edges chain from u to v.
void expect_walk(const std::vector<SignedEdge>& p, const G& g, std::uint64_t u, std::uint64_t v) {
    std::uint64_t at = u;
    for (auto [e, s] : p) {
        ASSERT_EQ(s == 1 ? g.tails[e] : g.heads[e], at);
        at = s == 1 ? g.heads[e] : g.tails[e];
    }
    EXPECT_EQ(at, v);
}

std::vector<std::uint32_t> u32(std::initializer_list<std::uint32_t> x) { return x; }

}  // namespace

TEST(LowStretchTree, ArgumentChecks) {
    std::vector<std::uint32_t> t{0, 1}, h{1};
    std::vector<double> l{1.0};
    // n == 0 wins over unequal arrays.
    for (bool det : {true, false}) {
        EXPECT_EQ(LowStretchTree::build_with_mode(0, t, h, l, det, 1).error(),
                  TreeError::EmptyGraph);
        EXPECT_EQ(LowStretchTree::build_low_stretch_with_mode(0, t, h, l, det, 1).error(),
                  TreeError::EmptyGraph);
        EXPECT_EQ(LowStretchTree::build_with_mode(3, t, h, l, det, 1).error(),
                  TreeError::MissingEdgeLengths);
        EXPECT_EQ(LowStretchTree::build_low_stretch_with_mode(3, t, h, l, det, 1).error(),
                  TreeError::MissingEdgeLengths);
    }
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(0, t, h, l, {true}).error(),
              TreeError::EmptyGraph);
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(3, t, h, l, {true}).error(),
              TreeError::MissingEdgeLengths);
    std::vector<std::uint32_t> h2{1, 2};
    std::vector<double> l2{1.0, 1.0};
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(3, t, h2, l2, {true}).error(),
              TreeError::MissingEdgeLengths);  // mask too short
    std::vector<std::uint64_t> order{0, 1, 2};
    EXPECT_EQ(
        LowStretchTree::build_from_tree_edges_with_order(3, t, h2, l2, {true, true, true}, order)
            .error(),
        TreeError::MissingEdgeLengths);  // mask too long
    EXPECT_TRUE(LowStretchTree::build_from_tree_edges_with_order(3, t, h2, l2, {true, true}, order)
                    .has_value());
}

TEST(LowStretchTree, NoEdges) {
    std::vector<std::uint32_t> e;
    std::vector<double> l;
    auto t = LowStretchTree::build_with_mode(4, e, e, l, true, 0);
    ASSERT_TRUE(t.has_value());
    EXPECT_TRUE(t->in_tree.empty());
    for (std::uint64_t v = 0; v < 4; ++v) {
        EXPECT_EQ(t->parent[v], v);
        EXPECT_EQ(t->root[v], v);
        EXPECT_EQ(t->parent_edge[v], NO_INDEX);
        for (std::uint64_t w = 0; w < 4; ++w) {
            if (v == w) {
                EXPECT_EQ(t->lca(v, w), v);
                EXPECT_EQ(t->path_edges(v, w, e, e)->size(), 0u);
            } else {
                EXPECT_FALSE(t->lca(v, w).has_value());
                EXPECT_FALSE(t->path_edges(v, w, e, e).has_value());
            }
        }
    }
}

TEST(LowStretchTree, WalksSpanAndRepeat) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 30; ++round) {
        const std::size_t n = 1 + rng() % 40;
        G g = random_graph(rng, n, rng() % 90, round % 2 == 0);
        // Deterministic: the seed is unused.
        auto d = LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, true, 0);
        ASSERT_TRUE(d.has_value());
        check_invariants(g, *d);
        EXPECT_EQ(LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, true, 12345)
                      ->parent_edge,
                  d->parent_edge);
        for (std::uint64_t seed : {0ULL, 0xDEADBEEFULL}) {
            auto a = LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, false, seed);
            ASSERT_TRUE(a.has_value());
            check_invariants(g, *a);
            EXPECT_EQ(LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, false, seed)
                          ->parent_edge,
                      a->parent_edge);
        }
    }
}

TEST(LowStretchTree, KruskalNaNLengthsStaySafe) {
    std::mt19937_64 rng(3);
    G g = random_graph(rng, 20, 60, false);
    for (std::size_t e = 0; e < g.lengths.size(); e += 3) g.lengths[e] = std::nan("");
    for (bool det : {true, false}) {
        auto t =
            LowStretchTree::build_low_stretch_with_mode(20, g.tails, g.heads, g.lengths, det, 9);
        ASSERT_TRUE(t.has_value());
        // Structural invariants (dist holds NaN sums, so only the forest).
        std::size_t tree_edges = 0;
        for (bool b : t->in_tree) tree_edges += b;
        const auto comp = components(g);
        EXPECT_EQ(tree_edges, 20 - std::set<std::size_t>(comp.begin(), comp.end()).size());
    }
}

TEST(LowStretchTree, KruskalRandomizedIsMinimumAndSeeded) {
    std::mt19937_64 rng(19);
    for (int round = 0; round < 20; ++round) {
        const std::size_t n = 2 + rng() % 30;
        G g = random_graph(rng, n, rng() % 100, true);
        auto det =
            LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths, true, 0);
        ASSERT_TRUE(det.has_value());
        check_invariants(g, *det);
        auto weight = [&](const LowStretchTree& t) {
            double w = 0;
            for (std::size_t e = 0; e < t.in_tree.size(); ++e)
                w += t.in_tree[e] ? g.lengths[e] : 0.0;
            return w;
        };
        for (std::uint64_t seed : {1ULL, 77ULL}) {
            auto a = LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths,
                                                                 false, seed);
            auto b = LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths,
                                                                 false, seed);
            ASSERT_TRUE(a.has_value());
            check_invariants(g, *a);
            // Integral lengths differ by at least 1, far beyond the jitter.
            EXPECT_EQ(weight(*a), weight(*det));
            // Same arguments, same tree.
            EXPECT_EQ(a->in_tree, b->in_tree);
            EXPECT_EQ(a->parent, b->parent);
        }
    }
    // All-equal lengths: different seeds pick different spanning trees.
    G g;
    g.n = 8;
    for (std::uint32_t a = 0; a < 8; ++a)
        for (std::uint32_t b = a + 1; b < 8; ++b) {
            g.tails.push_back(a);
            g.heads.push_back(b);
            g.lengths.push_back(1.0);
        }
    std::set<std::vector<bool>> seen;
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        auto t = LowStretchTree::build_low_stretch_with_mode(8, g.tails, g.heads, g.lengths, false,
                                                             seed);
        check_invariants(g, *t);
        seen.insert(t->in_tree);
    }
    EXPECT_GT(seen.size(), 1u);
}

TEST(LowStretchTree, FromTreeEdgesAndOrder) {
    std::mt19937_64 rng(23);
    for (int round = 0; round < 20; ++round) {
        const std::size_t n = 1 + rng() % 30;
        G g = random_graph(rng, n, rng() % 70, round % 2 == 1);
        auto k =
            LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths, true, 4);
        ASSERT_TRUE(k.has_value());
        auto f = LowStretchTree::build_from_tree_edges(n, g.tails, g.heads, g.lengths, k->in_tree);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->parent_edge, k->parent_edge);
        EXPECT_EQ(f->dist, k->dist);
        EXPECT_EQ(f->in_tree, k->in_tree);
        // Reversed root order (with junk entries >= n): roots are the highest
        // node of each component.
        std::vector<std::uint64_t> order;
        order.push_back(n + 5);
        for (std::size_t i = n; i-- > 0;) order.push_back(i);
        order.push_back(NO_INDEX);
        auto r = LowStretchTree::build_from_tree_edges_with_order(n, g.tails, g.heads, g.lengths,
                                                                  k->in_tree, order);
        ASSERT_TRUE(r.has_value());
        check_invariants(g, *r);
        EXPECT_EQ(r->in_tree, k->in_tree);
        const auto comp = components(g);
        for (std::size_t v = 0; v < n; ++v) {
            for (std::size_t w = v + 1; w < n; ++w) {
                if (comp[w] == comp[v]) {
                    EXPECT_GE(r->root[v], w);
                }
            }
        }
    }
    // A mask with a cycle: the walk yields a forest, in_tree keeps the mask.
    auto t = u32({0, 1, 2}), h = u32({1, 2, 0});
    std::vector<double> l{1, 1, 1};
    auto c = LowStretchTree::build_from_tree_edges(3, t, h, l, {true, true, true});
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->in_tree, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(c->parent, (std::vector<std::uint64_t>{0, 0, 0}));
}

TEST(LowStretchTree, LcaAndPathsAgainstNaiveWalk) {
    std::mt19937_64 rng(31);
    for (int round = 0; round < 20; ++round) {
        const std::size_t n = 1 + rng() % 40;
        G g = random_graph(rng, n, rng() % 120, true);
        const bool det = round % 2 == 0;
        auto t = round % 3 == 0
                     ? LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths,
                                                                   det, round)
                     : LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, det, round);
        ASSERT_TRUE(t.has_value());
        for (std::uint64_t u = 0; u < n; ++u) {
            for (std::uint64_t v = 0; v < n; ++v) {
                auto l = t->lca(u, v);
                ASSERT_EQ(l, naive_lca(*t, u, v)) << u << " " << v;
                auto p = t->path_edges(u, v, g.tails, g.heads);
                ASSERT_EQ(p.has_value(), l.has_value());
                if (!p) continue;
                EXPECT_EQ(p->size(), t->depth[u] + t->depth[v] - 2 * t->depth[*l]);
                for (auto [e, s] : *p) EXPECT_TRUE(t->in_tree[e]);
                expect_walk(*p, g, u, v);
                // Reverse direction: reversed list, negated signs.
                auto q = t->path_edges(v, u, g.tails, g.heads);
                ASSERT_TRUE(q.has_value());
                ASSERT_EQ(q->size(), p->size());
                for (std::size_t i = 0; i < p->size(); ++i) {
                    EXPECT_EQ((*q)[p->size() - 1 - i].first, (*p)[i].first);
                    EXPECT_EQ((*q)[p->size() - 1 - i].second, -(*p)[i].second);
                }
            }
        }
    }
}

TEST(LowStretchTree, EdgeStretch) {
    std::mt19937_64 rng(41);
    G g = random_graph(rng, 30, 80, false);
    g.lengths[1] = 0.0;
    g.lengths[2] = -1.0;
    auto t = LowStretchTree::build_low_stretch_with_mode(30, g.tails, g.heads, g.lengths, true, 0);
    ASSERT_TRUE(t.has_value());
    for (std::uint64_t e = 0; e < g.tails.size(); ++e) {
        auto s = t->edge_stretch(e, g.tails, g.heads, g.lengths);
        if (g.lengths[e] <= 0.0) {
            EXPECT_FALSE(s.has_value());
            continue;
        }
        ASSERT_TRUE(s.has_value());  // one component per block: endpoints share a tree
        if (t->in_tree[e]) {
            EXPECT_NEAR(*s, 1.0, 1e-12);
        }
        auto p = t->path_edges(g.tails[e], g.heads[e], g.tails, g.heads);
        double sum = 0;
        for (auto [f, sign] : *p) {
            sum += g.lengths[f];
            // Minimum spanning tree (cycle property): no path edge is longer
            // than the off-tree edge it closes.
            EXPECT_LE(g.lengths[f], g.lengths[e]);
        }
        EXPECT_NEAR(*s, sum / g.lengths[e], 1e-9);
    }
    EXPECT_FALSE(t->edge_stretch(g.tails.size(), g.tails, g.heads, g.lengths).has_value());
    // Different trees: nothing. NaN length: NaN.
    auto tt = u32({0, 2}), hh = u32({1, 3});
    std::vector<double> ll{1.0, std::nan("")};
    auto two = LowStretchTree::build_with_mode(4, tt, hh, ll, true, 0);
    auto cross = u32({0, 2, 1}), crossh = u32({1, 3, 2});
    std::vector<double> crossl{1.0, 1.0, 1.0};
    EXPECT_FALSE(two->edge_stretch(2, cross, crossh, crossl).has_value());
    auto nan_s = two->edge_stretch(1, tt, hh, ll);
    ASSERT_TRUE(nan_s.has_value());
    EXPECT_TRUE(std::isnan(*nan_s));
}

TEST(LowStretchTree, DeepTreesUseAllLiftingLevels) {
    // A long path with random branches: depths in the thousands.
    std::mt19937_64 rng(53);
    G g;
    g.n = 5000;
    for (std::uint32_t v = 1; v < g.n; ++v) {
        const std::uint32_t p = (rng() % 10 == 0) ? static_cast<std::uint32_t>(rng() % v) : v - 1;
        if (rng() % 2) {
            g.tails.push_back(p);
            g.heads.push_back(v);
        } else {
            g.tails.push_back(v);
            g.heads.push_back(p);
        }
        g.lengths.push_back(1.0);
    }
    std::vector<bool> mask(g.tails.size(), true);
    auto t = LowStretchTree::build_from_tree_edges(g.n, g.tails, g.heads, g.lengths, mask);
    ASSERT_TRUE(t.has_value());
    check_invariants(g, *t);
    EXPECT_EQ(t->levels(), 13u);
    for (int k = 0; k < 300; ++k) {
        const std::uint64_t u = rng() % g.n, v = rng() % g.n;
        const auto l = t->lca(u, v);
        ASSERT_EQ(l, naive_lca(*t, u, v));
        const auto p = t->path_edges(u, v, g.tails, g.heads);
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->size(), t->depth[u] + t->depth[v] - 2 * t->depth[*l]);
        expect_walk(*p, g, u, v);
    }
}

// The reusing Kruskal build gives the tree of the plain deterministic build
// whatever its hint: the previous order, a shuffled or garbage one, lengths
// drifting a little or a lot, ties, and NaN lengths (then the hint empties).
TEST(LowStretchTree, KruskalReusingEqualsPlainBuildForAnyHint) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 30; ++round) {
        zelk::testing::EdgeGraph g =
            zelk::testing::random_edge_graph(rng, 1 + rng() % 60, rng() % 400, 1 + rng() % 3);
        std::vector<std::uint64_t> hint;
        if (round % 3 == 1) hint.assign(g.m(), 0);  // not a permutation
        for (int step = 0; step < 4; ++step) {
            for (double& l : g.lengths) {
                if (round % 2 == 0)
                    l *= 1.0 + 0.01 * static_cast<double>(rng() % 3);  // drift
                else if (rng() % 4 == 0)
                    l = 0.5 * static_cast<double>(rng() % 6);  // reshuffle, ties
            }
            if (round % 10 == 9 && step == 2 && g.m() > 0) g.lengths[rng() % g.m()] = std::nan("");
            const std::uint64_t seed = round % 5;
            auto plain = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads,
                                                                     g.lengths, true, seed);
            auto reused = LowStretchTree::build_low_stretch_deterministic_reusing(
                g.n, g.tails, g.heads, g.lengths, seed, hint);
            ASSERT_TRUE(plain.has_value() && reused.has_value());
            EXPECT_EQ(reused->in_tree, plain->in_tree) << round << " " << step;
            EXPECT_EQ(reused->parent, plain->parent) << round << " " << step;
            EXPECT_EQ(reused->parent_edge, plain->parent_edge) << round << " " << step;
            EXPECT_EQ(reused->dist, plain->dist) << round << " " << step;
            if (step == 1 && g.m() > 1) std::shuffle(hint.begin(), hint.end(), rng);
        }
    }
}

// A forest graph keeps every edge under any builder; a kept tree rooted
// elsewhere (the randomized walk's roots) must still be rebuilt to the
// deterministic build's rooting, not kept.
TEST(LowStretchTree, KruskalRebuildInPlaceRerootsAForeignTree) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 30; ++round) {
        const std::uint32_t n = 2 + rng() % 40;
        zelk::testing::EdgeGraph g;
        g.n = n;
        for (std::uint32_t x = 1; x < n; ++x) {
            if (rng() % 5 == 0) continue;  // several trees
            const auto p = static_cast<std::uint32_t>(rng() % x);
            if (rng() % 2 == 0) {
                g.add(x, p, 0.5 + static_cast<double>(rng() % 4));
            } else {
                g.add(p, x, 0.5 + static_cast<double>(rng() % 4));
            }
        }
        auto foreign =
            LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, false, 1 + rng());
        ASSERT_TRUE(foreign.has_value());
        LowStretchTree kept = *foreign;
        std::vector<std::uint64_t> hint;
        ASSERT_TRUE(LowStretchTree::rebuild_low_stretch_deterministic(kept, n, g.tails, g.heads,
                                                                      g.lengths, 0, hint));
        auto fresh =
            LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths, true, 0);
        ASSERT_TRUE(fresh.has_value());
        EXPECT_EQ(kept.parent, fresh->parent) << round;
        EXPECT_EQ(kept.root, fresh->root) << round;
        EXPECT_EQ(kept.depth, fresh->depth) << round;
        EXPECT_EQ(kept.dist, fresh->dist) << round;
        EXPECT_EQ(kept.up, fresh->up) << round;
    }
}

// Rebuilding into one tree object across graphs that grow and shrink gives,
// field by field, the tree a fresh build gives; a rejected input leaves the
// kept tree as it was.
TEST(LowStretchTree, KruskalRebuildInPlaceEqualsFreshBuild) {
    std::mt19937_64 rng(91);
    LowStretchTree kept;
    std::vector<std::uint64_t> hint;
    for (int round = 0; round < 40; ++round) {
        zelk::testing::EdgeGraph g =
            zelk::testing::random_edge_graph(rng, 1 + rng() % 70, rng() % 300, 1 + rng() % 3);
        if (round % 7 == 6 && g.m() > 0) g.lengths[rng() % g.m()] = std::nan("");
        const std::uint64_t seed = round % 3;
        auto fresh = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, g.lengths,
                                                                 true, seed);
        ASSERT_TRUE(fresh.has_value());
        ASSERT_TRUE(LowStretchTree::rebuild_low_stretch_deterministic(kept, g.n, g.tails, g.heads,
                                                                      g.lengths, seed, hint));
        EXPECT_EQ(kept.in_tree, fresh->in_tree) << round;
        EXPECT_EQ(kept.parent, fresh->parent) << round;
        EXPECT_EQ(kept.parent_edge, fresh->parent_edge) << round;
        EXPECT_EQ(kept.depth, fresh->depth) << round;
        auto bits = [](const std::vector<double>& v) {  // NaN distances compare too
            std::vector<std::uint64_t> b(v.size());
            std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
            return b;
        };
        EXPECT_EQ(bits(kept.dist), bits(fresh->dist)) << round;
        EXPECT_EQ(kept.root, fresh->root) << round;
        EXPECT_EQ(kept.up, fresh->up) << round;
        EXPECT_EQ(kept.levels(), fresh->levels()) << round;

        // Lengths that drift a little mostly keep the forest: only the
        // distances change.
        for (double& l : g.lengths) l *= 1.0 + 1e-3 * static_cast<double>(rng() % 3);
        fresh = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, g.lengths, true,
                                                            seed);
        ASSERT_TRUE(LowStretchTree::rebuild_low_stretch_deterministic(kept, g.n, g.tails, g.heads,
                                                                      g.lengths, seed, hint));
        EXPECT_EQ(kept.parent, fresh->parent) << round;
        EXPECT_EQ(bits(kept.dist), bits(fresh->dist)) << round;
        EXPECT_EQ(kept.up, fresh->up) << round;

        const std::vector<std::uint64_t> parent = kept.parent;
        std::vector<double> short_lengths(g.lengths.begin(), g.lengths.end());
        short_lengths.push_back(1.0);
        EXPECT_FALSE(LowStretchTree::rebuild_low_stretch_deterministic(kept, g.n, g.tails, g.heads,
                                                                       short_lengths, seed, hint));
        EXPECT_EQ(kept.parent, parent);
    }
}
