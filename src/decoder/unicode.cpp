#include <algorithm>
#include <bit>
#include <string>

#include "decoded_text.hpp"
#include "decoder.hpp"
#include "text_blocks.hpp"

namespace bitloom {

namespace {

using text::ascii_prefix;

/// The width class of a set of code points from the OR of all of them: the classes end at
/// powers of two, so the OR falls in the same class as the largest value.
constexpr std::uint32_t width_class(std::uint32_t any_bits) noexcept {
    return any_bits < 0x80 ? 0x7F : any_bits < 0x100 ? 0xFF : any_bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// ---- UTF-8 -------------------------------------------------------------------------------

/// Where UTF-8 stops being well-formed. `length` is the maximal ill-formed subpart (1 to 3),
/// or 0 when the input ends inside a sequence that was well-formed so far.
struct Utf8Fault {
    std::size_t index = 0;
    unsigned length = 0;
};

bool check_utf8(const std::uint8_t* p, std::size_t n, DecodedText& out, Utf8Fault& fault) noexcept {
    std::size_t i = 0;
    std::size_t count = 0;
    std::uint8_t top = 0;  // the largest lead byte decides the width class
    while (i < n) {
        const std::uint8_t lead = p[i];
        if (lead < 0x80) {
            std::size_t run = 1;
#if defined(BITLOOM_SSE2)
            // Mixed text has short ASCII runs: one block look finds their end.
            if (i + 16 <= n) {
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(text::load16(p + i)));
                run = mask ? static_cast<std::size_t>(std::countr_zero(mask))
                           : ascii_prefix(p + i, n - i);
            }
#endif
            i += run;
            count += run;
            continue;
        }
        // The second byte's range depends on the lead (no overlongs, no surrogates, nothing
        // past U+10FFFF); later bytes are plain continuations 80..BF.
        if (lead < 0xE0) {
            if (lead < 0xC2) return fault = {i, 1}, false;
            if (i + 1 >= n) return fault = {i, 0}, false;
            if ((p[i + 1] & 0xC0) != 0x80) return fault = {i, 1}, false;
            i += 2;
        } else if (lead < 0xF0) {
            if (i + 1 >= n) return fault = {i, 0}, false;
            const std::uint8_t c1 = p[i + 1];
            if (c1 < (lead == 0xE0 ? 0xA0 : 0x80) || c1 > (lead == 0xED ? 0x9F : 0xBF))
                return fault = {i, 1}, false;
            if (i + 2 >= n) return fault = {i, 0}, false;
            if ((p[i + 2] & 0xC0) != 0x80) return fault = {i, 2}, false;
            i += 3;
        } else {
            if (lead > 0xF4) return fault = {i, 1}, false;
            if (i + 1 >= n) return fault = {i, 0}, false;
            const std::uint8_t c1 = p[i + 1];
            if (c1 < (lead == 0xF0 ? 0x90 : 0x80) || c1 > (lead == 0xF4 ? 0x8F : 0xBF))
                return fault = {i, 1}, false;
            if (i + 2 >= n) return fault = {i, 0}, false;
            if ((p[i + 2] & 0xC0) != 0x80) return fault = {i, 2}, false;
            if (i + 3 >= n) return fault = {i, 0}, false;
            if ((p[i + 3] & 0xC0) != 0x80) return fault = {i, 3}, false;
            i += 4;
        }
        ++count;
        top = std::max(top, lead);
    }
    out.length = count;
    out.max_code_point = top == 0 ? 0x7F : top <= 0xC3 ? 0xFF : top <= 0xEF ? 0xFFFF : 0x10FFFF;
    return true;
}

[[gnu::cold]] CodecError utf8_error(const Utf8Fault& fault) {
    std::string detail = fault.length == 0
        ? "incomplete utf-8 byte sequence from index " + std::to_string(fault.index)
        : "invalid utf-8 sequence of " + std::to_string(fault.length) + " bytes from index " +
              std::to_string(fault.index);
    return value_error("Invalid UTF-8 bytes: " + detail);
}

#if defined(BITLOOM_SSE2)
/// Stores 16 bytes below 0x80 as 16 code units of type T.
template <class T>
inline void store_widened(T* out, __m128i v) noexcept {
    if constexpr (sizeof(T) == 1) {
        text::store16(out, v);
    } else {
        const __m128i zero = _mm_setzero_si128();
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(T) == 2) {
            text::store16(out, lo);
            text::store16(out + 8, hi);
        } else {
            text::store16(out, _mm_unpacklo_epi16(lo, zero));
            text::store16(out + 4, _mm_unpackhi_epi16(lo, zero));
            text::store16(out + 8, _mm_unpacklo_epi16(hi, zero));
            text::store16(out + 12, _mm_unpackhi_epi16(hi, zero));
        }
    }
}
#endif

/// Well-formed UTF-8 into code units wide enough for every code point in it.
template <class T>
void utf8_to_units(const std::uint8_t* p, std::size_t n, T* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
#if defined(BITLOOM_SSE2)
            for (; i + 16 <= n; i += 16, out += 16) {
                __m128i v = text::load16(p + i);
                if (_mm_movemask_epi8(v)) break;
                store_widened(out, v);
            }
#endif
            while (i < n && p[i] < 0x80) *out++ = p[i++];
            continue;
        }
        std::size_t len = 0;
        *out++ = static_cast<T>(text::read_utf8(p + i, len));
        i += len;
    }
}

