// Hash containers of 64-bit keys, deterministic_weighted_tree, DynamicForest
// and ShiftableForestCollection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <unordered_map>
#include <vector>

#include "random_edge_graphs.hpp"
#include "trees/dynamic_forest.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/shiftable_forest_collection.hpp"
#include "trees/weighted_tree.hpp"
#include "u64_hash.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Literal weighted Kruskal: keys, stable sort with NaN last, naive sets.
std::vector<bool> ref_weighted_mask(const EdgeGraph& g, const std::vector<double>& w) {
    std::vector<std::pair<double, std::size_t>> keyed;
    for (std::size_t e = 0; e < g.m(); ++e) {
        double weight = std::isnan(w[e]) ? 1e-12 : std::max(w[e], 1e-12);
        keyed.push_back({std::fabs(g.lengths[e]) / weight, e});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (std::isnan(a.first)) return false;
        return std::isnan(b.first) || a.first < b.first;
    });
    std::vector<std::uint64_t> comp(g.n);
    std::iota(comp.begin(), comp.end(), 0);
    std::vector<bool> mask(g.m(), false);
    for (auto [k, e] : keyed) {
        const auto a = comp[g.tails[e]], b = comp[g.heads[e]];
        if (a == b) continue;
        for (auto& c : comp) {
            if (c == b) c = a;
        }
        mask[e] = true;
    }
    return mask;
}

void expect_same_tree(const LowStretchTree& a, const LowStretchTree& b) {
    EXPECT_EQ(a.parent, b.parent);
    EXPECT_EQ(a.parent_edge, b.parent_edge);
    EXPECT_EQ(a.root, b.root);
    EXPECT_EQ(a.in_tree, b.in_tree);
    ASSERT_EQ(a.dist.size(), b.dist.size());
    for (std::size_t i = 0; i < a.dist.size(); ++i) {
        EXPECT_TRUE(a.dist[i] == b.dist[i] || (std::isnan(a.dist[i]) && std::isnan(b.dist[i])));
    }
}

}  // namespace

TEST(U64Hash, MatchesAStandardMapUnderRandomOperations) {
    std::mt19937_64 rng(5);
    U64HashMap<std::uint64_t> map;
    std::unordered_map<std::uint64_t, std::uint64_t> ref;
    const std::uint64_t specials[] = {0, ~std::uint64_t{0}, 1ULL << 63, 12345};
    for (int step = 0; step < 3000; ++step) {
        // Small key range: long probe runs and frequent erase/reinsert.
        std::uint64_t key = rng() % 300;
        if (step % 97 == 0) key = specials[(step / 97) % 4];
        switch (rng() % 4) {
            case 0:
            case 1: {
                auto [v, fresh] = map.try_emplace(key);
                EXPECT_EQ(fresh, ref.find(key) == ref.end());
                *v += 1;
                ref[key] += 1;
                break;
            }
            case 2: EXPECT_EQ(map.erase(key), ref.erase(key) == 1); break;
            default: {
                const auto* v = map.find(key);
                auto it = ref.find(key);
                ASSERT_EQ(v != nullptr, it != ref.end());
                if (v) {
                    EXPECT_EQ(*v, it->second);
                }
            }
        }
        ASSERT_EQ(map.size(), ref.size());
        if (step % 1000 == 0) {
            std::size_t seen = 0;
            map.for_each([&](std::uint64_t k, std::uint64_t v) {
                ++seen;
                ASSERT_EQ(ref.at(k), v);
            });
            EXPECT_EQ(seen, ref.size());
        }
    }
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_FALSE(map.contains(0));
}

TEST(U64Hash, SetIterationOrderDependsOnlyOnTheOperations) {
    U64HashSet a, b;
    for (std::uint64_t k = 0; k < 1000; k += 7) {
        EXPECT_TRUE(a.insert(k * 0x9E3779B97F4A7C15ULL));
        EXPECT_TRUE(b.insert(k * 0x9E3779B97F4A7C15ULL));
    }
    EXPECT_FALSE(a.insert(0));
    EXPECT_EQ(a.to_vector(), b.to_vector());
    auto v = a.to_vector();
    std::sort(v.begin(), v.end());
    EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end());
    EXPECT_EQ(v.size(), 143u);
}

