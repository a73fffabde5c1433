// DynamicSpanner: insertion, breadth-first embeddings and their validity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "random_edge_graphs.hpp"
#include "spanner/dynamic_spanner.hpp"

using namespace zelk;

namespace {

std::optional<std::vector<SignedEdge>> stored(const DynamicSpanner& s, std::uint64_t key) {
    const auto walk = s.embeddings.find(key);
    if (!walk) return std::nullopt;
    return std::vector<SignedEdge>(walk->begin(), walk->end());
}

}  // namespace

TEST(DynamicSpanner, InsertionAndEmbeddingRules) {
    DynamicSpanner s(3);
    EXPECT_EQ(s.insert_edge_with_values(1, 0, 1.0, -1.5), 0u);
    EXPECT_EQ(s.insert_edge_with_values(0, 1, 3.0, 0.5), 1u);  // parallel, later
    EXPECT_EQ(s.insert_edge_with_values(2, 2, 1.0, 0.0), 2u);  // self-loop: listed twice
    EXPECT_EQ(s.insertions, 3u);
    EXPECT_EQ(s.adjacency_of(0), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(s.adjacency_of(2), (std::vector<std::uint64_t>{2, 2}));
    // Same node or out of range: nothing, and nothing stored.
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 2, 2).has_value());
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 0, 4).has_value());
    EXPECT_TRUE(s.embeddings.empty());
    EXPECT_FALSE(s.embedding_valid(7));
    // The first inserted parallel edge is used; walked from 0 to 1: sign -1.
    auto p = s.embed_edge_with_bfs(7, 0, 1);
    EXPECT_EQ(p, (std::vector<SignedEdge>{{0, -1}}));
    EXPECT_EQ(stored(s, 7), p);
    EXPECT_TRUE(s.embedding_valid(7));
    // Inactive edges are not used; a new search replaces the stored walk.
    s.edges[0].active = false;
    EXPECT_FALSE(s.embedding_valid(7));
    EXPECT_EQ(s.embed_edge_with_bfs(7, 0, 1), (std::vector<SignedEdge>{{1, 1}}));
    // An endpoint beyond the node count grows the spanner to cover it.
    EXPECT_EQ(s.insert_edge_with_values(6, 1, 1.0, 0.0), 3u);
    EXPECT_EQ(s.node_count, 7u);
    EXPECT_TRUE(s.adjacency_of(5).empty());
    auto q = s.embed_edge_with_bfs(9, 0, 6);
    EXPECT_EQ(q, (std::vector<SignedEdge>{{1, 1}, {3, -1}}));
    EXPECT_FALSE(s.embed_edge_with_bfs(9, 0, 5).has_value());  // isolated node
    EXPECT_EQ(stored(s, 9), q);  // failed searches leave the stored walk
}

// Inserting a list of edges at once leaves the spanner that inserting them
// one by one leaves: edges, node range (endpoints beyond it grow it),
// adjacency order and the insertion count.
TEST(DynamicSpanner, BulkInsertionMatchesOneByOne) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = rng() % 6;
        std::vector<SpannerEdge> source(1 + rng() % 20);
        for (SpannerEdge& e : source) {
            // Now and then an endpoint past the node range.
            e = SpannerEdge{rng() % (n + 3), rng() % (n + 3), 0.5 * static_cast<double>(rng() % 5),
                            static_cast<double>(rng() % 3) - 1.0, rng() % 4 != 0};
        }
        DynamicSpanner bulk(n), single(n);
        for (int batch = 0; batch < 3; ++batch) {
            std::vector<std::uint64_t> ids(rng() % 12);
            for (std::uint64_t& id : ids) id = rng() % source.size();  // repeats too
            bulk.insert_edges_from(source, ids);
            for (const std::uint64_t id : ids) {
                const SpannerEdge& e = source[id];
                single.insert_edge_with_values(e.u, e.v, e.length, e.gradient);
            }
            ASSERT_EQ(bulk.edges.size(), single.edges.size());
            for (std::size_t f = 0; f < bulk.edges.size(); ++f) {
                const SpannerEdge &a = bulk.edges[f], &b = single.edges[f];
                EXPECT_EQ(std::tie(a.u, a.v, a.length, a.gradient, a.active),
                          std::tie(b.u, b.v, b.length, b.gradient, b.active));
            }
            EXPECT_EQ(bulk.node_count, single.node_count);
            EXPECT_EQ(bulk.insertions, single.insertions);
            for (std::uint64_t x = 0; x < single.node_count + 1; ++x) {
                EXPECT_EQ(bulk.adjacency_of(x), single.adjacency_of(x)) << x;
            }
        }
    }
}

