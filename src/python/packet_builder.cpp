// pack_parameters: sizes the packet from every item's extent, then encodes each item's value
// and lays its image into the packet at the item's start.
#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string>

#include "convert.hpp"
#include "packet.hpp"
#include "core/layout.hpp"
#include "recipe.hpp"
#include "core/integer.hpp"
#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/other_float.hpp"
#include "core/single_byte.hpp"
#include "core/unicode.hpp"

namespace bitloom {

namespace {

using recipe::Key;
using recipe::PackEncoding;
using recipe::pending;
using recipe::Ref;
using Failure = std::optional<CodecError>;

/// A field image: integer patterns of up to 64 bits stay a number until placement; everything
/// else is a run of bytes.
struct Image {
    bool is_pattern = true;
    std::uint64_t pattern = 0;
    ByteBuffer bytes;
};

template <class T>
Failure take(Result<T>&& result, T& out) {
    if (!result) [[unlikely]]
        return std::move(result.error());
    out = std::move(*result);
    return std::nullopt;
}

Failure integer_image(std::uint64_t pattern, std::uint32_t w, bool reverse, Image& image) {
    if (w <= 64) [[likely]] {
        image.pattern = pattern;
        return std::nullopt;
    }
    image.is_pattern = false;
    return take(encode_integer_to_bytes(pattern, w, reverse), image.bytes);
}

Failure convert_value_i64(PyObject* value, std::int64_t& out) {
    if (!py::convert_i64(value, out)) [[unlikely]]
        return pending();
    return std::nullopt;
}

/// Width check of the float families, made before the value is converted.
Failure check_float_width(PackEncoding enc, std::uint32_t w) {
    const auto bad = [w](const char* family, const char* supported) -> Failure {
        return value_error(std::string("Unsupported ") + family + " bit width: " +
                           std::to_string(w) + " (supported: " + supported + ")");
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
    return std::nullopt;
}

/// The older float families: binary32 for their 32-bit form, binary64 otherwise.
Failure other_float_image(PackEncoding enc, PyObject* value, std::uint32_t w, bool reverse,
                          Image& image) {
    using F32 = Result<std::uint64_t> (*)(float);
    using F64 = Result<std::uint64_t> (*)(double);
    F32 narrow = nullptr;
    F64 wide = nullptr;
    switch (enc) {
        case PackEncoding::Ieee754_1985:
            narrow = encode_ieee754_1985_f32;
            wide = w == 64 ? encode_ieee754_1985_f64 : encode_ieee754_1985_f80;
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
        if (!py::convert_f32(value, f)) return pending();
        if (auto e = take(narrow(f), pattern)) return e;
    } else {
        double d = 0;
        if (!py::convert_f64(value, d)) return pending();
        if (auto e = take(wide(d), pattern)) return e;
    }
    return integer_image(pattern, w, reverse, image);
}

Failure ieee754_image(PyObject* value, std::uint32_t w, bool reverse, Image& image) {
    if (w == 16 || w == 32) {
        float f = 0;
        if (!py::convert_f32(value, f)) [[unlikely]]
            return pending();
        image.pattern = w == 32 ? encode_ieee754_f32(f) : encode_ieee754_f16(f);
        return std::nullopt;
    }
    double d = 0;
    if (!py::convert_f64(value, d)) [[unlikely]]
        return pending();
    if (w == 64) {
        image.pattern = encode_ieee754_f64(d);
        return std::nullopt;
    }
    u128 wide = 0;
    if (auto e = take(encode_ieee754_f128(d), wide)) return e;
    image.is_pattern = false;
    return take(encode_integer_to_bytes_u128(wide, w, reverse), image.bytes);
}

Failure text_image(PackEncoding enc, PyObject* value, Image& image) {
    image.is_pattern = false;
    if (enc == PackEncoding::Utf8) {
        std::string_view utf8;
        if (!py::convert_text(value, utf8)) [[unlikely]]
            return pending();
        Bytes encoded;
        if (auto e = take(encode_utf8(utf8), encoded)) return e;
        image.bytes.append(encoded.data, encoded.size);
        return std::nullopt;
    }
    TextView text;
    if (!py::convert_text_view(value, text)) [[unlikely]]
        return pending();
    Result<EncodedText> encoded = [&] {
        switch (enc) {
            case PackEncoding::Utf16: return encode_utf16(text);
            case PackEncoding::Utf32: return encode_utf32(text);
            case PackEncoding::Utf16le: return encode_utf16le(text);
            case PackEncoding::Utf16be: return encode_utf16be(text);
            case PackEncoding::Utf32le: return encode_utf32le(text);
            case PackEncoding::Utf32be: return encode_utf32be(text);
            case PackEncoding::UsAscii: return encode_us_ascii(text);
            case PackEncoding::Iso8859_1: return encode_iso_8859_1(text);
            default: return encode_windows_1252(text);
        }
    }();
    if (!encoded) [[unlikely]]
        return std::move(encoded.error());
    image.bytes.resize_for_overwrite(encoded->size);
    if (!write_bytes(*encoded, image.bytes.data())) [[unlikely]]
        return encode_failure(*encoded);
    return std::nullopt;
}

/// A "binary" value: bytes, bytearray, or a sequence of integers 0 to 255 (never a str).
Failure binary_image(PyObject* value, std::uint32_t w, bool reverse, Image& image) {
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
        if (!list.get()) return pending();
        const Py_ssize_t count = PyList_GET_SIZE(list.get());
        collected.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::int64_t byte = 0;
            if (!py::convert_i64(PyList_GET_ITEM(list.get(), i), byte)) return pending();
            if (byte < 0 || byte > 255) {
                py::raise_out_of_range();
                return pending();
            }
            collected.push_back(static_cast<std::uint8_t>(byte));
        }
        data = collected.data();
        size = collected.size();
    }
    // No interpreter code runs from here on, so a bytearray cannot change under us.
    if (w != 0) image.bytes = layout::binary_image(data, size, w, reverse);
    return std::nullopt;
}

Failure make_image(PackEncoding enc, PyObject* value, std::uint32_t w, bool reverse,
                   Image& image) {
    std::int64_t signed_value = 0;
    switch (enc) {
        case PackEncoding::Unsigned: {
            std::uint64_t v = 0;
            if (!py::convert_u64(value, v)) [[unlikely]]
                return pending();
            if (w < 64 && (v >> w) != 0) [[unlikely]]
                return value_error("Value " + std::to_string(v) + " is too large for " +
                                   std::to_string(w) + " bits");
            return integer_image(v, w, reverse, image);
        }
        case PackEncoding::SignMagnitude:
        case PackEncoding::OnesComplement:
        case PackEncoding::TwosComplement:
        case PackEncoding::Bcd:
        case PackEncoding::BcdSigned:
        case PackEncoding::PackedBcd:
        case PackEncoding::PackedBcdSigned: {
            if (auto e = convert_value_i64(value, signed_value)) return e;
            Result<std::uint64_t> pattern =
                enc == PackEncoding::SignMagnitude    ? encode_sign_magnitude(signed_value, w)
                : enc == PackEncoding::OnesComplement ? encode_ones_complement(signed_value, w)
                : enc == PackEncoding::TwosComplement ? encode_twos_complement(signed_value, w)
                : enc == PackEncoding::Bcd            ? encode_unpacked_bcd(signed_value, w, false)
                : enc == PackEncoding::BcdSigned      ? encode_unpacked_bcd(signed_value, w, true)
                : enc == PackEncoding::PackedBcd      ? encode_packed_bcd(signed_value, w, false)
                                                      : encode_packed_bcd(signed_value, w, true);
            if (!pattern) [[unlikely]]
                return std::move(pattern.error());
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

/// Whether converting `value` for the encoding may run interpreter code.
bool value_may_run_code(PackEncoding enc, PyObject* value) noexcept {
    switch (enc) {
        case PackEncoding::Ieee754:
        case PackEncoding::Ieee754_1985:
        case PackEncoding::MilStd1750a:
        case PackEncoding::Ti:
        case PackEncoding::Dec:
        case PackEncoding::Ibm:
            return recipe::float_may_run_code(value);
        case PackEncoding::Binary:
            return !PyBytes_Check(value) && !PyByteArray_Check(value);
        case PackEncoding::Utf8: case PackEncoding::Utf16: case PackEncoding::Utf32:
        case PackEncoding::Utf16le: case PackEncoding::Utf16be: case PackEncoding::Utf32le:
        case PackEncoding::Utf32be: case PackEncoding::UsAscii: case PackEncoding::Iso8859_1:
        case PackEncoding::Windows1252:
            return false;
        default:
            return recipe::int_may_run_code(value);
    }
}

/// What the sizing walk read of each item: the field walk reuses it for as long as no
/// interpreter code has run, for until then no dict can have changed.
struct Reading {
    enum class State : std::uint8_t { None, Snapshot, Planned };
    State state;
    recipe::Snapshot snapshot;
    recipe::Plan plan;  // a copy: the table's plans may be replaced during the walks
};

class Readings {
public:
    explicit Readings(Py_ssize_t count) {
        const auto n = static_cast<std::size_t>(count);
        if (n > kInline) {
            heap_.reset(new (std::nothrow) Reading[n]);
            if (!heap_) capacity_ = 0;  // no room: the field walk reads every item afresh
            else capacity_ = n;
        }
    }
    /// The record of item `i`, or null when there is no room for it.
    Reading* at(Py_ssize_t i) noexcept {
        const auto n = static_cast<std::size_t>(i);
        if (n >= capacity_) return nullptr;
        return heap_ ? &heap_[n] : &inline_[n];
    }

private:
    static constexpr std::size_t kInline = 32;
    Reading inline_[kInline];  // filled by the sizing walk before the field walk reads them
    std::unique_ptr<Reading[]> heap_;
    std::size_t capacity_ = kInline;
};

/// First walk: the furthest end of any field, in bits.
Failure size_packet(PyObject* items, Readings& readings, bool& pristine, std::uint64_t& extent) {
    extent = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* dict = PyList_GET_ITEM(items, i);
        if (auto e = recipe::check_item(dict)) return e;
        Reading* reading = readings.at(i);
        std::uint32_t bits = 0;
        bool has_offset = false;
        std::uint64_t offset = 0;
        // A plan of either direction holds the item's bits and offset as they read now; using
        // it runs no code, so the item needs no reference of its own.
        if (const recipe::Plan* plan = recipe::find_plan(dict)) [[likely]] {
            bits = plan->bits;
            has_offset = plan->has_offset;
            offset = plan->offset;
            if (reading) {
                reading->state = Reading::State::Planned;
                reading->plan = *plan;
            }
        } else {
            Ref item(Py_NewRef(dict));
            const recipe::Snapshot* snapshot = nullptr;
            if (reading) {
                const bool taken = recipe::take_snapshot(item.get(), reading->snapshot);
                reading->state = taken ? Reading::State::Snapshot : Reading::State::None;
                if (taken) snapshot = &reading->snapshot;
            }
            recipe::ItemReader reader(item.get(), snapshot, &pristine);
            if (auto e = recipe::read_bits(reader, bits)) return e;
            if (auto e = recipe::read_offset_bits(reader, has_offset, offset)) return e;
        }
        const std::uint64_t start = has_offset ? offset : extent;
        if (auto e = layout::check_position(start, bits)) return e;
        extent = std::max(extent, start + bits);
    }
    return std::nullopt;
}

/// Where the packet is being built, and whether any interpreter code has run during the call.
struct Target {
    std::uint8_t* packet;
    std::size_t size;
    bool& pristine;
};

/// KeyError for an item without `value`, naming the item by its `name` text.
[[gnu::cold]] CodecError missing_value(std::string_view name) {
    return CodecError{ErrorKind::KeyError,
                      "Recipe item '" + std::string(name) + "' missing required field: 'value'"};
}

/// Converts and encodes the value into its field image.
Failure value_image(PackEncoding enc, PyObject* value, std::uint32_t bits, bool reverse,
                    bool& pristine, Image& image) {
    if (value_may_run_code(enc, value)) pristine = false;
    return make_image(enc, value, bits, reverse, image);
}

/// Lays the image into the field, reversing its bytes for "little".
void place(Target& t, Image& image, std::uint64_t start, std::uint32_t bits, bool reverse,
           bool little) {
    if (image.is_pattern) {
        layout::place_pattern(t.packet, t.size, start, bits, image.pattern, reverse, little);
    } else {
        if (little) layout::reverse_bytes(image.bytes.data(), image.bytes.size());
        layout::place_image(t.packet, t.size, start, bits, image.bytes.data(), image.bytes.size());
    }
}

/// Second walk, one planned item: only its value and position remain to be checked.
Failure place_planned(PyObject* item, const recipe::Plan& plan, Target& t,
                      std::uint64_t& position) {
    Ref value;
    const int found = recipe::lookup_value(item, plan.value_entry, value);
    if (found < 0) [[unlikely]]
        return pending();
    if (found == 0) [[unlikely]] {
        Py_ssize_t length = 0;
        const char* name = PyUnicode_AsUTF8AndSize(plan.name, &length);
        if (!name) return pending();
        return missing_value(std::string_view(name, static_cast<std::size_t>(length)));
    }
    const std::uint64_t start = plan.has_offset ? plan.offset : position;
    if (auto e = layout::check_position(start, plan.bits)) return e;
    Image image;
    const auto enc = static_cast<PackEncoding>(plan.pack);
    if (auto e = value_image(enc, value.get(), plan.bits, plan.reverse, t.pristine, image)) return e;
    place(t, image, start, plan.bits, plan.reverse, plan.little);
    position = start + plan.bits;
    return std::nullopt;
}

/// Second walk, one item: read its keys, encode its value and place the image.
Failure place_item(recipe::ItemReader& item, Target& t, std::uint64_t& position) {
    if (auto e = recipe::check_item(item.item())) return e;
    Ref name_obj, encoding_obj, byte_order_obj, value;
    std::string_view name, encoding, byte_order;
    std::uint32_t bits = 0;
    bool reverse = false, has_offset = false;
    std::uint64_t offset = 0;
    if (auto e = recipe::read_text(item, Key::Name, name_obj, name)) return e;
    if (auto e = recipe::read_text(item, Key::Encoding, encoding_obj, encoding)) return e;
    if (auto e = recipe::read_bits(item, bits)) return e;
    if (auto e = recipe::read_text(item, Key::ByteOrder, byte_order_obj, byte_order)) return e;
    if (auto e = recipe::read_reverse_bits(item, reverse)) return e;
    if (auto e = recipe::read_offset_bits(item, has_offset, offset)) return e;
    const int found = item.get(Key::Value, value);
    if (found < 0) [[unlikely]]
        return pending();
    if (found == 0) [[unlikely]]
        return missing_value(name);

    const std::uint64_t start = has_offset ? offset : position;
    if (auto e = layout::check_position(start, bits)) return e;
    const std::optional<PackEncoding> enc =
        recipe::resolve_pack_encoding(encoding_obj.get(), encoding);
    if (!enc) [[unlikely]]
        return recipe::unsupported_encoding(encoding);
    if (auto e = check_float_width(*enc, bits)) return e;
    // Resolving the byte order runs no code, so doing it ahead of its check changes nothing;
    // its failure is still reported after the value's.
    const std::optional<bool> little =
        recipe::resolve_little_endian(byte_order_obj.get(), byte_order);
    if (little && item.plannable()) {
        const recipe::Plan plan{.name = name_obj.get(),
                                .offset = offset,
                                .bits = bits,
                                .value_entry = recipe::value_entry_hint(*item.snapshot()),
                                .has_offset = has_offset,
                                .reverse = reverse,
                                .little = *little,
                                .pack = static_cast<std::uint8_t>(*enc),
                                .unpack = recipe::Plan::kUnresolved};
        recipe::keep_plan(item.item(), plan);
    }
    Image image;
    item.converted(value_may_run_code(*enc, value.get()));
    if (auto e = make_image(*enc, value.get(), bits, reverse, image)) return e;
    if (!little) [[unlikely]]
        return recipe::invalid_byte_order(byte_order);
    place(t, image, start, bits, reverse, *little);
    position = start + bits;
    return std::nullopt;
}

}  // namespace

Result<ByteBuffer> build_packet(PyObject* recipe) {
    if (!recipe::ensure_keys()) return pending();
    Readings readings(PyList_GET_SIZE(recipe));
    bool pristine = true;
    std::uint64_t extent = 0;
    if (auto e = size_packet(recipe, readings, pristine, extent)) return std::move(*e);

    ByteBuffer packet;
    try {
        packet.resize(layout::bytes_for_bits(extent));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return pending();
    }
    Target target{packet.data(), packet.size(), pristine};
    std::uint64_t position = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipe); ++i) {
        Ref item(Py_NewRef(PyList_GET_ITEM(recipe, i)));
        // The sizing walk's reading while nothing has run since, else a fresh one.
        const Reading* reading = pristine ? readings.at(i) : nullptr;
        const recipe::Plan* plan = nullptr;
        recipe::Plan current;  // the table's plan may be replaced while the value converts
        if (reading) {
            if (reading->state == Reading::State::Planned) plan = &reading->plan;
        } else if (PyDict_Check(item.get())) {
            if (const recipe::Plan* found = recipe::find_plan(item.get())) {
                current = *found;
                plan = &current;
            }
        }
        if (plan && plan->pack != recipe::Plan::kUnresolved) [[likely]] {
            if (auto e = place_planned(item.get(), *plan, target, position)) return std::move(*e);
            continue;
        }
        const recipe::Snapshot* snapshot =
            reading && reading->state == Reading::State::Snapshot ? &reading->snapshot : nullptr;
        recipe::Snapshot fresh;
        if (!snapshot && PyDict_Check(item.get()) && recipe::take_snapshot(item.get(), fresh))
            snapshot = &fresh;
        recipe::ItemReader reader(item.get(), snapshot, &pristine);
        if (auto e = place_item(reader, target, position)) return std::move(*e);
    }
    return packet;
}

}  // namespace bitloom
