// BigInt against 128-bit arithmetic where that is exact, algebraic identities
// beyond it, decimal printing of powers of ten up to the 2^256 limit, and
// checked overflow at that limit.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "scaling/big_int.hpp"

using namespace zelk;

namespace {

std::string int128_text(Int128 v) {
    if (v == 0) return "0";
    const bool negative = v < 0;
    UInt128 mag = negative ? UInt128{0} - static_cast<UInt128>(v) : static_cast<UInt128>(v);
    std::string out;
    while (mag != 0) {
        out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(mag % 10)));
        mag /= 10;
    }
    return negative ? "-" + out : out;
}

BigInt add(const BigInt& a, const BigInt& b) { return checked_add(a, b).value(); }
BigInt sub(const BigInt& a, const BigInt& b) { return checked_sub(a, b).value(); }
BigInt mul(const BigInt& a, const BigInt& b) { return checked_mul(a, b).value(); }

}  // namespace

TEST(BigInt, AgreesWithInt128WhereThatIsExact) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 500; ++trial) {
        // Magnitudes of every size below 2^63, both signs, zero and ties included.
        const int shift = static_cast<int>(rng() % 63);
        const auto a = static_cast<std::int64_t>(rng() >> (1 + shift)) * (rng() % 2 ? 1 : -1);
        const auto b = static_cast<std::int64_t>(rng() >> (1 + rng() % 63)) * (rng() % 2 ? 1 : -1);
        const Int128 wa = a, wb = b;
        const BigInt ba(a), bb(b);
        EXPECT_EQ(add(ba, bb).to_string(), int128_text(wa + wb));
        EXPECT_EQ(sub(ba, bb).to_string(), int128_text(wa - wb));
        EXPECT_EQ(mul(ba, bb).to_string(), int128_text(wa * wb));
        EXPECT_EQ(mul(ba, bb).half().to_string(), int128_text(wa * wb / 2));
        EXPECT_EQ(ba <=> bb, wa <=> wb);
        EXPECT_EQ(ba == bb, a == b);
        const UInt128 mag = wa < 0 ? static_cast<UInt128>(-wa) : static_cast<UInt128>(wa);
        std::uint64_t bits = 0;
        for (UInt128 m = mag; m != 0; m >>= 1) ++bits;
        EXPECT_EQ(bigint_bits(ba), std::max<std::uint64_t>(bits, 1));
        EXPECT_EQ(ba.is_negative(), a < 0);
    }
}

TEST(BigInt, ExtremeNarrowValuesConvertExactly) {
    const Int128 min128 = -((Int128{1} << 126) - 1 + (Int128{1} << 126)) - 1;
    EXPECT_EQ(BigInt(min128).to_string(), "-170141183460469231731687303715884105728");
    EXPECT_EQ(BigInt(INT64_MIN).to_string(), "-9223372036854775808");
    EXPECT_EQ(bigint_bits(BigInt(INT64_MIN)), 64u);
    EXPECT_EQ(bigint_bits(BigInt(min128)), 128u);
    EXPECT_EQ(bigint_bits(BigInt()), 1u);
    EXPECT_EQ(BigInt::from_magnitude(0, true), BigInt());  // no negative zero
    EXPECT_FALSE(BigInt::from_magnitude(0, true).is_negative());
}

TEST(BigInt, HalvingTruncatesTowardZero) {
    // The midpoint of a bracket entirely below zero.
    EXPECT_EQ(add(BigInt(std::int64_t{-7}), BigInt(std::int64_t{-2})).half().to_string(), "-4");
    EXPECT_EQ(BigInt(std::int64_t{-1}).half(), BigInt());
    EXPECT_FALSE(BigInt(std::int64_t{-1}).half().is_negative());
    EXPECT_EQ(BigInt(std::int64_t{7}).half().to_string(), "3");
    // Bits cross limb boundaries when halving.
    const BigInt two200 = mul(mul(BigInt::from_magnitude(UInt128{1} << 100, false),
                                  BigInt::from_magnitude(UInt128{1} << 100, false)),
                              BigInt(std::int64_t{-1}));
    EXPECT_EQ(bigint_bits(two200), 201u);
    EXPECT_EQ(mul(two200.half(), BigInt(std::int64_t{2})), two200);
    EXPECT_EQ(bigint_bits(two200.half()), 200u);
}

TEST(BigInt, PowersOfTenPrintUpToTheLimit) {
    BigInt p(std::int64_t{1});
    const BigInt ten(std::int64_t{10});
    std::string digits = "1";
    for (std::size_t k = 1; k <= 77; ++k) {
        p = mul(p, ten);
        digits.push_back('0');
        EXPECT_EQ(p.to_string(), digits);
        EXPECT_EQ(p.negated().to_string(), std::string("-").append(digits));
        EXPECT_EQ(sub(p, BigInt(std::int64_t{1})).to_string(), std::string(k, '9'));
    }
    EXPECT_FALSE(checked_mul(p, ten).has_value());  // 10^78 > 2^256 > 10^77
}

TEST(BigInt, IdentitiesHoldBeyond128Bits) {
    std::mt19937_64 rng(5);
    auto random_wide = [&] {
        const UInt128 mag = (static_cast<UInt128>(rng()) << 64 | rng()) >> (2 + rng() % 120);
        return BigInt::from_magnitude(mag, rng() % 2 == 0);
    };
    for (int trial = 0; trial < 500; ++trial) {
        const BigInt a = random_wide(), b = random_wide(), c = random_wide();
        // (a + b)(a - b) = a^2 - b^2 and distributivity, with values near 2^256.
        EXPECT_EQ(mul(add(a, b), sub(a, b)), sub(mul(a, a), mul(b, b)));
        EXPECT_EQ(mul(a, add(b, c)), add(mul(a, b), mul(a, c)));
        EXPECT_EQ(sub(add(a, b), b), a);
        const BigInt ab = mul(a, b);
        EXPECT_EQ(ab < mul(a, c), (a.is_negative() ? c < b : b < c) && !a.is_zero());
    }
}

TEST(BigInt, OverflowAtTwoTo256IsReportedNotWrapped) {
    const BigInt all_ones = BigInt::from_magnitude(~UInt128{0}, false);  // 2^128 - 1
    const BigInt two128 = add(all_ones, BigInt(std::int64_t{1}));
    const BigInt top = add(mul(all_ones, two128), all_ones);  // 2^256 - 1
    EXPECT_EQ(bigint_bits(top), 256u);
    EXPECT_FALSE(checked_add(top, BigInt(std::int64_t{1})).has_value());
    EXPECT_FALSE(checked_sub(top.negated(), BigInt(std::int64_t{1})).has_value());
    EXPECT_FALSE(checked_mul(two128, two128).has_value());
    EXPECT_EQ(sub(top, top), BigInt());
    EXPECT_EQ(add(top, top.negated()), BigInt());
    EXPECT_TRUE(top.negated() < BigInt(INT64_MIN));
    EXPECT_EQ(top.to_string(),
              "115792089237316195423570985008687907853269984665640564039457584007913129639935");
}
