// CycleCandidate, select_better_candidate, score_edge_cycle,
// MinRatioOracle.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

#include "min_ratio/cycle_candidate.hpp"
#include "min_ratio/min_ratio_oracle.hpp"
#include "worker_pool.hpp"

using namespace zelk;

namespace {

CycleCandidate cand(std::uint64_t first, double ratio) {
    CycleCandidate c;
    c.cycle = {{first, 1}};
    c.ratio = ratio;
    c.numerator = ratio;
    c.denominator = 1.0;
    return c;
}

}  // namespace

namespace zelk {
// Readable failure messages.
void PrintTo(const CycleCandidate& c, std::ostream* os) {
    *os << "{ratio=" << c.ratio << " num=" << c.numerator << " den=" << c.denominator << " cycle=";
    for (auto [e, s] : c.cycle) *os << (s > 0 ? "+" : "-") << e << " ";
    *os << "}";
}

// Marks and counters planted by the tests below.
struct MinRatioOracleTestAccess {
    static std::optional<DynamicSpanner>& spanner(MinRatioOracle& o) { return o.spanner_; }
    static std::uint64_t& spanner_queries(MinRatioOracle& o) { return o.spanner_queries_; }
    static std::uint64_t& spanner_candidates_total(MinRatioOracle& o) {
        return o.spanner_candidates_total_;
    }
};
}  // namespace zelk

namespace {

struct Instance {
    std::uint64_t n = 0;
    std::vector<std::uint32_t> tails, heads;
    std::vector<double> gradients, lengths;

    OracleQuery query(std::uint64_t iteration) const {
        return OracleQuery{tails, heads, gradients, lengths, iteration, n};
    }
};

Instance random_instance(std::mt19937_64& rng, std::uint64_t n, std::size_t m, bool near_ties) {
    Instance g;
    g.n = n;
    for (std::size_t i = 0; i < m; ++i) {
        g.tails.push_back(static_cast<std::uint32_t>(rng() % n));
        g.heads.push_back(static_cast<std::uint32_t>(rng() % n));
        if (near_ties) {
            // Integral gradients plus noise far below the tie tolerance, so
            // ratios tie and chain non-transitively within 1e-12.
            g.gradients.push_back(static_cast<double>(static_cast<int>(rng() % 7) - 3) +
                                  static_cast<double>(rng() % 8) * 2e-13);
            g.lengths.push_back(rng() % 2 == 0 ? 1.0 : 2.0);
        } else {
            g.gradients.push_back(std::uniform_real_distribution<double>(-5, 5)(rng));
            g.lengths.push_back(std::uniform_real_distribution<double>(0.1, 3)(rng));
        }
    }
    return g;
}

MinRatioOracle make_oracle(std::uint64_t rebuild_every, bool deterministic = true) {
    MinRatioOracle o;
    o.rebuild_every = rebuild_every;
    o.deterministic = deterministic;
    o.seed = 42;
    return o;
}

std::optional<CycleCandidate> join(std::optional<CycleCandidate> a,
                                   std::optional<CycleCandidate> b) {
    if (!a) return b;
    if (!b) return a;
    return select_better_candidate(std::move(*a), std::move(*b));
}

// Independent reference of one query that rebuilds (iteration 0): the tree
// of build_with_mode, a spanner of the whole graph, BFS embeddings from head
// to tail with the current values. Returns (spanner fold, tree candidates).
struct Reference {
    std::optional<CycleCandidate> spanner_best;
    std::vector<std::optional<CycleCandidate>> tree_candidates;
    std::vector<std::optional<CycleCandidate>> spanner_candidates;
};

Reference reference_first_query(const Instance& g, const LowStretchTree& tree) {
    Reference r;
    const std::size_t m = g.tails.size();
    DynamicSpanner sp(g.n);
    for (std::size_t i = 0; i < m; ++i)
        sp.insert_edge_with_values(g.tails[i], g.heads[i], g.lengths[i], g.gradients[i]);
    r.tree_candidates.resize(m);
    r.spanner_candidates.resize(m);
    for (std::size_t e = 0; e < m; ++e) {
        r.tree_candidates[e] = score_edge_cycle(tree, e, g.tails, g.heads, g.gradients, g.lengths);
        if (tree.in_tree[e]) continue;
        auto path = sp.embed_edge_with_bfs(e, g.heads[e], g.tails[e]);
        std::optional<CycleCandidate> c;
        if (!path) {
            c = r.tree_candidates[e];
        } else {
            CycleCandidate k;
            k.cycle = {{e, 1}};
            k.numerator = g.gradients[e];
            k.denominator = std::fabs(g.lengths[e]);
            for (auto [f, s] : *path) {
                k.cycle.push_back({f, s});
                k.numerator += s * g.gradients[f];
                k.denominator += std::fabs(g.lengths[f]);
            }
            k.ratio = k.numerator / k.denominator;
            if (k.denominator > 0) c = k;
        }
        r.spanner_candidates[e] = c;
        r.spanner_best = join(r.spanner_best, c);
    }
    return r;
}

}  // namespace

