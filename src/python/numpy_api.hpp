// numpy through its Python interface, shared by the functions that return numpy arrays:
// imported on first use, arrays allocated by numpy.empty, and argument arrays read in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>

#include "core/columns.hpp"
#include "recipe.hpp"

namespace bitloom {

/// What the functions use of numpy: created once, under the interpreter lock, and kept for
/// the life of the process.
struct Numpy {
    PyObject* empty = nullptr;
    PyObject* asarray = nullptr;
    PyObject* ascontiguousarray = nullptr;
    PyObject* string_dtype = nullptr;  // numpy.dtypes.StringDType() (numpy 2); null before
    PyObject* ndarray = nullptr;       // the type numpy.ndarray
    // numpy.dtype of each element but text, by columns::Element
    PyObject* dtypes[static_cast<int>(columns::Element::Text)] = {};
};
/// numpy's functions, importing numpy on the first call; null with ImportError raised (naming
/// `what` as the function that needs numpy).
const Numpy* numpy_api(const char* what);

/// numpy.empty(count, dtype); for text, the variable-width string dtype.
PyObject* new_array(const Numpy& np, std::size_t count, columns::Element element);

/// Buffer exports released together at the end of the call; each stays where it was made.
class Views {
public:
    Views() = default;
    Views(const Views&) = delete;
    Views& operator=(const Views&) = delete;
    ~Views() { release(); }
    void release() {
        for (Py_buffer& view : views_) PyBuffer_Release(&view);
        views_.clear();
    }
    /// Exports `obj` (C-contiguous, writable if asked, `extra` flags such as PyBUF_FORMAT);
    /// null with an exception set on failure.
    Py_buffer* take(PyObject* obj, bool writable, int extra = 0) {
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0) | extra) < 0)
            return nullptr;
        views_.push_back(view);
        return &views_.back();
    }
private:
    std::deque<Py_buffer> views_;
};

/// An argument array of packet offsets (or sizes: `name` is the argument's name in messages)
/// as a contiguous uint64 array, read in place; `holder` keeps it alive.
bool read_offsets(const Numpy& np, PyObject* offsets, recipe::Ref& holder, Views& views,
                  const std::uint64_t*& out, std::size_t& count, const char* name = "offsets");

}  // namespace bitloom
