// EmbeddingTable: walks stored under edge identifiers, in one flat buffer
// with a (start, length) slot per identifier, with the lookups of a hash map
// (find, contains, at, erase_if) and iteration in identifier order.
//
// Contract: identifiers are edge indices, so the table takes memory in
// proportion to the largest identifier stored. A walk is written by
// assign(key, walk), by open(key) followed by push() calls onto the walk
// opened last, or by open_walk(key, steps) and filling the cells it returns;
// each replaces the key's old walk, and reset_walks replaces every walk at
// once. Rewritten walks are appended and their old cells counted as
// garbage; once the garbage exceeds the live cells the buffer is compacted
// (through a kept spare buffer), so rewriting the walks of the same edges
// allocates nothing once warm and the buffer stays within about twice the
// live cells. Spans returned by at() and find() are valid until the table
// is next modified.
// Cost: O(1) per lookup, O(length) per write (amortised, compaction
// included), O(slots) per clear and full iteration, O(slots + cells) per copy.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "trees/tree_common.hpp"
#include "zelk_assert.hpp"

namespace zelk {

// A walk in the spanner: (spanner edge, sign) pairs from start to end; sign
// +1 crosses the edge from u to v, -1 from v to u. (Kept as its own vector
// where walks are few, e.g. per contracted cluster.)
struct EmbeddingPath {
    std::vector<SignedEdge> edges;
};

class EmbeddingTable {
public:
    using Walk = std::span<const SignedEdge>;
    using value_type = std::pair<std::uint64_t, Walk>;

    class const_iterator {
    public:
        using value_type = EmbeddingTable::value_type;
        using reference = value_type;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        const_iterator() = default;
        const_iterator(const EmbeddingTable* t, std::size_t i) : table_(t), index_(i) { skip(); }
        value_type operator*() const { return {index_, table_->walk_at(index_)}; }
        const_iterator& operator++() {
            ++index_;
            skip();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.index_ == b.index_;
        }

    private:
        void skip() {
            while (index_ < table_->length_.size() && table_->length_[index_] == ABSENT) ++index_;
        }
        const EmbeddingTable* table_ = nullptr;
        std::size_t index_ = 0;
    };