TEST(SelectBetterCandidate, TieRule) {
    // -1.0 and -1.0 + 5e-13 tie; the lower closing edge wins either way.
    EXPECT_EQ(select_better_candidate(cand(3, -1.0), cand(8, -1.0 + 5e-13)).closing_edge(), 3u);
    EXPECT_EQ(select_better_candidate(cand(8, -1.0 + 5e-13), cand(3, -1.0)).closing_edge(), 3u);
    EXPECT_EQ(select_better_candidate(cand(3, -1.0 + 5e-13), cand(8, -1.0)).closing_edge(), 3u);
    EXPECT_EQ(select_better_candidate(cand(8, -1.0), cand(3, -1.0 + 5e-13)).closing_edge(), 3u);
    // A clearly smaller ratio wins.
    EXPECT_EQ(select_better_candidate(cand(8, -1.0 - 2e-12), cand(3, -1.0)).closing_edge(), 8u);
    EXPECT_EQ(select_better_candidate(cand(3, -1.0), cand(8, -1.0 - 2e-12)).closing_edge(), 8u);
    // Full tie: the first argument.
    auto a = cand(4, 0.5), b = cand(4, 0.5);
    b.numerator = 99;
    EXPECT_EQ(select_better_candidate(a, b).numerator, 0.5);
    // NaN on either side: b.
    const double nan = std::nan("");
    EXPECT_EQ(select_better_candidate(cand(1, nan), cand(2, 5.0)).closing_edge(), 2u);
    EXPECT_EQ(select_better_candidate(cand(1, -5.0), cand(2, nan)).closing_edge(), 2u);
    // An empty cycle counts as closed by 2^64 - 1.
    CycleCandidate empty;
    empty.ratio = -1.0;
    EXPECT_EQ(empty.closing_edge(), NO_INDEX);
    EXPECT_EQ(select_better_candidate(empty, cand(7, -1.0)).closing_edge(), 7u);
    EXPECT_TRUE(select_better_candidate(cand(7, -1.0 + 1e-13), empty).closing_edge() == 7u);
}

