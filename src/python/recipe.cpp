#include "recipe.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "convert.hpp"
#include "errors.hpp"

namespace bitloom::recipe {

namespace {

constexpr const char* kKeyNames[] = {"name",         "encoding",    "bits", "byte_order",
                                     "reverse_bits", "offset_bits", "value"};
static_assert(std::size(kKeyNames) == kKeyCount);

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_keys[kKeyCount] = {};
bool g_keys_ready = false;

// ---- Name folding and tables ----

/// Longest accepted name is 17 characters; anything longer cannot match.
constexpr std::size_t kMaxName = 24;

/// Lowercases `name` into `out` for comparison with the (ASCII) tables. Full Unicode lowercasing
/// turns exactly two non-ASCII characters into text holding ASCII letters: U+212A KELVIN SIGN
/// (to "k") and U+0130 (to "i" followed by U+0307, which is not ASCII). So a name can match only
/// if every character is ASCII or the Kelvin sign; anything else folds to "no match".
bool fold(std::string_view name, char (&out)[kMaxName], std::size_t& length) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < name.size();) {
        if (n == kMaxName) return false;
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out[n++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            ++i;
        } else if (name.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
            out[n++] = 'k';
            i += 3;
        } else {
            return false;
        }
    }
    length = n;
    return true;
}

template <class E>
struct Entry {
    std::string_view name;
    E code;
};

template <class E, std::size_t N>
constexpr std::array<Entry<E>, N> sorted(std::array<Entry<E>, N> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry<E>& a, const Entry<E>& b) { return a.name < b.name; });
    return entries;
}

template <class E, std::size_t N>
std::optional<E> find(const std::array<Entry<E>, N>& table, std::string_view name) noexcept {
    char folded[kMaxName];
    std::size_t length = 0;
    if (!fold(name, folded, length)) return std::nullopt;
    const std::string_view key(folded, length);
    auto it = std::lower_bound(table.begin(), table.end(), key,
                               [](const Entry<E>& e, std::string_view k) { return e.name < k; });
    if (it == table.end() || it->name != key) return std::nullopt;
    return it->code;
}

using P = PackEncoding;
constexpr auto kPackNames = sorted(std::to_array<Entry<P>>({
    {"unsigned", P::Unsigned},
    {"signmagnitude", P::SignMagnitude}, {"sign_magnitude", P::SignMagnitude},
    {"sign-magnitude", P::SignMagnitude},
    {"onescomplement", P::OnesComplement}, {"ones_complement", P::OnesComplement},
    {"ones-complement", P::OnesComplement},
    {"twoscomplement", P::TwosComplement}, {"twos_complement", P::TwosComplement},
    {"twos-complement", P::TwosComplement},
    {"bcd", P::Bcd},
    {"bcdsigned", P::BcdSigned}, {"bcd_signed", P::BcdSigned}, {"bcd-signed", P::BcdSigned},
    {"packedbcd", P::PackedBcd}, {"packed_bcd", P::PackedBcd}, {"packed-bcd", P::PackedBcd},
    {"packedbcdsigned", P::PackedBcdSigned}, {"packed_bcd_signed", P::PackedBcdSigned},
    {"packed-bcd-signed", P::PackedBcdSigned},
    {"ieee754", P::Ieee754}, {"ieee_754", P::Ieee754}, {"ieee-754", P::Ieee754},
    {"ieee754_1985", P::Ieee754_1985}, {"ieee754-1985", P::Ieee754_1985},
    {"ieee_754_1985", P::Ieee754_1985}, {"ieee_754-1985", P::Ieee754_1985},
    {"mil_std_1750a", P::MilStd1750a}, {"mil-std-1750a", P::MilStd1750a},
    {"mil_std-1750a", P::MilStd1750a},
    {"ti", P::Ti}, {"dec", P::Dec}, {"ibm", P::Ibm},
    {"utf8", P::Utf8}, {"utf_8", P::Utf8}, {"utf-8", P::Utf8},
    {"utf16", P::Utf16}, {"utf_16", P::Utf16}, {"utf-16", P::Utf16},
    {"utf32", P::Utf32}, {"utf_32", P::Utf32}, {"utf-32", P::Utf32},
    {"utf16le", P::Utf16le}, {"utf_16_le", P::Utf16le}, {"utf-16le", P::Utf16le},
    {"utf16be", P::Utf16be}, {"utf_16_be", P::Utf16be}, {"utf-16be", P::Utf16be},
    {"utf32le", P::Utf32le}, {"utf_32_le", P::Utf32le}, {"utf-32le", P::Utf32le},
    {"utf32be", P::Utf32be}, {"utf_32_be", P::Utf32be}, {"utf-32be", P::Utf32be},
    {"usascii", P::UsAscii}, {"us_ascii", P::UsAscii}, {"us-ascii", P::UsAscii},
    {"iso8859_1", P::Iso8859_1}, {"iso8859-1", P::Iso8859_1}, {"iso_8859_1", P::Iso8859_1},
    {"iso-8859-1", P::Iso8859_1},
    {"windows1252", P::Windows1252}, {"windows_1252", P::Windows1252},
    {"windows-1252", P::Windows1252},
    {"binary", P::Binary},
}));