// ---- UTF-16 ------------------------------------------------------------------------------

template <bool LE>
inline std::uint16_t unit16(const std::uint8_t* p) noexcept {
    return LE ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
              : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

template <bool LE>
inline std::uint32_t unit32(const std::uint8_t* p) noexcept {
    return LE ? (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                 std::uint32_t{p[3]} << 24)
              : (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
                 std::uint32_t{p[3]});
}

#if defined(BITLOOM_SSE2)
template <bool LE>
inline __m128i load_units16(const std::uint8_t* p) noexcept {
    __m128i v = text::load16(p);
    return LE ? v : text::swap16(v);
}
template <bool LE>
inline __m128i load_units32(const std::uint8_t* p) noexcept {
    __m128i v = text::load16(p);
    return LE ? v : text::swap32(v);
}
inline std::uint32_t or_lanes32(__m128i v) noexcept {
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_or_si128(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

/// Checks `units` UTF-16 code units: every surrogate must be a high one followed by a low one.
template <bool LE>
bool check_utf16(const std::uint8_t* p, std::size_t units, DecodedText& out) noexcept {
    std::size_t i = 0, pairs = 0;
    std::uint32_t seen = 0;
#if defined(BITLOOM_SSE2)
    __m128i seen_v = _mm_setzero_si128();
    const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
#endif
    while (i < units) {
#if defined(BITLOOM_SSE2)
        for (; i + 8 <= units; i += 8) {
            __m128i v = load_units16<LE>(p + 2 * i);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, top5), surrogate))) break;
            seen_v = _mm_or_si128(seen_v, v);
        }
#endif
        const std::size_t stop = std::min(units, i + 8);
        while (i < stop) {
            const std::uint16_t u = unit16<LE>(p + 2 * i);
            if ((u & 0xF800) != 0xD800) {
                seen |= u;
                ++i;
                continue;
            }
            if (u >= 0xDC00 || i + 1 >= units) return false;
            if ((unit16<LE>(p + 2 * i + 2) & 0xFC00) != 0xDC00) return false;
            seen |= 0x10000;
            ++pairs;
            i += 2;
        }
    }
#if defined(BITLOOM_SSE2)
    seen |= or_lanes32(seen_v) & 0xFFFF;
    seen |= or_lanes32(seen_v) >> 16;
#endif
    out.length = units - pairs;
    out.max_code_point = width_class(seen);
    return true;
}

template <bool LE, class T>
void utf16_to_units(const std::uint8_t* p, std::size_t units, T* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= units; i += 16, out += 16)
            text::store16(out, _mm_packus_epi16(load_units16<LE>(p + 2 * i),
                                                 load_units16<LE>(p + 2 * i + 16)));
    } else if constexpr (sizeof(T) == 2) {
        if constexpr (LE) {
            if (units) std::memcpy(out, p, 2 * units);
            return;
        }
        for (; i + 8 <= units; i += 8, out += 8) text::store16(out, load_units16<LE>(p + 2 * i));
    } else {
        const __m128i top5 = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
        const __m128i zero = _mm_setzero_si128();
        while (i + 8 <= units) {
            __m128i v = load_units16<LE>(p + 2 * i);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, top5), surrogate))) {
                // One unit at a time through this block; a pair may run one unit past it.
                const std::size_t stop = i + 8;
                while (i < stop) {
                    std::uint32_t u = unit16<LE>(p + 2 * i);
                    if ((u & 0xF800) == 0xD800) {
                        u = 0x10000 + ((u - 0xD800) << 10) + (unit16<LE>(p + 2 * i + 2) - 0xDC00u);
                        i += 2;
                    } else {
                        ++i;
                    }
                    *out++ = u;
                }
                continue;
            }
            text::store16(out, _mm_unpacklo_epi16(v, zero));
            text::store16(out + 4, _mm_unpackhi_epi16(v, zero));
            out += 8;
            i += 8;
        }
    }
