// unpack_columns and packet_offsets: the recipe resolved once, numpy arrays allocated through
// numpy's Python interface, the core's column loop run without the interpreter lock, and text
// columns built afterwards, holding it.
#include "column_reader.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"
#include "recipe.hpp"

namespace bitloom {

namespace {

using namespace recipe;
using columns::Element;

// ---- numpy, imported on first use (numpy_api.hpp shares it) ----

Numpy g_numpy;
bool g_numpy_ready = false;

[[gnu::cold]] void raise_missing_numpy(const char* what) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_ImportError, "%s needs numpy: pip install 'bitloom[numpy]'", what);
    if (cause) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);  // steals `cause`
        PyErr_SetRaisedException(error);
    }
}

}  // namespace

namespace {
const char* dtype_name(Element element) {
    switch (element) {
        case Element::U8: return "uint8";
        case Element::U16: return "uint16";
        case Element::U32: return "uint32";
        case Element::U64: return "uint64";
        case Element::I8: return "int8";
        case Element::I16: return "int16";
        case Element::I32: return "int32";
        case Element::I64: return "int64";
        case Element::F32: return "float32";
        case Element::F64: return "float64";
        case Element::Text: break;
    }
    return nullptr;
}

}  // namespace

const Numpy* numpy_api(const char* what) {
    if (g_numpy_ready) [[likely]]
        return &g_numpy;
    Ref module(PyImport_ImportModule("numpy"));
    if (!module.get()) {
        raise_missing_numpy(what);
        return nullptr;
    }
    Numpy fresh;
    fresh.empty = PyObject_GetAttrString(module.get(), "empty");
    fresh.asarray = fresh.empty ? PyObject_GetAttrString(module.get(), "asarray") : nullptr;
    fresh.ascontiguousarray =
        fresh.asarray ? PyObject_GetAttrString(module.get(), "ascontiguousarray") : nullptr;
    if (!fresh.ascontiguousarray) {
        Py_XDECREF(fresh.empty);
        Py_XDECREF(fresh.asarray);
        raise_missing_numpy(what);
        return nullptr;
    }
    fresh.ndarray = PyObject_GetAttrString(module.get(), "ndarray");
    if (fresh.ndarray && !PyType_Check(fresh.ndarray)) Py_CLEAR(fresh.ndarray);
    if (Ref dtype(PyObject_GetAttrString(module.get(), "dtype")); dtype.get()) {
        for (int k = 0; k < static_cast<int>(Element::Text); ++k) {
            fresh.dtypes[k] = PyObject_CallFunction(dtype.get(), "s", dtype_name(static_cast<Element>(k)));
            if (!fresh.dtypes[k]) break;
        }
    }
    PyErr_Clear();  // without them, arrays are made from dtype names and offsets read through asarray
    if (Ref dtypes(PyImport_ImportModule("numpy.dtypes")); dtypes.get()) {
        if (Ref type(PyObject_GetAttrString(dtypes.get(), "StringDType")); type.get())
            fresh.string_dtype = PyObject_CallNoArgs(type.get());
    }
    PyErr_Clear();  // numpy 1 has no StringDType: only text columns need it
    // Importing may have let another thread finish first; keep whichever set won.
    if (g_numpy_ready) {
        Py_DECREF(fresh.empty);
        Py_DECREF(fresh.asarray);
        Py_DECREF(fresh.ascontiguousarray);
        Py_XDECREF(fresh.string_dtype);
        Py_XDECREF(fresh.ndarray);
        for (PyObject* dtype : fresh.dtypes) Py_XDECREF(dtype);
    } else {
        g_numpy = fresh;
        g_numpy_ready = true;
    }
    return &g_numpy;
}


PyObject* new_array(const Numpy& np, std::size_t count, Element element) {
    const auto n = static_cast<Py_ssize_t>(count);
    if (element != Element::Text) {
        PyObject* dtype = np.dtypes[static_cast<int>(element)];
        if (!dtype) return PyObject_CallFunction(np.empty, "ns", n, dtype_name(element));
        Ref length(PyLong_FromSsize_t(n));
        if (!length.get()) return nullptr;
        PyObject* args[] = {length.get(), dtype};
        return PyObject_Vectorcall(np.empty, args, 2, nullptr);
    }
    if (!np.string_dtype) {
        PyErr_SetString(PyExc_ImportError,
                        "text columns need numpy 2 or later (numpy.dtypes.StringDType): "
                        "pip install 'bitloom[numpy]'");
        return nullptr;
    }
    return PyObject_CallFunction(np.empty, "nO", n, np.string_dtype);
}

