// A float written as Python's repr writes it, and the failures of the older float formats that
// name a value or a pattern. Cold: only the error paths of the codecs come here.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec.hpp"

namespace bitloom {

/// Shortest digits that read back to `value` (binary32 digits for a float), laid out as repr
/// does: positional from 1e-4 up to 1e16 with at least one fraction digit ("100.0", "0.0001"),
/// scientific beyond with a signed exponent of two digits or more ("1e+16", "1.5e-07").
template <class T>
[[gnu::cold]] std::string python_repr(T value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[64];
    const auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(written.ptr - buf));
    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    int exponent = 0;
    for (char c : text.substr(e + 2)) exponent = exponent * 10 + (c - '0');
    if (text[e + 1] == '-') exponent = -exponent;
    if (exponent < -4 || exponent >= 16) return out.append(text);
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits.push_back(c);
    if (exponent < 0) return out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) return out.append(digits).append(whole - digits.size(), '0').append(".0");
    return out.append(digits, 0, whole).append(".").append(digits, whole);
}

/// "{value} is out of range for {format}": a value beyond the largest finite one, or not finite.
template <class T>
[[gnu::cold, gnu::noinline]] CodecError out_of_range(T value, std::string_view format) {
    return value_error(python_repr(value).append(" is out of range for ").append(format));
}

/// "{format} pattern 0x{HEX} denotes no value", HEX upper case over the format's whole width.
[[gnu::cold, gnu::noinline]] inline CodecError no_value(std::string_view format, std::uint64_t pattern, int width_bits) {
    std::string text(format);
    text.append(" pattern 0x");
    for (int shift = (width_bits + 3) / 4 * 4 - 4; shift >= 0; shift -= 4)
        text.push_back("0123456789ABCDEF"[(pattern >> shift) & 0xF]);
    return value_error(text.append(" denotes no value"));
}

}  // namespace bitloom
