// U64HashMap<V> and U64HashSet: open-addressing hash containers keyed by
// 64-bit unsigned values, for the trees, spanners and oracles.
//
// Contract: every 64-bit value is a valid key (no reserved sentinel).
// Iteration (for_each) runs in slot order, which depends only on the
// sequence of operations performed, never on addresses or the platform's
// standard library, so it is reproducible across runs and machines.
// Cost: expected O(1) per find, insert and erase (linear probing, load at
// most 1/2, splitmix64-mixed keys); iteration is linear in the capacity.
// Erase uses backward shifting, so there are no tombstones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "splitmix64.hpp"

namespace zelk {

namespace hash_detail {

inline std::uint64_t mix(std::uint64_t z) { return splitmix64_finalize(z + 0x9E3779B97F4A7C15ULL); }

}  // namespace hash_detail

template <class V>
class U64HashMap {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Drops every entry; keeps the allocated slots.
    void clear() {
        if (size_ == 0) return;
        for (std::size_t i = 0; i < used_.size(); ++i) {
            if (used_[i]) {
                used_[i] = 0;
                values_[i] = V{};
            }
        }
        size_ = 0;
    }

    // Makes room for `count` entries without further growth.
    void reserve(std::size_t count) {
        std::size_t cap = 8;
        while (cap < 2 * count) cap *= 2;
        if (cap > used_.size()) rehash(cap);
    }

    V* find(std::uint64_t key) {
        const std::size_t i = locate(key);
        return i == NOT_FOUND ? nullptr : &values_[i];
    }
    const V* find(std::uint64_t key) const {
        const std::size_t i = locate(key);
        return i == NOT_FOUND ? nullptr : &values_[i];
    }
    bool contains(std::uint64_t key) const { return locate(key) != NOT_FOUND; }

    // The entry of `key`, value-initialised when absent; `second` is true
    // when it was inserted by this call.
    std::pair<V*, bool> try_emplace(std::uint64_t key) {
        if (2 * (size_ + 1) > used_.size()) rehash(used_.empty() ? 8 : 2 * used_.size());
        const std::size_t mask = used_.size() - 1;
        for (std::size_t i = hash_detail::mix(key) & mask;; i = (i + 1) & mask) {
            if (!used_[i]) {
                used_[i] = 1;
                keys_[i] = key;
                values_[i] = V{};
                ++size_;
                return {&values_[i], true};
            }
            if (keys_[i] == key) return {&values_[i], false};
        }
    }

    V& operator[](std::uint64_t key) { return *try_emplace(key).first; }

    // Removes `key`; false when it was absent.
    bool erase(std::uint64_t key) {
        std::size_t hole = locate(key);
        if (hole == NOT_FOUND) return false;
        const std::size_t mask = used_.size() - 1;
        // Backward shift: pull later members of the probe run into the hole
        // when their home slot does not lie cyclically in (hole, j].
        for (std::size_t j = (hole + 1) & mask; used_[j]; j = (j + 1) & mask) {
            const std::size_t home = hash_detail::mix(keys_[j]) & mask;
            const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (stays) continue;
            keys_[hole] = keys_[j];
            values_[hole] = std::move(values_[j]);
            hole = j;
        }
        used_[hole] = 0;
        values_[hole] = V{};
        --size_;
        return true;
    }

    // f(key, value) for every entry, in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < used_.size(); ++i) {
            if (used_[i]) f(keys_[i], values_[i]);
        }
    }
    template <class F>
    void for_each(F&& f) {
        for (std::size_t i = 0; i < used_.size(); ++i) {
            if (used_[i]) f(keys_[i], values_[i]);
        }
    }

private:
    static constexpr std::size_t NOT_FOUND = ~std::size_t{0};

    std::size_t locate(std::uint64_t key) const {
        if (size_ == 0) return NOT_FOUND;
        const std::size_t mask = used_.size() - 1;
        for (std::size_t i = hash_detail::mix(key) & mask;; i = (i + 1) & mask) {
            if (!used_[i]) return NOT_FOUND;
            if (keys_[i] == key) return i;
        }
    }

    void rehash(std::size_t capacity) {
        std::vector<std::uint64_t> old_keys(capacity);
        std::vector<V> old_values(capacity);
        std::vector<std::uint8_t> old_used(capacity, 0);
        old_keys.swap(keys_);
        old_values.swap(values_);
        old_used.swap(used_);
        const std::size_t mask = capacity - 1;
        for (std::size_t s = 0; s < old_used.size(); ++s) {
            if (!old_used[s]) continue;
            std::size_t i = hash_detail::mix(old_keys[s]) & mask;
            while (used_[i]) i = (i + 1) & mask;
            used_[i] = 1;
            keys_[i] = old_keys[s];
            values_[i] = std::move(old_values[s]);
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<V> values_;
    std::vector<std::uint8_t> used_;
    std::size_t size_ = 0;
};

class U64HashSet {
public:
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    void clear() { map_.clear(); }
    void reserve(std::size_t count) { map_.reserve(count); }
    // True when `key` was not yet present.
    bool insert(std::uint64_t key) { return map_.try_emplace(key).second; }
    bool contains(std::uint64_t key) const { return map_.contains(key); }
    bool erase(std::uint64_t key) { return map_.erase(key); }

    // f(key) for every member, in slot order.
    template <class F>
    void for_each(F&& f) const {
        map_.for_each([&](std::uint64_t k, const Unit&) { f(k); });
    }

    // The members in slot order.
    std::vector<std::uint64_t> to_vector() const {
        std::vector<std::uint64_t> out;
        out.reserve(size());
        for_each([&](std::uint64_t k) { out.push_back(k); });
        return out;
    }

private:
    struct Unit {};
    U64HashMap<Unit> map_;
};

}  // namespace zelk
