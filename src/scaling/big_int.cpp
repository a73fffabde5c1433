#include "scaling/big_int.hpp"

#include <bit>

namespace zelk {

namespace {

using Limbs = std::array<std::uint64_t, 4>;

std::strong_ordering compare_magnitude(const Limbs& a, const Limbs& b) {
    for (std::size_t i = 4; i-- > 0;) {
        if (a[i] != b[i]) return a[i] <=> b[i];
    }
    return std::strong_ordering::equal;
}

// a + b; false when the sum reaches 2^256.
bool add_magnitude(const Limbs& a, const Limbs& b, Limbs& out) {
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const UInt128 s = static_cast<UInt128>(a[i]) + b[i] + carry;
        out[i] = static_cast<std::uint64_t>(s);
        carry = static_cast<std::uint64_t>(s >> 64);
    }
    return carry == 0;
}

// a - b for a >= b.
Limbs sub_magnitude(const Limbs& a, const Limbs& b) {
    Limbs out{};
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const UInt128 d = static_cast<UInt128>(a[i]) - b[i] - borrow;
        out[i] = static_cast<std::uint64_t>(d);
        borrow = static_cast<std::uint64_t>(d >> 64) != 0 ? 1 : 0;
    }
    return out;
}

}  // namespace

BigInt BigInt::from_limbs(const Limbs& mag, bool neg) {
    BigInt r;
    r.limbs = mag;
    r.negative = neg && !r.is_zero();
    return r;
}

BigInt::BigInt(std::int64_t value) : BigInt(static_cast<Int128>(value)) {}

BigInt::BigInt(Int128 value) {
    // Negation in unsigned arithmetic is exact for the smallest value too.
    const bool neg = value < 0;
    const UInt128 mag =
        neg ? UInt128{0} - static_cast<UInt128>(value) : static_cast<UInt128>(value);
    *this = from_magnitude(mag, neg);
}

BigInt BigInt::from_magnitude(UInt128 mag, bool neg) {
    return from_limbs(
        {static_cast<std::uint64_t>(mag), static_cast<std::uint64_t>(mag >> 64), 0, 0}, neg);
}

std::optional<BigInt> checked_add(const BigInt& a, const BigInt& b) {
    if (a.negative == b.negative) {
        Limbs out{};
        if (!add_magnitude(a.limbs, b.limbs, out)) return std::nullopt;
        return BigInt::from_limbs(out, a.negative);
    }
    if (compare_magnitude(a.limbs, b.limbs) >= 0) {
        return BigInt::from_limbs(sub_magnitude(a.limbs, b.limbs), a.negative);
    }
    return BigInt::from_limbs(sub_magnitude(b.limbs, a.limbs), b.negative);
}

std::optional<BigInt> checked_sub(const BigInt& a, const BigInt& b) {
    return checked_add(a, b.negated());
}

std::optional<BigInt> checked_mul(const BigInt& a, const BigInt& b) {
    std::array<std::uint64_t, 8> wide{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (a.limbs[i] == 0) continue;
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const UInt128 t = static_cast<UInt128>(a.limbs[i]) * b.limbs[j] + wide[i + j] + carry;
            wide[i + j] = static_cast<std::uint64_t>(t);
            carry = static_cast<std::uint64_t>(t >> 64);
        }
        wide[i + 4] = carry;
    }
    for (std::size_t k = 4; k < 8; ++k) {
        if (wide[k] != 0) return std::nullopt;
    }
    return BigInt::from_limbs({wide[0], wide[1], wide[2], wide[3]}, a.negative != b.negative);
}

BigInt BigInt::half() const {
    Limbs out{};
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = limbs[i] >> 1;
        if (i + 1 < 4) out[i] |= limbs[i + 1] << 63;
    }
    return from_limbs(out, negative);
}

BigInt BigInt::negated() const { return from_limbs(limbs, !negative); }

std::uint64_t BigInt::bit_length() const {
    for (std::size_t i = 4; i-- > 0;) {
        if (limbs[i] != 0) return 64 * i + static_cast<std::uint64_t>(std::bit_width(limbs[i]));
    }
    return 1;
}

std::string BigInt::to_string() const {
    // Peel off base-10^19 digits, least significant first.
    constexpr std::uint64_t chunk = 10'000'000'000'000'000'000ULL;
    Limbs rest = limbs;
    std::string digits;
    do {
        std::uint64_t remainder = 0;
        for (std::size_t i = 4; i-- > 0;) {
            const UInt128 cur = (static_cast<UInt128>(remainder) << 64) | rest[i];
            rest[i] = static_cast<std::uint64_t>(cur / chunk);
            remainder = static_cast<std::uint64_t>(cur % chunk);
        }
        const bool more = rest != Limbs{};
        for (int d = 0; d < 19 && (more || remainder != 0 || d == 0); ++d) {
            digits.push_back(static_cast<char>('0' + remainder % 10));
            remainder /= 10;
        }
        if (!more) break;
    } while (true);
    if (negative) digits.push_back('-');
    return {digits.rbegin(), digits.rend()};
}

std::strong_ordering operator<=>(const BigInt& a, const BigInt& b) {
    if (a.negative != b.negative)
        return a.negative ? std::strong_ordering::less : std::strong_ordering::greater;
    const std::strong_ordering m = compare_magnitude(a.limbs, b.limbs);
    return a.negative ? 0 <=> m : m;
}

}  // namespace zelk