    EmbeddingTable() = default;
    // Copies leave the spare buffer behind (and keep the target's storage).
    EmbeddingTable(const EmbeddingTable& other) { assign_from(other); }
    EmbeddingTable& operator=(const EmbeddingTable& other) {
        if (this != &other) assign_from(other);
        return *this;
    }
    EmbeddingTable(EmbeddingTable&&) noexcept = default;
    EmbeddingTable& operator=(EmbeddingTable&&) noexcept = default;

    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, length_.size()}; }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool contains(std::uint64_t key) const {
        return key < length_.size() && length_[key] != ABSENT;
    }

    // The walk under `key`, which must be stored.
    Walk at(std::uint64_t key) const {
        ZELK_ASSERT(contains(key));
        return walk_at(key);
    }

    // The walk under `key`, or nothing when none is stored.
    std::optional<Walk> find(std::uint64_t key) const {
        if (!contains(key)) return std::nullopt;
        return walk_at(key);
    }

    // Stores `walk` under `key` (replacing any walk there); the stored copy.
    // `walk` must not lie in this table: writing may move its cells.
    Walk assign(std::uint64_t key, Walk walk) {
        ZELK_ASSERT(walk.empty() || !std::less{}(walk.data(), cells_.data() + cells_.size()) ||
                    !std::less{}(cells_.data(), walk.data() + walk.size()));
        open(key);
        cells_.insert(cells_.end(), walk.begin(), walk.end());
        length_[key] = walk.size();
        live_ += walk.size();
        return walk_at(key);
    }

    // Stores an empty walk under `key` (replacing any walk there) that
    // push() extends until another key is written.
    void open(std::uint64_t key) {
        grow(key + 1);
        if (length_[key] == ABSENT) {
            ++count_;
        } else {
            live_ -= length_[key];
            garbage_ += length_[key];
        }
        length_[key] = 0;
        if (garbage_ > live_ && garbage_ >= MIN_COMPACTION) compact();
        start_[key] = cells_.size();
        open_ = key;
    }

    // Stores a walk of `steps` cells under `key` (replacing any walk there)
    // and returns the cells to be filled in place, valid until the table is
    // next modified: the state open(key) and `steps` push() calls leave,
    // without a capacity check per step.
    // (open() spelled out, so that the hot path inlines.)
    std::span<SignedEdge> open_walk(std::uint64_t key, std::size_t steps) {
        if (key >= length_.size()) grow(key + 1);
        std::size_t& length = length_[key];
        if (length == ABSENT) {
            ++count_;
        } else {
            live_ -= length;
            garbage_ += length;
        }
        length = 0;
        if (garbage_ > live_ && garbage_ >= MIN_COMPACTION) [[unlikely]]
            compact();
        const std::size_t from = cells_.size();
        start_[key] = from;
        open_ = key;
        // Walks are a few steps: appending beats a resize call.
        for (std::size_t j = 0; j < steps; ++j) cells_.emplace_back();
        length = steps;
        live_ += steps;
        return {cells_.data() + from, steps};
    }

    // Drops every walk, then stores under each keys[j] (all distinct) a walk
    // of steps[j] cells, and returns all the cells, walk after walk in the
    // order of `keys`, to be filled in place, valid until the table is next
    // modified: the state clear() and open_walk(keys[j], steps[j]) for each
    // j in turn leave, with the cells sized once.
    std::span<SignedEdge> reset_walks(std::span<const std::uint64_t> keys,
                                      std::span<const std::uint64_t> steps) {
        clear();
        std::size_t cells = 0;
        for (std::size_t j = 0; j < keys.size(); ++j) {
            const std::uint64_t key = keys[j];
            if (key >= length_.size()) grow(key + 1);
            ZELK_ASSERT(length_[key] == ABSENT);
            start_[key] = cells;
            length_[key] = steps[j];
            cells += steps[j];
        }
        count_ = keys.size();
        live_ = cells;
        if (!keys.empty()) open_ = keys.back();
        cells_.resize(cells);
        return {cells_.data(), cells};
    }

    // Appends one step to the walk opened last.
    void push(SignedEdge step) {
        ZELK_ASSERT(open_ < length_.size() && length_[open_] != ABSENT &&
                    start_[open_] + length_[open_] == cells_.size());
        cells_.push_back(step);
        ++length_[open_];
        ++live_;
    }

    // Room for every key below `keys`.
    void reserve(std::size_t keys) { grow(keys); }

    void clear() {
        std::fill(length_.begin(), length_.end(), ABSENT);
        cells_.clear();
        count_ = live_ = garbage_ = 0;
        open_ = NO_KEY;
    }

    // Drops every entry for which pred(key) holds; the number dropped.
    template <class Pred>
    std::size_t erase_if(Pred pred) {
        std::size_t dropped = 0;
        for (std::size_t i = 0; i < length_.size(); ++i) {
            if (length_[i] != ABSENT && pred(static_cast<std::uint64_t>(i))) {
                live_ -= length_[i];
                garbage_ += length_[i];
                length_[i] = ABSENT;
                ++dropped;
            }
        }
        if (open_ < length_.size() && length_[open_] == ABSENT) open_ = NO_KEY;
        count_ -= dropped;
        return dropped;
    }

private:
    static constexpr std::size_t ABSENT = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t NO_KEY = std::numeric_limits<std::size_t>::max();
    // Small tables are not worth compacting often.
    static constexpr std::size_t MIN_COMPACTION = 256;

    Walk walk_at(std::size_t key) const { return {cells_.data() + start_[key], length_[key]}; }

    void grow(std::size_t keys) {
        if (keys <= length_.size()) return;
        const std::size_t slots = std::max(keys, 2 * length_.size());
        start_.resize(slots, 0);
        length_.resize(slots, ABSENT);
    }

    void assign_from(const EmbeddingTable& other) {
        start_ = other.start_;
        length_ = other.length_;
        cells_ = other.cells_;
        count_ = other.count_;
        live_ = other.live_;
        garbage_ = other.garbage_;
        open_ = other.open_;
    }

    // Live walks moved to the front of the spare buffer, in identifier order.
    // Out of line, so that open() stays small enough to inline.
    [[gnu::noinline]] void compact() {
        spare_.clear();
        spare_.reserve(live_);
        for (std::size_t i = 0; i < length_.size(); ++i) {
            if (length_[i] == ABSENT) continue;
            const std::size_t from = start_[i];
            start_[i] = spare_.size();
            spare_.insert(spare_.end(), cells_.begin() + static_cast<std::ptrdiff_t>(from),
                          cells_.begin() + static_cast<std::ptrdiff_t>(from + length_[i]));
        }
        cells_.swap(spare_);
        garbage_ = 0;
    }

    std::vector<std::size_t> start_;   // first cell of key's walk
    std::vector<std::size_t> length_;  // cells in key's walk, ABSENT when none
    std::vector<SignedEdge> cells_;    // every walk's steps, plus garbage
    std::vector<SignedEdge> spare_;    // compaction target, kept for reuse
    std::size_t count_ = 0;            // keys with a walk
    std::size_t live_ = 0;             // cells of stored walks
    std::size_t garbage_ = 0;          // cells of replaced or erased walks
    std::size_t open_ = NO_KEY;        // the key push() extends
};

}  // namespace zelk