using U = UnpackEncoding;
constexpr auto kUnpackNames = sorted(std::to_array<Entry<U>>({
    {"unsigned", U::Unsigned},
    {"signmagnitude", U::SignMagnitude}, {"sign_magnitude", U::SignMagnitude},
    {"onescomplement", U::OnesComplement}, {"ones_complement", U::OnesComplement},
    {"twoscomplement", U::TwosComplement}, {"twos_complement", U::TwosComplement},
    {"bcd", U::Bcd},
    {"bcd_signed", U::BcdSigned}, {"bcd-signed", U::BcdSigned},
    {"packed_bcd", U::PackedBcd}, {"packed-bcd", U::PackedBcd},
    {"packed_bcd_signed", U::PackedBcdSigned}, {"packed-bcd-signed", U::PackedBcdSigned},
    {"ieee754_f16", U::Ieee754F16}, {"ieee754-f16", U::Ieee754F16},
    {"ieee754_f32", U::Ieee754F32}, {"ieee754-f32", U::Ieee754F32},
    {"ieee754_f64", U::Ieee754F64}, {"ieee754-f64", U::Ieee754F64},
    {"ieee754_f128", U::Ieee754F128}, {"ieee754-f128", U::Ieee754F128},
    {"ieee754_1985_f32", U::Ieee754_1985F32}, {"ieee754-1985-f32", U::Ieee754_1985F32},
    {"ieee754_1985_f64", U::Ieee754_1985F64}, {"ieee754-1985-f64", U::Ieee754_1985F64},
    {"ieee754_1985_f80", U::Ieee754_1985F80}, {"ieee754-1985-f80", U::Ieee754_1985F80},
    {"mil_std_1750a_f32", U::MilStd1750aF32}, {"mil-std-1750a-f32", U::MilStd1750aF32},
    {"mil_std_1750a_f48", U::MilStd1750aF48}, {"mil-std-1750a-f48", U::MilStd1750aF48},
    {"ti_f32", U::TiF32}, {"ti-f32", U::TiF32},
    {"ti_f40", U::TiF40}, {"ti-f40", U::TiF40},
    {"dec_f32", U::DecF32}, {"dec-f32", U::DecF32},
    {"dec_f64", U::DecF64}, {"dec-f64", U::DecF64},
    {"ibm_f32", U::IbmF32}, {"ibm-f32", U::IbmF32},
    {"ibm_f64", U::IbmF64}, {"ibm-f64", U::IbmF64},
    {"utf8", U::Utf8}, {"utf-8", U::Utf8},
    {"utf16", U::Utf16}, {"utf-16", U::Utf16},
    {"utf32", U::Utf32}, {"utf-32", U::Utf32},
    {"utf16le", U::Utf16le}, {"utf-16le", U::Utf16le},
    {"utf16be", U::Utf16be}, {"utf-16be", U::Utf16be},
    {"utf32le", U::Utf32le}, {"utf-32le", U::Utf32le},
    {"utf32be", U::Utf32be}, {"utf-32be", U::Utf32be},
    {"us_ascii", U::UsAscii}, {"us-ascii", U::UsAscii},
    {"latin1", U::Latin1}, {"iso_8859_1", U::Latin1}, {"iso-8859-1", U::Latin1},
    {"windows_1252", U::Windows1252}, {"windows-1252", U::Windows1252},
}));

template <class E, std::size_t N>
constexpr bool unique_names(const std::array<Entry<E>, N>& table) {
    for (std::size_t i = 1; i < N; ++i)
        if (!(table[i - 1].name < table[i].name)) return false;
    for (const auto& e : table)
        if (e.name.size() >= kMaxName) return false;
    return true;
}
static_assert(unique_names(kPackNames) && unique_names(kUnpackNames));

std::optional<bool> little_endian(std::string_view byte_order) noexcept {
    char folded[kMaxName];
    std::size_t length = 0;
    if (!fold(byte_order, folded, length)) return std::nullopt;
    const std::string_view key(folded, length);
    if (key == "big") return false;
    if (key == "little") return true;
    return std::nullopt;
}