// ---- Buffers held for the call ----

// ---- Where the packets lie ----

namespace {

[[gnu::cold]] PyObject* raise_cut(const columns::Cut& cut) {
    const std::string text =
        cut.in_header
            ? "data ends inside the primary header of packet " + std::to_string(cut.packet) +
                  " at byte " + std::to_string(cut.offset) + ": " + std::to_string(cut.left) +
                  " of 6 bytes"
            : "data ends inside packet " + std::to_string(cut.packet) + " at byte " +
                  std::to_string(cut.offset) + ": it needs " + std::to_string(cut.needed) +
                  " bytes, " + std::to_string(cut.left) + " left";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

/// The offsets of every whole packet as a new numpy uint64 array; stride 0: space packets.
/// Space packets are counted in the same walk that notes their offsets, a run of them at a
/// time, then copied into the array.
PyObject* frame(const Numpy& np, py::Buffer data, std::uint64_t stride, bool allow_partial) {
    columns::Framed framed;
    std::vector<std::uint64_t> found;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    if (stride != 0) {
        framed = columns::frame_packets(data.data, data.size, stride, nullptr);
    } else {
        try {
            framed = columns::frame_space_packets(data.data, data.size, found);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    if (framed.cut && !allow_partial) return raise_cut(*framed.cut);
    Ref array(new_array(np, framed.count, Element::U64));
    if (!array.get()) return nullptr;
    Views views;
    Py_buffer* view = views.take(array.get(), true);
    if (!view) return nullptr;
    auto* out = static_cast<std::uint64_t*>(view->buf);
    Py_BEGIN_ALLOW_THREADS
    if (stride != 0)
        columns::frame_packets(data.data, data.size, stride, out);
    else if (!found.empty())
        std::memcpy(out, found.data(), found.size() * sizeof(std::uint64_t));
    Py_END_ALLOW_THREADS
    return array.release();
}

/// Prefixes the TypeError of a conversion with the parameter's name, as the table does.
[[gnu::cold]] bool argument_failed(const char* name) {
    py::prefix_argument_error(name);
    return false;
}

/// The packet size given to `name`: an int of at least 1.
bool read_size(PyObject* obj, const char* name, std::uint64_t& out) {
    if (!py::convert_u64(obj, out)) return argument_failed(name);
    if (out == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1 byte", name);
        return false;
    }
    return true;
}

}  // namespace

namespace {

/// Whether a buffer's items are native uint64 ("Q", or "L" where long has 8 bytes).
bool native_u64(const Py_buffer& view) {
    if (view.ndim != 1 || view.itemsize != 8 || !view.format) return false;
    std::string_view format(view.format);
    if (!format.empty() && (format[0] == '@' || format[0] == '=')) format.remove_prefix(1);
    return format == "Q" || (format == "L" && sizeof(unsigned long) == 8);
}

}  // namespace

bool read_offsets(const Numpy& np, PyObject* offsets, Ref& holder, Views& views,
                  const std::uint64_t*& out, std::size_t& count, const char* name) {
    if (np.ndarray && Py_TYPE(offsets) == reinterpret_cast<PyTypeObject*>(np.ndarray)) {
        // A contiguous uint64 array as bitloom_xtce passes them: read in place at once.
        Py_buffer* view = views.take(offsets, false, PyBUF_FORMAT);
        if (!view) {
            PyErr_Clear();  // not contiguous: numpy makes a copy below
        } else if (native_u64(*view)) {
            holder.reset(Py_NewRef(offsets));
            count = static_cast<std::size_t>(view->len) / sizeof(std::uint64_t);
            out = static_cast<const std::uint64_t*>(view->buf);
            return true;
        }
    }
    Ref array;
    {
        // numpy reads a caller's object through its __array__, __len__ or __getitem__.
        RecursionGuard guard(" while reading the offsets");
        if (!guard.entered()) return false;
        array.reset(PyObject_CallOneArg(np.asarray, offsets));
    }
    if (!array.get()) return false;
    Ref dtype(PyObject_GetAttrString(array.get(), "dtype"));
    Ref kind(dtype.get() ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    Ref ndim(kind.get() ? PyObject_GetAttrString(array.get(), "ndim") : nullptr);
    Ref size(ndim.get() ? PyObject_GetAttrString(array.get(), "size") : nullptr);
    if (!size.get()) return false;
    const bool is_signed = PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "i") == 0;
    const bool is_unsigned = PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0;
    const int empty = PyObject_Not(size.get());  // [] makes a float64 array: no packets all the same
    if (empty < 0) return false;
    if (!is_signed && !is_unsigned && !empty) {
        // The scalar type's name ("float64"): a plain attribute, where str(dtype) runs Python code.
        Ref scalar(PyObject_GetAttrString(dtype.get(), "type"));
        Ref type_name(scalar.get() && PyType_Check(scalar.get())
                          ? PyType_GetName(reinterpret_cast<PyTypeObject*>(scalar.get()))
                          : nullptr);
        if (!type_name.get()) return false;
        PyErr_Format(PyExc_TypeError, "argument '%s': an array of integers is required, not %U",
                     name, type_name.get());
        return false;
    }
    const long dimensions = PyLong_AsLong(ndim.get());
    if (dimensions != 1) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not %ld-dimensional",
                         name, dimensions);
        return false;
    }
    holder.reset(PyObject_CallFunction(np.ascontiguousarray, "Os", array.get(),
                                       is_signed ? "int64" : "uint64"));
    if (!holder.get()) return false;
    Py_buffer* view = views.take(holder.get(), false);
    if (!view) return false;
    count = static_cast<std::size_t>(view->len) / sizeof(std::uint64_t);
    if (is_signed) {
        const auto* values = static_cast<const std::int64_t*>(view->buf);
        const auto* negative = std::find_if(values, values + count, [](std::int64_t v) { return v < 0; });
        if (negative != values + count) {
            PyErr_Format(PyExc_ValueError, "%s[%zd] is negative: %lld", name,
                         static_cast<Py_ssize_t>(negative - values), static_cast<long long>(*negative));
            return false;
        }
    }
    out = static_cast<const std::uint64_t*>(view->buf);  // non-negative: the same bits
    return true;
}

namespace {

// ---- The recipe ----

struct Column {
    Ref name;  // an exact str
    columns::Field field;
    Element element = Element::U8;
    bool kept = true;  // false when a later item of the same name replaces this one
};

/// A recipe read and resolved once (_column_recipe), for callers that read the same fields
/// again and again: immutable, so any thread may use it.
struct Resolved {
    std::deque<Column> columns;
};

constexpr const char* kRecipeCapsule = "bitloom._column_recipe";

/// Reads and resolves every item, as unpack_parameters does; kFailed with the exception set.
int resolve(PyObject* recipe, std::deque<Column>& out) {
    if (!ensure_keys()) return kFailed;
    const Py_ssize_t n = PyList_GET_SIZE(recipe);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(recipe, i);  // held by the list, which is the call's own
        if (check_item(item) < 0) return kFailed;
        ItemKeys keys;
        if (read_keys(item, keys) < 0) return kFailed;
        const std::optional<bool> little = resolve_little_endian(keys.byte_order_text);
        if (!little) [[unlikely]]
            return invalid_byte_order(keys.byte_order_text);
        const std::optional<UnpackEncoding> encoding = resolve_unpack_encoding(keys.encoding_text);
        if (!encoding) [[unlikely]]
            return unsupported_encoding(keys.encoding_text);
        Column& column = out.emplace_back();
        if (PyUnicode_CheckExact(keys.name.get())) {
            column.name.reset(Py_NewRef(keys.name.get()));
        } else {
            column.name.reset(PyUnicode_FromStringAndSize(
                keys.name_text.data(), static_cast<Py_ssize_t>(keys.name_text.size())));
            if (!column.name.get()) return kFailed;
        }
        column.field = columns::Field{.offset = keys.offset, .bits = keys.bits,
                                      .has_offset = keys.has_offset, .little = *little,
                                      .reverse = keys.reverse, .encoding = *encoding};
        column.element = columns::element_of(*encoding, keys.bits);
    }
    return kOk;
}

/// Marks the items whose name a later item takes over: the result keeps the last one's column.
bool mark_replaced(std::deque<Column>& cols) {
    Ref last(PyDict_New());
    if (!last.get()) return false;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        Ref index(PyLong_FromSize_t(k));
        if (!index.get() || PyDict_SetItem(last.get(), cols[k].name.get(), index.get()) < 0)
            return false;
    }
    for (std::size_t k = 0; k < cols.size(); ++k) {
        PyObject* index = PyDict_GetItemWithError(last.get(), cols[k].name.get());  // borrowed
        if (!index) return false;
        cols[k].kept = PyLong_AsSize_t(index) == k;
    }
    return true;
}

