// Binary floating-point formats as data, and the conversions between two of them written once
// over that data: exact widening, narrowing that rounds to nearest with ties to even, and the
// truncating narrowing that binary128 decoding uses. All of it works on bit patterns, so no
// floating-point mode of the process (flush-to-zero, rounding direction) can touch a result.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "codec.hpp"

namespace bitloom {

/// A pattern is sign | biased exponent | leading bit (explicit formats only) | fraction, most
/// significant first. An exponent field of all ones holds the infinities (fraction zero) and the
/// NaNs (quiet with the top fraction bit set); all zeros holds the zeros and the subnormals.
struct FloatFormat {
    int sign_bits;
    int exponent_bits;
    int fraction_bits;          // stored bits after the binary point
    int bias;
    bool explicit_leading_bit;  // the bit before the point is stored (x87 extended), not implied

    constexpr int width() const noexcept {
        return sign_bits + exponent_bits + explicit_leading_bit + fraction_bits;
    }
    constexpr int exponent_max() const noexcept { return (1 << exponent_bits) - 1; }
    /// Exponent of the least normal; the least subnormal is 2^(min_exponent - fraction_bits).
    constexpr int min_exponent() const noexcept { return 1 - bias; }
    constexpr int max_exponent() const noexcept { return exponent_max() - 1 - bias; }
};

inline constexpr FloatFormat binary16{1, 5, 10, 15, false};
inline constexpr FloatFormat binary32{1, 8, 23, 127, false};
inline constexpr FloatFormat binary64{1, 11, 52, 1023, false};
inline constexpr FloatFormat binary128{1, 15, 112, 16383, false};
/// x87 extended: sign (bit 79), exponent (bits 64..78), integer bit (63), fraction (0..62).
inline constexpr FloatFormat x87_extended{1, 15, 63, 16383, true};

/// Where the fields of a format sit in its right-aligned pattern, held in the narrowest of
/// uint32_t, uint64_t and u128 that fits (bits above the width are clear).
template <FloatFormat F>
struct FloatLayout {
    static_assert(F.sign_bits == 1, "a sign-magnitude format");
    using Bits = std::conditional_t<F.width() <= 32, std::uint32_t,
                                    std::conditional_t<F.width() <= 64, std::uint64_t, u128>>;
    static constexpr int sign_shift = F.width() - 1;
    static constexpr int exponent_shift = F.fraction_bits + F.explicit_leading_bit;
    static constexpr Bits leading_bit = Bits{1} << F.fraction_bits;
    static constexpr Bits fraction_mask = leading_bit - 1;
    static constexpr Bits quiet_bit = Bits{1} << (F.fraction_bits - 1);
    static constexpr Bits infinity = (Bits(F.exponent_max()) << exponent_shift) |
                                     (F.explicit_leading_bit ? leading_bit : Bits{0});

    static constexpr Bits sign(Bits x) noexcept { return (x >> sign_shift) & 1; }
    static constexpr int exponent(Bits x) noexcept {
        return static_cast<int>(static_cast<std::uint32_t>(x >> exponent_shift)) & F.exponent_max();
    }
    static constexpr Bits fraction(Bits x) noexcept { return x & fraction_mask; }
};

template <FloatFormat F>
using FloatBits = typename FloatLayout<F>::Bits;

/// Conversions of S patterns to D patterns, for formats whose leading bit is implied: an
/// explicit one brings patterns that these lack (unnormals, pseudo-denormals), and rules for them.
template <FloatFormat S, FloatFormat D>
struct FloatConversion {
    static_assert(!S.explicit_leading_bit && !D.explicit_leading_bit);
    using From = FloatLayout<S>;
    using To = FloatLayout<D>;
    using SB = FloatBits<S>;
    using DB = FloatBits<D>;

    static constexpr DB sign(SB x) noexcept { return static_cast<DB>(From::sign(x)) << To::sign_shift; }

    /// Exact, where D holds every S value: S subnormals become D normals, a NaN keeps its
    /// payload and comes out quiet.
    static constexpr DB widen(SB x) noexcept {
        constexpr int grow = D.fraction_bits - S.fraction_bits;
        static_assert(grow >= 0 && D.max_exponent() >= S.max_exponent() &&
                      D.min_exponent() <= S.min_exponent() - S.fraction_bits);
        const int e = From::exponent(x);
        const DB f = From::fraction(x);
        if (e == S.exponent_max()) return sign(x) | To::infinity | (f << grow) | (f ? To::quiet_bit : DB{0});
        if (e == 0) {
            if (f == 0) return sign(x);
            // f x 2^(min_exponent - fraction_bits) with its top set bit at position p.
            const int p = static_cast<int>(std::bit_width(From::fraction(x))) - 1;
            const DB exponent = static_cast<DB>(p + S.min_exponent() - S.fraction_bits + D.bias);
            return sign(x) | (exponent << D.fraction_bits) | ((f << (D.fraction_bits - p)) & To::fraction_mask);
        }
        return sign(x) | (static_cast<DB>(e - S.bias + D.bias) << D.fraction_bits) | (f << grow);
    }