TEST(ScoreEdgeCycle, CyclesAndRejections) {
    // Triangle 0->1 (e0), 1->2 (e1), 0->2 (e2); components {0,1,2} and {3,4}.
    std::vector<std::uint32_t> t{0, 1, 0, 3, 4}, h{1, 2, 2, 4, 3};
    std::vector<double> l{1.0, 2.0, 4.0, 1.0, 1.0};
    std::vector<double> g{0.5, -1.0, 2.0, 1.0, 3.0};
    std::vector<bool> mask{true, true, false, true, false};
    auto tree = LowStretchTree::build_from_tree_edges(5, t, h, l, mask);
    ASSERT_TRUE(tree.has_value());
    EXPECT_FALSE(score_edge_cycle(*tree, 0, t, h, g, l).has_value());  // tree edge
    auto c = score_edge_cycle(*tree, 2, t, h, g, l);
    ASSERT_TRUE(c.has_value());
    // e2 = 0->2, then the tree path from 2 back to 0: e1 backwards, e0 backwards.
    EXPECT_EQ(c->cycle, (std::vector<SignedEdge>{{2, 1}, {1, -1}, {0, -1}}));
    EXPECT_DOUBLE_EQ(c->numerator, 2.0 + 1.0 - 0.5);
    EXPECT_DOUBLE_EQ(c->denominator, 7.0);
    EXPECT_DOUBLE_EQ(c->ratio, 2.5 / 7.0);
    // Parallel edge 4->3 against the tree edge 3->4: a 2-cycle.
    auto d = score_edge_cycle(*tree, 4, t, h, g, l);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->cycle, (std::vector<SignedEdge>{{4, 1}, {3, 1}}));
    EXPECT_DOUBLE_EQ(d->ratio, 2.0);
    // Zero total length: no candidate.
    std::vector<double> zero(5, 0.0);
    EXPECT_FALSE(score_edge_cycle(*tree, 2, t, h, g, zero).has_value());
    // Endpoints in different trees: no candidate.
    std::vector<std::uint32_t> t2{0, 1, 0, 3, 2}, h2{1, 2, 2, 4, 3};
    std::vector<bool> mask2{true, true, false, true, false};
    auto tree2 = LowStretchTree::build_from_tree_edges(5, t2, h2, l, mask2);
    EXPECT_FALSE(score_edge_cycle(*tree2, 4, t2, h2, g, l).has_value());
    // A self-loop closes a one-edge cycle.
    std::vector<std::uint32_t> t3{0, 1}, h3{1, 1};
    std::vector<double> l3{1.0, 2.0}, g3{0.0, -3.0};
    auto tree3 = LowStretchTree::build_with_mode(2, t3, h3, l3, true, 0);
    auto s = score_edge_cycle(*tree3, 1, t3, h3, g3, l3);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->cycle, (std::vector<SignedEdge>{{1, 1}}));
    EXPECT_DOUBLE_EQ(s->ratio, -1.5);
}

// A level of the dynamic oracle may take another oracle's tree, spanner and
// scan instead of building them. Later queries, reusing that tree, must
// answer and count exactly as the oracle it copied.
TEST(MinRatioOracle, CopiedScanAnswersAsTheOriginal) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 6; ++round) {
        Instance g = random_instance(rng, 8 + rng() % 40, 20 + rng() % 200, round % 2 == 0);
        MinRatioOracle original = make_oracle(25);
        MinRatioOracle copy = make_oracle(25);
        ASSERT_TRUE(original.best_cycle_with_rebuild(g.query(0), false).has_value());
        copy.copy_scan_from(original);
        for (std::uint64_t it = 1; it < 6; ++it) {
            for (double& x : g.gradients) x += static_cast<double>(rng() % 5) - 2.0;
            const auto a = original.best_cycle_with_rebuild(g.query(it), false);
            const auto b = copy.best_cycle_with_rebuild(g.query(it), false);
            ASSERT_TRUE(a.has_value() && b.has_value());
            ASSERT_EQ(*a, *b) << round << " " << it;
            ASSERT_EQ(original.scan_stats(), copy.scan_stats()) << round << " " << it;
        }
    }
}

TEST(MinRatioOracle, RebuildSchedule) {
    std::mt19937_64 rng(1);
    Instance g = random_instance(rng, 10, 30, false);
    MinRatioOracle o = make_oracle(25);
    EXPECT_FALSE(o.tree().has_value());
    for (std::uint64_t it = 0; it <= 60; ++it) {
        auto r = o.best_cycle_with_rebuild(g.query(it), false);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(o.last_rebuild_iteration(), it < 25 ? 0u : (it < 50 ? 25u : 50u)) << it;
        EXPECT_EQ(o.spanner_queries(), it + 1);
        ASSERT_TRUE(o.scan_stats().has_value());
    }
    // Iteration 0 always rebuilds; force rebuilds.
    o.best_cycle_with_rebuild(g.query(0), false);
    EXPECT_EQ(o.last_rebuild_iteration(), 0u);
    o.best_cycle_with_rebuild(g.query(3), false);
    EXPECT_EQ(o.last_rebuild_iteration(), 0u);
    o.best_cycle_with_rebuild(g.query(4), true);
    EXPECT_EQ(o.last_rebuild_iteration(), 4u);
    // Going backwards wraps to a huge distance: rebuild.
    o.best_cycle_with_rebuild(g.query(2), false);
    EXPECT_EQ(o.last_rebuild_iteration(), 2u);
    // rebuild_every = 1: whenever the iteration advanced; 0: every query.
    MinRatioOracle one = make_oracle(1);
    one.best_cycle_with_rebuild(g.query(5), false);
    EXPECT_EQ(one.last_rebuild_iteration(), 5u);
    MinRatioOracleTestAccess::spanner(one)->instability.accumulated[0] = 7.0;  // marks this spanner
    one.best_cycle_with_rebuild(g.query(5), false);
    EXPECT_EQ(one.spanner()->instability.accumulated[0], 7.0);  // reused
    one.best_cycle_with_rebuild(g.query(6), false);
    EXPECT_EQ(one.last_rebuild_iteration(), 6u);
    EXPECT_EQ(one.spanner()->instability.accumulated[0], 0.0);  // new spanner
    MinRatioOracle zero = make_oracle(0);
    zero.best_cycle_with_rebuild(g.query(9), false);
    MinRatioOracleTestAccess::spanner(zero)->instability.accumulated[0] = 7.0;
    zero.best_cycle_with_rebuild(g.query(9), false);
    EXPECT_EQ(zero.spanner()->instability.accumulated[0], 0.0);
}