[[gnu::cold]] PyObject* raise_failure(const columns::Failure& failure, std::uint64_t offset) {
    // The message unpack_parameters would raise for this packet, after the packet's place.
    py::raise_codec_error(failure.error);
    if (failure.error.kind != ErrorKind::InternalFault) py::wrap_walk_failure();
    PyObject* inner = PyErr_GetRaisedException();
    if (!inner) return nullptr;
    PyObject* text = PyObject_Str(inner);
    Py_DECREF(inner);
    if (!text) return nullptr;
    PyErr_Format(PyExc_ValueError, "packet %zu at byte %llu: %U", failure.packet,
                 static_cast<unsigned long long>(offset), text);
    Py_DECREF(text);
    return nullptr;
}

/// Fills a text column: str objects made in slices of packets, each slice copied into the
/// array by numpy.
bool fill_text(const columns::Plan& plan, std::size_t k, PyObject* array) {
    constexpr std::size_t kSlice = 4096;
    const std::size_t n = plan.packets().count;
    ByteBuffer scratch;
    for (std::size_t a = 0; a < n; a += kSlice) {
        const std::size_t b = std::min(n, a + kSlice);
        Ref list(PyList_New(static_cast<Py_ssize_t>(b - a)));
        if (!list.get()) return false;
        for (std::size_t i = a; i < b; ++i) {
            auto text = plan.text(i, k, scratch);
            if (!text) [[unlikely]] {  // the data or the offsets changed since the run
                raise_failure(columns::Failure{i, std::move(text.error())},
                              plan.packets().byte_offset(i));
                return false;
            }
            PyObject* str = py::to_python(*text);
            if (!str) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - a), str);
        }
        Ref start(PyLong_FromSize_t(a)), stop(PyLong_FromSize_t(b));
        if (!start.get() || !stop.get()) return false;
        Ref slice(PySlice_New(start.get(), stop.get(), nullptr));
        if (!slice.get() || PyObject_SetItem(array, slice.get(), list.get()) < 0) return false;
    }
    return true;
}

