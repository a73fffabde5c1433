// BranchingTreeChain: levels, the reduction rule, forest paths, closed
// cycles (with the spanner detour), candidate extraction and rebuilds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "min_ratio/branching_tree_chain.hpp"
#include "random_edge_graphs.hpp"
#include "trees/low_stretch_tree.hpp"

using namespace zelk;
using zelk::testing::count_components;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace zelk {
// Hand-made levels and counters for the tests below.
struct BranchingTreeChainTestAccess {
    static std::vector<LevelData>& levels(BranchingTreeChain& c) { return c.levels_; }
    static std::vector<LevelCounters>& counters(BranchingTreeChain& c) { return c.level_counters_; }
    static bool prefix_sums(BranchingTreeChain& c, std::span<const double> g,
                            std::span<const double> l) {
        return c.fill_prefix_sums(g, l);
    }
    static bool cannot_beat(BranchingTreeChain& c, std::uint64_t i, double threshold,
                            std::span<const double> g, std::span<const double> l) {
        return c.cannot_beat(i, threshold, g, l);
    }
};
}  // namespace zelk

namespace {

BranchingTreeChain build(const EdgeGraph& g, std::optional<std::uint64_t> limit = std::nullopt,
                         bool det = true, double factor = 0.125) {
    auto c = BranchingTreeChain::build(g.n, g.tails, g.heads, g.lengths, limit, det, factor);
    EXPECT_TRUE(c.has_value());
    return std::move(*c);
}

// The cycle is a closed walk over the level's edges starting at `start`.
void expect_closed_walk(const LevelData& level, const Cycle& cycle, std::uint64_t start) {
    std::uint64_t at = start;
    for (auto [e, s] : cycle) {
        ASSERT_LT(e, level.tails.size());
        ASSERT_TRUE(s == 1 || s == -1);
        const std::uint64_t from = s > 0 ? level.tails[e] : level.heads[e];
        const std::uint64_t to = s > 0 ? level.heads[e] : level.tails[e];
        ASSERT_EQ(from, at);
        at = to;
    }
    EXPECT_EQ(at, start);
}

EdgeGraph parallel_pair(const std::vector<double>& lengths) {
    EdgeGraph g;
    g.n = 2;
    for (double l : lengths) g.add(0, 1, l);
    return g;
}

}  // namespace

TEST(BranchingChain, LevelLimitsAndArgumentChecks) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {{1, 1},  {2, 1},  {7, 1},   {8, 2},
                                                             {63, 2}, {64, 3}, {511, 3}, {512, 4}};
    for (auto [n, limit] : cases) {
        EXPECT_EQ(BranchingTreeChain::automatic_level_limit(n), limit) << n;
    }
    EdgeGraph g = parallel_pair({1.0});
    EXPECT_EQ(BranchingTreeChain::build(0, {}, {}, {}, {}, true, 0.125).error(),
              TreeError::EmptyGraph);
    g.lengths.clear();
    EXPECT_EQ(BranchingTreeChain::build(2, g.tails, g.heads, g.lengths, {}, true, 0.125).error(),
              TreeError::MissingEdgeLengths);
}

TEST(BranchingChain, ConnectedGraphsGiveOneLevel) {
    std::mt19937_64 rng(2);
    for (std::uint64_t n : {10u, 1000u}) {
        EdgeGraph g = random_edge_graph(rng, n, 3 * n);
        for (std::uint32_t i = 0; i + 1 < n; ++i) g.add(i, i + 1, 2.0);  // connected
        BranchingTreeChain c = build(g);
        ASSERT_EQ(c.levels().size(), 1u);
        ASSERT_TRUE(c.forests().has_value());
        const LevelData& l = c.levels()[0];
        EXPECT_EQ(l.node_cluster, std::vector<std::uint64_t>(n, 0));
        EXPECT_EQ(l.contracted.node_count, 1u);
        EXPECT_TRUE(l.contracted.tails.empty());
        ASSERT_EQ(l.contracted.members.size(), 1u);
        EXPECT_EQ(l.contracted.members[0].size(), n);
        EXPECT_EQ(l.tails, g.tails);
    }
    EXPECT_FALSE(build(parallel_pair({1.0}), std::nullopt, false).forests().has_value());
}