// A deterministic oracle rebuilding every query keeps its tree's shape and
// its spanner's walks while the graph stays: each query must answer, and
// leave tree and spanner, exactly as a new oracle over the same arrays does,
// through drifting values, ties, NaN lengths and changes of graph.
TEST(MinRatioOracle, RebuildOverTheSameGraphEqualsAFreshOracle) {
    std::mt19937_64 rng(31);
    MinRatioOracle kept = make_oracle(1);
    Instance g;
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b(v.size());
        std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
        return b;
    };
    for (std::uint64_t it = 0; it < 60; ++it) {
        if (it % 12 == 0) g = random_instance(rng, 2 + rng() % 25, rng() % 80, it % 24 == 0);
        for (std::size_t e = 0; e < g.lengths.size(); ++e) {
            if (rng() % 3 == 0) g.lengths[e] = 0.5 * static_cast<double>(1 + rng() % 6);
            if (rng() % 3 == 0) g.gradients[e] = static_cast<double>(rng() % 9) - 4.0;
        }
        if (it % 12 == 7 && !g.lengths.empty()) g.lengths[rng() % g.lengths.size()] = std::nan("");
        MinRatioOracle fresh = make_oracle(1);
        const auto a = kept.best_cycle_with_rebuild(g.query(it), false);
        const auto b = fresh.best_cycle_with_rebuild(g.query(it), false);
        ASSERT_EQ(a.has_value(), b.has_value()) << it;
        if (!a) continue;
        ASSERT_EQ(a->has_value(), b->has_value()) << it;
        if (a->has_value()) {
            EXPECT_EQ((*a)->cycle, (*b)->cycle) << it;
            EXPECT_EQ(bits({(*a)->ratio, (*a)->numerator, (*a)->denominator}),
                      bits({(*b)->ratio, (*b)->numerator, (*b)->denominator}))
                << it;
        }
        EXPECT_EQ(kept.tree()->parent_edge, fresh.tree()->parent_edge) << it;
        EXPECT_EQ(kept.tree()->in_tree, fresh.tree()->in_tree) << it;
        EXPECT_EQ(bits(kept.tree()->dist), bits(fresh.tree()->dist)) << it;
        EXPECT_EQ(kept.scan_stats(), fresh.scan_stats()) << it;
        const DynamicSpanner &x = *kept.spanner(), &y = *fresh.spanner();
        ASSERT_EQ(x.embeddings.size(), y.embeddings.size()) << it;
        for (const auto& [key, walk] : y.embeddings) {
            ASSERT_TRUE(x.embeddings.contains(key)) << it;
            const auto got = x.embeddings.at(key);
            EXPECT_EQ(std::vector<SignedEdge>(got.begin(), got.end()),
                      std::vector<SignedEdge>(walk.begin(), walk.end()))
                << it;
        }
    }
}

