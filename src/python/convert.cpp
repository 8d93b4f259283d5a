#include "convert.hpp"

#include "core/float_format.hpp"

#include "core/text.hpp"
#include "errors.hpp"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace bitloom::py {

namespace {

/// The qualified name of an object's type, or the stand-in text when it cannot be had.
std::string type_name(PyObject* obj) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::string out = utf8 ? std::string(utf8, static_cast<std::size_t>(size))
                           : std::string("<failed to extract type name>");
    if (!utf8) PyErr_Clear();
    Py_DECREF(name);
    return out;
}

/// True for numpy's boolean scalar type (named bool_ or bool in the numpy module).
bool is_numpy_bool_type(PyTypeObject* type) {
    const char* full = type->tp_name;  // "numpy.bool" / "numpy.bool_" for static numpy types
    if (std::string_view(full) == "numpy.bool_" || std::string_view(full) == "numpy.bool")
        return true;
    // Heap types carry their module in __module__; check it only when the plain name matches.
    std::string_view plain = full;
    if (auto dot = plain.rfind('.'); dot != std::string_view::npos) plain = plain.substr(dot + 1);
    if (plain != "bool_" && plain != "bool") return false;
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool is_numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
    Py_DECREF(module);
    return is_numpy;
}

/// C stack kept free below the deepest level: room for the interpreter to raise, unwind and run
/// the caller's exception handlers (a quarter of the stack on threads with smaller ones).
constexpr std::size_t kStackReserve = 256 * 1024;

/// The calling thread's stack, looked up on its first level.
struct Stack {
    bool looked_up = false;
    std::uintptr_t low = 0, high = 0;  // both 0 when the thread library cannot tell
    std::size_t reserve = 0;
};
thread_local Stack t_stack;

[[gnu::cold]] void look_up_stack(Stack& stack) noexcept {
    stack.looked_up = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0) {
        stack.low = reinterpret_cast<std::uintptr_t>(low);
        stack.high = stack.low + size;
        stack.reserve = std::min(kStackReserve, size / 4);
    }
    pthread_attr_destroy(&attr);
}

/// Whether the stack below this frame is down to its reserve. A frame outside the thread's
/// own stack (a coroutine library's) is not judged.
bool stack_nearly_full() noexcept {
    Stack& stack = t_stack;
    if (!stack.looked_up) [[unlikely]]
        look_up_stack(stack);
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > stack.low && here < stack.high && here - stack.low < stack.reserve;
}

constexpr const char* kConverting = " while converting a value";

/// Runs `read`, a conversion that may call the object's own Python methods, as one level.
template <class F>
bool calling_back(F&& read) {
    RecursionGuard guard(kConverting);
    return guard.entered() && read();
}

}  // namespace

