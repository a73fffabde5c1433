// The Kruskal order (radix sort on order-preserving keys, hash tie-break)
// against a comparison sort with the plain comparator, on seeded random
// lengths full of ties, signed zeros and infinities, from any input order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "trees/kruskal_order.hpp"

using namespace zelk;

namespace {

// The reference: lengths by `<`, ties by hash, then by index.
std::vector<std::uint64_t> reference_order(const std::vector<double>& lengths, std::uint64_t seed) {
    std::vector<std::uint64_t> order(lengths.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
        if (lengths[a] < lengths[b]) return true;
        if (lengths[b] < lengths[a]) return false;
        const std::uint64_t ha = kruskal_hash(seed, a), hb = kruskal_hash(seed, b);
        if (ha != hb) return ha < hb;
        return a < b;
    });
    return order;
}

std::vector<double> random_lengths(std::mt19937_64& rng, std::size_t m, int kind) {
    const double inf = std::numeric_limits<double>::infinity();
    const double pool[] = {-0.0, 0.0, 1.0, -1.0, 2.5, inf, -inf, 1e-310, -1e-310, 0.5};
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_real_distribution<double> wide(-1e6, 1e6);
    std::vector<double> lengths(m);
    for (double& x : lengths) {
        switch (kind) {
            case 0: x = pool[pick(rng)]; break;                       // almost all ties
            case 1: x = static_cast<double>(rng() % 7) - 3.0; break;  // small integers
            case 2: x = wide(rng); break;                             // few ties
            default:
                x = rng() % 3 == 0 ? pool[pick(rng)] : std::ldexp(wide(rng), pick(rng) * 40 - 200);
        }
    }
    return lengths;
}

}  // namespace

TEST(KruskalOrder, OrderedKeyFollowsLessThan) {
    std::mt19937_64 rng(5);
    for (int kind = 0; kind < 4; ++kind) {
        const auto v = random_lengths(rng, 300, kind);
        for (std::size_t i = 0; i + 1 < v.size(); ++i) {
            const double a = v[i], b = v[i + 1];
            EXPECT_EQ(ordered_key(a) < ordered_key(b), a < b) << a << " " << b;
            EXPECT_EQ(ordered_key(a) == ordered_key(b), a == b) << a << " " << b;
        }
    }
}

TEST(KruskalOrder, SortEqualsComparisonSortFromAnyStart) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 160; ++round) {
        const std::size_t m = round % 4 == 0 ? rng() % 70 : rng() % 3000;
        const int kind = round % 4;
        const std::uint64_t seed = round % 3 == 0 ? 0 : rng();
        const auto lengths = random_lengths(rng, m, kind);
        const auto expected = reference_order(lengths, seed);
        // Starts: identity, shuffled, already sorted, and sorted with a few swaps.
        for (int start = 0; start < 4; ++start) {
            std::vector<std::uint64_t> order(m);
            std::iota(order.begin(), order.end(), 0);
            if (start == 1) std::shuffle(order.begin(), order.end(), rng);
            if (start >= 2) order = expected;
            if (start == 3 && m > 1) {
                for (std::size_t k = 0; k < 1 + m / 100; ++k) {
                    std::swap(order[rng() % m], order[rng() % m]);
                }
            }
            std::vector<KeyedEdge> records(m);
            for (std::size_t i = 0; i < m; ++i) {
                records[i] = KeyedEdge{ordered_key(lengths[order[i]]), order[i]};
            }
            const bool in_order = sort_kruskal_records(records, seed);
            ASSERT_EQ(records.size(), m);
            std::vector<std::uint64_t> got(m);
            for (std::size_t i = 0; i < m; ++i) got[i] = records[i].edge;
            ASSERT_EQ(got, expected) << "round " << round << " start " << start;
            EXPECT_EQ(in_order, order == expected) << "round " << round << " start " << start;
        }
    }
}

TEST(KruskalOrder, RadixSortIsStable) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 40; ++round) {
        const std::size_t m = rng() % 2000;
        std::vector<KeyedEdge> records(m), scratch;
        // Few differing bits with many equal keys; or a few high values with
        // differences far below them, which the leading passes cannot settle.
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t key = round % 2 == 0
                                          ? (rng() % 5) << (round % 40) | rng() % 3
                                          : (rng() % 3) << 50 | (rng() % 1000) << (round % 20);
            records[i] = KeyedEdge{key, i};
        }
        auto expected = records;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const KeyedEdge& a, const KeyedEdge& b) { return a.key < b.key; });
        stable_radix_sort(records, scratch);
        for (std::size_t i = 0; i < m; ++i) {
            ASSERT_EQ(records[i].key, expected[i].key) << round << " " << i;
            ASSERT_EQ(records[i].edge, expected[i].edge) << round << " " << i;
        }
    }
}

TEST(KruskalOrder, KeyThenEdgeEqualsComparisonSort) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 60; ++round) {
        const std::size_t m = rng() % 2500;
        const auto lengths = random_lengths(rng, m, round % 4);
        std::vector<KeyedEdge> records(m);
        for (std::size_t e = 0; e < m; ++e) {
            // NaN (as the weighted forest keys it) after every number.
            const double x = rng() % 50 == 0 ? std::nan("") : std::fabs(lengths[e]);
            records[e] = KeyedEdge{std::isnan(x) ? ~std::uint64_t{0} : ordered_key(x), e};
        }
        auto expected = records;
        std::sort(expected.begin(), expected.end(), [](const KeyedEdge& a, const KeyedEdge& b) {
            return a.key != b.key ? a.key < b.key : a.edge < b.edge;
        });
        if (round % 3 == 1) {
            std::shuffle(records.begin(), records.end(), rng);
        } else if (round % 3 == 2 && m > 1) {
            records = expected;
            std::swap(records[rng() % m], records[rng() % m]);
        }
        sort_by_key_then_edge(records);
        for (std::size_t i = 0; i < m; ++i) {
            ASSERT_EQ(records[i].edge, expected[i].edge) << round << " " << i;
        }
    }
}