// One oracle restarted for each run of queries (as the bisection's probes
// share theirs) against a new oracle per run: every answer, scan statistic,
// counter and tree must be the new oracle's, through drifting values, runs
// over the same graph, over rewired edges of the same sizes, over other
// sizes, and in random mode.
TEST(MinRatioOracle, RestartedOracleAnswersAsANewOne) {
    std::mt19937_64 rng(77);
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b(v.size());
        std::memcpy(b.data(), v.data(), v.size() * sizeof(double));
        return b;
    };
    for (const bool deterministic : {true, false}) {
        MinRatioOracle kept = make_oracle(1, deterministic);
        Instance g = random_instance(rng, 2 + rng() % 20, rng() % 70, false);
        for (int run = 0; run < 24; ++run) {
            if (run % 8 == 7) {
                g = random_instance(rng, 2 + rng() % 20, rng() % 70, run % 16 == 7);
            } else if (run % 4 == 2) {
                for (std::uint32_t& h : g.heads) h = static_cast<std::uint32_t>(rng() % g.n);
            }
            const std::uint64_t every = 1 + rng() % 4;
            kept.restart();
            kept.rebuild_every = every;
            MinRatioOracle fresh = make_oracle(every, deterministic);
            const Instance start = g;  // every run starts from the same values
            for (std::uint64_t it = 0; it < 8; ++it) {
                const auto a = kept.best_cycle_with_rebuild(g.query(it), false);
                const auto b = fresh.best_cycle_with_rebuild(g.query(it), false);
                ASSERT_EQ(a.has_value(), b.has_value()) << run << " " << it;
                if (!a) continue;
                ASSERT_EQ(a->has_value(), b->has_value()) << run << " " << it;
                if (a->has_value()) {
                    EXPECT_EQ((*a)->cycle, (*b)->cycle) << run << " " << it;
                    EXPECT_EQ(bits({(*a)->ratio, (*a)->numerator, (*a)->denominator}),
                              bits({(*b)->ratio, (*b)->numerator, (*b)->denominator}))
                        << run << " " << it;
                }
                EXPECT_EQ(kept.scan_stats(), fresh.scan_stats()) << run << " " << it;
                EXPECT_EQ(kept.last_rebuild_iteration(), fresh.last_rebuild_iteration());
                EXPECT_EQ(kept.spanner_queries(), fresh.spanner_queries());
                EXPECT_EQ(kept.spanner_candidates_total(), fresh.spanner_candidates_total());
                EXPECT_EQ(kept.tree()->parent_edge, fresh.tree()->parent_edge) << run << " " << it;
                EXPECT_EQ(bits(kept.tree()->dist), bits(fresh.tree()->dist)) << run << " " << it;
                for (std::size_t e = 0; e < g.lengths.size(); ++e) {
                    if (rng() % 3 == 0) g.lengths[e] = 0.5 * static_cast<double>(1 + rng() % 6);
                    if (rng() % 3 == 0) g.gradients[e] = static_cast<double>(rng() % 9) - 4.0;
                }
            }
            g.gradients = start.gradients;
            g.lengths = start.lengths;
        }
    }
}

TEST(MinRatioOracle, TreeErrorsKeepOldState) {
    std::mt19937_64 rng(2);
    Instance g = random_instance(rng, 6, 12, false);
    MinRatioOracle o = make_oracle(10);
    ASSERT_TRUE(o.best_cycle_with_rebuild(g.query(0), false).has_value());
    const auto parent = o.tree()->parent;
    Instance empty = g;
    empty.n = 0;
    auto r = o.best_cycle_with_rebuild(empty.query(3), true);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), TreeError::EmptyGraph);
    EXPECT_EQ(o.last_rebuild_iteration(), 0u);
    EXPECT_EQ(o.tree()->parent, parent);
    Instance bad = g;
    bad.lengths.pop_back();
    EXPECT_EQ(o.rebuild_tree(4, bad.n, bad.tails, bad.heads, bad.gradients, bad.lengths).error(),
              TreeError::MissingEdgeLengths);
    EXPECT_EQ(o.last_rebuild_iteration(), 0u);
    // Fresh oracle: the error of the first build comes back.
    MinRatioOracle fresh = make_oracle(10);
    EXPECT_EQ(fresh.best_cycle_with_rebuild(empty.query(0), false).error(), TreeError::EmptyGraph);
    EXPECT_FALSE(fresh.tree().has_value());
}

