// LowStretchTree builders and queries on random multigraphs: forest
// invariants, determinism, minimality, and LCA and paths against a naive walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "random_edge_graphs.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"
#include "trees/union_find.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace {

std::vector<std::size_t> components(const EdgeGraph& g) {
    UnionFind uf(g.n);
    for (std::size_t e = 0; e < g.m(); ++e) uf.unite(g.tails[e], g.heads[e]);
    std::vector<std::size_t> c(g.n);
    for (std::size_t v = 0; v < g.n; ++v) c[v] = uf.find(v);
    return c;
}

// The tree record's invariants, and "spanning forest of the graph".
void check_invariants(const EdgeGraph& g, const LowStretchTree& t) {
    const std::size_t n = g.n, m = g.m();
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
    }
    for (std::size_t e = 0; e < m; ++e) EXPECT_EQ(t.in_tree[e], parent_edges[e]) << e;
    // One tree per connected component.
    const auto comp = components(g);
    EXPECT_EQ(roots, std::set<std::size_t>(comp.begin(), comp.end()).size());
    for (std::size_t v = 0; v < n; ++v) EXPECT_EQ(comp[v], comp[t.root[v]]);
    std::size_t levels = 0;
    while ((n >> levels) != 0) ++levels;
    ASSERT_EQ(t.levels(), std::max<std::size_t>(levels, 1));
    for (std::size_t v = 0; v < n; ++v) EXPECT_EQ(t.lca(v, t.parent[v]), t.parent[v]);
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

// LCA against the naive walk; paths are shortest tree walks from u to v,
// and the reverse path is the reversed list with negated signs.
void check_paths(const EdgeGraph& g, const LowStretchTree& t, std::uint64_t u, std::uint64_t v) {
    const auto l = t.lca(u, v);
    ASSERT_EQ(l, naive_lca(t, u, v)) << u << " " << v;
    const auto p = t.path_edges(u, v, g.tails, g.heads);
    ASSERT_EQ(p.has_value(), l.has_value());
    if (!p) return;
    EXPECT_EQ(p->size(), t.depth[u] + t.depth[v] - 2 * t.depth[*l]);
    std::uint64_t at = u;
    for (auto [e, s] : *p) {
        EXPECT_TRUE(t.in_tree[e]);
        ASSERT_EQ(s == 1 ? g.tails[e] : g.heads[e], at);
        at = s == 1 ? g.heads[e] : g.tails[e];
    }
    EXPECT_EQ(at, v);
    const auto q = t.path_edges(v, u, g.tails, g.heads);
    ASSERT_TRUE(q.has_value());
    ASSERT_EQ(q->size(), p->size());
    for (std::size_t i = 0; i < p->size(); ++i) {
        EXPECT_EQ((*q)[p->size() - 1 - i].first, (*p)[i].first);
        EXPECT_EQ((*q)[p->size() - 1 - i].second, -(*p)[i].second);
    }
}

double weight(const EdgeGraph& g, const LowStretchTree& t) {
    double w = 0;
    for (std::size_t e = 0; e < g.m(); ++e) w += t.in_tree[e] ? g.lengths[e] : 0.0;
    return w;
}

}  // namespace

TEST(LowStretchTree, ArgumentChecks) {
    std::vector<std::uint32_t> t{0, 1}, h{1}, h2{1, 2};
    std::vector<double> l{1.0}, l2{1.0, 1.0};
    // n == 0 wins over unequal arrays.
    for (bool det : {true, false}) {
        for (auto build :
             {&LowStretchTree::build_with_mode, &LowStretchTree::build_low_stretch_with_mode}) {
            EXPECT_EQ(build(0, t, h, l, det, 1).error(), TreeError::EmptyGraph);
            EXPECT_EQ(build(3, t, h, l, det, 1).error(), TreeError::MissingEdgeLengths);
        }
    }
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(0, t, h, l, {true}).error(),
              TreeError::EmptyGraph);
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(3, t, h, l, {true}).error(),
              TreeError::MissingEdgeLengths);
    EXPECT_EQ(LowStretchTree::build_from_tree_edges(3, t, h2, l2, {true}).error(),
              TreeError::MissingEdgeLengths);  // mask too short
    std::vector<std::uint64_t> order{0, 1, 2};
    EXPECT_EQ(
        LowStretchTree::build_from_tree_edges_with_order(3, t, h2, l2, {true, true, true}, order)
            .error(),
        TreeError::MissingEdgeLengths);  // mask too long
}

