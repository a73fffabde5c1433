// DynamicTree: clamping, construction, change counting and rebuild triggers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "random_edge_graphs.hpp"
#include "trees/dynamic_tree.hpp"
#include "trees/low_stretch_tree.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

DynamicTree make(const EdgeGraph& g, const DynamicTreeConfig& c) {
    auto t = DynamicTree::create(g.n, g.tails, g.heads, g.lengths, c);
    EXPECT_TRUE(t.has_value());
    return std::move(*t);
}

void expect_same_tree(const LowStretchTree& a, const LowStretchTree& b) {
    EXPECT_EQ(a.parent, b.parent);
    EXPECT_EQ(a.parent_edge, b.parent_edge);
    EXPECT_EQ(a.in_tree, b.in_tree);
    EXPECT_EQ(a.dist, b.dist);
}

EdgeGraph ring(std::uint64_t n) {
    EdgeGraph g;
    g.n = n;
    for (std::uint32_t i = 0; i < n; ++i) {
        g.add(i, static_cast<std::uint32_t>((i + 1) % n), 1.0 + i);
    }
    return g;
}

}  // namespace

TEST(DynamicTree, ClampsIntoTheLengthBound) {
    EXPECT_EQ(DynamicTree::length_bound(0), 1.0);
    EXPECT_EQ(DynamicTree::length_bound(1), 1.0);
    EXPECT_EQ(DynamicTree::length_bound(10), 1e4);
    const double b = DynamicTree::length_bound(10);
    EXPECT_EQ(DynamicTree::clamp_length(-5.0, b), 5.0);
    EXPECT_EQ(DynamicTree::clamp_length(INF, b), 1e4);
    EXPECT_EQ(DynamicTree::clamp_length(-INF, b), 1e4);
    EXPECT_EQ(DynamicTree::clamp_length(NaN, b), 1e4);
    EXPECT_EQ(DynamicTree::clamp_length(1e9, b), 1e4);
    EXPECT_EQ(DynamicTree::clamp_length(0.0, b), 1e-4);
    EXPECT_EQ(DynamicTree::clamp_length(-1e-9, b), 1e-4);
    EXPECT_EQ(DynamicTree::clamp_length(3.25, b), 3.25);

    // n = 1: every stored length is exactly 1.0, on construction and update.
    EdgeGraph one;
    one.n = 1;
    one.add(0, 0, 7.0);
    one.add(0, 0, -1e-3);
    one.add(0, 0, NaN);
    DynamicTree t = make(one, {});
    EXPECT_EQ(t.lengths, (std::vector<double>{1.0, 1.0, 1.0}));
    const std::vector<double> fresh{INF, 0.0, 42.0};
    ASSERT_TRUE(t.update_from_snapshot(1, 1, one.tails, one.heads, fresh).has_value());
    EXPECT_EQ(t.lengths, (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(DynamicTree, ConstructionMatchesTheKruskalBuilderAndNormalisesTheConfig) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 30; ++round) {
        EdgeGraph g = random_edge_graph(rng, 1 + rng() % 12, rng() % 30, 1 + rng() % 3);
        for (std::size_t e = 0; e < g.m(); e += 5) g.lengths[e] = -g.lengths[e] * 1e6;
        DynamicTreeConfig c{rng(), 0, 0, NaN, (round % 2) == 0};
        DynamicTree t = make(g, c);
        std::vector<double> clamped = g.lengths;
        for (double& x : clamped) x = DynamicTree::clamp_length(x, DynamicTree::length_bound(g.n));
        EXPECT_EQ(t.lengths, clamped);
        auto ref = LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, clamped,
                                                               c.deterministic, c.seed);
        ASSERT_TRUE(ref.has_value());
        expect_same_tree(t.tree, *ref);
        EXPECT_EQ(t.rebuild_every, 1u);
        EXPECT_EQ(t.ratio_threshold, 1.0);
        EXPECT_EQ(t.changes, 0u);
        EXPECT_EQ(t.edge_alive, std::vector<bool>(g.m(), true));
    }
    DynamicTreeConfig c;
    c.ratio_threshold = 0.5;
    EXPECT_EQ(make(ring(3), c).ratio_threshold, 1.0);
    c.ratio_threshold = 2.5;
    EXPECT_EQ(make(ring(3), c).ratio_threshold, 2.5);

    EdgeGraph bad = ring(3);
    EXPECT_EQ(DynamicTree::create(0, {}, {}, {}, {}).error(), TreeError::EmptyGraph);
    bad.lengths.pop_back();
    EXPECT_EQ(DynamicTree::create(3, bad.tails, bad.heads, bad.lengths, {}).error(),
              TreeError::MissingEdgeLengths);
}

