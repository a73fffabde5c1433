// SlackMemo: per-edge values that are pure functions of an edge's two slacks
// (under constants fixed for one run), kept between evaluations and keyed by
// both slacks bit for bit. An interior-point step moves only one cycle's
// edges, so a later evaluation recomputes just those and reuses the rest,
// with results identical to recomputing every edge.
// Cost: O(1) per lookup or store; memory O(edges).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk {

template <class Value>
class SlackMemo {
public:
    // The value stored for edge e under exactly these slacks, else null.
    const Value* find(std::size_t e, double upper_slack, double lower_slack) const {
        if (e >= valid_.size() || !valid_[e]) return nullptr;
        const Key& k = keys_[e];
        if (k.upper != std::bit_cast<std::uint64_t>(upper_slack) ||
            k.lower != std::bit_cast<std::uint64_t>(lower_slack)) {
            return nullptr;
        }
        return &values_[e];
    }

    void store(std::size_t e, double upper_slack, double lower_slack, const Value& v) {
        if (e >= valid_.size()) {
            valid_.resize(e + 1, 0);
            keys_.resize(e + 1);
            values_.resize(e + 1);
        }
        valid_[e] = 1;
        keys_[e] = {std::bit_cast<std::uint64_t>(upper_slack),
                    std::bit_cast<std::uint64_t>(lower_slack)};
        values_[e] = v;
    }

    // Room for `edges` entries up front, so stores never reallocate.
    void reserve(std::size_t edges) {
        valid_.reserve(edges);
        keys_.reserve(edges);
        values_.reserve(edges);
    }

private:
    struct Key {
        std::uint64_t upper = 0;
        std::uint64_t lower = 0;
    };
    std::vector<std::uint8_t> valid_;
    std::vector<Key> keys_;
    std::vector<Value> values_;
};

}  // namespace zelk