#endif
    while (i < units) {
        std::uint32_t u = unit16<LE>(p + 2 * i);
        if ((u & 0xF800) == 0xD800) {
            u = 0x10000 + ((u - 0xD800) << 10) + (unit16<LE>(p + 2 * i + 2) - 0xDC00u);
            i += 2;
        } else {
            ++i;
        }
        *out++ = static_cast<T>(u);
    }
}

// ---- UTF-32 ------------------------------------------------------------------------------

inline bool is_scalar(std::uint32_t u) noexcept {
    return u <= 0x10FFFF && (u & 0xFFFFF800u) != 0xD800;
}

/// Checks `units` UTF-32 code units; on failure `bad` holds the first unit that is no scalar value.
template <bool LE>
bool check_utf32(const std::uint8_t* p, std::size_t units, DecodedText& out,
                 std::uint32_t& bad) noexcept {
    std::size_t i = 0;
    std::uint32_t seen = 0;
#if defined(BITLOOM_SSE2)
    __m128i seen_v = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi32(0x10FFFF);
    const __m128i top21 = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
    const __m128i surrogate = _mm_set1_epi32(0xD800);
    for (; i + 4 <= units; i += 4) {
        __m128i v = load_units32<LE>(p + 4 * i);
        // Signed compares: a unit with the top bit set is negative, and also out of range.
        __m128i wrong = _mm_or_si128(_mm_cmpgt_epi32(v, limit),
                                     _mm_cmplt_epi32(v, _mm_setzero_si128()));
        wrong = _mm_or_si128(wrong, _mm_cmpeq_epi32(_mm_and_si128(v, top21), surrogate));
        if (_mm_movemask_epi8(wrong)) break;
        seen_v = _mm_or_si128(seen_v, v);
    }
    seen = or_lanes32(seen_v);
#endif
    for (; i < units; ++i) {
        const std::uint32_t u = unit32<LE>(p + 4 * i);
        if (!is_scalar(u)) {
            bad = u;
            return false;
        }
        seen |= u;
    }
    out.length = units;
    out.max_code_point = width_class(seen);
    return true;
}

template <bool LE, class T>
void utf32_to_units(const std::uint8_t* p, std::size_t units, T* out) noexcept {
    std::size_t i = 0;
#if defined(BITLOOM_SSE2)
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= units; i += 16, out += 16) {
            __m128i a = _mm_packs_epi32(load_units32<LE>(p + 4 * i), load_units32<LE>(p + 4 * i + 16));
            __m128i b = _mm_packs_epi32(load_units32<LE>(p + 4 * i + 32),
                                        load_units32<LE>(p + 4 * i + 48));
            text::store16(out, _mm_packus_epi16(a, b));
        }
    } else if constexpr (sizeof(T) == 2) {
        // No unsigned 32-to-16 pack in SSE2: shift into the signed range, pack, shift back.
        const __m128i bias32 = _mm_set1_epi32(0x8000);
        const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; i + 8 <= units; i += 8, out += 8) {
            __m128i a = _mm_sub_epi32(load_units32<LE>(p + 4 * i), bias32);
            __m128i b = _mm_sub_epi32(load_units32<LE>(p + 4 * i + 16), bias32);
            text::store16(out, _mm_add_epi16(_mm_packs_epi32(a, b), bias16));
        }
    } else {
        if constexpr (LE) {
            if (units) std::memcpy(out, p, 4 * units);
            return;
        }
        for (; i + 4 <= units; i += 4, out += 4) text::store16(out, load_units32<LE>(p + 4 * i));
    }
#endif
    for (; i < units; ++i) *out++ = static_cast<T>(unit32<LE>(p + 4 * i));
}