TEST(DynamicTree, CountsChangesAndRebuildsOnThreshold) {
    EdgeGraph g = ring(6);
    DynamicTreeConfig c;
    c.rebuild_every = 1000;
    c.change_threshold = 100;
    c.ratio_threshold = 1.5;
    DynamicTree t = make(g, c);

    // Unchanged lengths: one per edge. Factors 1.5 (not above) and 1.6
    // (above) on two edges: one extra each only for the latter.
    ASSERT_EQ(t.update_from_snapshot(1, 6, g.tails, g.heads, g.lengths), false);
    EXPECT_EQ(t.changes, 6u);
    std::vector<double> l = g.lengths;
    l[0] *= 1.5;
    l[1] /= 1.6;
    l[2] = -l[2];  // same magnitude
    ASSERT_EQ(t.update_from_snapshot(2, 6, g.tails, g.heads, l), false);
    EXPECT_EQ(t.changes, 13u);
    EXPECT_EQ(t.lengths[1], g.lengths[1] / 1.6);

    // change_threshold = m: any unchanged-topology snapshot rebuilds.
    c.change_threshold = g.m();
    DynamicTree u = make(g, c);
    for (std::uint64_t it = 1; it < 4; ++it) {
        auto r = u.update_from_snapshot(it, 6, g.tails, g.heads, g.lengths);
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(*r);
        EXPECT_EQ(u.changes, 0u);
    }

    // The rebuilt tree follows the new lengths (deterministic: seed 0).
    l.assign(g.m(), 1.0);
    l[3] = 50.0;  // the long edge of the ring leaves the tree
    ASSERT_TRUE(*u.update_from_snapshot(9, 6, g.tails, g.heads, l));
    auto ref = LowStretchTree::build_low_stretch_with_mode(6, g.tails, g.heads, u.lengths, true, 0);
    expect_same_tree(u.tree, *ref);
    EXPECT_FALSE(u.tree.in_tree[3]);
}

TEST(DynamicTree, PeriodAndTopologyChanges) {
    EdgeGraph g = ring(5);
    DynamicTreeConfig c;
    c.rebuild_every = 5;
    c.change_threshold = 0;
    c.deterministic = false;
    c.seed = 77;
    DynamicTree t = make(g, c);
    for (std::uint64_t it = 0; it <= 11; ++it) {
        auto r = t.update_from_snapshot(it, 5, g.tails, g.heads, g.lengths);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, it % 5 == 0) << it;
        if (*r) {
            auto ref = LowStretchTree::build_low_stretch_with_mode(5, g.tails, g.heads, t.lengths,
                                                                   false, 77 ^ it);
            expect_same_tree(t.tree, *ref);
        }
    }
    // With threshold 0 a topology change waits for the period too.
    EdgeGraph h = ring(7);
    auto r = t.update_from_snapshot(12, 7, h.tails, h.heads, h.lengths);
    EXPECT_EQ(*r, false);
    EXPECT_EQ(t.node_count, 7u);
    EXPECT_EQ(t.changes, 1u);
    EXPECT_EQ(t.tree.node_count(), 5u);  // still the old topology's tree
    EXPECT_TRUE(*t.update_from_snapshot(15, 7, h.tails, h.heads, h.lengths));
    EXPECT_EQ(t.tree.node_count(), 7u);

    // With a threshold, a topology change (also of the endpoints alone)
    // sets changes to the threshold and rebuilds at once.
    c.change_threshold = 40;
    c.rebuild_every = 1000;
    DynamicTree u = make(g, c);
    EdgeGraph swapped = g;
    std::swap(swapped.tails[2], swapped.heads[2]);
    r = u.update_from_snapshot(3, 5, swapped.tails, swapped.heads, swapped.lengths);
    EXPECT_TRUE(*r);
    EXPECT_EQ(u.heads, swapped.heads);
}

TEST(DynamicTree, FailedRebuildKeepsTreeAndCounter) {
    EdgeGraph g = ring(4);
    DynamicTreeConfig c;
    c.change_threshold = 3;
    c.rebuild_every = 1000;
    DynamicTree t = make(g, c);
    const LowStretchTree before = t.tree;
    // n = 0 and no edges: a topology change whose rebuild fails.
    auto r = t.update_from_snapshot(1, 0, {}, {}, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), TreeError::EmptyGraph);
    expect_same_tree(t.tree, before);
    EXPECT_EQ(t.changes, 3u);
    // The next update (now an unchanged empty topology) tries again.
    r = t.update_from_snapshot(2, 0, {}, {}, {});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(t.changes, 3u);
    // A valid snapshot succeeds and resets the counter.
    r = t.update_from_snapshot(3, 4, g.tails, g.heads, g.lengths);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(*r);
    EXPECT_EQ(t.changes, 0u);
}