bool RecursionGuard::enter(const char* where) noexcept {
    if (stack_nearly_full()) [[unlikely]] {
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded%s (the C stack is nearly full)", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

void raise_cast_error(PyObject* obj, const char* target) {
    std::string text = "'" + type_name(obj) + "' object cannot be cast as '" + target + "'";
    PyErr_SetString(PyExc_TypeError, text.c_str());
}

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

bool convert_i64_slow(PyObject* obj, std::int64_t& out) {
    auto read = [&] {
        const long value = PyLong_AsLong(obj);  // a non-int through its __index__
        if (value == -1 && PyErr_Occurred()) return false;
        out = value;
        return true;
    };
    return PyLong_Check(obj) ? read() : calling_back(read);
}

bool convert_u64_slow(PyObject* obj, std::uint64_t& out) {
    PyObject* index = obj;
    auto read_index = [&] { return (index = PyNumber_Index(obj)) != nullptr; };
    if (!PyLong_Check(obj) && !calling_back(read_index)) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    if (index != obj) Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_u128(PyObject* obj, u128& out) {
    Py_ssize_t small;
    if (compact_value(obj, small) && small >= 0) {
        out = static_cast<u128>(small);
        return true;
    }
    // ALLOW_INDEX: objects that are not ints go through their __index__, as everywhere else.
    u128 value = 0;
    Py_ssize_t needed = -1;
    auto read = [&] {
        needed = PyLong_AsNativeBytes(
            obj, &value, sizeof value,
            Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                Py_ASNATIVEBYTES_REJECT_NEGATIVE | Py_ASNATIVEBYTES_ALLOW_INDEX);
        return needed >= 0;
    };
    if (!(PyLong_Check(obj) ? read() : calling_back(read))) return false;
    if (needed > static_cast<Py_ssize_t>(sizeof value)) [[unlikely]] {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        return false;
    }
    out = value;
    return true;
}

bool convert_bool(PyObject* obj, bool& out) {
    if (obj == Py_True) {
        out = true;
        return true;
    }
    if (obj == Py_False) {
        out = false;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (is_numpy_bool_type(type)) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!truth) {
            std::string text =
                "object of type '" + type_name(obj) + "' does not define a '__bool__' conversion";
            PyErr_SetString(PyExc_TypeError, text.c_str());
            return false;
        }
        int result = -1;
        if (!calling_back([&] { return (result = truth(obj)) >= 0; })) return false;
        out = result != 0;
        return true;
    }
    raise_cast_error(obj, "bool");
    return false;
}

bool convert_f64_slow(PyObject* obj, double& out) {
    auto read = [&] {
        const double value = PyFloat_AsDouble(obj);  // a non-float through __float__ or __index__
        if (value == -1.0 && PyErr_Occurred()) return false;
        out = value;
        return true;
    };
    // An exact int converts without the caller's code; a subclass may have its own __float__.
    return PyFloat_Check(obj) || PyLong_CheckExact(obj) ? read() : calling_back(read);
}

float narrow_to_f32(double value) noexcept { return narrow_to_binary32(value); }

bool convert_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cast_error(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_text_view(PyObject* obj, TextView& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cast_error(obj, "str");
        return false;
    }
    out.data = PyUnicode_DATA(obj);
    out.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
    out.width = static_cast<std::uint8_t>(PyUnicode_KIND(obj));
    out.ascii = PyUnicode_IS_ASCII(obj);
    if (text::has_surrogate(out)) [[unlikely]] {
        // The interpreter's own encoder raises the error a UTF-8 reading of this str raises.
        Py_ssize_t size = 0;
        if (!PyUnicode_AsUTF8AndSize(obj, &size)) return false;
    }
    return true;
}

bool convert_bytes(PyObject* obj, Bytes& out) {
    if (!PyBytes_Check(obj)) {
        raise_cast_error(obj, "bytes");
        return false;
    }
    out.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.size = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
    return true;
}

namespace {

/// A new list of what iterating `obj` yields, or NULL.
PyObject* read_by_iteration(PyObject* obj) {
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    PyObject* iter = PyObject_GetIter(obj);
    if (!iter) {
        Py_DECREF(list);
        return nullptr;
    }
    while (PyObject* item = PyIter_Next(iter)) {
        int rc = PyList_Append(list, item);
        Py_DECREF(item);
        if (rc < 0) {
            Py_DECREF(iter);
            Py_DECREF(list);
            return nullptr;
        }
    }
    Py_DECREF(iter);
    if (PyErr_Occurred()) {
        Py_DECREF(list);
        return nullptr;
    }
    return list;
}

}  // namespace

PyObject* convert_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return nullptr;
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Iterating a list or tuple yields exactly its items in order; copy them directly.
        return PySequence_List(obj);
    }
    if (!PySequence_Check(obj)) {
        raise_cast_error(obj, "Sequence");
        return nullptr;
    }
    PyObject* list = nullptr;
    calling_back([&] { return (list = read_by_iteration(obj)) != nullptr; });
    return list;
}

bool convert_buffer(PyObject* obj, Py_buffer& view, Buffer& out) {
    // A class of the caller's may export through its own __buffer__.
    auto take = [&] { return PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS) == 0; };
    if (!(PyBytes_CheckExact(obj) ? take() : calling_back(take))) return false;
    out.data = static_cast<const std::uint8_t*>(view.buf);
    out.size = static_cast<std::size_t>(view.len);
    return true;
}

PyObject* to_python(u128 v) {
    if (!(v >> 64)) return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
    return PyLong_FromUnsignedNativeBytes(&v, sizeof v, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
}

PyObject* to_python(Bytes v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data), static_cast<Py_ssize_t>(v.size));
}

PyObject* to_python(const ByteBuffer& v) { return to_python(Bytes{v.data(), v.size()}); }

PyObject* to_python(const DecodedText& v) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(v.length), static_cast<Py_UCS4>(v.max_code_point));
    if (!str) return nullptr;
    switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: write_text(v, PyUnicode_1BYTE_DATA(str)); break;
    case PyUnicode_2BYTE_KIND: write_text(v, PyUnicode_2BYTE_DATA(str)); break;
    default: write_text(v, PyUnicode_4BYTE_DATA(str)); break;
    }
    return str;
}

/// A bytes object of the encoded size, filled in place; a code point the encoding lacks raises.
PyObject* to_python(const EncodedText& v) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(v.size));
    if (!bytes) return nullptr;
    if (!write_bytes(v, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)))) [[unlikely]] {
        Py_DECREF(bytes);
        return raise_codec_error(encode_failure(v));
    }
    return bytes;
}

}  // namespace bitloom::py
