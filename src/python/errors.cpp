#include "errors.hpp"

#include <atomic>
#include <string>

namespace bitloom::py {

namespace {

PyObject* g_internal_fault = nullptr;

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::KeyError: return PyExc_KeyError;
        case ErrorKind::NotImplementedError: return PyExc_NotImplementedError;
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::OverflowError: return PyExc_OverflowError;
        case ErrorKind::InternalFault: return g_internal_fault;
    }
    return PyExc_SystemError;
}

}  // namespace

PyObject* internal_fault_type() { return g_internal_fault; }

bool ensure_internal_fault() {
    // Runs at import, under the import lock and the GIL: written once for the whole process.
    if (g_internal_fault) return true;
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "bitloom.InternalFault",
        "An internal fault that no operation could report as an ordinary error, such as a "
        "recipe field lying beyond the end of the packet.\n\nDerived from BaseException, so "
        "handlers that catch Exception let it through.",
        PyExc_BaseException, nullptr);
    return g_internal_fault != nullptr;
}

PyObject* raise_codec_error(const CodecError& error) {
    PyObject* message = PyUnicode_FromStringAndSize(error.message.data(),
                                                    static_cast<Py_ssize_t>(error.message.size()));
    if (!message) return nullptr;
    PyErr_SetObject(exception_type(error.kind), message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* wrap_walk_failure() {
    PyObject* inner = PyErr_GetRaisedException();
    if (!inner) {
        PyErr_SetString(PyExc_SystemError, "bitloom: a recipe walk failed without an exception");
        return nullptr;
    }
    PyObject* type_name = PyType_GetQualName(Py_TYPE(inner));
    if (!type_name) {
        Py_DECREF(inner);
        return nullptr;
    }
    PyObject* text = PyObject_Str(inner);
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_FromString("<exception str() failed>");
    }
    Py_DECREF(inner);
    if (!text) {
        Py_DECREF(type_name);
        return nullptr;
    }
    PyObject* message = PyUnicode_FromFormat("%U: %U", type_name, text);
    Py_DECREF(type_name);
    Py_DECREF(text);
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
}

void prefix_argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyObject* text = PyObject_Str(exc);
    if (!text) {
        Py_DECREF(exc);
        return;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (!message) {
        Py_DECREF(exc);
        return;
    }
    PyObject* fresh = PyObject_CallOneArg(PyExc_TypeError, message);
    Py_DECREF(message);
    if (!fresh) {
        Py_DECREF(exc);
        return;
    }
    if (PyObject* cause = PyException_GetCause(exc)) PyException_SetCause(fresh, cause);  // steals
    Py_DECREF(exc);
    PyErr_SetRaisedException(fresh);
}

}  // namespace bitloom::py