// The mask alone, from any hint (none, the last call's order over keys
// scaled a little or reshuffled into ties, a shuffled or garbage one), is the
// literal Kruskal's; the order left behind is the next call's hint.
TEST(WeightedTree, ForestFromAnyHintMatchesLiteralKruskal) {
    std::mt19937_64 rng(43);
    for (int round = 0; round < 40; ++round) {
        EdgeGraph g = random_edge_graph(rng, 1 + rng() % 30, rng() % 120, 1 + rng() % 3);
        std::vector<double> w(g.m());
        std::vector<std::uint64_t> order;
        if (round % 4 == 3) order.assign(g.m(), 0);
        for (int step = 0; step < 4; ++step) {
            for (std::size_t e = 0; e < g.m(); ++e) {
                w[e] = (1.0 + 0.001 * step) + static_cast<double>(e) * 1e-9;
                if (round % 3 == 0 && rng() % 5 == 0) w[e] = 0.5 * static_cast<double>(rng() % 3);
                if (round % 5 == 0 && rng() % 9 == 0) w[e] = NaN;
                if (round % 2 == 0 && rng() % 4 == 0)
                    g.lengths[e] = 0.5 * static_cast<double>(1 + rng() % 3);
                if (rng() % 31 == 0) g.lengths[e] = NaN;
            }
            if (step == 2) std::shuffle(order.begin(), order.end(), rng);
            auto mask = deterministic_weighted_forest(g.n, g.tails, g.heads, g.lengths, w, order);
            ASSERT_TRUE(mask.has_value());
            EXPECT_EQ(*mask, ref_weighted_mask(g, w)) << round << " " << step;
        }
    }
}

TEST(WeightedTree, MatchesLiteralKruskalOnRandomGraphs) {
    std::mt19937_64 rng(21);
    for (int round = 0; round < 60; ++round) {
        EdgeGraph g = random_edge_graph(rng, 1 + rng() % 10, rng() % 25, 1 + rng() % 3);
        std::vector<double> w(g.m());
        for (std::size_t e = 0; e < g.m(); ++e) {
            switch (rng() % 6) {
                case 0: w[e] = 0.0; break;
                case 1: w[e] = -2.0; break;
                case 2: w[e] = NaN; break;
                default: w[e] = 0.5 * static_cast<double>(1 + rng() % 4);
            }
            if (rng() % 7 == 0) g.lengths[e] = -g.lengths[e];
            if (rng() % 23 == 0) g.lengths[e] = NaN;
        }
        auto t = deterministic_weighted_tree(g.n, g.tails, g.heads, g.lengths, w);
        ASSERT_TRUE(t.has_value());
        const auto mask = ref_weighted_mask(g, w);
        auto ref = LowStretchTree::build_from_tree_edges(g.n, g.tails, g.heads, g.lengths, mask);
        expect_same_tree(*t, *ref);
    }
    EXPECT_EQ(deterministic_weighted_tree(0, {}, {}, {}, {}).error(), TreeError::EmptyGraph);
    const std::vector<std::uint32_t> ends{0, 1};
    EXPECT_EQ(deterministic_weighted_tree(2, ends, ends, std::vector<double>{1.0, 1.0},
                                          std::vector<double>(1))
                  .error(),
              TreeError::MissingEdgeLengths);
}

TEST(DynamicForest, DeletionSplitsTheTreeAndCountsOnce) {
    // Path 0-1-2-3-4 plus a chord (0, 4) outside the tree.
    EdgeGraph g;
    g.n = 5;
    for (std::uint32_t i = 0; i < 4; ++i) g.add(i, i + 1, 1.0);
    g.add(0, 4, 9.0);
    std::vector<bool> mask{true, true, true, true, false};
    auto f = DynamicForest::create_from_tree(5, g.tails, g.heads, g.lengths, mask);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->tree.root, std::vector<std::uint64_t>(5, 0));

    // A non-tree edge (twice) and an identifier out of range: no rebuild.
    const LowStretchTree before = f->tree;
    const std::vector<std::uint64_t> first{4, 4, 99};
    EXPECT_EQ(f->delete_edges(first), 1u);
    expect_same_tree(f->tree, before);
    EXPECT_EQ(f->deleted.size(), 1u);

    // Deleting tree edge (1, 2) splits {0, 1} from {2, 3, 4}, rooted at 2;
    // no replacement edge is searched for, even though the chord is there.
    const std::vector<std::uint64_t> second{1, 4};
    EXPECT_EQ(f->delete_edges(second), 1u);
    EXPECT_EQ(f->tree.root, (std::vector<std::uint64_t>{0, 0, 2, 2, 2}));
    EXPECT_FALSE(f->tree_mask[1]);
    auto ref = LowStretchTree::build_from_tree_edges(5, g.tails, g.heads, g.lengths, f->tree_mask);
    expect_same_tree(f->tree, *ref);
    EXPECT_FALSE(f->tree.lca(0, 3).has_value());

    EXPECT_EQ(DynamicForest::create_from_tree(0, {}, {}, {}, {}).error(), TreeError::EmptyGraph);
}