TEST(MinRatioOracle, TreeGraphAndZeroLengths) {
    // A path graph (a tree): no off-tree edges, empty result.
    Instance g;
    g.n = 4;
    g.tails = {0, 1, 2};
    g.heads = {1, 2, 3};
    g.gradients = {-1, -2, -3};
    g.lengths = {1, 1, 1};
    MinRatioOracle o = make_oracle(5);
    auto r = o.best_cycle_with_rebuild(g.query(0), false);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->has_value());
    EXPECT_EQ(o.scan_stats()->candidates_scored, 0u);
    // An off-tree edge whose cycle has total length 0.
    g.tails.push_back(0);
    g.heads.push_back(3);
    g.gradients.push_back(-5);
    g.lengths = {0, 0, 0, 0};
    MinRatioOracle z = make_oracle(5);
    auto s = z.best_cycle_with_rebuild(g.query(0), false);
    ASSERT_TRUE(s.has_value());
    EXPECT_FALSE(s->has_value());
}

TEST(MinRatioOracle, BestEqualsBruteForceMinimum) {
    std::mt19937_64 rng(3);
    WorkerPool pool(2);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 2 + rng() % 15;
        Instance g = random_instance(rng, n, rng() % 40, round % 3 == 0);
        MinRatioOracle o = make_oracle(25, round % 2 == 0);
        o.pool = &pool;
        auto r = o.best_cycle_with_rebuild(g.query(0), false);
        ASSERT_TRUE(r.has_value());
        Reference ref = reference_first_query(g, *o.tree());
        std::optional<CycleCandidate> tree_best;
        for (auto& c : ref.tree_candidates) tree_best = join(tree_best, c);
        EXPECT_EQ(*r, join(ref.spanner_best, tree_best)) << round;
        // Brute-force minimum ratio over every tree and spanner cycle.
        double min_ratio = std::numeric_limits<double>::infinity();
        std::uint64_t produced = 0;
        for (std::size_t e = 0; e < g.tails.size(); ++e) {
            if (ref.tree_candidates[e])
                min_ratio = std::min(min_ratio, ref.tree_candidates[e]->ratio);
            if (ref.spanner_candidates[e]) {
                min_ratio = std::min(min_ratio, ref.spanner_candidates[e]->ratio);
                ++produced;
            }
        }
        EXPECT_EQ(o.scan_stats()->candidates_scored, produced);
        if (!r->has_value()) {
            EXPECT_EQ(min_ratio, std::numeric_limits<double>::infinity());
            continue;
        }
        const CycleCandidate& c = **r;
        EXPECT_LE(c.ratio, min_ratio + 1e-12);
        EXPECT_GE(c.ratio, min_ratio);
        EXPECT_DOUBLE_EQ(c.ratio, c.numerator / c.denominator);
        EXPECT_GT(c.denominator, 0.0);
        ASSERT_FALSE(c.cycle.empty());
        EXPECT_EQ(c.cycle.front().second, 1);
        EXPECT_FALSE(o.tree()->in_tree[c.cycle.front().first]);
        // The cycle is a closed walk.
        std::uint64_t at = g.tails[c.cycle.front().first];
        for (auto [f, s] : c.cycle) {
            ASSERT_EQ(s == 1 ? g.tails[f] : g.heads[f], at);
            at = s == 1 ? g.heads[f] : g.tails[f];
        }
        EXPECT_EQ(at, g.tails[c.cycle.front().first]);
    }
}

