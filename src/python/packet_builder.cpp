// pack_parameters: sizes the packet from every item's extent, then resolves each item, encodes
// its value and lays its image into the packet at the item's start.
#include <algorithm>
#include <string>

#include "convert.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/layout.hpp"
#include "core/other_float.hpp"
#include "core/single_byte.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "errors.hpp"
#include "item_cache.hpp"
#include "packet.hpp"
#include "recipe.hpp"

namespace bitloom {

namespace {

using namespace recipe;

/// A field image: integer patterns of up to 64 bits stay a number until placement; everything
/// else is a run of bytes.
struct Image {
    bool is_pattern = true;
    std::uint64_t pattern = 0;
    ByteBuffer bytes;
};

template <class T>
int take(Result<T>&& result, T& out) {
    if (!result) [[unlikely]]
        return fail(result.error());
    out = std::move(*result);
    return kOk;
}

int integer_image(std::uint64_t pattern, std::uint32_t w, bool reverse, Image& image) {
    if (w <= 64) [[likely]] {
        image.pattern = pattern;
        return kOk;
    }
    image.is_pattern = false;
    return take(encode_integer_to_bytes(pattern, w, reverse), image.bytes);
}

/// Width check of the float families, made before the value is converted.
int check_float_width(PackEncoding enc, std::uint32_t w) {
    const auto bad = [w](const char* family, const char* supported) {
        return fail(value_error(std::string("Unsupported ") + family + " bit width: " +
                                std::to_string(w) + " (supported: " + supported + ")"));
    };
    switch (enc) {
        case PackEncoding::Ieee754:
            if (w != 16 && w != 32 && w != 64 && w != 128) return bad("IEEE 754", "16, 32, 64, 128");
            break;
        case PackEncoding::Ieee754_1985:
            if (w != 32 && w != 64 && w != 80) return bad("IEEE 754-1985", "32, 64, 80");
            break;
        case PackEncoding::MilStd1750a:
            if (w != 32 && w != 48) return bad("MIL-STD-1750A", "32, 48");
            break;
        case PackEncoding::Ti:
            if (w != 32 && w != 40) return bad("TI float", "32, 40");
            break;
        case PackEncoding::Dec:
            if (w != 32 && w != 64) return bad("DEC float", "32, 64");
            break;
        case PackEncoding::Ibm:
            if (w != 32 && w != 64) return bad("IBM float", "32, 64");
            break;
        default:
            break;
    }
    return kOk;
}

/// The x87 extended image: the 128-bit byte form of its pattern. Kept out of line, so that the
/// walk's own frame, which re-entry through a conversion stacks, does not grow.
[[gnu::noinline]] int f80_image(PyObject* value, std::uint32_t w, bool reverse, Image& image) {
    double d = 0;
    u128 pattern = 0;
    if (!py::convert_f64(value, d) || take(encode_ieee754_1985_f80(d), pattern) < 0) return kFailed;
    image.is_pattern = false;
    return take(encode_integer_to_bytes_u128(pattern, w, reverse), image.bytes);
}

/// The older float families: binary32 for their 32-bit form, binary64 otherwise.
int other_float_image(PackEncoding enc, PyObject* value, std::uint32_t w, bool reverse,
                      Image& image) {
    using F32 = Result<std::uint64_t> (*)(float);
    using F64 = Result<std::uint64_t> (*)(double);
    F32 narrow = nullptr;
    F64 wide = nullptr;
    switch (enc) {
        case PackEncoding::Ieee754_1985:
            if (w == 80) return f80_image(value, w, reverse, image);
            narrow = encode_ieee754_1985_f32;
            wide = encode_ieee754_1985_f64;
            break;
        case PackEncoding::MilStd1750a:
            narrow = encode_mil_std_1750a_f32;
            wide = encode_mil_std_1750a_f48;
            break;
        case PackEncoding::Ti:
            narrow = encode_ti_f32;
            wide = encode_ti_f40;
            break;
        case PackEncoding::Dec:
            narrow = encode_dec_f32;
            wide = encode_dec_f64;
            break;
        default:  // Ibm
            narrow = encode_ibm_f32;
            wide = encode_ibm_f64;
            break;
    }
    std::uint64_t pattern = 0;
    if (w == 32) {
        float f = 0;
        if (!py::convert_f32(value, f) || take(narrow(f), pattern) < 0) return kFailed;
    } else {
        double d = 0;
        if (!py::convert_f64(value, d) || take(wide(d), pattern) < 0) return kFailed;
    }
    return integer_image(pattern, w, reverse, image);
}

int ieee754_image(PyObject* value, std::uint32_t w, bool reverse, Image& image) {
    if (w == 16 || w == 32) {
        float f = 0;
        if (!py::convert_f32(value, f)) [[unlikely]]
            return kFailed;
        image.pattern = w == 32 ? encode_ieee754_f32(f) : encode_ieee754_f16(f);
        return kOk;
    }
    double d = 0;
    if (!py::convert_f64(value, d)) [[unlikely]]
        return kFailed;
    if (w == 64) {
        image.pattern = encode_ieee754_f64(d);
        return kOk;
    }
    u128 wide = 0;
    if (take(encode_ieee754_f128(d), wide) < 0) return kFailed;
    image.is_pattern = false;
    return take(encode_integer_to_bytes_u128(wide, w, reverse), image.bytes);
}

/// The image of text: the encoder sizes it, then writes it once into the image's bytes.
template <class Encoded>
int write_text_image(Result<Encoded>&& encoded, Image& image) {
    if (!encoded) [[unlikely]]
        return fail(encoded.error());
    image.bytes.resize_for_overwrite(encoded->size);
    if (!write_bytes(*encoded, image.bytes.data())) [[unlikely]]
        return fail(encode_failure(*encoded));
    return kOk;
}

int text_image(PackEncoding enc, PyObject* value, Image& image) {
    image.is_pattern = false;
    if (enc == PackEncoding::Utf8) {
        std::string_view utf8;
        if (!py::convert_text(value, utf8)) [[unlikely]]
            return kFailed;
        Bytes encoded;
        if (take(encode_utf8(utf8), encoded) < 0) return kFailed;
        image.bytes.append(encoded.data, encoded.size);
        return kOk;
    }
    TextView text;
    if (!py::convert_text_view(value, text)) [[unlikely]]
        return kFailed;
    switch (enc) {
        case PackEncoding::Utf16: return write_text_image(encode_utf16(text), image);
        case PackEncoding::Utf32: return write_text_image(encode_utf32(text), image);
        case PackEncoding::Utf16le: return write_text_image(encode_utf16le(text), image);
        case PackEncoding::Utf16be: return write_text_image(encode_utf16be(text), image);
        case PackEncoding::Utf32le: return write_text_image(encode_utf32le(text), image);
        case PackEncoding::Utf32be: return write_text_image(encode_utf32be(text), image);
        case PackEncoding::UsAscii: return write_text_image(encode_us_ascii(text), image);
        case PackEncoding::Iso8859_1: return write_text_image(encode_iso_8859_1(text), image);
        default: return write_text_image(encode_windows_1252(text), image);
    }
}

/// A "binary" value: bytes, bytearray, or a sequence of integers 0 to 255 (never a str).
int binary_image(PyObject* value, std::uint32_t w, bool reverse, Image& image) {
    image.is_pattern = false;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    ByteBuffer collected;
    if (PyBytes_Check(value)) {
        data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
        size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
    } else if (PyByteArray_Check(value)) {
        data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(value));
        size = static_cast<std::size_t>(PyByteArray_GET_SIZE(value));
    } else {
        Ref list(py::convert_sequence(value));
        if (!list.get()) return kFailed;
        const Py_ssize_t count = PyList_GET_SIZE(list.get());
        collected.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::int64_t byte = 0;
            if (!py::convert_i64(PyList_GET_ITEM(list.get(), i), byte)) return kFailed;
            if (byte < 0 || byte > 255) {
                py::raise_out_of_range();
                return kFailed;
            }
            collected.push_back(static_cast<std::uint8_t>(byte));
        }
        data = collected.data();
        size = collected.size();
    }
    // No interpreter code runs from here on, so a bytearray cannot change under us.
    if (w != 0) image.bytes = layout::binary_image(data, size, w, reverse);
    return kOk;
}