TEST(BranchingChain, DisconnectedGraphsStopAtTheFailedReduction) {
    std::mt19937_64 rng(4);
    EdgeGraph g = random_edge_graph(rng, 12, 40, 3);
    for (std::uint32_t i = 0; i + 3 < 12; ++i) g.add(i, i + 3, 1.0);  // three components
    ASSERT_EQ(count_components(g), 3u);

    // Automatic limit 2: the second level does not shrink 3 -> 3 and is not
    // kept; the chain stays usable with its first level.
    BranchingTreeChain c = build(g);
    ASSERT_EQ(c.levels().size(), 1u);
    EXPECT_EQ(c.failures(), (std::vector<std::string>{"hierarchy reduction failed: 3 -> 3"}));
    EXPECT_EQ(c.level_counters().size(), 1u);
    EXPECT_EQ(c.build_seconds().size(), 1u);
    const LevelData& l = c.levels()[0];
    EXPECT_EQ(l.contracted.node_count, 3u);
    EXPECT_EQ(l.contracted.members, (std::vector<std::vector<std::uint64_t>>{
                                        {0, 3, 6, 9}, {1, 4, 7, 10}, {2, 5, 8, 11}}));
    EXPECT_EQ(l.node_cluster, (std::vector<std::uint64_t>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_TRUE(l.contracted.tails.empty());

    // Limit 1: no second level, no failure. A factor of 1 accepts the
    // edgeless levels that follow.
    EXPECT_TRUE(build(g, 1).failures().empty());
    BranchingTreeChain loose = build(g, 3, true, 1.0);
    ASSERT_EQ(loose.levels().size(), 3u);
    EXPECT_TRUE(loose.failures().empty());
    EXPECT_TRUE(loose.levels()[2].tails.empty());
    EXPECT_EQ(loose.levels()[2].contracted.node_count, 3u);
    EXPECT_EQ(loose.forests()->current_forest.size(), 3u);
    // An unbounded limit on such a chain stops at the level cap.
    EXPECT_EQ(build(g, ~std::uint64_t{0}, false, 1.0).levels().size(), MAX_CHAIN_LEVELS);
}

TEST(BranchingChain, FormCycleClosesWalksAtLevelZero) {
    std::mt19937_64 rng(6);
    for (int round = 0; round < 20; ++round) {
        const std::uint64_t n = 1 + rng() % 25;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (3 * n + 1), 1 + rng() % 3);
        BranchingTreeChain c = build(g, std::nullopt, round % 2 == 0);
        ASSERT_FALSE(c.levels().empty());
        const LevelData& l = c.levels()[0];
        auto tree = LowStretchTree::build_low_stretch_with_mode(n, g.tails, g.heads, g.lengths,
                                                                round % 2 == 0, 0);
        for (std::size_t i = 0; i < g.m(); ++i) {
            auto cyc = c.form_cycle(i, 0);
            // Every edge lies within one tree of a spanning forest.
            ASSERT_TRUE(cyc.has_value());
            expect_closed_walk(l, *cyc, g.tails[i]);
            EXPECT_EQ(cyc->back(), (SignedEdge{i, g.tails[i] == g.heads[i] ? 1 : -1}));
            // The path part has the tree path's length and only lowest
            // joining edges.
            auto tp = tree->path_edges(g.tails[i], g.heads[i], g.tails, g.heads);
            EXPECT_EQ(cyc->size(), tp->size() + 1);
            // A tree edge that is the lowest joining its endpoints closes
            // (i, +1), (i, -1): numerator 0, never a candidate.
            bool lowest = true;
            for (std::size_t j = 0; j < i; ++j) {
                lowest &=
                    std::minmax(g.tails[j], g.heads[j]) != std::minmax(g.tails[i], g.heads[i]);
            }
            if (tree->in_tree[i] && lowest) {
                EXPECT_EQ(*cyc, (Cycle{{i, 1}, {i, -1}}));
            }
        }
        EXPECT_FALSE(c.form_cycle(g.m(), 0).has_value());
        EXPECT_FALSE(c.form_cycle(0, 5).has_value());
    }
}

TEST(BranchingChain, PathEdgesBetweenUsesTheLowestJoiningEdge) {
    // Tree edge 2 = (1, 0) of length 0.5; edges 0 (0, 1) and 1 (1, 0) join
    // the same pair with lower identifiers.
    EdgeGraph g = parallel_pair({1.0});
    g.tails = {0, 1, 1, 1};
    g.heads = {1, 0, 0, 2};
    g.lengths = {1.0, 1.0, 0.5, 1.0};
    g.n = 3;
    BranchingTreeChain c = build(g);
    const LevelData& l = c.levels()[0];
    EXPECT_EQ(BranchingTreeChain::path_edges_between(l, 2, 0),
              (std::vector<SignedEdge>{{3, -1}, {0, -1}}));
    EXPECT_EQ(BranchingTreeChain::path_edges_between(l, 0, 2),
              (std::vector<SignedEdge>{{0, 1}, {3, 1}}));
    EXPECT_EQ(BranchingTreeChain::path_edges_between(l, 1, 1), std::vector<SignedEdge>{});
    EXPECT_FALSE(BranchingTreeChain::path_edges_between(l, 0, 3).has_value());
    EXPECT_EQ(c.form_cycle(2, 0), (Cycle{{0, -1}, {2, -1}}));
}

TEST(BranchingChain, LinkedPathsMatchThePairIndex) {
    // The per-node links and the pair index with breadth-first node paths
    // give the same paths.
    std::mt19937_64 rng(19);
    for (int round = 0; round < 15; ++round) {
        const std::uint64_t n = 1 + rng() % 20;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (3 * n + 1), 1 + rng() % 3);
        BranchingTreeChain c = build(g, 1);
        LevelData plain = c.levels()[0];
        plain.parent_link.clear();
        plain.index_node_pairs();
        for (std::uint64_t u = 0; u <= n; ++u) {
            for (std::uint64_t v = 0; v <= n; ++v) {
                EXPECT_EQ(BranchingTreeChain::path_edges_between(c.levels()[0], u, v),
                          BranchingTreeChain::path_edges_between(plain, u, v));
            }
        }
    }
}