    /// Round to nearest, ties to even; beyond D's range a signed infinity, below its normal range
    /// D's subnormals, then a signed zero; a NaN keeps the top fraction bits that fit and comes
    /// out quiet.
    static constexpr DB narrow(SB x) noexcept {
        constexpr int drop = S.fraction_bits - D.fraction_bits;
        static_assert(drop > 0 && S.max_exponent() >= D.max_exponent());
        // S subnormals all lie below half the least D subnormal, so they round to zero.
        static_assert(S.min_exponent() <= D.min_exponent() - D.fraction_bits - 1);
        const int e = From::exponent(x);
        const SB f = From::fraction(x);
        if (e == S.exponent_max())
            return sign(x) | To::infinity | (f ? To::quiet_bit | static_cast<DB>(f >> drop) : DB{0});
        if (e == 0) return sign(x);
        const int biased = e - S.bias + D.bias;
        if (biased >= D.exponent_max()) return sign(x) | To::infinity;
        const SB m = f | From::leading_bit;
        // Drop `drop` bits for a normal result, more for a subnormal one (biased exponent <= 0).
        const int shift = biased > 0 ? drop : drop + 1 - biased;
        if (shift > S.fraction_bits + 2) return sign(x);  // below half the least subnormal
        // Adding half an ulp less one, plus the kept last bit, carries exactly when the dropped
        // bits are above half, or at half with the kept value odd.
        const DB r = static_cast<DB>((m + (SB{1} << (shift - 1)) - 1 + ((m >> shift) & 1)) >> shift);
        // A normal result keeps its leading bit in r; adding it on top of the exponent field
        // lets a rounding carry step into the next exponent (or into infinity) by itself.
        if (biased > 0) return sign(x) | ((static_cast<DB>(biased - 1) << D.fraction_bits) + r);
        return sign(x) | r;  // a carry here yields the least normal
    }

    /// Truncated toward zero: beyond D's range a signed infinity, below its normal range a
    /// signed zero (no subnormals), and any NaN the positive quiet NaN with no payload.
    static constexpr DB truncate(SB x) noexcept {
        static_assert(S.fraction_bits > D.fraction_bits && S.bias >= D.bias);
        const int e = From::exponent(x);
        if (e == S.exponent_max()) return (From::fraction(x) ? To::quiet_bit : sign(x)) | To::infinity;
        const int biased = e - S.bias + D.bias;
        if (biased >= D.exponent_max()) return sign(x) | To::infinity;
        if (biased <= 0) return sign(x);  // zeros and subnormals too
        return sign(x) | (static_cast<DB>(biased) << D.fraction_bits) |
               static_cast<DB>(From::fraction(x) >> (S.fraction_bits - D.fraction_bits));
    }
};

/// Conversions between an implied-leading-bit format I and an explicit one X whose range and
/// precision cover I's (binary64 and x87 extended). X has patterns I lacks: with exponent zero
/// the integer bit may be set (a pseudo-denormal, read with exponent 1 like a denormal); with a
/// nonzero exponent it must be set, else the pattern (an unnormal, a pseudo-infinity or a
/// pseudo-NaN) denotes no value.
template <FloatFormat I, FloatFormat X>
struct ExplicitConversion {
    static_assert(!I.explicit_leading_bit && X.explicit_leading_bit);
    using Imp = FloatLayout<I>;
    using Exp = FloatLayout<X>;
    using IB = FloatBits<I>;
    using XB = FloatBits<X>;
    static constexpr int grow = X.fraction_bits - I.fraction_bits;
    static_assert(grow > 0 && X.max_exponent() >= I.max_exponent() &&
                  X.min_exponent() <= I.min_exponent() - I.fraction_bits);
    // X's exponent-zero patterns, all below 2^(min_exponent + 1), round to a signed zero in I.
    static_assert(X.min_exponent() + 1 <= I.min_exponent() - I.fraction_bits - 1);

