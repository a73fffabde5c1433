// FullDynamicOracle: rebuild requests when the instability budget runs out,
// batched spanner refreshes against one-by-one ones, shared level work
// against separate work, and closed, rescored, reproducible cycles on random
// graphs with parallel edges, self-loops and several components.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "min_ratio/full_dynamic_oracle.hpp"
#include "random_edge_graphs.hpp"
#include "worker_pool.hpp"

using namespace zelk;
using zelk::testing::EdgeGraph;
using zelk::testing::random_edge_graph;

namespace {

using EV = std::vector<EdgeValue>;

struct Query {
    EdgeGraph g;
    std::vector<double> gradients;

    TreeResult<std::optional<CycleCandidate>> ask(FullDynamicOracle& o, std::uint64_t it) const {
        return o.best_cycle(it, g.n, g.tails, g.heads, gradients, g.lengths);
    }
};

Query random_query(std::uint64_t seed, std::uint64_t n, std::size_t m, std::uint64_t components) {
    std::mt19937_64 rng(seed);
    Query q{random_edge_graph(rng, n, m, components), {}};
    std::uniform_real_distribution<double> g(-3.0, 3.0);
    for (std::size_t e = 0; e < m; ++e) q.gradients.push_back(g(rng));
    return q;
}

// Moves every gradient and length a little, some of them a lot.
void drift(Query& q, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> small(-0.2, 0.2), factor(0.7, 1.4);
    for (std::size_t e = 0; e < q.g.m(); ++e) {
        q.gradients[e] += small(rng) * (rng() % 5 == 0 ? 10.0 : 1.0);
        q.g.lengths[e] *= factor(rng);
    }
}

std::string error_text(const OracleStatus& s) {
    return s ? std::string("ok") : s.error().display();
}

// The signed edges of a closed walk sum to a circulation.
bool is_circulation(const std::vector<SignedEdge>& cycle, const EdgeGraph& g) {
    std::vector<long> balance(g.n, 0);
    for (auto [e, s] : cycle) {
        if (e >= g.m() || (s != 1 && s != -1)) return false;
        balance[g.tails[e]] -= s;
        balance[g.heads[e]] += s;
    }
    for (long b : balance) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace

TEST(FullDynamicOracle, UpdateBudgetsAndRebuildRequests) {
    Query q = random_query(11, 10, 24, 1);
    FullDynamicOracle o(2, 3, 1, 10, true, 0.1);
    // Before the first query no edge is known.
    EXPECT_EQ(error_text(o.update_many(EV{{0, 1.0}}, EV{})), "invalid edge index 0");
    ASSERT_TRUE(q.ask(o, 0));
    for (const TreeChainLevel& l : o.levels().levels) EXPECT_EQ(l.rebuild_budget, 10u);

    // Ten gradient moves above 0.5, one per call: the tenth exhausts every budget.
    for (int i = 1; i <= 10; ++i) {
        const double g = o.known_gradients()[3] + 0.6;
        const OracleStatus s = o.update_many(EV{{3, g}}, EV{});
        if (i < 10) {
            ASSERT_TRUE(s) << i;
            EXPECT_EQ(o.levels().levels[0].budget_used, static_cast<std::uint64_t>(i));
        } else {
            EXPECT_EQ(error_text(s), "rebuild required at None: instability budget exhausted");
        }
    }
    EXPECT_EQ(o.instability_events_seen(), 10u);
    for (const TreeChainLevel& l : o.levels().levels) {
        EXPECT_TRUE(l.rebuild_pending);
        EXPECT_EQ(l.budget_used, 0u);
    }
    // Still pending: every update call reports it, and the updates are applied.
    EXPECT_EQ(error_text(o.update_many(EV{}, EV{{5, 2.0}})),
              "rebuild required at None: instability budget exhausted");
    EXPECT_EQ(o.known_lengths()[5], 2.0);
    EXPECT_EQ(error_text(o.notify_flow_change(EV{{1, 1e-3}})),
              "rebuild required at None: flow instability budget exhausted");
    // An empty flow list succeeds without looking at the flags.
    EXPECT_TRUE(o.notify_flow_change(EV{}));
    // The next query consumes the flags.
    for (std::size_t e = 0; e < q.g.m(); ++e) {
        q.gradients[e] = o.known_gradients()[e];
        q.g.lengths[e] = o.known_lengths()[e];
    }
    ASSERT_TRUE(q.ask(o, 1));
    for (const TreeChainLevel& l : o.levels().levels) EXPECT_FALSE(l.rebuild_pending);
    EXPECT_TRUE(o.update_many(EV{{3, o.known_gradients()[3] + 0.1}}, EV{}));
}

TEST(FullDynamicOracle, BatchedSpannerRefreshMatchesOneByOne) {
    std::mt19937_64 rng(21);
    for (int trial = 0; trial < 4; ++trial) {
        const Query q = random_query(100 + trial, 9 + trial, 40, trial % 2 + 1);
        EdgeSpanner batched(true), single(true);
        batched.rebuild(q.g.n, q.g.tails, q.g.heads, q.gradients, q.g.lengths);
        single.rebuild(q.g.n, q.g.tails, q.g.heads, q.gradients, q.g.lengths);
        for (int round = 0; round < 8; ++round) {
            std::vector<SpannerRefresh> batch;
            const std::size_t count = rng() % 30;
            // Every other batch also names edges beyond the graph, which
            // do not count.
            const std::uint64_t edges = q.g.m() + (round % 2 == 0 ? 0 : 4);
            for (std::size_t i = 0; i < count; ++i) {
                batch.push_back({rng() % edges, 0.25 * static_cast<double>(rng() % 12),
                                 static_cast<double>(rng() % 7) - 3.0});
            }
            batched.refresh_many(batch);
            for (const SpannerRefresh& r : batch) single.refresh(r.edge, r.length, r.gradient);
            const auto& a = std::get<DeterministicDynamicSpanner>(batched.value);
            const auto& b = std::get<DeterministicDynamicSpanner>(single.value);
            ASSERT_EQ(a.updates_since_rebuild, b.updates_since_rebuild);
            ASSERT_EQ(a.edge_to_spanner, b.edge_to_spanner);
            ASSERT_EQ(a.spanner.edges.size(), b.spanner.edges.size());
            for (std::size_t f = 0; f < a.spanner.edges.size(); ++f) {
                EXPECT_EQ(a.spanner.edges[f].length, b.spanner.edges[f].length);
                EXPECT_EQ(a.spanner.edges[f].gradient, b.spanner.edges[f].gradient);
            }
            for (std::size_t e = 0; e < a.edges.size(); ++e) {
                EXPECT_EQ(a.edges[e].length, b.edges[e].length);
                EXPECT_EQ(a.edges[e].gradient, b.edges[e].gradient);
            }
            EXPECT_EQ(a.spanner.instability.accumulated, b.spanner.instability.accumulated);
            ASSERT_EQ(a.spanner.embeddings.size(), b.spanner.embeddings.size());
            for (const auto& [key, walk] : a.spanner.embeddings) {
                const auto other = b.spanner.embeddings.at(key);
                EXPECT_EQ(std::vector<SignedEdge>(walk.begin(), walk.end()),
                          std::vector<SignedEdge>(other.begin(), other.end()));
            }
        }
    }
}

TEST(FullDynamicOracle, CyclesCloseAndAreRescored) {
    for (bool det : {true, false}) {
        for (std::uint64_t seed = 0; seed < 8; ++seed) {
            Query q = random_query(seed, 4 + 2 * seed, 10 + 10 * seed, seed % 3 + 1);
            FullDynamicOracle o(seed, 3, 1, 10, det, 0.2);
            std::mt19937_64 rng(seed * 31 + 1);
            std::size_t found = 0;
            for (std::uint64_t k = 0; k < 10; ++k) {
                auto r = q.ask(o, k);
                ASSERT_TRUE(r) << seed;
                if (*r) {
                    const CycleCandidate& c = **r;
                    ++found;
                    ASSERT_TRUE(is_circulation(c.cycle, q.g)) << seed << " " << k;
                    double num = 0.0, den = 0.0;
                    for (auto [e, s] : c.cycle) {
                        num += s * q.gradients[e];
                        den += std::fabs(q.g.lengths[e]);
                    }
                    EXPECT_GT(c.denominator, 0.0);
                    EXPECT_DOUBLE_EQ(c.numerator, num);
                    EXPECT_DOUBLE_EQ(c.denominator, den);
                    EXPECT_EQ(c.ratio, c.numerator / c.denominator);
                }
                // The loop's upkeep between queries: changed gradients and lengths.
                Query next = q;
                drift(next, rng);
                std::vector<EdgeValue> gs, ls;
                for (std::size_t e = 0; e < q.g.m(); ++e) {
                    gs.emplace_back(e, next.gradients[e]);
                    ls.emplace_back(e, next.g.lengths[e]);
                }
                (void)o.notify_flow_change(EV{{0, 0.5}});
                (void)o.update_many(gs, ls);
                q = std::move(next);
            }
            // Random graphs of this size always have a cycle of some sign.
            if (q.g.m() > q.g.n) {
                EXPECT_GT(found, 0u) << seed;
            }
        }
    }
}

TEST(FullDynamicOracle, ReproducibleForAnyThreadCount) {
    auto run = [](std::size_t threads, bool det) {
        WorkerPool pool(threads);
        Query q = random_query(77, 200, 1500, 2);
        FullDynamicOracle o(9, 3, 1, 10, det, 0.3);
        o.set_thread_pool(&pool);
        std::mt19937_64 rng(3);
        std::vector<std::optional<CycleCandidate>> out;
        for (std::uint64_t k = 0; k < 4; ++k) {
            auto r = q.ask(o, k);
            EXPECT_TRUE(r);
            out.push_back(r ? *r : std::nullopt);
            drift(q, rng);
        }
        return out;
    };
    for (bool det : {true, false}) {
        const auto one = run(1, det);
        EXPECT_EQ(one, run(3, det));
    }
}

TEST(FullDynamicOracle, SizeErrorsAndEmptyGraphs) {
    FullDynamicOracle o(1, 3, 1, 10, true, 0.1);
    const std::vector<std::uint32_t> t{0, 1}, h{1, 0};
    const std::vector<double> g{1.0}, l{1.0, 1.0};
    auto bad = o.best_cycle(0, 2, t, h, g, l);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), TreeError::MissingEdgeLengths);
    EXPECT_EQ(o.query_count(), 0u);
    auto empty = o.best_cycle(0, 0, {}, {}, {}, {});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), TreeError::EmptyGraph);
    // No edges: no cycle.
    auto none = o.best_cycle(1, 3, {}, {}, {}, {});
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
}