/// A BCD field wider than the 64-bit pattern: the encoder's own checks of the width, sign and
/// digits come first; a value that passes them still has no image of that width.
[[gnu::cold]] int wide_bcd_image(PackEncoding enc, std::int64_t value, std::uint32_t w) {
    const bool packed = enc == PackEncoding::PackedBcd || enc == PackEncoding::PackedBcdSigned;
    const bool is_signed = enc == PackEncoding::BcdSigned || enc == PackEncoding::PackedBcdSigned;
    if (auto e = check_bcd(value, w, is_signed, packed)) return fail(*e);
    return fail(value_error("Cannot encode " + std::to_string(w) + " bits from a 64-bit value"));
}

int make_image(PackEncoding enc, PyObject* value, std::uint32_t w, bool reverse, Image& image) {
    switch (enc) {
        case PackEncoding::Unsigned: {
            std::uint64_t v = 0;
            if (!py::convert_u64(value, v)) [[unlikely]]
                return kFailed;
            if (w < 64 && (v >> w) != 0) [[unlikely]]
                return fail(value_error("Value " + std::to_string(v) + " is too large for " +
                                        std::to_string(w) + " bits"));
            return integer_image(v, w, reverse, image);
        }
        case PackEncoding::SignMagnitude:
        case PackEncoding::OnesComplement:
        case PackEncoding::TwosComplement:
        case PackEncoding::Bcd:
        case PackEncoding::BcdSigned:
        case PackEncoding::PackedBcd:
        case PackEncoding::PackedBcdSigned: {
            std::int64_t v = 0;
            if (!py::convert_i64(value, v)) [[unlikely]]
                return kFailed;
            if (w > 64 && enc >= PackEncoding::Bcd) [[unlikely]]
                return wide_bcd_image(enc, v, w);
            Result<std::uint64_t> pattern =
                enc == PackEncoding::SignMagnitude    ? encode_sign_magnitude(v, w)
                : enc == PackEncoding::OnesComplement ? encode_ones_complement(v, w)
                : enc == PackEncoding::TwosComplement ? encode_twos_complement(v, w)
                : enc == PackEncoding::Bcd            ? encode_unpacked_bcd(v, w, false)
                : enc == PackEncoding::BcdSigned      ? encode_unpacked_bcd(v, w, true)
                : enc == PackEncoding::PackedBcd      ? encode_packed_bcd(v, w, false)
                                                      : encode_packed_bcd(v, w, true);
            if (!pattern) [[unlikely]]
                return fail(pattern.error());
            return integer_image(*pattern, w, reverse, image);
        }
        case PackEncoding::Ieee754:
            return ieee754_image(value, w, reverse, image);
        case PackEncoding::Ieee754_1985:
        case PackEncoding::MilStd1750a:
        case PackEncoding::Ti:
        case PackEncoding::Dec:
        case PackEncoding::Ibm:
            return other_float_image(enc, value, w, reverse, image);
        case PackEncoding::Binary:
            return binary_image(value, w, reverse, image);
        default:
            return text_image(enc, value, image);
    }
}