TEST(DynamicTree, CounterSaturates) {
    EdgeGraph g = ring(3);
    DynamicTree t = make(g, {});
    t.rebuild_every = 1000;
    t.change_threshold = 0;
    t.changes = std::numeric_limits<std::uint64_t>::max() - 1;
    std::vector<double> l{100.0, 100.0, 100.0};
    ASSERT_TRUE(t.update_from_snapshot(1, 3, g.tails, g.heads, l).has_value());
    EXPECT_EQ(t.changes, std::numeric_limits<std::uint64_t>::max());
}

// Offered forests only save work: over a run of updates (lengths with
// many ties or none, some unchanged, some clamped), a tree offered forests
// under shuffled names (exact ones, and ones with a wrong length, a
// repeated name or an unsorted order) stays the twin of one offered none,
// and whenever it calls itself current it is the fresh deterministic build
// over its snapshot.
TEST(DynamicTree, OfferedForestsChangeNoTreeAndCurrentMeansFresh) {
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> spread(0.5, 2.0);
    for (int round = 0; round < 60; ++round) {
        EdgeGraph g = random_edge_graph(rng, 2 + rng() % 14, 1 + rng() % 40, 1 + rng() % 2);
        const bool tied = round % 2 == 0;
        if (!tied) {
            for (double& x : g.lengths) x = spread(rng);
        }
        const DynamicTreeConfig c{0, 1 + rng() % 2, 0, 1.0, true};
        DynamicTree offered_to = make(g, c), plain = make(g, c);
        const double bound = DynamicTree::length_bound(g.n);
        std::vector<double> l = g.lengths;
        for (std::uint64_t it = 1; it <= 8; ++it) {
            if (rng() % 3 != 0) {
                for (double& x : l) {
                    if (rng() % 3 == 0)
                        x = tied ? 0.5 * static_cast<double>(1 + rng() % 4) : spread(rng);
                }
                if (rng() % 4 == 0) l[rng() % l.size()] = 2.0 * bound;
            }
            // The same edges under shuffled names, with a tree built over them.
            const std::size_t m = g.m();
            std::vector<std::uint64_t> edge_of(m);
            std::iota(edge_of.begin(), edge_of.end(), std::uint64_t{0});
            std::shuffle(edge_of.begin(), edge_of.end(), rng);
            std::vector<NodeIndex> t(m), h(m);
            std::vector<double> len(m);
            for (std::size_t p = 0; p < m; ++p) {
                t[p] = g.tails[edge_of[p]];
                h[p] = g.heads[edge_of[p]];
                len[p] = DynamicTree::clamp_length(l[edge_of[p]], bound);
            }
            const int fault = static_cast<int>(rng() % 5);
            if (fault == 1) len[rng() % m] *= 1.5;
            std::vector<std::uint64_t> order;
            auto built =
                LowStretchTree::build_low_stretch_deterministic_reusing(g.n, t, h, len, 0, order);
            ASSERT_TRUE(built.has_value());
            if (fault == 2 && m > 1) edge_of[0] = edge_of[1];
            if (fault == 3 && m > 1) std::swap(order[0], order[m - 1]);
            const RenamedForest f{&*built, edge_of, t, h, len, order};
            auto a = offered_to.update_from_snapshot(it, g.n, g.tails, g.heads, l,
                                                     fault == 4 ? nullptr : &f);
            auto b = plain.update_from_snapshot(it, g.n, g.tails, g.heads, l);
            ASSERT_TRUE(a.has_value() && b.has_value());
            EXPECT_EQ(*a, *b);
            expect_same_tree(offered_to.tree, plain.tree);
            EXPECT_EQ(offered_to.tree.depth, plain.tree.depth);
            EXPECT_EQ(offered_to.tree.root, plain.tree.root);
            EXPECT_EQ(offered_to.tree_is_current(), plain.tree_is_current());
            if (offered_to.tree_is_current()) {
                auto fresh = LowStretchTree::build_low_stretch_with_mode(
                    g.n, offered_to.tails, offered_to.heads, offered_to.lengths, true, 0);
                ASSERT_TRUE(fresh.has_value());
                expect_same_tree(offered_to.tree, *fresh);
                for (int pair = 0; pair < 10; ++pair) {
                    const std::uint64_t u = rng() % g.n, v = rng() % g.n;
                    EXPECT_EQ(offered_to.tree.lca(u, v), fresh->lca(u, v));
                }
            }
        }
    }
}
