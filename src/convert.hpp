// Conversion of Python arguments into native values, and of native results into Python objects.
// Each `convert_*` returns true on success, or false with the interpreter's exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "codec.hpp"

namespace bitloom {
struct DecodedText;
struct EncodedText;
}  // namespace bitloom

namespace bitloom::py {

/// Conversion kinds of function parameters and recipe values.
enum class Kind : std::uint8_t { I64, U32, U64, U128, Bool, F64, F32, Text, Bytes, Sequence };

bool convert_i64(PyObject* obj, std::int64_t& out);
bool convert_u32(PyObject* obj, std::uint32_t& out);
bool convert_u64(PyObject* obj, std::uint64_t& out);
bool convert_u128(PyObject* obj, u128& out);
bool convert_bool(PyObject* obj, bool& out);
bool convert_f64(PyObject* obj, double& out);
bool convert_f32(PyObject* obj, float& out);
bool convert_text(PyObject* obj, std::string_view& out);
bool convert_bytes(PyObject* obj, Bytes& out);
/// A new list holding the elements of `obj` in iteration order, or NULL.
PyObject* convert_sequence(PyObject* obj);

/// Narrows a binary64 to the nearest binary32 (ties to even; beyond range, a signed infinity).
float narrow_to_f32(double value) noexcept;

/// Raises TypeError "'{type}' object cannot be cast as '{target}'".
[[gnu::cold]] void raise_cast_error(PyObject* obj, const char* target);
/// Raises OverflowError "out of range integral type conversion attempted".
[[gnu::cold]] void raise_out_of_range();

// Result conversions.
inline PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(u128 v);
PyObject* to_python(const ByteBuffer& v);
PyObject* to_python(const Text& v);
/// A str built at its final width (or bytes at their final size) and filled in place.
PyObject* to_python(const DecodedText& v);
PyObject* to_python(const EncodedText& v);
inline PyObject* to_python(PyObject* v) { return v; }

}  // namespace bitloom::py