TEST(BranchingChain, SpannerDetourOnUpperLevelsIsAClosedWalk) {
    // A level assembled by hand whose contracted nodes are pieces of one
    // forest tree, so that long forest paths cross contracted nodes and the
    // detour through the level's spanner is taken.
    std::mt19937_64 rng(12);
    int detours = 0;
    for (int round = 0; round < 10; ++round) {
        BranchingTreeChain c = build(parallel_pair({1.0}));
        const std::uint64_t n = 40;
        LevelData l;
        for (std::uint32_t j = 0; j + 1 < n; ++j) {
            const bool flip = rng() % 2 == 0;
            l.tails.push_back(flip ? j + 1 : j);
            l.heads.push_back(flip ? j : j + 1);
            l.lengths.push_back(1.0);
        }
        std::vector<bool> mask(l.tails.size(), true);
        for (int k = 0; k < 30; ++k) {
            l.tails.push_back(static_cast<std::uint32_t>(rng() % n));
            l.heads.push_back(static_cast<std::uint32_t>(rng() % n));
            l.lengths.push_back(1.0);
            mask.push_back(false);
        }
        auto tree = LowStretchTree::build_from_tree_edges(n, l.tails, l.heads, l.lengths, mask);
        l.forest = LSForest::from_tree(*tree, l.tails, l.heads, l.lengths);
        l.contracted.node_count = n / 4;
        l.contracted.members.resize(n / 4);
        for (std::uint64_t x = 0; x < n; ++x) {
            l.node_cluster.push_back(x / 4);
            l.contracted.members[x / 4].push_back(x);
        }
        for (std::size_t e = 0; e < l.tails.size(); ++e) {
            const auto a = l.node_cluster[l.tails[e]], b = l.node_cluster[l.heads[e]];
            if (a == b) continue;
            l.contracted.tails.push_back(static_cast<std::uint32_t>(a));
            l.contracted.heads.push_back(static_cast<std::uint32_t>(b));
            l.contracted.lengths.push_back(1.0);
            l.contracted_edge_origin.push_back(e);
        }
        DecrementalSpannerConfig config;
        auto sp = build_spanner_on_core(l.contracted, l.forest, config);
        ASSERT_TRUE(sp.has_value());
        l.spanner = std::move(*sp);
        l.index_edge_pairs();
        BranchingTreeChainTestAccess::levels(c).push_back(std::move(l));
        const LevelData& level = c.levels()[1];
        for (std::size_t i = 0; i < level.tails.size(); ++i) {
            auto plain =
                BranchingTreeChain::path_edges_between(level, level.tails[i], level.heads[i]);
            auto cyc = c.form_cycle(i, 1);
            ASSERT_TRUE(cyc.has_value());
            expect_closed_walk(level, *cyc, level.tails[i]);
            if (cyc->size() != plain->size() + 1 ||
                !std::equal(plain->begin(), plain->end(), cyc->begin())) {
                ++detours;
                EXPECT_GE(plain->size(), 9u);
            }
        }
    }
    EXPECT_GT(detours, 20);
}