// Every builder yields a spanning forest that is the same for the same
// arguments; the Kruskal builds are minimum whatever the tie rule; a given
// mask rebuilds the same tree, with roots taken from the given order; LCA
// and paths agree with a naive walk for every pair of nodes.
TEST(LowStretchTree, BuildersGiveSpanningForestsAndExactPaths) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 1 + rng() % 40;
        EdgeGraph g = random_edge_graph(rng, n, round == 0 ? 0 : rng() % 120, 1 + rng() % 3);
        const bool real = round % 2 == 1;  // distinct real lengths, else many ties
        if (real) {
            for (double& l : g.lengths)
                l *= 1.0 + std::ldexp(static_cast<double>(rng() >> 40), -30);
        }
        const std::uint64_t seed = rng();
        std::vector<LowStretchTree> trees;
        for (bool det : {true, false}) {
            for (auto build :
                 {&LowStretchTree::build_with_mode, &LowStretchTree::build_low_stretch_with_mode}) {
                auto t = build(n, g.tails, g.heads, g.lengths, det, seed);
                ASSERT_TRUE(t.has_value());
                check_invariants(g, *t);
                EXPECT_EQ(build(n, g.tails, g.heads, g.lengths, det, seed)->parent_edge,
                          t->parent_edge);
                trees.push_back(std::move(*t));
            }
        }
        // The deterministic walk ignores the seed; both Kruskal builds are minimum.
        EXPECT_EQ(LowStretchTree::build_with_mode(n, g.tails, g.heads, g.lengths, true, seed + 1)
                      ->parent_edge,
                  trees[0].parent_edge);
        if (!real) {
            EXPECT_EQ(weight(g, trees[3]), weight(g, trees[1]));
        }
        const LowStretchTree& k = trees[1];
        auto f = LowStretchTree::build_from_tree_edges(n, g.tails, g.heads, g.lengths, k.in_tree);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->parent_edge, k.parent_edge);
        EXPECT_EQ(f->dist, k.dist);
        // Reversed root order with junk entries: each root is its tree's highest node.
        std::vector<std::uint64_t> order{n + 5};
        for (std::size_t i = n; i-- > 0;) order.push_back(i);
        order.push_back(NO_INDEX);
        auto r = LowStretchTree::build_from_tree_edges_with_order(n, g.tails, g.heads, g.lengths,
                                                                  k.in_tree, order);
        ASSERT_TRUE(r.has_value());
        check_invariants(g, *r);
        const auto comp = components(g);
        for (std::size_t v = 0; v < n; ++v) {
            for (std::size_t w = v + 1; w < n; ++w) {
                if (comp[w] == comp[v]) {
                    EXPECT_GE(r->root[v], w);
                }
            }
        }
        const LowStretchTree& t = trees[round % 4];
        for (std::uint64_t u = 0; u < n; ++u) {
            for (std::uint64_t v = 0; v < n; ++v) check_paths(g, t, u, v);
        }
    }
    // All-equal lengths: different seeds pick different spanning trees.
    EdgeGraph g;
    g.n = 8;
    for (std::uint32_t a = 0; a < 8; ++a)
        for (std::uint32_t b = a + 1; b < 8; ++b) g.add(a, b, 1.0);
    std::set<std::vector<bool>> seen;
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        seen.insert(
            LowStretchTree::build_low_stretch_with_mode(8, g.tails, g.heads, g.lengths, false, seed)
                ->in_tree);
    }
    EXPECT_GT(seen.size(), 1u);
    // A mask with a cycle: the walk yields a forest, in_tree keeps the mask.
    auto c = LowStretchTree::build_from_tree_edges(
        3, std::vector<std::uint32_t>{0, 1, 2}, std::vector<std::uint32_t>{1, 2, 0},
        std::vector<double>{1, 1, 1}, {true, true, true});
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->in_tree, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(c->parent, (std::vector<std::uint64_t>{0, 0, 0}));
}

