// unpack_parameters: walks the recipe over the packet, cutting each field out and decoding it
// into a dict from field name to value.
#include <bit>
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
using recipe::pending;
using recipe::Ref;
using recipe::UnpackEncoding;
using Failure = std::optional<CodecError>;

/// Converts a codec result into a new Python object, or hands its failure on.
template <class T>
Failure to_object(Result<T>&& result, Ref& out) {
    if (!result) [[unlikely]]
        return std::move(result.error());
    out.reset(py::to_python(*result));
    return out.get() ? Failure{} : pending();
}

Failure new_object(PyObject* made, Ref& out) {
    out.reset(made);
    return made ? Failure{} : pending();
}

/// The decoder of a float family that has no bit layout yet (it fails for every pattern), or null.
using FloatDecoder = Result<double> (*)(std::uint64_t);
FloatDecoder failing_decoder(UnpackEncoding enc) {
    switch (enc) {
        case UnpackEncoding::Ieee754_1985F32: return decode_ieee754_1985_f32;
        case UnpackEncoding::Ieee754_1985F64: return decode_ieee754_1985_f64;
        case UnpackEncoding::Ieee754_1985F80: return decode_ieee754_1985_f80;
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

/// A resolved item: where its field lies and how to read it.
struct Field {
    const std::uint8_t* packet;
    std::size_t size;
    std::uint64_t start;
    std::uint32_t bits;
    bool little;
    bool reverse;
};

Failure decode_number(UnpackEncoding enc, const Field& f, Ref& out) {
    if (f.bits > 64) [[unlikely]]
        return value_error("Cannot decode " + std::to_string(f.bits) + " bits into a 64-bit value");
    const std::uint64_t v =
        layout::cut_value(f.packet, f.size, f.start, f.bits, f.little, f.reverse);
    switch (enc) {
        case UnpackEncoding::Unsigned: return new_object(PyLong_FromUnsignedLongLong(v), out);
        case UnpackEncoding::SignMagnitude:
            return new_object(PyLong_FromLongLong(decode_sign_magnitude(v, f.bits)), out);
        case UnpackEncoding::OnesComplement:
            return new_object(PyLong_FromLongLong(decode_ones_complement(v, f.bits)), out);
        case UnpackEncoding::TwosComplement:
            return new_object(PyLong_FromLongLong(decode_twos_complement(v, f.bits)), out);
        case UnpackEncoding::Bcd: return to_object(decode_unpacked_bcd(v, f.bits, false), out);
        case UnpackEncoding::BcdSigned: return to_object(decode_unpacked_bcd(v, f.bits, true), out);
        case UnpackEncoding::PackedBcd: return to_object(decode_packed_bcd(v, f.bits, false), out);
        case UnpackEncoding::PackedBcdSigned:
            return to_object(decode_packed_bcd(v, f.bits, true), out);
        case UnpackEncoding::Ieee754F16:
            return new_object(PyFloat_FromDouble(static_cast<double>(decode_ieee754_f16(v))), out);
        case UnpackEncoding::Ieee754F32:
            return new_object(PyFloat_FromDouble(decode_ieee754_f32(v)), out);
        default:  // Ieee754F64
            return new_object(PyFloat_FromDouble(decode_ieee754_f64(v)), out);
    }
}

Failure decode_text(UnpackEncoding enc, const Field& f, Ref& out) {
    const std::uint64_t count = layout::bytes_for_bits(f.bits);
    ByteBuffer cut;
    Bytes bytes{f.packet + f.start / 8, static_cast<std::size_t>(count)};
    if (f.start % 8 != 0 || f.bits % 8 != 0 || f.little) {
        // The field lies inside the packet, so its copy is no larger than the packet.
        cut.resize_for_overwrite(static_cast<std::size_t>(count));
        layout::cut_bytes(f.packet, f.start, f.bits, f.little, cut.data());
        bytes.data = cut.data();
    }
    switch (enc) {
        case UnpackEncoding::Utf8: return to_object(decode_utf8(bytes), out);
        case UnpackEncoding::Utf16: return to_object(decode_utf16(bytes), out);
        case UnpackEncoding::Utf32: return to_object(decode_utf32(bytes), out);
        case UnpackEncoding::Utf16le: return to_object(decode_utf16le(bytes), out);
        case UnpackEncoding::Utf16be: return to_object(decode_utf16be(bytes), out);
        case UnpackEncoding::Utf32le: return to_object(decode_utf32le(bytes), out);
        case UnpackEncoding::Utf32be: return to_object(decode_utf32be(bytes), out);
        case UnpackEncoding::UsAscii: return to_object(decode_us_ascii(bytes), out);
        case UnpackEncoding::Latin1: return to_object(decode_iso_8859_1(bytes), out);
        default: return to_object(decode_windows_1252(bytes), out);
    }
}

Failure decode_field(UnpackEncoding enc, const Field& f, Ref& out) {
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
            return decode_number(enc, f, out);
        case UnpackEncoding::Ieee754F128:
            if (f.bits <= 64)
                return value_error("IEEE 754 f128 requires a 128-bit field, got " +
                                   std::to_string(f.bits) + " bits");
            return value_error("IEEE 754 f128 requires special handling for >64 bits "
                               "(not yet implemented in process_recipe)");
        default:
            if (FloatDecoder decode = failing_decoder(enc)) {
                // Their failure does not depend on the field, so none is cut.
                Result<double> decoded = decode(0);
                if (!decoded) return std::move(decoded.error());
                return new_object(PyFloat_FromDouble(*decoded), out);
            }
            return decode_text(enc, f, out);
    }
}

/// Where the item's field starts: after the previous field, or at its own offset counted from
/// the call's offset.
Failure field_start(bool has_offset, std::uint64_t offset, std::uint64_t offset_bits,
                    std::uint64_t position, Field& f) {
    if (has_offset) {
        if (auto e = layout::check_position(offset_bits, offset)) return e;
        f.start = offset_bits + offset;
    } else {
        f.start = position;
    }
    if (auto e = layout::check_position(f.start, f.bits)) return e;
    return layout::check_bounds(f.size, f.start, f.bits);
}

/// Decodes the field into `result` under the item's name, whose text is `name`.
Failure store_field(UnpackEncoding enc, const Field& f, PyObject* name_obj, std::string_view name,
                    PyObject* result, std::uint64_t& position) {
    Ref value;
    if (auto e = decode_field(enc, f, value)) return e;
    // The key is a plain str even when the recipe gave a str subclass.
    Ref key;
    PyObject* key_obj = name_obj;
    if (!PyUnicode_CheckExact(key_obj)) [[unlikely]] {
        key.reset(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key.get()) return pending();
        key_obj = key.get();
    }
    if (PyDict_SetItem(result, key_obj, value.get()) < 0) return pending();
    position = f.start + f.bits;
    return std::nullopt;
}

/// One item read from its plan: only the position and the field itself are checked. No
/// interpreter code runs here, so the plan and the name it borrows stay valid throughout.
Failure read_planned(const recipe::Plan& plan, Bytes packet, std::uint64_t offset_bits,
                     PyObject* result, std::uint64_t& position) {
    Field f{packet.data, packet.size, 0, plan.bits, plan.little, plan.reverse};
    if (auto e = field_start(plan.has_offset, plan.offset, offset_bits, position, f)) return e;
    return store_field(static_cast<UnpackEncoding>(plan.unpack), f, plan.name, {}, result,
                       position);
}

/// One item: read its keys, check where its field lies, decode it into `result`.
Failure read_item(PyObject* dict, Bytes packet, std::uint64_t offset_bits, PyObject* result,
                  std::uint64_t& position) {
    if (auto e = recipe::check_item(dict)) return e;
    recipe::Snapshot snapshot;
    recipe::ItemReader item(dict, recipe::take_snapshot(dict, snapshot) ? &snapshot : nullptr,
                            nullptr);
    Ref name_obj, encoding_obj, byte_order_obj;
    std::string_view name, encoding, byte_order;
    Field f{packet.data, packet.size, 0, 0, false, false};
    bool has_offset = false;
    std::uint64_t offset = 0;
    if (auto e = recipe::read_text(item, Key::Name, name_obj, name)) return e;
    if (auto e = recipe::read_text(item, Key::Encoding, encoding_obj, encoding)) return e;
    if (auto e = recipe::read_bits(item, f.bits)) return e;
    if (auto e = recipe::read_text(item, Key::ByteOrder, byte_order_obj, byte_order)) return e;
    if (auto e = recipe::read_reverse_bits(item, f.reverse)) return e;
    if (auto e = recipe::read_offset_bits(item, has_offset, offset)) return e;

    if (auto e = field_start(has_offset, offset, offset_bits, position, f)) return e;
    const std::optional<bool> little = recipe::resolve_little_endian(byte_order_obj.get(), byte_order);
    if (!little) [[unlikely]]
        return recipe::invalid_byte_order(byte_order);
    f.little = *little;
    const std::optional<UnpackEncoding> enc = recipe::resolve_unpack_encoding(encoding_obj.get(), encoding);
    if (!enc) [[unlikely]]
        return recipe::unsupported_encoding(encoding);
    if (item.plannable()) {
        // Nothing has run since the dict was read, and every value read is pure.
        const recipe::Plan fresh{.name = name_obj.get(),
                                 .offset = offset,
                                 .bits = f.bits,
                                 .value_entry = recipe::value_entry_hint(snapshot),
                                 .has_offset = has_offset,
                                 .reverse = f.reverse,
                                 .little = f.little,
                                 .pack = recipe::Plan::kUnresolved,
                                 .unpack = static_cast<std::uint8_t>(*enc)};
        recipe::keep_plan(dict, fresh);
    }
    return store_field(*enc, f, name_obj.get(), name, result, position);
}

}  // namespace

Result<PyObject*> process_recipe(Bytes packet, std::uint64_t offset_bits, PyObject* recipe) {
    if (!recipe::ensure_keys()) return pending();
    // Sized for every item at once: a dict grown one field at a time is rebuilt several times.
    Ref result(_PyDict_NewPresized(PyList_GET_SIZE(recipe) < 1024 ? PyList_GET_SIZE(recipe) : 1024));
    if (!result.get()) return pending();
    std::uint64_t position = offset_bits;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(recipe); ++i) {
        PyObject* dict = PyList_GET_ITEM(recipe, i);
        const recipe::Plan* plan = PyDict_Check(dict) ? recipe::find_plan(dict) : nullptr;
        if (plan && plan->unpack != recipe::Plan::kUnresolved) [[likely]] {
            if (auto e = read_planned(*plan, packet, offset_bits, result.get(), position))
                return std::move(*e);
            continue;
        }
        Ref item(Py_NewRef(dict));
        if (auto e = read_item(item.get(), packet, offset_bits, result.get(), position))
            return std::move(*e);
    }
    return result.release();
}

}  // namespace bitloom