TEST(BranchingChain, CandidateListAndSelection) {
    // Edge 0 (length 0.25) is the tree edge; edge j closes (0, +1), (j, -1)
    // with denominator 1 and score g_j - g_0.
    EdgeGraph g = parallel_pair({0.25, 0.75, 0.75, 0.75});
    auto run = [&](std::vector<double> grad, std::size_t list_len, double tol) {
        BranchingTreeChain c = build(g);
        std::vector<double> len = g.lengths;
        len.resize(list_len, 0.0);
        auto cyc = c.extract_min_ratio_cycle(grad, len, tol);
        return cyc ? cyc->back().first : ~std::uint64_t{0};
    };
    // List of 3 (9 lengths): scores 2.0, 2.1, 2.3.
    EXPECT_EQ(run({0.0, 2.0, 2.1, 2.3}, 9, 0.1), 3u);
    EXPECT_EQ(run({0.0, 2.0, 2.1, 2.3}, 9, 0.2), 1u);
    EXPECT_EQ(run({0.0, 2.0, 2.1, 2.3}, 9, 0.0), 3u);
    // List of 2 (4 lengths): 2.3 replaces 2.0, leaving [2.3, 2.1].
    EXPECT_EQ(run({0.0, 2.0, 2.1, 2.3}, 4, 0.5), 3u);
    // Ties: the earliest lowest entry is replaced: [2.0a, 2.0b] -> [2.5, 2.0b].
    EXPECT_EQ(run({0.0, 2.0, 2.0, 2.5}, 4, 0.5), 3u);
    // A new score equal to the lowest does not replace it.
    EXPECT_EQ(run({0.0, 2.0, 2.5, 2.0}, 4, 0.5), 1u);
    // List of 1 keeps the best; no lengths keeps nothing.
    EXPECT_EQ(run({0.0, 2.1, 2.0, 1.0}, 1, 10.0), 1u);
    EXPECT_EQ(run({0.0, 2.0, 2.1, 2.3}, 0, 0.1), ~std::uint64_t{0});
    // No improving cycle; no edges.
    EXPECT_EQ(run({5.0, 2.0, 2.1, 2.3}, 9, 0.1), ~std::uint64_t{0});
    EdgeGraph empty;
    empty.n = 3;
    BranchingTreeChain c = build(empty);
    EXPECT_FALSE(c.extract_min_ratio_cycle({}, {}, 0.1).has_value());
}