TEST(LowStretchTree, KruskalNaNLengthsStaySafe) {
    std::mt19937_64 rng(3);
    EdgeGraph g = random_edge_graph(rng, 20, 60, 2);
    for (std::size_t e = 0; e < g.m(); e += 3) g.lengths[e] = std::nan("");
    const auto comp = components(g);
    for (bool det : {true, false}) {
        auto t =
            LowStretchTree::build_low_stretch_with_mode(20, g.tails, g.heads, g.lengths, det, 9);
        ASSERT_TRUE(t.has_value());
        // Structural invariants only: dist holds NaN sums.
        EXPECT_EQ(static_cast<std::size_t>(std::ranges::count(t->in_tree, true)),
                  20 - std::set<std::size_t>(comp.begin(), comp.end()).size());
    }
}

TEST(LowStretchTree, EdgeStretchIsPathLengthOverEdgeLength) {
    std::mt19937_64 rng(41);
    EdgeGraph g = random_edge_graph(rng, 30, 80, 1);
    for (double& l : g.lengths) l *= 1.0 + 0.01 * static_cast<double>(rng() % 50);
    g.lengths[1] = 0.0;
    g.lengths[2] = -1.0;
    auto t = LowStretchTree::build_low_stretch_with_mode(30, g.tails, g.heads, g.lengths, true, 0);
    ASSERT_TRUE(t.has_value());
    for (std::uint64_t e = 0; e < g.m(); ++e) {
        auto s = t->edge_stretch(e, g.tails, g.heads, g.lengths);
        if (g.lengths[e] <= 0.0) {
            EXPECT_FALSE(s.has_value());
            continue;
        }
        ASSERT_TRUE(s.has_value());
        auto p = t->path_edges(g.tails[e], g.heads[e], g.tails, g.heads);
        ASSERT_TRUE(p.has_value());
        double sum = 0;
        for (auto [f, sign] : *p) {
            sum += g.lengths[f];
            // Cycle property of a minimum spanning tree.
            EXPECT_LE(g.lengths[f], g.lengths[e]);
        }
        EXPECT_NEAR(*s, sum / g.lengths[e], 1e-9);
    }
    EXPECT_FALSE(t->edge_stretch(g.m(), g.tails, g.heads, g.lengths).has_value());
    // Endpoints in different trees: nothing. NaN length: NaN.
    const std::vector<std::uint32_t> tt{0, 2}, hh{1, 3};
    const std::vector<double> ll{1.0, std::nan("")};
    auto two = LowStretchTree::build_with_mode(4, tt, hh, ll, true, 0);
    EXPECT_FALSE(two->edge_stretch(2, std::vector<std::uint32_t>{0, 2, 1},
                                   std::vector<std::uint32_t>{1, 3, 2},
                                   std::vector<double>{1.0, 1.0, 1.0})
                     .has_value());
    EXPECT_TRUE(std::isnan(*two->edge_stretch(1, tt, hh, ll)));
}

TEST(LowStretchTree, DeepTreesGiveExactAncestorsAndPaths) {
    // A long path with random branches: depths in the thousands.
    std::mt19937_64 rng(53);
    EdgeGraph g;
    g.n = 5000;
    for (std::uint32_t v = 1; v < g.n; ++v) {
        const std::uint32_t p = (rng() % 10 == 0) ? static_cast<std::uint32_t>(rng() % v) : v - 1;
        if (rng() % 2) {
            g.add(p, v, 1.0);
        } else {
            g.add(v, p, 1.0);
        }
    }
    auto t = LowStretchTree::build_from_tree_edges(g.n, g.tails, g.heads, g.lengths,
                                                   std::vector<bool>(g.m(), true));
    ASSERT_TRUE(t.has_value());
    check_invariants(g, *t);
    EXPECT_EQ(t->levels(), 13u);
    for (int k = 0; k < 200; ++k) check_paths(g, *t, rng() % g.n, rng() % g.n);
}