[[gnu::cold]] CodecError utf32_error(std::uint32_t unit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string message = "Invalid UTF-32 codepoint: 0x";
    for (int shift = 28; shift >= 0; shift -= 4) message += kHex[(unit >> shift) & 0xF];
    return value_error(std::move(message));
}

// ---- plans -------------------------------------------------------------------------------

DecodedText begin(Bytes bytes, TextForm form) noexcept {
    DecodedText t;
    t.data = bytes.data;
    t.size = bytes.size;
    t.form = form;
    return t;
}

Bytes drop(Bytes bytes, std::size_t count) noexcept { return Bytes{bytes.data + count, bytes.size - count}; }

Result<DecodedText> plan_utf16(Bytes bytes, bool little_endian) {
    if (bytes.size % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    DecodedText t;
    if (!text::describe_utf16(bytes, little_endian, t))
        return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    return t;
}

Result<DecodedText> plan_utf32(Bytes bytes, bool little_endian) {
    if (bytes.size % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    DecodedText t = begin(bytes, little_endian ? TextForm::Utf32le : TextForm::Utf32be);
    std::uint32_t bad = 0;
    bool ok = little_endian ? check_utf32<true>(bytes.data, bytes.size / 4, t, bad)
                            : check_utf32<false>(bytes.data, bytes.size / 4, t, bad);
    if (!ok) return utf32_error(bad);
    return t;
}

Result<Text> as_utf8(Result<DecodedText>&& plan) {
    if (!plan.ok()) return std::move(plan.error());
    return to_utf8(plan.value());
}

/// Calls f(code point) for every code point of a checked text.
template <class F>
void each_code_point(const DecodedText& t, F&& f) {
    const std::uint8_t* p = t.data;
    const std::size_t n = t.size;
    switch (t.form) {
    case TextForm::Latin1:
        for (std::size_t i = 0; i < n; ++i) f(char32_t{p[i]});
        break;
    case TextForm::Windows1252:
        for (std::size_t i = 0; i < n; ++i)
            f(p[i] >= 0x80 && p[i] < 0xA0 ? char32_t{text::kWindows1252High[p[i] - 0x80]}
                                          : char32_t{p[i]});
        break;
    case TextForm::Utf8:
        for (std::size_t i = 0, len = 0; i < n; i += len) f(text::read_utf8(p + i, len));
        break;
    case TextForm::Utf16be:
    case TextForm::Utf16le: {
        const bool le = t.form == TextForm::Utf16le;
        for (std::size_t i = 0; i + 1 < n;) {
            std::uint32_t u = le ? unit16<true>(p + i) : unit16<false>(p + i);
            i += 2;
            if ((u & 0xF800) == 0xD800 && i + 1 < n) {
                std::uint32_t low = le ? unit16<true>(p + i) : unit16<false>(p + i);
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
            f(static_cast<char32_t>(u));
        }
        break;
    }
    case TextForm::Utf32be:
    case TextForm::Utf32le:
        for (std::size_t i = 0; i + 3 < n; i += 4)
            f(static_cast<char32_t>(t.form == TextForm::Utf32le ? unit32<true>(p + i)
                                                                 : unit32<false>(p + i)));
        break;
    }
}

template <class T>
void write_units(const DecodedText& t, T* out) noexcept {
    const std::uint8_t* p = t.data;
    switch (t.form) {
    case TextForm::Utf8:
        if constexpr (sizeof(T) == 1) {
            if (t.max_code_point == 0x7F) {
                if (t.size) std::memcpy(out, p, t.size);
                return;
            }
        }
        utf8_to_units(p, t.size, out);
        return;
    case TextForm::Utf16le: utf16_to_units<true>(p, t.size / 2, out); return;
    case TextForm::Utf16be: utf16_to_units<false>(p, t.size / 2, out); return;
    case TextForm::Utf32le: utf32_to_units<true>(p, t.size / 4, out); return;
    case TextForm::Utf32be: utf32_to_units<false>(p, t.size / 4, out); return;
    case TextForm::Latin1:
    case TextForm::Windows1252:
        if constexpr (sizeof(T) == 1) {
            // At or below U+00FF every Windows-1252 byte present is its own code point.
            if (t.size) std::memcpy(out, p, t.size);
            return;
        } else if constexpr (sizeof(T) == 2) {
            if (t.form == TextForm::Windows1252) {
                text::write_windows_1252(p, t.size, out);
                return;
            }
        }
        break;
    }
    each_code_point(t, [&out](char32_t cp) { *out++ = static_cast<T>(cp); });
}

}  // namespace

void write_text(const DecodedText& t, std::uint8_t* out) noexcept { write_units(t, out); }
void write_text(const DecodedText& t, std::uint16_t* out) noexcept { write_units(t, out); }
void write_text(const DecodedText& t, std::uint32_t* out) noexcept { write_units(t, out); }

Text to_utf8(const DecodedText& t) {
    Text out;
    if (t.form == TextForm::Utf8) {
        if (t.size) out.utf8.assign(reinterpret_cast<const char*>(t.data), t.size);
        return out;
    }
    std::size_t size = 0;
    each_code_point(t, [&size](char32_t cp) { size += text::utf8_length(cp); });
    out.utf8.resize(size);
    char* w = out.utf8.data();
    each_code_point(t, [&w](char32_t cp) { w += text::write_utf8(cp, w); });
    return out;
}

bool text::describe_utf8(Bytes bytes, DecodedText& out) noexcept {
    out = begin(bytes, TextForm::Utf8);
    Utf8Fault fault;
    return check_utf8(bytes.data, bytes.size, out, fault);
}

bool text::describe_utf16(Bytes bytes, bool little_endian, DecodedText& out) noexcept {
    out = begin(bytes, little_endian ? TextForm::Utf16le : TextForm::Utf16be);
    return little_endian ? check_utf16<true>(bytes.data, bytes.size / 2, out)
                         : check_utf16<false>(bytes.data, bytes.size / 2, out);
}

namespace direct {

Result<DecodedText> decode_utf8(Bytes bytes) {
    DecodedText t = begin(bytes, TextForm::Utf8);
    Utf8Fault fault;
    if (!check_utf8(bytes.data, bytes.size, t, fault)) return utf8_error(fault);
    return t;
}

Result<DecodedText> decode_utf16(Bytes bytes) {
    if (bytes.size < 2 || bytes.size % 2 != 0)
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    if (bytes.data[0] == 0xFE && bytes.data[1] == 0xFF) return plan_utf16(drop(bytes, 2), false);
    if (bytes.data[0] == 0xFF && bytes.data[1] == 0xFE) return plan_utf16(drop(bytes, 2), true);
    return plan_utf16(bytes, false);
}

Result<DecodedText> decode_utf16le(Bytes bytes) { return plan_utf16(bytes, true); }
Result<DecodedText> decode_utf16be(Bytes bytes) { return plan_utf16(bytes, false); }

Result<DecodedText> decode_utf32(Bytes bytes) {
    if (bytes.size < 4 || bytes.size % 4 != 0)
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    const std::uint8_t* p = bytes.data;
    if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) return plan_utf32(drop(bytes, 4), true);
    if (p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) return plan_utf32(drop(bytes, 4), false);
    return plan_utf32(bytes, false);
}

Result<DecodedText> decode_utf32le(Bytes bytes) { return plan_utf32(bytes, true); }
Result<DecodedText> decode_utf32be(Bytes bytes) { return plan_utf32(bytes, false); }

}  // namespace direct

Result<Text> decode_utf8(Bytes bytes) { return as_utf8(direct::decode_utf8(bytes)); }
Result<Text> decode_utf16(Bytes bytes) { return as_utf8(direct::decode_utf16(bytes)); }
Result<Text> decode_utf16le(Bytes bytes) { return as_utf8(plan_utf16(bytes, true)); }
Result<Text> decode_utf16be(Bytes bytes) { return as_utf8(plan_utf16(bytes, false)); }
Result<Text> decode_utf32(Bytes bytes) { return as_utf8(direct::decode_utf32(bytes)); }
Result<Text> decode_utf32le(Bytes bytes) { return as_utf8(plan_utf32(bytes, true)); }
Result<Text> decode_utf32be(Bytes bytes) { return as_utf8(plan_utf32(bytes, false)); }

Result<Text> decode_utf16_with_endianness(Bytes bytes, bool little_endian) {
    return as_utf8(plan_utf16(bytes, little_endian));
}

Result<Text> decode_utf32_with_endianness(Bytes bytes, bool little_endian) {
    return as_utf8(plan_utf32(bytes, little_endian));
}

}  // namespace bitloom