TEST(BranchingChain, ExtractionPicksAnImprovingClosedCycleWheneverOneExists) {
    std::mt19937_64 rng(31);
    std::size_t found = 0;
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 2 + rng() % 20;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (4 * n), 1 + rng() % 3);
        BranchingTreeChain c = build(g, 3, round % 2 == 0, round % 3 == 0 ? 1.0 : 0.125);
        std::vector<double> grad(g.m() + rng() % 3), len(g.m() + 1 + rng() % 5);
        for (double& x : grad) x = static_cast<double>(rng() % 9) - 4.0;
        for (double& x : len) x = 0.5 * static_cast<double>(rng() % 4);
        const double tol = 0.05 * static_cast<double>(rng() % 5);
        auto score = [&](const Cycle& cyc) {
            double num = 0.0, den = 0.0;
            for (auto [e, s] : cyc) {
                num += s * (e < grad.size() ? grad[e] : 0.0);
                den += std::fabs(e < len.size() ? len[e] : 0.0);
            }
            return std::pair{num, den};
        };
        std::vector<Cycle> improving;
        for (std::size_t lv = 0; lv < c.levels().size(); ++lv) {
            for (std::size_t i = 0; i < c.levels()[lv].tails.size(); ++i) {
                auto cyc = c.form_cycle(i, lv);
                if (!cyc) continue;
                const auto [num, den] = score(*cyc);
                if (den > 0.0 && num < 0.0) improving.push_back(*cyc);
            }
        }
        const auto got = c.extract_min_ratio_cycle(grad, len, tol);
        ASSERT_EQ(got.has_value(), !improving.empty()) << round;
        if (!got) continue;
        ++found;
        EXPECT_NE(std::ranges::find(improving, *got), improving.end()) << round;
        EXPECT_EQ(c.extract_min_ratio_cycle(grad, len, tol), got);
    }
    EXPECT_GT(found, 10u);
}

TEST(BranchingChain, FailuresAndLevelRebuilds) {
    std::mt19937_64 rng(44);
    EdgeGraph g = random_edge_graph(rng, 12, 40, 3);
    BranchingTreeChain c = build(g, 3, true, 1.0);
    ASSERT_EQ(c.levels().size(), 3u);
    for (auto& k : BranchingTreeChainTestAccess::counters(c)) k.rounds = k.instability_hits = 5;

    // Out of range: nothing at all.
    ChainGraph graph{g.tails, g.heads, g.lengths, g.n, true};
    ASSERT_TRUE(c.rebuild_level(3, graph, false).has_value());
    EXPECT_EQ(c.level_counters()[0].rounds, 5u);

    // A failing build leaves the chain as it was.
    ChainGraph bad{g.tails, g.heads, g.lengths, 0, true};
    EXPECT_EQ(c.rebuild_level(0, bad, true).error(), TreeError::EmptyGraph);
    EXPECT_EQ(c.level_counters()[0].rounds, 5u);

    // Level 0 from new lengths; the upper levels stay; counters restart.
    EdgeGraph h = g;
    for (double& x : h.lengths) x = 4.0 - x;
    ChainGraph fresh{h.tails, h.heads, h.lengths, h.n, true};
    ASSERT_TRUE(c.rebuild_level(0, fresh, false).has_value());
    EXPECT_EQ(c.levels()[0].lengths, h.lengths);
    EXPECT_EQ(c.levels()[1].lengths, std::vector<double>{});
    ASSERT_EQ(c.level_counters().size(), 3u);
    for (auto& k : c.level_counters()) EXPECT_EQ(k.rounds, 0u);
    // All levels, with this chain's reduction factor.
    ASSERT_TRUE(c.rebuild_level(1, fresh, true).has_value());
    EXPECT_EQ(c.levels().size(), 3u);
    ASSERT_TRUE(c.forests().has_value());
}