TEST(DynamicSpanner, EmbeddingValidFailureModes) {
    DynamicSpanner s(4);
    s.insert_edge_with_values(0, 1, 1.0, 0.0);
    s.insert_edge_with_values(1, 2, 1.0, 0.0);
    s.insert_edge_with_values(3, 2, 1.0, 0.0);
    EXPECT_FALSE(s.embedding_valid(0));  // empty map
    auto set = [&](const std::vector<SignedEdge>& w) { s.embeddings.assign(5, w); };
    set({{0, 1}, {1, 1}, {2, -1}});
    EXPECT_TRUE(s.embedding_valid(5));
    EXPECT_FALSE(s.embedding_valid(6));  // missing key
    set({});
    EXPECT_FALSE(s.embedding_valid(5));  // empty list
    set({{0, 1}, {1, 0}});
    EXPECT_FALSE(s.embedding_valid(5));  // sign 0
    set({{0, 2}});
    EXPECT_FALSE(s.embedding_valid(5));  // sign 2
    set({{0, 1}, {3, 1}});
    EXPECT_FALSE(s.embedding_valid(5));  // identifier beyond edges
    set({{0, 1}, {2, 1}});
    EXPECT_FALSE(s.embedding_valid(5));  // does not chain: 1 -> (3,2)
    set({{0, -1}, {1, 1}});
    EXPECT_FALSE(s.embedding_valid(5));  // 1->0, then (1,2) starts at 1
    set({{2, 1}, {1, -1}, {0, -1}});
    EXPECT_TRUE(s.embedding_valid(5));  // ends are not compared with any edge
    s.edges[1].active = false;
    EXPECT_FALSE(s.embedding_valid(5));  // inactive edge
}

TEST(DynamicSpanner, BfsFindsAShortestWalkOverActiveEdges) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 30; ++round) {
        const std::uint64_t n = 2 + rng() % 30;
        DynamicSpanner s(n);
        const std::size_t m = rng() % 80;
        for (std::size_t i = 0; i < m; ++i) {
            std::uint64_t a = rng() % n, b = rng() % n;
            if (i % 11 == 3) b = a;
            s.insert_edge_with_values(a, b, 1.0 + static_cast<double>(i), 0.0);
            if (rng() % 6 == 0) s.edges.back().active = false;
        }
        const auto d = zelk::testing::hop_distances(n, [&](std::uint64_t x) {
            std::vector<std::uint64_t> out;  // over active edges
            for (const auto& e : s.edges) {
                if (e.active && (e.u == x || e.v == x)) out.push_back(e.u == x ? e.v : e.u);
            }
            return out;
        });
        for (int k = 0; k < 100; ++k) {
            const std::uint64_t u = rng() % (n + 1), v = rng() % (n + 1);  // some out of range
            const std::uint64_t key = rng() % 20;
            const auto before = stored(s, key);
            const auto got = s.embed_edge_with_bfs(key, u, v);
            const bool reachable = u < n && v < n && u != v && d[u][v] < zelk::testing::FAR;
            ASSERT_EQ(got.has_value(), reachable) << round << " " << u << " " << v;
            if (!got) {
                EXPECT_EQ(stored(s, key), before);
                continue;
            }
            EXPECT_EQ(got->size(), d[u][v]);
            std::uint64_t at = u;
            for (auto [f, sign] : *got) {
                const auto& e = s.edges[f];
                ASSERT_TRUE(e.active);
                ASSERT_EQ(sign == 1 ? e.u : e.v, at);
                at = sign == 1 ? e.v : e.u;
            }
            EXPECT_EQ(at, v);
            EXPECT_EQ(stored(s, key), got);
            EXPECT_TRUE(s.embedding_valid(key));
        }
    }
}