/// Resolves `recipe` (a list) into `cols`; false with the exception set on failure.
bool resolve_recipe(PyObject* recipe, std::deque<Column>& cols) {
    {
        RecursionGuard guard(" in unpack_columns");
        if (!guard.entered()) return false;
        if (resolve(recipe, cols) < 0) {
            py::wrap_walk_failure();
            return false;
        }
    }
    return mark_replaced(cols);
}

/// Reads the resolved columns at every packet.
PyObject* read_columns(const Numpy& np, const std::deque<Column>& cols, columns::Packets packets,
                       Views& views, std::uint32_t threads) {
    std::vector<Ref> arrays(cols.size());
    std::vector<columns::Field> fields;
    fields.reserve(cols.size());
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const Column& col = cols[k];
        columns::Field field = col.field;
        // Text columns are made once every packet has been checked (see fill_text).
        if (col.kept && col.element != Element::Text) {
            arrays[k].reset(new_array(np, packets.count, col.element));
            if (!arrays[k].get()) return nullptr;
            Py_buffer* view = views.take(arrays[k].get(), true);
            if (!view) return nullptr;
            field.out = view->buf;
        }
        fields.push_back(field);
    }

    const columns::Plan plan(packets, std::move(fields));
    std::optional<columns::Failure> failure;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        failure = plan.run_parallel(threads);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    if (failure) {
        const std::uint64_t offset = packets.byte_offset(failure->packet);
        views.release();
        arrays.clear();
        return raise_failure(*failure, offset);
    }

    for (std::size_t k = 0; k < cols.size(); ++k) {
        const Column& col = cols[k];
        if (!col.kept || col.element != Element::Text) continue;
        arrays[k].reset(new_array(np, packets.count, Element::Text));
        if (!arrays[k].get() || !fill_text(plan, k, arrays[k].get())) return nullptr;
    }
    // Keys in the order of their first item, each with its last item's column.
    Ref result(PyDict_New());
    if (!result.get()) return nullptr;
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const Column& col = cols[k];
        if (!col.kept) {
            if (PyDict_SetDefault(result.get(), col.name.get(), Py_None) == nullptr) return nullptr;
        } else if (PyDict_SetItem(result.get(), col.name.get(), arrays[k].get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject* decode_columns(const Numpy& np, py::Buffer data, PyObject* recipe, py::Object offsets,
                         std::uint64_t offset_bits, py::Object packet_size, std::uint32_t threads) {
    if (threads == 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    const bool have_offsets = offsets.obj && offsets.obj != Py_None;
    const bool have_size = packet_size.obj && packet_size.obj != Py_None;
    if (have_offsets && have_size) {
        PyErr_SetString(PyExc_ValueError, "give offsets or packet_size, not both");
        return nullptr;
    }
    columns::Packets packets{.data = data.data, .size = data.size, .offset_bits = offset_bits};
    Views views;
    Ref offsets_array;
    if (have_size) {
        if (!read_size(packet_size.obj, "packet_size", packets.stride)) return nullptr;
        packets.count = static_cast<std::size_t>(data.size / packets.stride);
        if (data.size % packets.stride)
            return raise_cut(columns::frame_packets(data.data, data.size, packets.stride, nullptr).cut.value());
    } else if (have_offsets) {
        if (!read_offsets(np, offsets.obj, offsets_array, views, packets.offsets, packets.count))
            return nullptr;
    } else {
        // Neither: the space packets' own headers say where each one starts.
        offsets_array.reset(frame(np, data, 0, false));
        if (!offsets_array.get()) return nullptr;
        Py_buffer* view = views.take(offsets_array.get(), false);
        if (!view) return nullptr;
        packets.offsets = static_cast<const std::uint64_t*>(view->buf);
        packets.count = static_cast<std::size_t>(view->len) / sizeof(std::uint64_t);
    }

    std::deque<Column> cols;
    if (!resolve_recipe(recipe, cols)) return nullptr;
    return read_columns(np, cols, packets, views, threads);
}

}  // namespace

PyObject* unpack_columns(py::Buffer data, PyObject* recipe, py::Object offsets,
                         std::uint64_t offset_bits, py::Object packet_size, std::uint32_t threads) {
    const Numpy* np = numpy_api("unpack_columns");
    if (!np) return nullptr;
    return decode_columns(*np, data, recipe, offsets, offset_bits, packet_size, threads);
}

namespace {

void destroy_recipe(PyObject* capsule) {
    delete static_cast<Resolved*>(PyCapsule_GetPointer(capsule, kRecipeCapsule));
}

}  // namespace

PyObject* make_column_recipe(PyObject* recipe) {
    auto resolved = std::make_unique<Resolved>();
    if (!resolve_recipe(recipe, resolved->columns)) return nullptr;
    PyObject* capsule = PyCapsule_New(resolved.get(), kRecipeCapsule, destroy_recipe);
    if (capsule) resolved.release();
    return capsule;
}

PyObject* unpack_resolved(py::Object recipe, py::Buffer data, py::Object offsets, std::uint64_t offset_bits,
                          std::uint32_t threads) {
    if (threads == 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
        return nullptr;
    }
    if (!PyCapsule_IsValid(recipe.obj, kRecipeCapsule)) {
        PyErr_Format(PyExc_TypeError, "argument 'recipe': a recipe made by _column_recipe is required, not %s",
                     Py_TYPE(recipe.obj)->tp_name);
        return nullptr;
    }
    const auto* resolved = static_cast<const Resolved*>(PyCapsule_GetPointer(recipe.obj, kRecipeCapsule));
    const Numpy* np = numpy_api("unpack_columns");
    if (!np) return nullptr;
    columns::Packets packets{.data = data.data, .size = data.size, .offset_bits = offset_bits};
    Views views;
    Ref offsets_array;
    if (!read_offsets(*np, offsets.obj, offsets_array, views, packets.offsets, packets.count)) return nullptr;
    return read_columns(*np, resolved->columns, packets, views, threads);
}

PyObject* packet_offsets(py::Buffer data, py::Object framing, bool allow_partial) {
    const Numpy* np = numpy_api("packet_offsets");
    if (!np) return nullptr;
    std::uint64_t stride = 0;
    PyObject* given = framing.obj;
    if (given && PyUnicode_Check(given)) {
        std::string_view text;
        if (!py::convert_text(given, text)) return nullptr;
        std::string lowered(text);
        for (char& c : lowered) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lowered != "ccsds") {
            PyErr_Format(PyExc_ValueError,
                         "Unknown framing %R: 'ccsds' or a packet size in bytes", given);
            return nullptr;
        }
    } else if (given) {
        if (!PyIndex_Check(given) || PyBool_Check(given)) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'framing': 'ccsds' or a packet size in bytes is required, not '%s'",
                         Py_TYPE(given)->tp_name);
            return nullptr;
        }
        if (!read_size(given, "framing", stride)) return nullptr;
    }
    return frame(*np, data, stride, allow_partial);
}

}  // namespace bitloom