TEST(FullDynamicOracle, ReductionsAreWalksBetweenTheEdgeEnds) {
    for (bool det : {true, false}) {
        std::size_t detours = 0;
        for (std::uint64_t seed = 0; seed < 6; ++seed) {
            const Query q = random_query(seed + 40, 8 + seed, 40, seed % 2 + 1);
            FullDynamicOracle o(seed, 3, 1, 10, det, 0.2);
            ASSERT_TRUE(q.ask(o, 0));
            for (std::uint64_t e = 0; e < q.g.m(); ++e) {
                auto walk = o.reduce_edge(e, q.g.tails[e], q.g.heads[e]);
                if (q.g.tails[e] == q.g.heads[e]) continue;  // a self-loop closes by itself
                ASSERT_TRUE(walk.has_value()) << e;
                std::vector<SignedEdge> cycle;
                for (auto [f, s] : *walk) cycle.emplace_back(o.edge_spanner().graph_edge(f), s);
                if (cycle != std::vector<SignedEdge>{{e, 1}}) ++detours;
                cycle.emplace_back(e, -1);
                EXPECT_TRUE(is_circulation(cycle, q.g)) << det << " " << seed << " " << e;
            }
        }
        // Only the deterministic spanner leaves edges out and routes them around.
        EXPECT_EQ(detours > 0, det);
    }
}