namespace {

// The extraction without the bound: every cycle formed and scored, the
// list kept by a linear scan.
std::optional<Cycle> plain_extraction(BranchingTreeChain& c, std::span<const double> grad,
                                      std::span<const double> len, double tol) {
    const auto cap = static_cast<std::size_t>(std::ceil(std::sqrt(double(len.size()))));
    std::vector<std::pair<double, Cycle>> list;
    std::size_t lowest = 0;
    for (std::size_t lv = c.levels().size(); lv-- > 0;) {
        for (std::size_t i = 0; i < c.levels()[lv].tails.size(); ++i) {
            auto cyc = c.form_cycle(i, lv);
            if (!cyc) continue;
            double num = 0.0, den = 0.0;
            for (auto [e, s] : *cyc) {
                num += s * (e < grad.size() ? grad[e] : 0.0);
                den += std::fabs(e < len.size() ? len[e] : 0.0);
            }
            if (!(den > 0.0 && num < 0.0)) continue;
            const double score = -num / den;
            if (list.size() < cap) {
                list.emplace_back(score, *cyc);
            } else if (cap > 0 && score > list[lowest].first) {
                list[lowest] = {score, *cyc};
            } else {
                continue;
            }
            if (list.size() == cap) {
                lowest = 0;
                for (std::size_t j = 1; j < list.size(); ++j)
                    if (list[j].first < list[lowest].first) lowest = j;
            }
        }
    }
    if (list.empty()) return std::nullopt;
    std::size_t best = 0;
    for (std::size_t j = 1; j < list.size(); ++j)
        if (list[j].first > (1.0 + tol) * list[best].first) best = j;
    return list[best].second;
}

}  // namespace

// The extraction skips level-0 edges whose bound from sums along the forest
// proves they cannot enter the full candidate list. Against a plain
// extraction that walks every cycle (on a copy of the chain), the answer
// must be the same cycle on adversarial values: exact and last-bit ties,
// lengths from 2^-60 to 2^60, gradients that nearly cancel, deep forests.
TEST(BranchingChain, PrunedExtractionEqualsWalkingEveryCycle) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 48; ++round) {
        const std::uint64_t n = 2 + rng() % 60;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (5 * n), 1 + rng() % 2);
        if (round % 3 == 0) {  // a long path under the chords: deep forests
            for (std::uint32_t x = 0; x + 1 < n; ++x) g.add(x, x + 1, 0.5);
        }
        const int mode = round % 4;
        for (double& l : g.lengths) {
            if (mode == 1) l = std::ldexp(1.0, static_cast<int>(rng() % 5) * 30 - 60);
            if (mode == 3) l = std::uniform_real_distribution<double>(1e-3, 1e3)(rng);
        }
        BranchingTreeChain c = build(g, 3, true, round % 5 == 0 ? 1.0 : 0.125);
        std::vector<double> grad(g.m()), len(g.lengths.begin(), g.lengths.end());
        for (std::size_t e = 0; e < grad.size(); ++e) {
            const double base = static_cast<double>(rng() % 9) - 4.0;
            switch (mode) {
                case 0: grad[e] = base; break;  // exact ties
                case 1: grad[e] = std::ldexp(base, static_cast<int>(rng() % 5) * 30 - 60); break;
                case 2:
                    grad[e] = base + (rng() % 2 == 0 ? 0.0 : std::nextafter(base, 9.0) - base);
                    break;  // last-bit ties
                default: grad[e] = 1e6 * base + std::uniform_real_distribution<double>(-1, 1)(rng);
            }
        }
        const double tol = round % 2 == 0 ? 0.0 : 0.05;
        BranchingTreeChain reference = c;
        const auto want = plain_extraction(reference, grad, len, tol);
        const auto got = c.extract_min_ratio_cycle(grad, len, tol);
        ASSERT_EQ(got, want) << round;
    }
}

