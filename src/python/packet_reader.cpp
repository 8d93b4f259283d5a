// unpack_parameters: walks the recipe over the packet, resolving each item, cutting its field
// out and decoding it into a dict from field name to value.
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

/// Takes a new object (or NULL with an exception set) into `out`.
int hold(PyObject* made, Ref& out) {
    out.reset(made);
    return made ? kOk : kFailed;
}

/// Converts a codec result into a new Python object, or raises its failure.
template <class T>
int hold(Result<T>&& result, Ref& out) {
    if (!result) [[unlikely]]
        return fail(result.error());
    return hold(py::to_python(*result), out);
}

/// The decoder of an older float format whose patterns fit 64 bits, or null.
using FloatDecoder = Result<double> (*)(std::uint64_t);
FloatDecoder other_float_decoder(UnpackEncoding enc) {
    switch (enc) {
        case UnpackEncoding::Ieee754_1985F32: return decode_ieee754_1985_f32;
        case UnpackEncoding::Ieee754_1985F64: return decode_ieee754_1985_f64;
        case UnpackEncoding::MilStd1750aF32: return decode_mil_std_1750a_f32;
        case UnpackEncoding::MilStd1750aF48: return decode_mil_std_1750a_f48;
        case UnpackEncoding::TiF32: return decode_ti_f32;
        case UnpackEncoding::TiF40: return decode_ti_f40;
        case UnpackEncoding::DecF32: return decode_dec_f32;
        case UnpackEncoding::DecF64: return decode_dec_f64;
        case UnpackEncoding::IbmF32: return decode_ibm_f32;
        case UnpackEncoding::IbmF64: return decode_ibm_f64;
        default: return nullptr;
    }
}

[[gnu::cold]] int wider_than_64(std::uint32_t bits) {
    return fail(value_error("Cannot decode " + std::to_string(bits) + " bits into a 64-bit value"));
}

/// A field of 128 bits or fewer read as one unsigned value.
u128 cut_wide(Bytes packet, const Field& f) {
    return layout::cut_value128(packet.data, f.start, f.bits, f.little, f.reverse);
}

// The float fields below are decoded out of line, so that the walk's own frame, which re-entry
// through a conversion stacks, does not grow.

[[gnu::noinline]] int decode_f128(Bytes packet, const Field& f, Ref& out) {
    if (f.bits == 128)
        return hold(PyFloat_FromDouble(decode_ieee754_f128(cut_wide(packet, f))), out);
    if (f.bits <= 64)
        return fail(value_error("IEEE 754 f128 requires a 128-bit field, got " +
                                std::to_string(f.bits) + " bits"));
    return fail(value_error("IEEE 754 f128 requires special handling for >64 bits "
                            "(not yet implemented in process_recipe)"));
}

/// An 80-bit field holds the whole x87 pattern; other widths read as the 64-bit formats do.
[[gnu::noinline]] int decode_f80(Bytes packet, const Field& f, Ref& out) {
    if (f.bits == 80) return hold(decode_ieee754_1985_f80(cut_wide(packet, f)), out);
    if (f.bits > 64) [[unlikely]]
        return wider_than_64(f.bits);
    return hold(decode_ieee754_1985_f80(
                    layout::cut_value(packet.data, packet.size, f.start, f.bits, f.little, f.reverse)),
                out);
}

[[gnu::noinline]] int decode_other_float(FloatDecoder decode, Bytes packet, const Field& f,
                                         Ref& out) {
    if (f.bits > 64) [[unlikely]]
        return wider_than_64(f.bits);
    return hold(decode(layout::cut_value(packet.data, packet.size, f.start, f.bits, f.little,
                                         f.reverse)),
                out);
}