TEST(FullDynamicOracle, SharedLevelWorkChangesNothing) {
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        Query a = random_query(seed + 60, 10 + 3 * seed, 60, seed % 2 + 1);
        Query b = a;
        FullDynamicOracle shared(seed, 3, 1, 10, true, 0.2), alone(seed, 3, 1, 10, true, 0.2);
        alone.set_share_level_work(false);
        std::mt19937_64 ra(seed), rb(seed);
        // Iteration 3 is asked twice: the levels then reuse their trees.
        for (std::uint64_t k : {0, 1, 2, 3, 3, 4, 5, 6}) {
            auto x = a.ask(shared, k);
            auto y = b.ask(alone, k);
            ASSERT_TRUE(x && y);
            EXPECT_EQ(*x, *y) << seed << " " << k;
            for (std::size_t i = 0; i < 3; ++i) {
                const MinRatioOracle& p = shared.levels().levels[i].oracle;
                const MinRatioOracle& q = alone.levels().levels[i].oracle;
                ASSERT_TRUE(p.tree() && q.tree() && p.spanner() && q.spanner());
                EXPECT_EQ(p.tree()->parent_edge, q.tree()->parent_edge);
                EXPECT_EQ(p.scan_stats(), q.scan_stats());
                EXPECT_EQ(p.last_rebuild_iteration(), q.last_rebuild_iteration());
                EXPECT_EQ(p.spanner_queries(), q.spanner_queries());
                EXPECT_EQ(p.spanner_candidates_total(), q.spanner_candidates_total());
                EXPECT_EQ(p.spanner()->embeddings.size(), q.spanner()->embeddings.size());
                EXPECT_EQ(p.spanner()->instability.accumulated,
                          q.spanner()->instability.accumulated);
            }
            drift(a, ra);
            drift(b, rb);
            std::vector<EdgeValue> gs;
            for (std::size_t e = 0; e < a.g.m(); e += 3) gs.emplace_back(e, a.gradients[e]);
            EXPECT_EQ(error_text(shared.update_many(gs, EV{})),
                      error_text(alone.update_many(gs, EV{})));
        }
    }
}

