#include "trees/kruskal_order.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace zelk {

namespace {

// Below this many records a counting pass costs more than it saves.
constexpr std::size_t SMALL_SORT = 64;

// Insertion sort under `before` that gives up (false) after `budget` moves,
// leaving a permutation of the records.
template <class Before>
bool insertion_sort_within(KeyedEdge* first, std::size_t len, std::size_t budget, Before before) {
    for (std::size_t i = 1; i < len; ++i) {
        if (!before(first[i], first[i - 1])) continue;
        const KeyedEdge x = first[i];
        std::size_t j = i;
        while (j > 0 && before(x, first[j - 1])) {
            first[j] = first[j - 1];
            --j;
            if (--budget == 0) {
                first[j] = x;
                return false;
            }
        }
        first[j] = x;
    }
    return true;
}

bool key_before(const KeyedEdge& a, const KeyedEdge& b) { return a.key < b.key; }

// Orders each run of equal keys by tie(edge), which must differ between
// distinct edges, so the order within a run is fully determined.
template <class TieKey>
void order_equal_keys(std::vector<KeyedEdge>& records, TieKey tie) {
    thread_local std::vector<KeyedEdge> run, run_scratch;
    const std::size_t len = records.size();
    std::size_t i = 0;
    while (i < len) {
        std::size_t j = i + 1;
        while (j < len && records[j].key == records[i].key) ++j;
        if (j - i >= 2) {
            // The tie key takes the key's place, and the run is sorted by it.
            run.resize(j - i);
            for (std::size_t k = i; k < j; ++k) {
                run[k - i] = KeyedEdge{tie(records[k].edge), records[k].edge};
            }
            stable_radix_sort(run, run_scratch);
            const std::uint64_t key = records[i].key;
            for (std::size_t k = i; k < j; ++k) records[k] = KeyedEdge{key, run[k - i].edge};
        }
        i = j;
    }
}

// The sort behind both public orders: by key, then by tie(edge).
template <class TieKey>
bool sort_by_key_then_tie(std::vector<KeyedEdge>& records, TieKey tie) {
    auto before = [&tie](const KeyedEdge& a, const KeyedEdge& b) {
        if (a.key != b.key) return a.key < b.key;
        return tie(a.edge) < tie(b.edge);
    };
    const std::size_t len = records.size();
    // Counting stops once the descents are too many for insertion.
    const std::size_t few = len / 32;
    std::size_t descents = 0;
    for (std::size_t i = 1; i < len && descents <= few; ++i) {
        if (before(records[i], records[i - 1])) ++descents;
    }
    if (descents == 0) return true;
    // Few descents: repair by insertion while the moves stay about linear.
    if (descents <= few && insertion_sort_within(records.data(), len, 4 * len + 64, before)) {
        return false;
    }
    thread_local std::vector<KeyedEdge> scratch;
    stable_radix_sort(records, scratch);
    order_equal_keys(records, tie);
    return false;
}

// One stable counting pass on the digit (key >> shift) & mask, from `in`
// to `out`; `counts` holds mask + 1 zeroed entries on entry.
void counting_pass(const KeyedEdge* in, KeyedEdge* out, std::size_t len, unsigned shift,
                   std::uint64_t mask, std::uint32_t* counts) {
    for (std::size_t i = 0; i < len; ++i) ++counts[(in[i].key >> shift) & mask];
    std::uint32_t sum = 0;
    for (std::uint64_t d = 0; d <= mask; ++d) {
        const std::uint32_t k = counts[d];
        counts[d] = sum;
        sum += k;
    }
    for (std::size_t i = 0; i < len; ++i) out[counts[(in[i].key >> shift) & mask]++] = in[i];
}

}  // namespace

// Only the bits where keys differ matter. Two or three counting passes on
// the highest of them (for lengths: the exponent and the leading mantissa
// bits) leave each record next to its place unless many keys share those
// bits, so an insertion sort with a linear budget usually finishes;
// otherwise passes over all the differing bits do. Every step is
// stable, so the result is the stable order by key either way.
void stable_radix_sort(std::vector<KeyedEdge>& records, std::vector<KeyedEdge>& scratch) {
    const std::size_t len = records.size();
    if (len < SMALL_SORT) {
        insertion_sort_within(records.data(), len, std::numeric_limits<std::size_t>::max(),
                              key_before);
        return;
    }
    std::uint64_t all_or = 0, all_and = ~std::uint64_t{0};
    for (const KeyedEdge& r : records) {
        all_or |= r.key;
        all_and &= r.key;
    }
    const std::uint64_t differing = all_or ^ all_and;
    if (differing == 0) return;
    const unsigned top = static_cast<unsigned>(std::bit_width(differing));  // bits 0..top-1
    const unsigned digit = len >= 2048 ? 11 : 8;
    const std::uint64_t mask = (std::uint64_t{1} << digit) - 1;
    thread_local std::vector<std::uint32_t> counts;
    counts.resize(mask + 1);
    scratch.resize(len);
    auto passes = [&](unsigned low, unsigned high) {  // digits covering bits [low, high)
        for (unsigned shift = low; shift < high; shift += digit) {
            std::fill(counts.begin(), counts.end(), 0);
            counting_pass(records.data(), scratch.data(), len, shift, mask, counts.data());
            records.swap(scratch);
        }
    };
    // Two passes when their window holds enough differing bits to spread the
    // records thinly (bit_width(len) + 6 of them), else three.
    const unsigned two = top > 2 * digit ? top - 2 * digit : 0;
    const bool thin = std::popcount(differing >> two) >= static_cast<int>(std::bit_width(len)) + 6;
    const unsigned low = thin ? two : (top > 3 * digit ? top - 3 * digit : 0);
    passes(low, top);
    if (low == 0 || insertion_sort_within(records.data(), len, 2 * len + 64, key_before)) {
        return;
    }
    passes(0, top);
}

bool sort_kruskal_records(std::vector<KeyedEdge>& records, std::uint64_t seed) {
    return sort_by_key_then_tie(records, [seed](std::uint64_t e) { return kruskal_hash(seed, e); });
}

bool sort_by_key_then_edge(std::vector<KeyedEdge>& records) {
    return sort_by_key_then_tie(records, [](std::uint64_t e) { return e; });
}

}  // namespace zelk