/// Reads a required key; 1 found, or kFailed with the KeyError or lookup failure set.
int required(PyObject* item, Key key, Ref& out) {
    const int found = lookup(item, key, out);
    if (found == 0) [[unlikely]]
        return missing(key);
    return found < 0 ? kFailed : 1;
}

/// Reads a required text key into `holder` and its UTF-8 text.
int read_text(PyObject* item, Key key, Ref& holder, std::string_view& text, bool& pure) {
    if (required(item, key, holder) < 0) return kFailed;
    pure = pure && PyUnicode_CheckExact(holder.get());
    return py::convert_text(holder.get(), text) ? kOk : kFailed;
}

int read_bits(PyObject* item, std::uint32_t& bits, bool& pure) {
    Ref obj;
    if (required(item, Key::Bits, obj) < 0) return kFailed;
    pure = pure && PyLong_CheckExact(obj.get());
    return py::convert_u32(obj.get(), bits) ? kOk : kFailed;
}

int read_offset(PyObject* item, bool& has_offset, std::uint64_t& offset, bool& pure) {
    Ref obj;
    const int found = lookup(item, Key::OffsetBits, obj);
    if (found < 0) return kFailed;
    has_offset = found == 1;
    if (!has_offset) return kOk;
    pure = pure && PyLong_CheckExact(obj.get());
    return py::convert_u64(obj.get(), offset) ? kOk : kFailed;
}

}  // namespace

int fail(const CodecError& error) {
    py::raise_codec_error(error);
    return error.kind == ErrorKind::InternalFault ? kUnwrapped : kFailed;
}

bool ensure_keys() {
    if (g_keys_ready) [[likely]]
        return true;
    PyObject* fresh[kKeyCount] = {};
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        fresh[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (!fresh[i]) {
            for (auto* p : fresh) Py_XDECREF(p);
            return false;
        }
    }
    // Creating the strings may have let another thread in first; keep whichever set won.
    if (g_keys_ready) {
        for (auto* p : fresh) Py_DECREF(p);
        return true;
    }
    std::copy(std::begin(fresh), std::end(fresh), g_keys);
    g_keys_ready = true;
    return true;
}

PyObject* key_object(Key key) noexcept { return g_keys[static_cast<std::size_t>(key)]; }

bool same_text(PyObject* key, Key which) noexcept {
    const std::string_view name = kKeyNames[static_cast<std::size_t>(which)];
    return PyUnicode_IS_ASCII(key) && static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == name.size() &&
           std::memcmp(PyUnicode_DATA(key), name.data(), name.size()) == 0;
}

int check_item(PyObject* item) {
    if (PyDict_Check(item)) [[likely]]
        return kOk;
    py::raise_cast_error(item, "dict");
    return kFailed;
}

int lookup(PyObject* item, Key key, Ref& out) {
    return PyDict_GetItemRef(item, key_object(key), out.out());
}

int missing(Key key) {
    PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%s'",
                 kKeyNames[static_cast<std::size_t>(key)]);
    return kFailed;
}

int read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint64_t& offset) {
    bool pure = true;
    if (read_bits(item, bits, pure) < 0) return kFailed;
    return read_offset(item, has_offset, offset, pure);
}

int read_keys(PyObject* item, ItemKeys& out) {
    if (read_text(item, Key::Name, out.name, out.name_text, out.pure) < 0 ||
        read_text(item, Key::Encoding, out.encoding, out.encoding_text, out.pure) < 0 ||
        read_bits(item, out.bits, out.pure) < 0 ||
        read_text(item, Key::ByteOrder, out.byte_order, out.byte_order_text, out.pure) < 0)
        return kFailed;
    Ref reverse;
    if (required(item, Key::ReverseBits, reverse) < 0) return kFailed;
    out.pure = out.pure && (reverse.get() == Py_True || reverse.get() == Py_False);
    if (!py::convert_bool(reverse.get(), out.reverse)) return kFailed;
    return read_offset(item, out.has_offset, out.offset, out.pure);
}

std::optional<PackEncoding> resolve_pack_encoding(std::string_view name) noexcept {
    return find(kPackNames, name);
}

std::optional<UnpackEncoding> resolve_unpack_encoding(std::string_view name) noexcept {
    return find(kUnpackNames, name);
}

std::optional<bool> resolve_little_endian(std::string_view byte_order) noexcept {
    return little_endian(byte_order);
}

int unsupported_encoding(std::string_view name) {
    return fail(value_error("Unsupported encoding type: " + std::string(name)));
}

int invalid_byte_order(std::string_view byte_order) {
    return fail(value_error("Invalid byte_order '" + std::string(byte_order) +
                            "': must be 'big' or 'little'"));
}

}  // namespace bitloom::recipe