// Levels below the top borrow its scan over runs of shared queries and get
// their copies only when read, when a level answers alone (a repeated
// iteration, sharing switched off) or when a successor adopts them: answers
// and level states must match an oracle whose levels all work alone, also
// after adoption.
TEST(FullDynamicOracle, BorrowedLevelsMatchSeparateWork) {
    auto same_levels = [](FullDynamicOracle& x, FullDynamicOracle& y, const std::string& at) {
        for (std::size_t i = 0; i < x.levels().levels.size(); ++i) {
            const MinRatioOracle& p = x.levels().levels[i].oracle;
            const MinRatioOracle& q = y.levels().levels[i].oracle;
            ASSERT_EQ(p.tree().has_value(), q.tree().has_value()) << at << " " << i;
            ASSERT_EQ(p.spanner().has_value(), q.spanner().has_value()) << at << " " << i;
            if (p.tree()) {
                EXPECT_EQ(p.tree()->parent_edge, q.tree()->parent_edge) << at;
            }
            if (p.spanner()) {
                EXPECT_EQ(p.spanner()->edges.size(), q.spanner()->edges.size()) << at;
                EXPECT_EQ(p.spanner()->embeddings.size(), q.spanner()->embeddings.size()) << at;
            }
            EXPECT_EQ(std::make_tuple(p.scan_stats(), p.last_rebuild_iteration(),
                                      p.spanner_queries(), p.spanner_candidates_total(), p.seed),
                      std::make_tuple(q.scan_stats(), q.last_rebuild_iteration(),
                                      q.spanner_queries(), q.spanner_candidates_total(), q.seed))
                << at << " " << i;
        }
    };
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        Query a = random_query(seed + 160, 9 + 2 * seed, 50, seed % 2 + 1);
        Query b = a;
        std::mt19937_64 ra(seed), rb(seed);
        auto lent_ptr = make_full_dynamic_oracle(seed, 3, 2 + seed % 2, 1000, true, 0.2, nullptr);
        auto alone_ptr = make_full_dynamic_oracle(seed, 3, 2 + seed % 2, 1000, true, 0.2, nullptr);
        for (int round = 0; round < 2; ++round) {
            // The successor works on another graph: adopted level trees
            // built over the old one must not answer for the new one.
            if (round == 1) a = b = random_query(seed + 170, 12 + seed, 45, 1);
            auto& lent = dynamic_cast<FullDynamicOracle&>(*lent_ptr);
            auto& alone = dynamic_cast<FullDynamicOracle&>(*alone_ptr);
            alone.set_share_level_work(false);
            // Repeated iterations make the levels reuse their trees; the
            // levels are read only now and then.
            const std::uint64_t its[] = {0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 10};
            for (std::size_t k = 0; k < std::size(its); ++k) {
                lent.set_share_level_work(k != 9);
                const std::string at =
                    std::to_string(seed) + "/" + std::to_string(round) + "/" + std::to_string(k);
                auto x = a.ask(lent, its[k]);
                auto y = b.ask(alone, its[k]);
                ASSERT_TRUE(x && y) << at;
                EXPECT_EQ(*x, *y) << at;
                if (k % 5 == 2) same_levels(lent, alone, at);
                drift(a, ra);
                drift(b, rb);
                EV gs, ls;
                for (std::size_t e = seed % 2; e < a.g.m(); e += 2) {
                    gs.emplace_back(e, a.gradients[e]);
                    ls.emplace_back(e, a.g.lengths[e]);
                }
                EXPECT_EQ(error_text(lent.update_many(gs, ls)),
                          error_text(alone.update_many(gs, ls)))
                    << at;
            }
            // Successors take the (possibly borrowed) levels over.
            lent_ptr = make_full_dynamic_oracle(seed, 3, 2 + seed % 2, 1000, true, 0.2,
                                                std::move(lent_ptr));
            alone_ptr = make_full_dynamic_oracle(seed, 3, 2 + seed % 2, 1000, true, 0.2,
                                                 std::move(alone_ptr));
        }
        same_levels(dynamic_cast<FullDynamicOracle&>(*lent_ptr),
                    dynamic_cast<FullDynamicOracle&>(*alone_ptr), "end");
    }
}

