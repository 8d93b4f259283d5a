// Conversion of Python arguments into native values, and of native results into Python objects.
// Each `convert_*` returns true on success, or false with the interpreter's exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/codec.hpp"

namespace bitloom {
struct DecodedText;
struct EncodedText;
struct TextView;
}  // namespace bitloom

namespace bitloom::py {

/// Conversion kinds of function parameters and recipe values.
/// Text is a str read as UTF-8; View is a str read in its own storage (text encoders); Buffer is
/// any C-contiguous buffer, held for the call; Object is the argument itself, borrowed.
enum class Kind : std::uint8_t {
    I64, U32, U64, U128, Bool, F64, F32, Text, Bytes, Sequence, View, Buffer, Object
};

/// A Buffer parameter: the exporter's bytes, read in place while the call holds them.
struct Buffer {
    const std::uint8_t* data;
    std::size_t size;
};

/// An Object parameter: borrowed for the call; null when an optional one was left out.
struct Object {
    PyObject* obj;
};

/// Counts a stretch of work that may run the caller's Python code (an __index__, __float__,
/// __buffer__, __iter__ or __array__ of an argument, or a recipe walk) as one level of the
/// interpreter's recursion, so that code which calls the module again from there ends in
/// RecursionError. The level is also refused when the thread's C stack is nearly full, whatever
/// the recursion limit: the frames between two levels are the interpreter's and ours, and the
/// limit alone cannot know their size.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(enter(where)) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return entered_; }

private:
    /// False with RecursionError set when the level is refused.
    static bool enter(const char* where) noexcept;
    bool entered_;
};

bool convert_i64_slow(PyObject* obj, std::int64_t& out);
bool convert_u64_slow(PyObject* obj, std::uint64_t& out);
[[gnu::cold]] void raise_out_of_range();

/// The value of an exact int that fits a machine word, without a call into the interpreter.
inline bool compact_value(PyObject* obj, Py_ssize_t& out) {
    if (!PyLong_CheckExact(obj) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj)))
        return false;
    out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    return true;
}

inline bool convert_i64(PyObject* obj, std::int64_t& out) {
    Py_ssize_t v;
    if (compact_value(obj, v)) [[likely]] {
        out = v;
        return true;
    }
    return convert_i64_slow(obj, out);
}

inline bool convert_u32(PyObject* obj, std::uint32_t& out) {
    std::int64_t value;
    if (!convert_i64(obj, value)) return false;
    if (value < 0 || value > 0xFFFFFFFFLL) [[unlikely]] {
        raise_out_of_range();
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

inline bool convert_u64(PyObject* obj, std::uint64_t& out) {
    Py_ssize_t v;
    if (compact_value(obj, v) && v >= 0) [[likely]] {
        out = static_cast<std::uint64_t>(v);
        return true;
    }
    return convert_u64_slow(obj, out);
}

bool convert_u128(PyObject* obj, u128& out);
bool convert_bool(PyObject* obj, bool& out);
bool convert_f64_slow(PyObject* obj, double& out);

inline bool convert_f64(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) [[likely]] {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    return convert_f64_slow(obj, out);
}

bool convert_text(PyObject* obj, std::string_view& out);
bool convert_bytes(PyObject* obj, Bytes& out);
/// A str's storage in place. Fails like convert_text: TypeError for a non-str, and the
/// interpreter's UnicodeEncodeError for a str holding a lone surrogate.
bool convert_text_view(PyObject* obj, TextView& out);
/// A new list holding the elements of `obj` in iteration order, or NULL.
PyObject* convert_sequence(PyObject* obj);
/// Exports the bytes of any C-contiguous buffer into `view`, which the caller releases.
bool convert_buffer(PyObject* obj, Py_buffer& view, Buffer& out);

/// Narrows a binary64 to the nearest binary32 (ties to even; beyond range, a signed infinity).
float narrow_to_f32(double value) noexcept;

inline bool convert_f32(PyObject* obj, float& out) {
    double value;
    if (!convert_f64(obj, value)) return false;
    out = narrow_to_f32(value);
    return true;
}

/// Raises TypeError "'{type}' object cannot be cast as '{target}'".
[[gnu::cold]] void raise_cast_error(PyObject* obj, const char* target);

// Result conversions.
inline PyObject* to_python(std::uint64_t v) {
    // The signed constructor has a quicker path for values that fit one internal digit.
    if (v <= static_cast<std::uint64_t>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(v));
    return PyLong_FromUnsignedLongLong(v);
}
inline PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(u128 v);
PyObject* to_python(const ByteBuffer& v);
PyObject* to_python(Bytes v);
/// A str built at its final width (or bytes at their final size) and filled in place.
PyObject* to_python(const DecodedText& v);
PyObject* to_python(const EncodedText& v);
inline PyObject* to_python(PyObject* v) { return v; }

}  // namespace bitloom::py