// The embedding table against a hash map under random operations: whole
// writes, writes step by step (open, then push), walks filled in place (one
// at a time, or all at once replacing every other), rewrites of the same keys
// (enough to force compactions of the flat buffer), lookups, predicate
// erasure, clearing, and copies into tables that already hold other walks.
TEST(EmbeddingTable, BehavesAsAHashMapUnderRandomOperations) {
    std::mt19937_64 rng(5);
    using Reference = std::unordered_map<std::uint64_t, std::vector<SignedEdge>>;
    auto as_vector = [](EmbeddingTable::Walk w) {
        return std::vector<SignedEdge>(w.begin(), w.end());
    };
    auto expect_same = [&](const EmbeddingTable& t, const Reference& ref, int step) {
        ASSERT_EQ(t.size(), ref.size()) << step;
        ASSERT_EQ(t.empty(), ref.empty()) << step;
        std::size_t seen = 0;
        std::uint64_t last = 0;
        for (const auto& [key, walk] : t) {
            ASSERT_TRUE(seen == 0 || key > last) << step;  // identifier order
            last = key;
            ++seen;
            ASSERT_TRUE(ref.contains(key)) << step;
            EXPECT_EQ(as_vector(walk), ref.at(key)) << step;
        }
        EXPECT_EQ(seen, ref.size()) << step;
        for (const auto& [key, walk] : ref) {
            ASSERT_TRUE(t.contains(key)) << step;
            EXPECT_EQ(as_vector(t.at(key)), walk) << step;
            EXPECT_EQ(as_vector(*t.find(key)), walk) << step;
        }
    };
    auto random_walk = [&rng](std::size_t max_length) {
        std::vector<SignedEdge> w(rng() % (max_length + 1));
        for (SignedEdge& p : w) p = {rng() % 9, rng() % 2 == 0 ? 1 : -1};
        return w;
    };
    for (int round = 0; round < 20; ++round) {
        EmbeddingTable table, other;
        Reference ref, other_ref;
        const std::uint64_t keys = 1 + rng() % 40;
        const std::size_t max_length = 1 + rng() % 60;  // long walks compact sooner
        if (round % 2 == 0) table.reserve(keys);
        for (int step = 0; step < 400; ++step) {
            const std::uint64_t key = rng() % keys;
            switch (rng() % 12) {
                case 0:
                    if (rng() % 4 == 0) {
                        table.clear();
                        ref.clear();
                    } else if (rng() % 2 == 0) {
                        // Every walk replaced at once, under distinct keys in
                        // any order, filled in place.
                        std::vector<std::uint64_t> ids(keys);
                        std::iota(ids.begin(), ids.end(), std::uint64_t{0});
                        std::shuffle(ids.begin(), ids.end(), rng);
                        ids.resize(rng() % (keys + 1));
                        std::vector<std::vector<SignedEdge>> walks;
                        std::vector<std::uint64_t> steps;
                        for (std::size_t j = 0; j < ids.size(); ++j) {
                            walks.push_back(random_walk(max_length));
                            steps.push_back(walks.back().size());
                        }
                        const std::span<SignedEdge> cells = table.reset_walks(ids, steps);
                        ref.clear();
                        std::size_t at = 0;
                        for (std::size_t j = 0; j < ids.size(); ++j) {
                            std::copy(walks[j].begin(), walks[j].end(), cells.begin() + at);
                            at += walks[j].size();
                            ref[ids[j]] = walks[j];
                        }
                        EXPECT_EQ(at, cells.size()) << step;
                    }
                    break;
                case 1: {
                    const std::uint64_t cut = rng() % keys;
                    const std::size_t dropped =
                        table.erase_if([cut](std::uint64_t k) { return k < cut; });
                    EXPECT_EQ(dropped, std::erase_if(ref, [cut](const auto& entry) {
                                  return entry.first < cut;
                              }));
                    break;
                }
                case 2: {
                    other = table;  // into a table with walks of its own
                    other_ref = ref;
                    expect_same(other, other_ref, step);
                    const std::uint64_t k = rng() % (2 * keys);
                    const std::vector<SignedEdge> w = random_walk(max_length);
                    other.assign(k, w);
                    other_ref[k] = w;
                    expect_same(other, other_ref, step);
                    break;
                }
                case 3:
                    EXPECT_EQ(table.find(key).has_value(), ref.contains(key));
                    EXPECT_EQ(table.contains(key), ref.contains(key));
                    break;
                case 4: {
                    const std::vector<SignedEdge> w = random_walk(max_length);
                    const std::span<SignedEdge> cells = table.open_walk(key, w.size());
                    ASSERT_EQ(cells.size(), w.size());
                    std::copy(w.begin(), w.end(), cells.begin());
                    ref[key] = w;
                    break;
                }
                case 5:
                case 6: {
                    const std::vector<SignedEdge> w = random_walk(max_length);
                    table.open(key);
                    for (const SignedEdge& p : w) table.push(p);
                    ref[key] = w;
                    break;
                }
                default: {
                    const std::vector<SignedEdge> w = random_walk(max_length);
                    EXPECT_EQ(as_vector(table.assign(key, w)), w) << step;
                    ref[key] = w;
                }
            }
        }
        expect_same(table, ref, -1);
        const EmbeddingTable copy(table);
        expect_same(copy, ref, -2);
    }
}