TEST(ShiftableForests, ForestsFollowTheirWeightSets) {
    auto check = [](const EdgeGraph& g, std::uint64_t forests) {
        auto c = ShiftableForestCollection::build_deterministic(g.n, g.tails, g.heads, g.lengths,
                                                                forests, 2);
        ASSERT_TRUE(c.has_value());
        ASSERT_EQ(c->forests.size(), forests);
        for (std::uint64_t k = 0; k < forests; ++k) {
            std::vector<double> w(g.m());
            for (std::size_t e = 0; e < g.m(); ++e) {
                w[e] = 1.0 * ((1.0 + double(k) * 0.001) + double(e) * 1e-9);
            }
            auto ref = deterministic_weighted_tree(g.n, g.tails, g.heads, g.lengths, w);
            expect_same_tree(c->forests[k].tree, *ref);
            EXPECT_EQ(c->forests[k].tree.depth, ref->depth);
            EXPECT_EQ(c->forests[k].tree.ancestors, ref->ancestors);
            EXPECT_EQ(c->forests[k].tree_mask, ref->in_tree);
            EXPECT_EQ(c->forests[k].tails, g.tails);
            EXPECT_EQ(c->forests[k].heads, g.heads);
            EXPECT_EQ(c->forests[k].lengths, g.lengths);
            EXPECT_EQ(c->forests[k].node_count, g.n);
            EXPECT_TRUE(c->forests[k].deleted.empty());
        }
        EXPECT_EQ(c->current_forest, (std::vector<std::uint64_t>{0, 0}));
        EXPECT_EQ(c->pending_deletions.size(), forests);
    };
    std::mt19937_64 rng(8);
    for (int round = 0; round < 20; ++round) {
        EdgeGraph g = random_edge_graph(rng, 2 + rng() % 10, rng() % 30, 1 + rng() % 2);
        // Nearly equal lengths.
        for (std::size_t e = 0; e < g.m(); ++e) g.lengths[e] = 1.0 + 1e-10 * double(rng() % 5);
        check(g, 4);
    }
    // Parallel pairs whose lengths differ by just under the weights' spread:
    // the first weight set takes the later edge of each pair, the others the
    // earlier one, so forests 1 to 3 share a tree that forest 0 does not.
    EdgeGraph pairs;
    pairs.n = 4;
    for (std::uint32_t v = 1; v < pairs.n; ++v) {
        pairs.add(v - 1, v, 1.0 - 1e-9 / 1.0005);
        pairs.add(v, v - 1, 1.0);
    }
    check(pairs, 4);
    auto c = ShiftableForestCollection::build_deterministic(pairs.n, pairs.tails, pairs.heads,
                                                            pairs.lengths, 3, 1);
    ASSERT_TRUE(c.has_value());
    EXPECT_NE(c->forests[0].tree_mask, c->forests[1].tree_mask);
    EXPECT_EQ(c->forests[1].tree_mask, c->forests[2].tree_mask);
    EdgeGraph g = random_edge_graph(rng, 4, 6);
    auto one = ShiftableForestCollection::build_deterministic(4, g.tails, g.heads, g.lengths, 0, 0);
    EXPECT_EQ(one->forests.size(), 1u);
    EXPECT_EQ(one->current_forest.size(), 1u);
    EXPECT_EQ(one->level_marks.size(), 1u);
    EXPECT_EQ(one->level_counters.size(), 1u);
    EXPECT_EQ(one->epoch, 0u);
    EXPECT_EQ(ShiftableForestCollection::build_deterministic(0, {}, {}, {}, 3, 1).error(),
              TreeError::EmptyGraph);
}

TEST(ShiftableForests, PendingDeletionsReachOnlyTheCurrentForest) {
    EdgeGraph g;
    g.n = 4;
    for (std::uint32_t i = 0; i < 3; ++i) g.add(i, i + 1, 1.0);
    auto c = ShiftableForestCollection::build_deterministic(4, g.tails, g.heads, g.lengths, 3, 2);
    ASSERT_TRUE(c.has_value());
    c->pending_deletions[0].insert(1);
    c->pending_deletions[2].insert(0);
    c->level_counters = {5, 6};
    c->current_forest = {2, 0};

    c->apply_pending_to_current(0);  // forest 2
    EXPECT_TRUE(c->pending_deletions[2].empty());
    EXPECT_FALSE(c->forests[2].tree_mask[0]);
    EXPECT_EQ(c->forests[2].tree.root, (std::vector<std::uint64_t>{0, 1, 1, 1}));
    EXPECT_TRUE(c->forests[0].tree_mask[0]);
    EXPECT_EQ(c->level_counters, (std::vector<std::uint64_t>{0, 6}));
    EXPECT_EQ(c->pending_deletions[0].size(), 1u);  // waits for its turn

    c->apply_pending_to_current(1);  // forest 0
    EXPECT_FALSE(c->forests[0].tree_mask[1]);
    EXPECT_EQ(c->forests[0].deleted.size(), 1u);
    EXPECT_EQ(c->level_counters, (std::vector<std::uint64_t>{0, 0}));

    // Nothing pending: only the counter; out of range: nothing at all.
    c->level_counters = {3, 4};
    c->apply_pending_to_current(1);
    EXPECT_EQ(c->level_counters, (std::vector<std::uint64_t>{3, 0}));
    c->apply_pending_to_current(2);
    EXPECT_EQ(c->level_counters, (std::vector<std::uint64_t>{3, 0}));
    // A current index beyond the forests is tolerated.
    c->current_forest[0] = 9;
    c->apply_pending_to_current(0);
    EXPECT_EQ(c->level_counters[0], 0u);
}