TEST(MinRatioOracle, CountersSaturate) {
    std::mt19937_64 rng(4);
    Instance g = random_instance(rng, 8, 30, false);
    MinRatioOracle o = make_oracle(10);
    MinRatioOracleTestAccess::spanner_queries(o) = std::numeric_limits<std::uint64_t>::max();
    MinRatioOracleTestAccess::spanner_candidates_total(o) =
        std::numeric_limits<std::uint64_t>::max() - 1;
    ASSERT_TRUE(o.best_cycle_with_rebuild(g.query(0), false).has_value());
    EXPECT_EQ(o.spanner_queries(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(o.spanner_candidates_total(), std::numeric_limits<std::uint64_t>::max());
}

TEST(MinRatioOracle, ThreadCountIndependence) {
    std::mt19937_64 rng(8);
    WorkerPool p1(1), p2(2), p8(8);
    for (int round = 0; round < 2; ++round) {
        const std::uint64_t n = 200 + rng() % 300;
        Instance g = random_instance(rng, n, 2000 + rng() % 2000, true);
        // Gradient drifts of the later iterations, far below the tolerance.
        std::vector<std::vector<double>> drift(5, std::vector<double>(g.gradients.size()));
        for (auto& d : drift)
            for (auto& x : d) x = static_cast<double>(rng() % 3) * 1e-13;
        std::vector<std::optional<CycleCandidate>> expected;
        for (WorkerPool* p : {&p1, &p2, &p8}) {
            MinRatioOracle o = make_oracle(3, round % 2 == 0);
            o.pool = p;
            Instance h = g;
            for (std::uint64_t it = 0; it < 4; ++it) {
                auto r = o.best_cycle_with_rebuild(h.query(it), false);
                ASSERT_TRUE(r.has_value());
                ASSERT_TRUE(r->has_value());
                auto t = best_tree_cycle(*o.tree(), h.tails, h.heads, h.gradients, h.lengths, *p);
                if (p == &p1) {
                    expected.push_back(*r);
                    expected.push_back(t);
                } else {
                    EXPECT_EQ(*r, expected[2 * it]) << round << " " << it;
                    EXPECT_EQ(t, expected[2 * it + 1]) << round << " " << it;
                }
                for (std::size_t i = 0; i < h.gradients.size(); ++i) h.gradients[i] += drift[it][i];
            }
        }
    }
}

TEST(MinRatioOracle, TreeScanEqualsChunkedFoldOfScoreEdgeCycle) {
    std::mt19937_64 rng(10);
    WorkerPool pool(3);
    for (int round = 0; round < 2; ++round) {
        Instance g = random_instance(rng, 300 + rng() % 300, 2500 + rng() % 2000, round % 2 == 0);
        auto tree =
            LowStretchTree::build_with_mode(g.n, g.tails, g.heads, g.lengths, round % 2 == 0, 7);
        ASSERT_TRUE(tree.has_value());
        // Fixed chunks folded left to right, joined in index order.
        std::optional<CycleCandidate> expect;
        for (std::size_t b = 0; b < g.tails.size(); b += TREE_SCAN_CHUNK) {
            std::optional<CycleCandidate> chunk;
            for (std::size_t e = b; e < std::min(g.tails.size(), b + TREE_SCAN_CHUNK); ++e) {
                chunk = join(chunk,
                             score_edge_cycle(*tree, e, g.tails, g.heads, g.gradients, g.lengths));
            }
            expect = join(expect, chunk);
        }
        auto got = best_tree_cycle(*tree, g.tails, g.heads, g.gradients, g.lengths, pool);
        EXPECT_EQ(got, expect) << round;
    }
}

// Adversarial inputs for the bounds that let the tree scan skip paths: a
// deep chain as the tree, off-tree edges whose ratios equal each other to
// the last bit or differ by one ulp or by about the tie tolerance, huge,
// tiny and subnormal lengths, gradients that cancel along the chain, zero lengths and a
// few non-finite values. The pruned scan must give exactly the answer of
// the scan that walks every path (ratio, numerator, denominator, cycle).
TEST(MinRatioOracle, PrunedTreeScanEqualsPathWalkOnNearTies) {
    std::mt19937_64 rng(2027);
    WorkerPool pool(2);
    const double scales[] = {1.0, 1e-150, 1e150, 1e-300, 1e290, 1e-310};
    for (int round = 0; round < 90; ++round) {
        const std::uint64_t n = 2 + rng() % (round % 4 == 0 ? 1500 : 120);
        const std::size_t m = (n - 1) + rng() % (round % 3 == 0 ? 2600 : 300);
        const double scale = scales[round % 6];
        const bool cancelling = round % 2 == 1;
        // Ratios near -1, and near zero or positive, where a non-negative
        // ratio is passed over only against a clearly negative best.
        const double targets[] = {-1.0, 0.0, 1.0, -CANDIDATE_TIE_TOLERANCE,
                                  -2.0 * CANDIDATE_TIE_TOLERANCE};
        const double target = targets[round % 5];
        Instance g;
        g.n = n;
        std::vector<bool> mask;
        // The chain v - 1 -- v, half of its edges reversed.
        for (std::uint64_t v = 1; v < n; ++v) {
            const bool forward = rng() % 2 == 0;
            g.tails.push_back(static_cast<std::uint32_t>(forward ? v - 1 : v));
            g.heads.push_back(static_cast<std::uint32_t>(forward ? v : v - 1));
            g.lengths.push_back(rng() % 16 == 0 ? 0.0 : scale * static_cast<double>(1 + rng() % 3));
            // Huge alternating gradients cancel in the root sums.
            g.gradients.push_back(
                cancelling ? ((v % 2 == 0) ? 1e16 : -1e16) + static_cast<double>(rng() % 5) : 0.0);
            mask.push_back(true);
        }
        while (g.tails.size() < m) {
            const auto a = static_cast<std::uint32_t>(rng() % n);
            const auto b = static_cast<std::uint32_t>(rng() % n);
            g.tails.push_back(a);
            g.heads.push_back(b);
            const double length = scale * static_cast<double>(1 + rng() % 2);
            // Gradient proportional to the cycle's length: ratios all near the
            // target, moved by an ulp, by the tie tolerance, or not at all.
            double cycle_length = length;
            for (std::uint32_t v = std::min(a, b); v < std::max(a, b); ++v)
                cycle_length += g.lengths[v];
            double gradient = target * cycle_length;
            switch (rng() % 6) {
                case 0: gradient = std::nextafter(gradient, 0.0); break;
                case 1: gradient = std::nextafter(gradient, -1e308); break;
                case 2: gradient -= CANDIDATE_TIE_TOLERANCE * cycle_length; break;
                case 3: gradient += CANDIDATE_TIE_TOLERANCE * cycle_length * 0.999; break;
                default: break;
            }
            if (rng() % 400 == 0) gradient = std::numeric_limits<double>::quiet_NaN();
            if (rng() % 400 == 0) gradient = -std::numeric_limits<double>::infinity();
            g.gradients.push_back(gradient);
            g.lengths.push_back(rng() % 50 == 0 ? 0.0 : length);
            mask.push_back(false);
        }
        auto tree = LowStretchTree::build_from_tree_edges(n, g.tails, g.heads, g.lengths, mask);
        ASSERT_TRUE(tree.has_value());
        const auto pruned = best_tree_cycle(*tree, g.tails, g.heads, g.gradients, g.lengths, pool);
        const auto walked =
            best_tree_cycle_by_paths(*tree, g.tails, g.heads, g.gradients, g.lengths, pool);
        ASSERT_EQ(pruned.has_value(), walked.has_value()) << round;
        if (!pruned) continue;
        EXPECT_EQ(pruned->cycle, walked->cycle) << round;
        // Bit for bit, NaN included.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(pruned->ratio),
                  std::bit_cast<std::uint64_t>(walked->ratio))
            << round;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(pruned->numerator),
                  std::bit_cast<std::uint64_t>(walked->numerator))
            << round;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(pruned->denominator),
                  std::bit_cast<std::uint64_t>(walked->denominator))
            << round;
    }
}

// Random graphs with search-built trees in both modes and ties: the pruned
// scan and the path walk agree.
TEST(MinRatioOracle, PrunedTreeScanEqualsPathWalkOnRandomGraphs) {
    std::mt19937_64 rng(31);
    WorkerPool pool(1);
    for (int round = 0; round < 12; ++round) {
        Instance g = random_instance(rng, 20 + rng() % 400, 100 + rng() % 3000, round % 2 == 0);
        auto tree =
            LowStretchTree::build_with_mode(g.n, g.tails, g.heads, g.lengths, round % 3 != 0, 5);
        ASSERT_TRUE(tree.has_value());
        EXPECT_EQ(best_tree_cycle(*tree, g.tails, g.heads, g.gradients, g.lengths, pool),
                  best_tree_cycle_by_paths(*tree, g.tails, g.heads, g.gradients, g.lengths, pool))
            << round;
    }
}
