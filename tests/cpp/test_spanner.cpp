// DynamicSpanner, EmbeddingPath, InstabilityTracker.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "spanner/dynamic_spanner.hpp"
#include "spanner/instability_tracker.hpp"

using namespace zelk;

namespace {

// Literal breadth-first search over vectors of vectors.
std::optional<std::vector<SignedEdge>> naive_bfs(const DynamicSpanner& s, std::uint64_t u,
                                                 std::uint64_t v) {
    const std::uint64_t n = s.node_count;
    if (u >= n || v >= n || u == v) return std::nullopt;
    std::vector<bool> seen(n, false);
    std::vector<std::optional<std::pair<std::uint64_t, std::uint64_t>>> pred(n);
    std::deque<std::uint64_t> q{u};
    seen[u] = true;
    while (!q.empty()) {
        auto x = q.front();
        q.pop_front();
        if (x == v) break;
        for (auto f : s.adjacency_of(x)) {
            const auto& e = s.edges[f];
            if (!e.active) continue;
            std::uint64_t y;
            if (e.u == x) {
                y = e.v;
            } else if (e.v == x) {
                y = e.u;
            } else {
                continue;
            }
            if (seen[y]) continue;
            seen[y] = true;
            pred[y] = {{x, f}};
            q.push_back(y);
        }
    }
    if (!seen[v]) return std::nullopt;
    std::vector<SignedEdge> out;
    for (auto y = v; y != u;) {
        auto [p, f] = *pred[y];
        out.insert(out.begin(), {f, (s.edges[f].u == p && s.edges[f].v == y) ? 1 : -1});
        y = p;
    }
    return out;
}

std::optional<std::vector<SignedEdge>> stored(const DynamicSpanner& s, std::uint64_t key) {
    auto it = s.embeddings.find(key);
    if (it == s.embeddings.end()) return std::nullopt;
    return it->second.edges;
}

}  // namespace

TEST(InstabilityTracker, Create) {
    auto t = InstabilityTracker::create(0, -3.0);
    EXPECT_EQ(t.budget, (std::vector<double>{0.0}));
    EXPECT_EQ(t.accumulated, (std::vector<double>{0.0}));
    auto u = InstabilityTracker::create(3, 2.5);
    EXPECT_EQ(u.budget, (std::vector<double>{2.5, 2.5, 2.5}));
    EXPECT_EQ(u.accumulated, (std::vector<double>{0.0, 0.0, 0.0}));
    auto w = InstabilityTracker::create(2, std::nan(""));
    EXPECT_EQ(w.budget, (std::vector<double>{0.0, 0.0}));
}

TEST(DynamicSpanner, NewAndInsert) {
    DynamicSpanner s(3);
    EXPECT_TRUE(s.edges.empty());
    EXPECT_EQ(s.node_count, 3u);
    EXPECT_EQ(s.insertions, 0u);
    EXPECT_TRUE(s.embeddings.empty());
    EXPECT_EQ(s.instability.accumulated, (std::vector<double>{0.0}));
    EXPECT_EQ(s.instability.budget, (std::vector<double>{0.0}));
    EXPECT_EQ(s.insert_edge_with_values(0, 1, 2.0, -1.5), 0u);
    EXPECT_EQ(s.insert_edge_with_values(2, 2, 1.0, 0.0), 1u);  // self-loop: listed twice
    EXPECT_EQ(s.insert_edge_with_values(1, 0, 3.0, 0.5), 2u);
    EXPECT_EQ(s.insertions, 3u);
    EXPECT_EQ(s.adjacency_of(0), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(s.adjacency_of(1), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(s.adjacency_of(2), (std::vector<std::uint64_t>{1, 1}));
    EXPECT_EQ(s.edges[0].u, 0u);
    EXPECT_EQ(s.edges[0].v, 1u);
    EXPECT_EQ(s.edges[0].length, 2.0);
    EXPECT_EQ(s.edges[0].gradient, -1.5);
    EXPECT_TRUE(s.edges[0].active);
    // An endpoint beyond the node count grows the spanner to cover it.
    EXPECT_FALSE(s.embed_edge_with_bfs(9, 0, 5).has_value());
    EXPECT_EQ(s.insert_edge_with_values(6, 1, 1.0, 0.0), 3u);
    EXPECT_EQ(s.node_count, 7u);
    EXPECT_TRUE(s.adjacency_of(5).empty());
    EXPECT_EQ(s.adjacency_of(6), (std::vector<std::uint64_t>{3}));
    auto p = s.embed_edge_with_bfs(9, 0, 6);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(*p, (std::vector<SignedEdge>{{0, 1}, {3, -1}}));
    EXPECT_FALSE(s.embed_edge_with_bfs(9, 0, 5).has_value());  // isolated node
    EXPECT_EQ(stored(s, 9), p);  // failed searches leave the stored walk
}

TEST(DynamicSpanner, EmbedEdgeCases) {
    DynamicSpanner s(4);
    s.insert_edge_with_values(1, 0, 1.0, 0.0);  // inserted as (b, a)
    s.insert_edge_with_values(0, 1, 1.0, 0.0);  // parallel, later
    // Same node: nothing, nothing stored.
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 2, 2).has_value());
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 0, 4).has_value());
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 4, 0).has_value());
    EXPECT_TRUE(s.embeddings.empty());
    EXPECT_FALSE(s.embedding_valid(7));
    // The first inserted parallel edge is used; walked from a to b: sign -1.
    auto p = s.embed_edge_with_bfs(7, 0, 1);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(*p, (std::vector<SignedEdge>{{0, -1}}));
    EXPECT_EQ(stored(s, 7), p);
    EXPECT_TRUE(s.embedding_valid(7));
    // Inactive edges are not used; a new search replaces the stored walk.
    s.edges[0].active = false;
    EXPECT_FALSE(s.embedding_valid(7));
    auto q = s.embed_edge_with_bfs(7, 0, 1);
    EXPECT_EQ(*q, (std::vector<SignedEdge>{{1, 1}}));
    EXPECT_EQ(stored(s, 7), q);
    EXPECT_TRUE(s.embedding_valid(7));
    s.edges[1].active = false;
    EXPECT_FALSE(s.embed_edge_with_bfs(7, 0, 1).has_value());
    EXPECT_EQ(stored(s, 7), q);  // unchanged
}

