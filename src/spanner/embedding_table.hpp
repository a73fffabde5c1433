// EmbeddingTable: walks stored under edge identifiers, as a dense table
// indexed by the identifier, with the lookups of a hash map (find,
// contains, operator[], erase_if) and iteration in identifier order.
//
// Contract: identifiers are edge indices, so the table takes memory in
// proportion to the largest identifier stored. Clearing, erasing and copying
// keep every slot's walk storage, so rewriting the walks of the same edges
// allocates nothing once warm. Iterators and references stay valid until a
// key at or beyond the slot count is inserted or reserved.
// Cost: O(1) per lookup and insertion (amortised), O(slots) per clear,
// copy and full iteration.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "trees/tree_common.hpp"
#include "zelk_assert.hpp"

namespace zelk {

// A walk in the spanner: (spanner edge, sign) pairs from start to end; sign
// +1 crosses the edge from u to v, -1 from v to u.
struct EmbeddingPath {
    std::vector<SignedEdge> edges;
};

class EmbeddingTable {
public:
    using value_type = std::pair<const std::uint64_t, EmbeddingPath>;

    template <bool Const>
    class Iter {
    public:
        using Table = std::conditional_t<Const, const EmbeddingTable, EmbeddingTable>;
        using value_type = EmbeddingTable::value_type;
        using reference = std::conditional_t<Const, const value_type&, value_type&>;
        using pointer = std::conditional_t<Const, const value_type*, value_type*>;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        Iter() = default;
        Iter(Table* t, std::size_t i) : table_(t), index_(i) { skip(); }
        reference operator*() const { return table_->slots_[index_]; }
        pointer operator->() const { return &table_->slots_[index_]; }
        Iter& operator++() {
            ++index_;
            skip();
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const Iter& a, const Iter& b) { return a.index_ == b.index_; }

    private:
        void skip() {
            while (index_ < table_->slots_.size() && table_->present_[index_] == 0) ++index_;
        }
        Table* table_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    EmbeddingTable() = default;
    EmbeddingTable(const EmbeddingTable& other) { assign_from(other); }
    EmbeddingTable& operator=(const EmbeddingTable& other) {
        if (this != &other) assign_from(other);
        return *this;
    }
    EmbeddingTable(EmbeddingTable&&) noexcept = default;
    EmbeddingTable& operator=(EmbeddingTable&&) noexcept = default;

    iterator begin() { return {this, 0}; }
    iterator end() { return {this, slots_.size()}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, slots_.size()}; }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool contains(std::uint64_t key) const { return key < slots_.size() && present_[key] != 0; }

    iterator find(std::uint64_t key) { return contains(key) ? iterator{this, key} : end(); }
    const_iterator find(std::uint64_t key) const {
        return contains(key) ? const_iterator{this, key} : end();
    }

    // The walk under `key`, which must be stored.
    const EmbeddingPath& at(std::uint64_t key) const {
        ZELK_ASSERT(contains(key));
        return slots_[key].second;
    }

    // The walk under `key`; an absent key gets an empty one.
    EmbeddingPath& operator[](std::uint64_t key) {
        grow(key + 1);
        if (present_[key] == 0) {
            present_[key] = 1;
            ++count_;
            slots_[key].second.edges.clear();
        }
        return slots_[key].second;
    }

    // Room for every key below `keys`.
    void reserve(std::size_t keys) { grow(keys); }

    void clear() {
        std::fill(present_.begin(), present_.end(), std::uint8_t{0});
        count_ = 0;
    }

    // Drops every entry for which pred(entry) holds; the number dropped.
    template <class Pred>
    std::size_t erase_if(Pred pred) {
        std::size_t dropped = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (present_[i] != 0 && pred(std::as_const(slots_[i]))) {
                present_[i] = 0;
                ++dropped;
            }
        }
        count_ -= dropped;
        return dropped;
    }

private:
    void grow(std::size_t keys) {
        if (keys <= slots_.size()) return;
        slots_.reserve(std::max(keys, 2 * slots_.size()));
        for (std::size_t i = slots_.size(); i < keys; ++i) slots_.emplace_back(i, EmbeddingPath{});
        present_.resize(keys, 0);
    }

    // Stored walks copied into this table's slots, whose storage is reused.
    void assign_from(const EmbeddingTable& other) {
        grow(other.slots_.size());
        std::fill(present_.begin(), present_.end(), std::uint8_t{0});
        for (std::size_t i = 0; i < other.slots_.size(); ++i) {
            if (other.present_[i] == 0) continue;
            present_[i] = 1;
            slots_[i].second.edges.assign(other.slots_[i].second.edges.begin(),
                                          other.slots_[i].second.edges.end());
        }
        count_ = other.count_;
    }

    std::vector<value_type> slots_;      // slot i holds key i
    std::vector<std::uint8_t> present_;  // 1 when slot i holds a walk
    std::size_t count_ = 0;
};

}  // namespace zelk