    /// Exact: I's subnormals become normals with the integer bit set; a NaN keeps its payload
    /// and comes out quiet.
    static constexpr XB widen(IB x) noexcept {
        const XB sign = static_cast<XB>(Imp::sign(x)) << Exp::sign_shift;
        const int e = Imp::exponent(x);
        const XB f = Imp::fraction(x);
        if (e == I.exponent_max())
            return sign | Exp::infinity | (f << grow) | (f ? Exp::quiet_bit : XB{0});
        if (e == 0) {
            if (f == 0) return sign;
            const int p = static_cast<int>(std::bit_width(Imp::fraction(x))) - 1;
            const XB exponent = static_cast<XB>(p + I.min_exponent() - I.fraction_bits + X.bias);
            return sign | (exponent << Exp::exponent_shift) | (f << (X.fraction_bits - p));
        }
        return sign | (static_cast<XB>(e - I.bias + X.bias) << Exp::exponent_shift) |
               Exp::leading_bit | (f << grow);
    }

    /// Round to nearest, ties to even, as FloatConversion::narrow; nothing for a pattern that
    /// denotes no value.
    static constexpr std::optional<IB> narrow(XB x) noexcept {
        const IB sign = static_cast<IB>(Exp::sign(x)) << Imp::sign_shift;
        const int e = Exp::exponent(x);
        const bool integer_bit = (x & Exp::leading_bit) != 0;
        const XB f = Exp::fraction(x);
        if (e == 0) return sign;
        if (!integer_bit) return std::nullopt;
        if (e == X.exponent_max())
            return sign | Imp::infinity | (f ? Imp::quiet_bit | static_cast<IB>(f >> grow) : IB{0});
        const int biased = e - X.bias + I.bias;
        if (biased >= I.exponent_max()) return sign | Imp::infinity;
        const XB m = f | Exp::leading_bit;
        const int shift = biased > 0 ? grow : grow + 1 - biased;
        if (shift > X.fraction_bits + 2) return sign;  // below half the least subnormal
        const IB r = static_cast<IB>((m + (XB{1} << (shift - 1)) - 1 + ((m >> shift) & 1)) >> shift);
        if (biased > 0) return sign | ((static_cast<IB>(biased - 1) << I.fraction_bits) + r);
        return sign | r;
    }
};

template <FloatFormat S, FloatFormat D>
constexpr FloatBits<D> widen_bits(FloatBits<S> x) noexcept { return FloatConversion<S, D>::widen(x); }
template <FloatFormat S, FloatFormat D>
constexpr FloatBits<D> narrow_bits(FloatBits<S> x) noexcept { return FloatConversion<S, D>::narrow(x); }
template <FloatFormat S, FloatFormat D>
constexpr FloatBits<D> truncate_bits(FloatBits<S> x) noexcept { return FloatConversion<S, D>::truncate(x); }

/// binary64 -> binary32 as the single-float parameters take a Python float.
inline float narrow_to_binary32(double value) noexcept {
    return std::bit_cast<float>(narrow_bits<binary64, binary32>(std::bit_cast<std::uint64_t>(value)));
}

static_assert(narrow_bits<binary64, binary32>(0x3FF0000000000000ULL) == 0x3F800000u);  // 1.0
static_assert(narrow_bits<binary64, binary32>(0x47EFFFFFF0000000ULL) == 0x7F800000u);  // FLT_MAX + half ulp
static_assert(narrow_bits<binary64, binary32>(0x47EFFFFFEFFFFFFFULL) == 0x7F7FFFFFu);  // just below
static_assert(narrow_bits<binary64, binary32>(0x36A0000000000000ULL) == 0x00000001u);  // 2^-149
static_assert(narrow_bits<binary64, binary32>(0x3690000000000000ULL) == 0x00000000u);  // 2^-150: tie to 0
static_assert(narrow_bits<binary64, binary32>(0xFFF8000000000001ULL) == 0xFFC00000u);  // NaN, quiet

using X87 = ExplicitConversion<binary64, x87_extended>;
static_assert(X87::widen(0x3FF0000000000000ULL) == (u128{0x3FFF} << 64 | u128{1} << 63));  // 1.0
static_assert(X87::widen(1) == (u128{0x3BCD} << 64 | u128{1} << 63));                      // 2^-1074
static_assert(X87::narrow(u128{0x3FFF} << 64 | u128{1} << 63) == 0x3FF0000000000000ULL);
static_assert(X87::narrow(u128{0x3FFF} << 64 | 0x8000000000000400ULL) == 0x3FF0000000000000ULL);  // tie
static_assert(X87::narrow(u128{0x3FFF} << 64 | 0x8000000000000C00ULL) == 0x3FF0000000000002ULL);  // tie up
static_assert(X87::narrow(u128{0x3BCC} << 64 | u128{1} << 63) == 0);                        // 2^-1075: tie to 0
static_assert(X87::narrow(u128{0x3BCC} << 64 | 0x8000000000000001ULL) == 1);
static_assert(!X87::narrow(u128{0x3FFF} << 64));                                            // unnormal

}  // namespace bitloom