int decode_number(UnpackEncoding enc, Bytes packet, const Field& f, Ref& out) {
    if (f.bits > 64) [[unlikely]]
        return wider_than_64(f.bits);
    const std::uint64_t v =
        layout::cut_value(packet.data, packet.size, f.start, f.bits, f.little, f.reverse);
    switch (enc) {
        case UnpackEncoding::Unsigned: return hold(py::to_python(v), out);
        case UnpackEncoding::SignMagnitude:
            return hold(PyLong_FromLongLong(decode_sign_magnitude(v, f.bits)), out);
        case UnpackEncoding::OnesComplement:
            return hold(PyLong_FromLongLong(decode_ones_complement(v, f.bits)), out);
        case UnpackEncoding::TwosComplement:
            return hold(PyLong_FromLongLong(decode_twos_complement(v, f.bits)), out);
        case UnpackEncoding::Bcd: return hold(decode_unpacked_bcd(v, f.bits, false), out);
        case UnpackEncoding::BcdSigned: return hold(decode_unpacked_bcd(v, f.bits, true), out);
        case UnpackEncoding::PackedBcd: return hold(decode_packed_bcd(v, f.bits, false), out);
        case UnpackEncoding::PackedBcdSigned: return hold(decode_packed_bcd(v, f.bits, true), out);
        case UnpackEncoding::Ieee754F16:
            return hold(PyFloat_FromDouble(static_cast<double>(decode_ieee754_f16(v))), out);
        case UnpackEncoding::Ieee754F32: return hold(PyFloat_FromDouble(decode_ieee754_f32(v)), out);
        default:  // Ieee754F64
            return hold(PyFloat_FromDouble(decode_ieee754_f64(v)), out);
    }
}

int decode_text(UnpackEncoding enc, Bytes packet, const Field& f, Ref& out) {
    const std::uint64_t count = layout::bytes_for_bits(f.bits);
    ByteBuffer cut;
    Bytes bytes{packet.data + f.start / 8, static_cast<std::size_t>(count)};
    if (f.start % 8 != 0 || f.bits % 8 != 0 || f.little) {
        // The field lies inside the packet, so its copy is no larger than the packet.
        cut.resize_for_overwrite(static_cast<std::size_t>(count));
        layout::cut_bytes(packet.data, f.start, f.bits, f.little, cut.data());
        bytes.data = cut.data();
    }
    switch (enc) {
        case UnpackEncoding::Utf8: return hold(decode_utf8(bytes), out);
        case UnpackEncoding::Utf16: return hold(decode_utf16(bytes), out);
        case UnpackEncoding::Utf32: return hold(decode_utf32(bytes), out);
        case UnpackEncoding::Utf16le: return hold(decode_utf16le(bytes), out);
        case UnpackEncoding::Utf16be: return hold(decode_utf16be(bytes), out);
        case UnpackEncoding::Utf32le: return hold(decode_utf32le(bytes), out);
        case UnpackEncoding::Utf32be: return hold(decode_utf32be(bytes), out);
        case UnpackEncoding::UsAscii: return hold(decode_us_ascii(bytes), out);
        case UnpackEncoding::Latin1: return hold(decode_iso_8859_1(bytes), out);
        default: return hold(decode_windows_1252(bytes), out);
    }
}

int decode_field(Bytes packet, const Field& f, Ref& out) {
    const auto enc = static_cast<UnpackEncoding>(f.encoding);
    switch (enc) {
        case UnpackEncoding::Unsigned:
        case UnpackEncoding::SignMagnitude:
        case UnpackEncoding::OnesComplement:
        case UnpackEncoding::TwosComplement:
        case UnpackEncoding::Bcd:
        case UnpackEncoding::BcdSigned:
        case UnpackEncoding::PackedBcd:
        case UnpackEncoding::PackedBcdSigned:
        case UnpackEncoding::Ieee754F16:
        case UnpackEncoding::Ieee754F32:
        case UnpackEncoding::Ieee754F64:
            return decode_number(enc, packet, f, out);
        case UnpackEncoding::Ieee754F128: return decode_f128(packet, f, out);
        case UnpackEncoding::Ieee754_1985F80: return decode_f80(packet, f, out);
        default:
            if (FloatDecoder decode = other_float_decoder(enc))
                return decode_other_float(decode, packet, f, out);
            return decode_text(enc, packet, f, out);
    }
}

/// Where the item's field starts: after the previous field, or at its own offset counted from
/// the call's offset; and whether it lies inside the packet.
int locate(Bytes packet, std::uint64_t offset_bits, std::uint64_t position, Field& f) {
    if (f.has_offset) {
        if (auto e = layout::check_position(offset_bits, f.offset)) return fail(*e);
        f.start = offset_bits + f.offset;
    } else {
        f.start = position;
    }
    if (auto e = layout::check_position(f.start, f.bits)) return fail(*e);
    if (auto e = layout::check_bounds(packet.size, f.start, f.bits)) return fail(*e);
    return kOk;
}