// Batches of gradient and length updates (repeated edges, large and small
// moves, now and then an unknown edge) against a model of their effect on
// the known values and the event count, and against the same updates given
// one per call: the next answers must not differ.
TEST(FullDynamicOracle, BatchedUpdatesFollowTheirModel) {
    std::mt19937_64 rng(8);
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        Query q = random_query(seed + 90, 12, 50, seed % 2 + 1);
        const std::size_t m = q.g.m();
        FullDynamicOracle batched(seed, 3, 1, 10, true, 0.1), single(seed, 3, 1, 10, true, 0.1);
        std::vector<double> grads = q.gradients, lens = q.g.lengths;
        std::uint64_t events = 0;
        for (std::uint64_t k = 0; k < 6; ++k) {
            auto x = batched.best_cycle(k, q.g.n, q.g.tails, q.g.heads, grads, lens);
            auto y = single.best_cycle(k, q.g.n, q.g.tails, q.g.heads, grads, lens);
            ASSERT_TRUE(x && y);
            EXPECT_EQ(*x, *y) << seed << " " << k;
            EV gs, ls;
            for (std::size_t i = rng() % 40; i-- > 0;) {
                const std::uint64_t e = rng() % 25 == 0 ? m + rng() % 3 : rng() % m;
                gs.emplace_back(e, e < m ? grads[e] + (rng() % 3 == 0 ? 0.9 : 0.1) : 0.0);
            }
            for (std::size_t i = rng() % 40; i-- > 0;) {
                const std::uint64_t e = rng() % 25 == 0 ? m + rng() % 3 : rng() % m;
                ls.emplace_back(e, e < m ? lens[e] * (rng() % 3 == 0 ? 1.5 : 1.1) : 1.0);
            }
            // The model: updates in order up to the first unknown edge.
            std::string expected_error;
            for (const EV* list : {&gs, &ls}) {
                for (const auto& [e, v] : *list) {
                    if (!expected_error.empty()) break;
                    if (e >= m) {
                        expected_error = "invalid edge index " + std::to_string(e);
                        break;
                    }
                    double& old = list == &gs ? grads[e] : lens[e];
                    const bool moved =
                        list == &gs ? std::fabs(v - old) > 0.5 : std::max(v / old, old / v) > 1.25;
                    events += moved ? 1 : 0;
                    old = v;
                }
            }
            const OracleStatus s = batched.update_many(gs, ls);
            if (!expected_error.empty()) {
                EXPECT_EQ(error_text(s), expected_error);
            }
            bool stopped = false;
            for (const EV* list : {&gs, &ls}) {
                for (const EdgeValue& u : *list) {
                    if (stopped) break;
                    const EV one{u};
                    const OracleStatus t =
                        list == &gs ? single.update_many(one, EV{}) : single.update_many(EV{}, one);
                    stopped = !t && error_text(t).starts_with("invalid");
                }
            }
            EXPECT_EQ(batched.instability_events_seen(), events);
            EXPECT_EQ(single.instability_events_seen(), events);
            for (std::size_t e = 0; e < m; ++e) {
                EXPECT_EQ(batched.known_gradients()[e], grads[e]);
                EXPECT_EQ(batched.known_lengths()[e], lens[e]);
            }
        }
    }
}