// The reusing Kruskal build gives the tree of the plain deterministic build
// whatever its hint: the previous order, a shuffled or garbage one, lengths
// drifting a little or a lot, ties, and NaN lengths (then the hint empties).
TEST(LowStretchTree, KruskalReusingEqualsPlainBuildForAnyHint) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 30; ++round) {
        EdgeGraph g = random_edge_graph(rng, 1 + rng() % 60, rng() % 400, 1 + rng() % 3);
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
            EXPECT_EQ(reused->parent_edge, plain->parent_edge) << round << " " << step;
            EXPECT_EQ(reused->in_tree, plain->in_tree) << round << " " << step;
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
        const auto n = static_cast<std::uint32_t>(2 + rng() % 40);
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
        EXPECT_EQ(kept.ancestors, fresh->ancestors) << round;
    }
}

// A caller vouching for unchanged endpoints gets, step after step, the tree
// a fresh build gives: lengths scaled together (the order stands, only the
// distances move), drifting, reshuffled into ties, or NaN (the hint empties).
TEST(LowStretchTree, KruskalRebuildOverSameEndpointsEqualsFreshBuild) {
    std::mt19937_64 rng(29);
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b(v.size());
        std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
        return b;
    };
    for (int round = 0; round < 25; ++round) {
        zelk::testing::EdgeGraph g =
            zelk::testing::random_edge_graph(rng, 1 + rng() % 50, rng() % 250, 1 + rng() % 3);
        LowStretchTree kept;
        std::vector<std::uint64_t> hint;
        bool vouched = false;
        for (int step = 0; step < 8; ++step) {
            const int kind = static_cast<int>(rng() % 4);
            for (double& l : g.lengths) {
                if (kind == 0) l *= 1.5;  // same order, new distances
                if (kind == 1) l *= 1.0 + 1e-3 * static_cast<double>(rng() % 3);
                if (kind == 2 && rng() % 5 == 0) l = 0.5 * static_cast<double>(1 + rng() % 3);
            }
            if (kind == 3 && g.m() > 0) g.lengths[rng() % g.m()] = std::nan("");
            if (kind != 3) {
                for (double& l : g.lengths) {
                    if (std::isnan(l)) l = 1.0;
                }
            }
            auto fresh = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads,
                                                                     g.lengths, true, 0);
            ASSERT_TRUE(fresh.has_value());
            // Builds that skip the ancestor table, between builds that want it.
            const bool with_ancestors = rng() % 2 == 0;
            ASSERT_TRUE(LowStretchTree::rebuild_low_stretch_deterministic(
                kept, g.n, g.tails, g.heads, g.lengths, 0, hint, vouched, with_ancestors));
            vouched = true;
            EXPECT_EQ(kept.in_tree, fresh->in_tree) << round << " " << step;
            EXPECT_EQ(kept.parent_edge, fresh->parent_edge) << round << " " << step;
            EXPECT_EQ(kept.depth, fresh->depth) << round << " " << step;
            EXPECT_EQ(kept.root, fresh->root) << round << " " << step;
            if (with_ancestors || !kept.ancestors.empty()) {
                EXPECT_EQ(kept.ancestors, fresh->ancestors) << round << " " << step;
            }
            for (int pair = 0; pair < 20; ++pair) {
                const std::uint64_t u = rng() % g.n, v = rng() % g.n;
                EXPECT_EQ(kept.lca(u, v), fresh->lca(u, v)) << round << " " << step;
            }
            EXPECT_EQ(bits(kept.dist), bits(fresh->dist)) << round << " " << step;
        }
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
        EXPECT_EQ(kept.ancestors, fresh->ancestors) << round;
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
        EXPECT_EQ(kept.ancestors, fresh->ancestors) << round;

        const std::vector<std::uint64_t> parent = kept.parent;
        std::vector<double> short_lengths(g.lengths.begin(), g.lengths.end());
        short_lengths.push_back(1.0);
        EXPECT_FALSE(LowStretchTree::rebuild_low_stretch_deterministic(kept, g.n, g.tails, g.heads,
                                                                       short_lengths, seed, hint));
        EXPECT_EQ(kept.parent, parent);
    }
}