/// The packet being built: a bytes object of the final size, filled in place.
struct Packet {
    std::uint8_t* data;
    std::size_t size;
};

/// Lays the image into the field, reversing its bytes for "little".
void place(const Packet& packet, Image& image, const Field& f) {
    if (image.is_pattern) {
        layout::place_pattern(packet.data, packet.size, f.start, f.bits, image.pattern, f.reverse,
                              f.little);
    } else {
        if (f.little) layout::reverse_bytes(image.bytes.data(), image.bytes.size());
        layout::place_image(packet.data, packet.size, f.start, f.bits, image.bytes.data(),
                            image.bytes.size());
    }
}

/// KeyError for an item without `value`, naming the item by its `name` text.
[[gnu::cold]] int missing_value(std::string_view name) {
    return fail(CodecError{ErrorKind::KeyError, "Recipe item '" + std::string(name) +
                                                    "' missing required field: 'value'"});
}

[[gnu::cold]] int missing_value(PyObject* name) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) return kFailed;
    return missing_value(std::string_view(text, static_cast<std::size_t>(length)));
}

/// Whether converting `value` for the encoding may run interpreter code.
bool value_may_run_code(PackEncoding enc, PyObject* value) noexcept {
    switch (enc) {
        case PackEncoding::Ieee754:
        case PackEncoding::Ieee754_1985:
        case PackEncoding::MilStd1750a:
        case PackEncoding::Ti:
        case PackEncoding::Dec:
        case PackEncoding::Ibm:
            return !PyFloat_CheckExact(value) && !PyLong_CheckExact(value);
        case PackEncoding::Binary:
            return !PyBytes_Check(value) && !PyByteArray_Check(value);
        case PackEncoding::Utf8: case PackEncoding::Utf16: case PackEncoding::Utf32:
        case PackEncoding::Utf16le: case PackEncoding::Utf16be: case PackEncoding::Utf32le:
        case PackEncoding::Utf32be: case PackEncoding::UsAscii: case PackEncoding::Iso8859_1:
        case PackEncoding::Windows1252:
            return false;
        default:
            return !PyLong_CheckExact(value);
    }
}