// Oracles taking over the last one's spanner storage and level oracles (as
// the bisection's probes do) against new ones, run after run: every answer,
// every update's status, the spanner and the levels left behind must be a
// new oracle's, over the same graph from the same start, over other values,
// over other graphs, and after an oracle with another seed.
TEST(FullDynamicOracle, AdoptedStorageAnswersAsANewOracle) {
    std::mt19937_64 rng(57);
    for (const bool deterministic : {true, false}) {
        std::unique_ptr<DynamicOracle> previous;
        Query start = random_query(300, 12, 50, 1);
        for (int run = 0; run < 10; ++run) {
            if (run % 4 == 3) {
                start = random_query(301 + run, 6 + rng() % 12, 20 + rng() % 50, 1 + rng() % 2);
            }
            Query q = start;
            if (run % 2 == 1) drift(q, rng);
            const std::uint64_t seed = run % 5 == 4 ? 6 : 5;
            auto adopted_ptr =
                make_full_dynamic_oracle(seed, 3, 1, 10, deterministic, 0.1, std::move(previous));
            auto& adopted = dynamic_cast<FullDynamicOracle&>(*adopted_ptr);
            FullDynamicOracle fresh(seed, 3, 1, 10, deterministic, 0.1);
            // Some runs hand their queries over early: the updates still
            // report the same statuses, and the next run adopts the storage.
            const std::uint64_t stop_at = run % 3 == 2 ? 1 + rng() % 4 : 99;
            for (std::uint64_t it = 0; it < 6; ++it) {
                if (it == stop_at) adopted.stop_queries();
                if (it >= stop_at) {
                    drift(q, rng);
                    EV lens;
                    for (std::size_t e = 0; e < q.g.m(); ++e) lens.emplace_back(e, q.g.lengths[e]);
                    EXPECT_EQ(error_text(adopted.update_many({}, lens)),
                              error_text(fresh.update_many({}, lens)))
                        << run << " " << it;
                    continue;
                }
                const auto a = q.ask(adopted, it);
                const auto b = q.ask(fresh, it);
                ASSERT_EQ(a.has_value(), b.has_value()) << run << " " << it;
                if (!a) break;
                ASSERT_EQ(a->has_value(), b->has_value()) << run << " " << it;
                if (a->has_value()) {
                    EXPECT_EQ((*a)->cycle, (*b)->cycle) << run << " " << it;
                    EXPECT_EQ((*a)->ratio, (*b)->ratio) << run << " " << it;
                    EXPECT_EQ((*a)->numerator, (*b)->numerator) << run << " " << it;
                    EXPECT_EQ((*a)->denominator, (*b)->denominator) << run << " " << it;
                }
                const Query before = q;
                drift(q, rng);
                EV grads, lens;
                for (std::size_t e = 0; e < q.g.m(); ++e) {
                    if (q.gradients[e] != before.gradients[e])
                        grads.emplace_back(e, q.gradients[e]);
                    if (q.g.lengths[e] != before.g.lengths[e]) lens.emplace_back(e, q.g.lengths[e]);
                }
                EXPECT_EQ(error_text(adopted.update_many(grads, lens)),
                          error_text(fresh.update_many(grads, lens)))
                    << run << " " << it;
            }
            for (std::size_t i = 0; i < fresh.levels().levels.size(); ++i) {
                const MinRatioOracle& lx = adopted.levels().levels[i].oracle;
                const MinRatioOracle& ly = fresh.levels().levels[i].oracle;
                EXPECT_EQ(lx.scan_stats(), ly.scan_stats()) << run << " " << i;
                EXPECT_EQ(std::make_tuple(lx.last_rebuild_iteration(), lx.spanner_queries(),
                                          lx.spanner_candidates_total(), lx.seed, lx.rebuild_every),
                          std::make_tuple(ly.last_rebuild_iteration(), ly.spanner_queries(),
                                          ly.spanner_candidates_total(), ly.seed, ly.rebuild_every))
                    << run << " " << i;
                ASSERT_EQ(lx.tree().has_value(), ly.tree().has_value()) << run << " " << i;
                if (lx.tree()) {
                    EXPECT_EQ(lx.tree()->parent_edge, ly.tree()->parent_edge) << run << " " << i;
                    EXPECT_EQ(lx.tree()->dist, ly.tree()->dist) << run << " " << i;
                }
            }
            if (stop_at < 6) {
                previous = std::move(adopted_ptr);
                continue;
            }
            const EdgeSpanner &x = adopted.edge_spanner(), &y = fresh.edge_spanner();
            const DynamicSpanner &sx = x.dynamic(), &sy = y.dynamic();
            ASSERT_EQ(sx.edges.size(), sy.edges.size()) << run;
            for (std::size_t f = 0; f < sx.edges.size(); ++f) {
                EXPECT_EQ(std::tie(sx.edges[f].u, sx.edges[f].v, sx.edges[f].length,
                                   sx.edges[f].gradient, sx.edges[f].active),
                          std::tie(sy.edges[f].u, sy.edges[f].v, sy.edges[f].length,
                                   sy.edges[f].gradient, sy.edges[f].active));
            }
            EXPECT_EQ(sx.instability.accumulated, sy.instability.accumulated) << run;
            ASSERT_EQ(sx.embeddings.size(), sy.embeddings.size()) << run;
            for (const auto& [key, walk] : sy.embeddings) {
                ASSERT_TRUE(sx.embeddings.contains(key)) << run;
                const auto got = sx.embeddings.at(key);
                EXPECT_EQ(std::vector<SignedEdge>(got.begin(), got.end()),
                          std::vector<SignedEdge>(walk.begin(), walk.end()))
                    << run << " " << key;
            }
            if (deterministic) {
                const auto& dx = std::get<DeterministicDynamicSpanner>(x.value);
                const auto& dy = std::get<DeterministicDynamicSpanner>(y.value);
                EXPECT_EQ(dx.edge_to_spanner, dy.edge_to_spanner) << run;
                EXPECT_EQ(std::tie(dx.edge_budget, dx.rebuild_period, dx.updates_since_rebuild),
                          std::tie(dy.edge_budget, dy.rebuild_period, dy.updates_since_rebuild))
                    << run;
            }
            previous = std::move(adopted_ptr);
        }
    }
}