/// Decodes the field into `result` under `name`.
int store(Bytes packet, const Field& f, PyObject* name, std::string_view name_text,
          PyObject* result, std::uint64_t& position) {
    Ref value;
    if (decode_field(packet, f, value) < 0) return kFailed;
    // The key is a plain str even when the recipe gave a str subclass.
    Ref key;
    if (!PyUnicode_CheckExact(name)) [[unlikely]] {
        key.reset(PyUnicode_FromStringAndSize(name_text.data(),
                                              static_cast<Py_ssize_t>(name_text.size())));
        if (!key.get()) return kFailed;
        name = key.get();
    }
    if (PyDict_SetItem(result, name, value.get()) < 0) return kFailed;
    position = f.start + f.bits;
    return kOk;
}

/// One item remembered from an earlier call: only where its field lies is checked.
int read_remembered(const item_cache::Entry& entry, Bytes packet, std::uint64_t offset_bits,
                    PyObject* result, std::uint64_t& position) {
    // The cache holds the name until another item takes the entry's place, which reading
    // remembered items never does.
    Field f{.offset = entry.offset, .bits = entry.bits, .has_offset = entry.has_offset,
            .little = entry.little, .reverse = entry.reverse, .encoding = entry.unpack};
    if (const int status = locate(packet, offset_bits, position, f); status < 0) return status;
    return store(packet, f, entry.name, {}, result, position);
}

/// One item: read its keys, check where its field lies, resolve it, decode it into `result`.
int read_item(PyObject* dict, Bytes packet, std::uint64_t offset_bits, PyObject* result,
              std::uint64_t& position) {
    if (check_item(dict) < 0) return kFailed;
    ItemKeys keys;
    if (read_keys(dict, keys) < 0) return kFailed;
    Field f{.offset = keys.offset, .bits = keys.bits, .has_offset = keys.has_offset,
            .reverse = keys.reverse};
    if (const int status = locate(packet, offset_bits, position, f); status < 0) return status;
    const std::optional<bool> little = resolve_little_endian(keys.byte_order_text);
    if (!little) [[unlikely]]
        return invalid_byte_order(keys.byte_order_text);
    f.little = *little;
    const std::optional<UnpackEncoding> enc = resolve_unpack_encoding(keys.encoding_text);
    if (!enc) [[unlikely]]
        return unsupported_encoding(keys.encoding_text);
    f.encoding = static_cast<std::uint8_t>(*enc);
    if (keys.pure) {
        item_cache::remember(dict, {.name = keys.name.get(), .offset = f.offset, .bits = f.bits,
                                    .value_entry = -1, .has_offset = f.has_offset,
                                    .reverse = f.reverse, .little = f.little,
                                    .pack = item_cache::Entry::kUnresolved, .unpack = f.encoding});
    }
    return store(packet, f, keys.name.get(), keys.name_text, result, position);
}

int process_recipe(Bytes packet, std::uint64_t offset_bits, PyObject* recipe, Ref& result) {
    if (!ensure_keys()) return kFailed;
    result.reset(PyDict_New());
    if (!result.get()) return kFailed;
    std::uint64_t position = offset_bits;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipe); ++i) {
        PyObject* dict = PyList_GET_ITEM(recipe, i);
        item_cache::Entry entry;
        int status;
        if (PyDict_Check(dict) && item_cache::find(dict, entry) &&
            entry.unpack != item_cache::Entry::kUnresolved) [[likely]] {
            status = read_remembered(entry, packet, offset_bits, result.get(), position);
        } else {
            // The item is held: reading its keys may run code that takes it out of the recipe.
            Ref item(Py_NewRef(dict));
            status = read_item(item.get(), packet, offset_bits, result.get(), position);
        }
        if (status < 0) return status;
    }
    return kOk;
}

}  // namespace

PyObject* unpack_parameters(Bytes packet_bytes, std::uint64_t offset_bits, PyObject* recipe) {
    RecursionGuard guard(" in unpack_parameters");
    Ref fields;
    const int status = guard.entered() ? process_recipe(packet_bytes, offset_bits, recipe, fields)
                                       : kFailed;
    if (status == kFailed) return py::wrap_walk_failure();
    return status == kUnwrapped ? nullptr : fields.release();
}

}  // namespace bitloom