TEST(DynamicSpanner, EmbeddingValidFailureModes) {
    DynamicSpanner s(4);
    s.insert_edge_with_values(0, 1, 1.0, 0.0);
    s.insert_edge_with_values(1, 2, 1.0, 0.0);
    s.insert_edge_with_values(3, 2, 1.0, 0.0);
    EXPECT_FALSE(s.embedding_valid(0));  // empty map
    auto set = [&](std::vector<SignedEdge> w) { s.embeddings[5] = EmbeddingPath{std::move(w)}; };
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

TEST(DynamicSpanner, BfsMatchesNaiveSearch) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 40; ++round) {
        const std::uint64_t n = 2 + rng() % 40;
        DynamicSpanner s(n);
        const std::size_t m = rng() % 100;
        for (std::size_t i = 0; i < m; ++i) {
            std::uint64_t a = rng() % n, b = rng() % n;
            if (i % 11 == 3) b = a;
            s.insert_edge_with_values(a, b, 1.0 + static_cast<double>(i), 0.0);
            if (rng() % 6 == 0) s.edges.back().active = false;
        }
        for (int k = 0; k < 200; ++k) {
            const std::uint64_t u = rng() % (n + 1), v = rng() % (n + 1);  // some out of range
            const std::uint64_t key = rng() % 20;
            auto before = stored(s, key);
            auto expect = naive_bfs(s, u, v);
            auto got = s.embed_edge_with_bfs(key, u, v);
            ASSERT_EQ(got, expect) << round << " " << u << " " << v;
            if (got) {
                EXPECT_EQ(stored(s, key), got);
                EXPECT_TRUE(s.embedding_valid(key));
            } else {
                EXPECT_EQ(stored(s, key), before);
            }
        }
    }
}

TEST(DynamicSpanner, CopyKeepsEverything) {
    DynamicSpanner s(3);
    s.insert_edge_with_values(0, 1, 1.0, 0.0);
    s.insert_edge_with_values(1, 2, 1.0, 0.0);
    ASSERT_TRUE(s.embed_edge_with_bfs(4, 0, 2).has_value());
    DynamicSpanner c = s;
    s.insert_edge_with_values(0, 2, 1.0, 0.0);
    EXPECT_EQ(c.edges.size(), 2u);
    EXPECT_EQ(c.adjacency_of(0), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(*c.embed_edge_with_bfs(5, 0, 2), (std::vector<SignedEdge>{{0, 1}, {1, 1}}));
    EXPECT_EQ(*s.embed_edge_with_bfs(5, 0, 2), (std::vector<SignedEdge>{{2, 1}}));
}