/// First walk: the furthest end of any field, in bits. `quiet` stays set while every item
/// came from the cache, so that no interpreter code has run.
int size_packet(PyObject* items, std::uint64_t& extent, bool& quiet) {
    extent = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* dict = PyList_GET_ITEM(items, i);
        if (check_item(dict) < 0) return kFailed;
        std::uint32_t bits = 0;
        bool has_offset = false;
        std::uint64_t offset = 0;
        item_cache::Entry entry;
        if (item_cache::find(dict, entry)) [[likely]] {
            // The entry holds the item's bits and offset as they read now; using it runs no code.
            bits = entry.bits;
            has_offset = entry.has_offset;
            offset = entry.offset;
        } else {
            quiet = false;  // a lookup or a conversion may run code
            Ref item(Py_NewRef(dict));
            if (read_extent(item.get(), bits, has_offset, offset) < 0) return kFailed;
        }
        const std::uint64_t start = has_offset ? offset : extent;
        if (auto e = layout::check_position(start, bits)) return fail(*e);
        extent = std::max(extent, start + bits);
    }
    return kOk;
}

/// Encodes `value` into the field the item resolved to and places it.
int place_value(const Packet& packet, Field& f, PyObject* value, std::uint64_t& position) {
    f.start = f.has_offset ? f.offset : position;
    if (auto e = layout::check_position(f.start, f.bits)) return fail(*e);
    Image image;
    if (make_image(static_cast<PackEncoding>(f.encoding), value, f.bits, f.reverse, image) < 0)
        return kFailed;
    place(packet, image, f);
    position = f.start + f.bits;
    return kOk;
}

/// Second walk, one item remembered from an earlier call: only its value is read.
int place_remembered(PyObject* dict, const item_cache::Entry& entry, const Packet& packet,
                     std::uint64_t& position, bool& quiet) {
    Ref value;
    const int found = item_cache::lookup_value(dict, entry.value_entry, value);
    if (found < 0) [[unlikely]]
        return kFailed;
    if (found == 0) [[unlikely]]
        return missing_value(entry.name);
    if (value_may_run_code(static_cast<PackEncoding>(entry.pack), value.get())) quiet = false;
    Field f{.offset = entry.offset, .bits = entry.bits, .has_offset = entry.has_offset,
            .little = entry.little, .reverse = entry.reverse, .encoding = entry.pack};
    return place_value(packet, f, value.get(), position);
}