// Constant-time ancestors against walking up from both nodes, on random
// forests: many roots, long chains, bushy nodes, and nodes no tree reached.
TEST(ForestLca, EqualsWalkingUpOnRandomForests) {
    std::mt19937_64 rng(71);
    ForestLca lca;  // reused across builds, as the trees reuse it
    for (int round = 0; round < 60; ++round) {
        const std::size_t n = 1 + rng() % (round % 3 == 0 ? 12 : 600);
        std::vector<std::uint64_t> parent(n);
        for (std::size_t v = 0; v < n; ++v) {
            const std::uint64_t r = rng() % 20;
            if (v == 0 || r == 0) {
                parent[v] = r == 0 && rng() % 2 ? NO_INDEX : v;  // a root
            } else if (r < 12) {
                parent[v] = v - 1;  // chains
            } else {
                parent[v] = rng() % std::min<std::size_t>(v, 1 + rng() % 8);  // bushy
            }
        }
        // Relabel so parents are not always smaller than their children.
        std::vector<std::uint64_t> label(n);
        std::iota(label.begin(), label.end(), 0);
        std::shuffle(label.begin(), label.end(), rng);
        std::vector<std::uint64_t> relabelled(n);
        for (std::size_t v = 0; v < n; ++v) {
            relabelled[label[v]] = parent[v] < n ? label[parent[v]] : parent[v];
        }
        lca.build(relabelled);
        auto root_of = [&](std::uint64_t x) {
            while (relabelled[x] < n && relabelled[x] != x) x = relabelled[x];
            return x;
        };
        auto walk = [&](std::uint64_t a, std::uint64_t b) {
            std::set<std::uint64_t> seen;
            for (std::uint64_t x = a;; x = relabelled[x]) {
                seen.insert(x);
                if (relabelled[x] >= n || relabelled[x] == x) break;
            }
            for (std::uint64_t x = b;; x = relabelled[x]) {
                if (seen.count(x)) return x;
            }
        };
        const std::size_t pairs = n <= 12 ? n * n : 3000;
        for (std::size_t q = 0; q < pairs; ++q) {
            const std::uint64_t a = n <= 12 ? q / n : rng() % n, b = n <= 12 ? q % n : rng() % n;
            if (root_of(a) != root_of(b)) continue;
            ASSERT_EQ(lca.query(a, b), walk(a, b)) << round << " " << a << " " << b;
        }
    }
}

// The Kruskal forest is walked over its edges in the order they were picked;
// the walk over the same edges in index order must give the same record.
TEST(LowStretchTree, KruskalForestEqualsWalkOverItsMask) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 80; ++round) {
        EdgeGraph g = random_edge_graph(rng, 1 + rng() % 90, rng() % 500, 1 + rng() % 3);
        auto k = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, g.lengths, true,
                                                             rng());
        ASSERT_TRUE(k.has_value());
        auto w =
            LowStretchTree::build_from_tree_edges(g.n, g.tails, g.heads, g.lengths, k->in_tree);
        ASSERT_TRUE(w.has_value());
        EXPECT_EQ(k->parent, w->parent) << round;
        EXPECT_EQ(k->parent_edge, w->parent_edge) << round;
        EXPECT_EQ(k->depth, w->depth) << round;
        EXPECT_EQ(k->dist, w->dist) << round;
        EXPECT_EQ(k->root, w->root) << round;
        EXPECT_EQ(k->ancestors, w->ancestors) << round;
    }
}