// Each level-0 edge keeps the lowest common ancestor of its ends from the
// first query that needs it. Later queries with other values, and a level
// indexed again over another forest of the same edges, must still extract
// what walking every cycle extracts.
TEST(BranchingChain, CachedBoundsFollowQueriesAndReindexedLevels) {
    std::mt19937_64 rng(21);
    std::size_t queries = 0;
    for (int round = 0; round < 40; ++round) {
        const std::uint64_t n = 6 + rng() % 40;
        EdgeGraph g = random_edge_graph(rng, n, 2 * n + rng() % (4 * n), 1);
        for (std::uint32_t x = 0; x + 1 < n; ++x) g.add(x, x + 1, 0.5);
        BranchingTreeChain c = build(g, 1);
        for (int q = 0; q < 6; ++q) {
            if (q % 2 == 1) {
                // Another spanning forest: the tree built for shuffled lengths.
                EdgeGraph h = g;
                std::shuffle(h.lengths.begin(), h.lengths.end(), rng);
                const BranchingTreeChain other = build(h, 1);
                LevelData& level = BranchingTreeChainTestAccess::levels(c)[0];
                level.forest = other.levels()[0].forest;
                level.index_edge_pairs();
            }
            std::vector<double> grad(g.m()), len(g.lengths.begin(), g.lengths.end());
            for (std::size_t e = 0; e < grad.size(); ++e) {
                grad[e] = static_cast<double>(rng() % 9) - 4.0;  // many ties
                if (q >= 2) len[e] = static_cast<double>(1 + rng() % 4) * 0.25;
            }
            c.take_lengths(len);
            BranchingTreeChain reference = c;
            const double tol = q % 3 == 0 ? 0.0 : 0.05;
            ASSERT_EQ(c.extract_min_ratio_cycle(grad, len, tol),
                      plain_extraction(reference, grad, len, tol))
                << round << " " << q;
            ++queries;
        }
    }
    EXPECT_EQ(queries, 240u);
}

// The bound itself, edge by edge: against the score the walk computes, it
// must never rule an edge out for a threshold one step below that score
// (the list would take it), and it should rule out most edges for a
// threshold a little above it. Same adversarial values as above.
TEST(BranchingChain, ForestBoundNeverRulesOutAScoreAboveTheThreshold) {
    std::mt19937_64 rng(12);
    std::size_t ruled_out = 0, scored = 0;
    for (int round = 0; round < 48; ++round) {
        const std::uint64_t n = 2 + rng() % 80;
        EdgeGraph g = random_edge_graph(rng, n, rng() % (5 * n), 1);
        for (std::uint32_t x = 0; x + 1 < n; ++x) g.add(x, x + 1, 0.5);
        const int mode = round % 4;
        for (double& l : g.lengths) {
            if (mode == 1) l = std::ldexp(1.0, static_cast<int>(rng() % 5) * 30 - 60);
            if (mode >= 2) l = std::uniform_real_distribution<double>(1e-3, 1e3)(rng);
        }
        BranchingTreeChain c = build(g, 1);
        std::vector<double> grad(g.m()), len(g.lengths.begin(), g.lengths.end());
        for (double& x : grad) {
            const double base = static_cast<double>(rng() % 9) - 4.0;
            x = mode == 1   ? std::ldexp(base, static_cast<int>(rng() % 5) * 30 - 60)
                : mode == 2 ? 1e8 * base + std::uniform_real_distribution<double>(-1, 1)(rng)
                            : std::uniform_real_distribution<double>(-1, 1)(rng) * 0.1;
        }
        if (!BranchingTreeChainTestAccess::prefix_sums(c, grad, len)) continue;
        for (std::size_t i = 0; i < c.levels()[0].tails.size(); ++i) {
            const auto cyc = c.form_cycle(i, 0);
            if (!cyc) continue;
            double num = 0.0, den = 0.0;
            for (auto [e, s] : *cyc) {
                num += s * grad[e];
                den += std::fabs(len[e]);
            }
            if (!(den > 0.0 && num < 0.0)) continue;
            const double score = -num / den;
            ++scored;
            const double below = std::nextafter(score, 0.0);
            EXPECT_FALSE(BranchingTreeChainTestAccess::cannot_beat(c, i, below, grad, len))
                << round << " " << i;
            if (BranchingTreeChainTestAccess::cannot_beat(c, i, score * (1.0 + 1e-9), grad, len))
                ++ruled_out;
        }
    }
    EXPECT_GT(scored, 500u);
    EXPECT_GT(ruled_out, scored / 2);
}

