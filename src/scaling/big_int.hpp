// BigInt: a signed integer of magnitude below 2^256, for exact sums of
// products of 64- and 128-bit values (cost brackets and flow prices).
//
// Sign and magnitude, four 64-bit limbs, zero never negative. Addition,
// subtraction and multiplication are checked: a result whose magnitude would
// reach 2^256 is an empty optional, never a wrapped value. Halving truncates
// toward zero. Cost: O(1) per operation (at most 16 limb products), decimal
// printing O(1) divisions by 10^19.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include "checked_math.hpp"

namespace zelk {

__extension__ typedef unsigned __int128 UInt128;

class BigInt {
public:
    BigInt() = default;  // zero
    // Implicit: both are exact widenings.
    BigInt(std::int64_t value);
    BigInt(Int128 value);
    static BigInt from_magnitude(UInt128 mag, bool neg);

    friend std::optional<BigInt> checked_add(const BigInt& a, const BigInt& b);
    friend std::optional<BigInt> checked_sub(const BigInt& a, const BigInt& b);
    friend std::optional<BigInt> checked_mul(const BigInt& a, const BigInt& b);

    // value / 2, truncated toward zero.
    BigInt half() const;
    BigInt negated() const;

    bool is_negative() const { return negative; }
    bool is_zero() const { return limbs == std::array<std::uint64_t, 4>{}; }
    // Bits of |value|; 1 for zero.
    std::uint64_t bit_length() const;
    // Plain decimal, a leading '-' when negative.
    std::string to_string() const;

    friend bool operator==(const BigInt&, const BigInt&) = default;
    friend std::strong_ordering operator<=>(const BigInt& a, const BigInt& b);

private:
    std::array<std::uint64_t, 4> limbs{};  // |value|, least significant first
    bool negative = false;

    static BigInt from_limbs(const std::array<std::uint64_t, 4>& mag, bool neg);
};

// Bits of |value|; 1 for zero.
inline std::uint64_t bigint_bits(const BigInt& value) { return value.bit_length(); }

}  // namespace zelk