// A query after the hand-over first catches the spanner up, then answers
// with a closed, rescored cycle.
TEST(FullDynamicOracle, QueriesAfterAHandOverCatchUp) {
    std::mt19937_64 rng(63);
    for (const bool deterministic : {true, false}) {
        Query q = random_query(77, 14, 60, 1);
        FullDynamicOracle o(5, 3, 1, 10, deterministic, 0.1);
        ASSERT_TRUE(q.ask(o, 0).has_value());
        o.stop_queries();
        for (int it = 0; it < 3; ++it) {
            drift(q, rng);
            EV lens;
            for (std::size_t e = 0; e < q.g.m(); ++e) lens.emplace_back(e, q.g.lengths[e]);
            (void)o.update_many({}, lens);
        }
        const auto a = q.ask(o, 1);
        ASSERT_TRUE(a.has_value());
        if (a->has_value()) {
            EXPECT_TRUE(is_circulation((*a)->cycle, q.g));
            double num = 0.0, den = 0.0;
            for (auto [e, s] : (*a)->cycle) {
                num += s * q.gradients[e];
                den += std::fabs(q.g.lengths[e]);
            }
            EXPECT_DOUBLE_EQ((*a)->numerator, num);
            EXPECT_DOUBLE_EQ((*a)->denominator, den);
        }
        EXPECT_EQ(o.edge_spanner().dynamic().edges.empty(), q.g.m() == 0);
    }
}