// A level-0 rebuild that is handed the tree it would build reads it instead,
// with the same levels as a build of its own; a tree over other arrays is
// ignored.
TEST(BranchingChain, LevelZeroReadsAPrebuiltTreeOnlyOverItsOwnArrays) {
    auto expect_same_levels = [](BranchingTreeChain& a, BranchingTreeChain& b) {
        const auto& la = BranchingTreeChainTestAccess::levels(a);
        const auto& lb = BranchingTreeChainTestAccess::levels(b);
        ASSERT_EQ(la.size(), lb.size());
        for (std::size_t i = 0; i < la.size(); ++i) {
            EXPECT_EQ(la[i].node_cluster, lb[i].node_cluster);
            EXPECT_EQ(la[i].contracted_edge_origin, lb[i].contracted_edge_origin);
            EXPECT_EQ(la[i].contracted.tails, lb[i].contracted.tails);
            EXPECT_EQ(la[i].contracted.lengths, lb[i].contracted.lengths);
            EXPECT_EQ(la[i].parent_link, lb[i].parent_link);
            EXPECT_EQ(la[i].by_depth, lb[i].by_depth);
            EXPECT_EQ(la[i].lengths, lb[i].lengths);
            for (std::uint64_t x = 0; x < la[i].forest.node_count; ++x) {
                EXPECT_EQ(la[i].forest.rooted_parent(x), lb[i].forest.rooted_parent(x));
            }
        }
    };
    std::mt19937_64 rng(41);
    for (int round = 0; round < 40; ++round) {
        const EdgeGraph g = random_edge_graph(rng, 2 + rng() % 40, 1 + rng() % 90, 1 + rng() % 2);
        std::vector<double> now = g.lengths, other = g.lengths;
        for (double& x : now) x *= 1.0 + static_cast<double>(rng() % 3);
        for (double& x : other) x = 0.5 * static_cast<double>(1 + rng() % 5);
        auto same_tree =
            LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, now, true, 0);
        auto other_tree =
            LowStretchTree::build_low_stretch_with_mode(g.n, g.tails, g.heads, other, true, 0);
        ASSERT_TRUE(same_tree.has_value() && other_tree.has_value());
        const bool all = rng() % 2 == 0;
        BranchingTreeChain own = build(g), read = build(g), ignored = build(g);
        ChainGraph graph{g.tails, g.heads, now, g.n, true, {}};
        ASSERT_TRUE(own.rebuild_level(0, graph, all).has_value());
        graph.prebuilt = PrebuiltTree{&*same_tree, g.n, g.tails, g.heads, now};
        ASSERT_TRUE(read.rebuild_level(0, graph, all).has_value());
        graph.prebuilt = PrebuiltTree{&*other_tree, g.n, g.tails, g.heads, other};
        ASSERT_TRUE(ignored.rebuild_level(0, graph, all).has_value());
        expect_same_levels(own, read);
        expect_same_levels(own, ignored);
    }
}