/// Second walk, one item: read its keys, resolve them, encode its value and place the image.
int place_item(PyObject* dict, const Packet& packet, std::uint64_t& position) {
    if (check_item(dict) < 0) return kFailed;
    ItemKeys keys;
    Ref value;
    if (read_keys(dict, keys) < 0) return kFailed;
    const int found = lookup(dict, Key::Value, value);
    if (found < 0) [[unlikely]]
        return kFailed;
    if (found == 0) [[unlikely]]
        return missing_value(keys.name_text);

    Field f{.offset = keys.offset, .bits = keys.bits, .has_offset = keys.has_offset,
            .reverse = keys.reverse};
    f.start = f.has_offset ? f.offset : position;
    if (auto e = layout::check_position(f.start, f.bits)) return fail(*e);
    const std::optional<PackEncoding> enc = resolve_pack_encoding(keys.encoding_text);
    if (!enc) [[unlikely]]
        return unsupported_encoding(keys.encoding_text);
    if (check_float_width(*enc, f.bits) < 0) return kFailed;
    f.encoding = static_cast<std::uint8_t>(*enc);
    // The byte order's failure is reported after the value's; resolving it runs no code.
    const std::optional<bool> little = resolve_little_endian(keys.byte_order_text);
    if (little && keys.pure) {
        item_cache::remember(dict, {.name = keys.name.get(), .offset = f.offset, .bits = f.bits,
                                    .value_entry = -1, .has_offset = f.has_offset,
                                    .reverse = f.reverse, .little = *little, .pack = f.encoding,
                                    .unpack = item_cache::Entry::kUnresolved});
    }
    Image image;
    if (make_image(*enc, value.get(), f.bits, f.reverse, image) < 0) return kFailed;
    if (!little) [[unlikely]]
        return invalid_byte_order(keys.byte_order_text);
    f.little = *little;
    place(packet, image, f);
    position = f.start + f.bits;
    return kOk;
}

/// Both walks; `out` receives the packet.
int build_packet(PyObject* recipe, Ref& out) {
    if (!ensure_keys()) return kFailed;
    std::uint64_t extent = 0;
    bool quiet = true;
    if (size_packet(recipe, extent, quiet) < 0) return kFailed;
    const std::uint64_t size = layout::bytes_for_bits(extent);
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 2)) {
        PyErr_NoMemory();
        return kUnwrapped;
    }
    out.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out.get()) return kUnwrapped;
    const Packet packet{reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())),
                        static_cast<std::size_t>(size)};
    std::fill_n(packet.data, packet.size, std::uint8_t{0});
    std::uint64_t position = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipe); ++i) {
        // The item is held: converting a value may run code that takes it out of the recipe.
        Ref item(Py_NewRef(PyList_GET_ITEM(recipe, i)));
        // While no code has run since the sizing walk compared every item with its entry,
        // the entries still hold.
        item_cache::Entry entry;
        const bool known = PyDict_Check(item.get()) && item_cache::find(item.get(), entry, quiet) &&
                           entry.pack != item_cache::Entry::kUnresolved;
        if (!known) quiet = false;
        const int status = known ? place_remembered(item.get(), entry, packet, position, quiet)
                                 : place_item(item.get(), packet, position);
        if (status < 0) return status;
    }
    return kOk;
}

}  // namespace

PyObject* pack_parameters(PyObject* recipe) {
    RecursionGuard guard(" in pack_parameters");
    Ref packet;
    const int status = guard.entered() ? build_packet(recipe, packet) : kFailed;
    if (status == kFailed) return py::wrap_walk_failure();
    return status == kUnwrapped ? nullptr : packet.release();
}

}  // namespace bitloom
