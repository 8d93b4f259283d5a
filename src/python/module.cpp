// The importable module: created once per process, owned by the first interpreter that imports it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.hpp"
#include "function_table.hpp"
#include "item_cache.hpp"
#include "program_runner.hpp"

namespace {

std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods: attached one by one after creation
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
    PyObject* module = PyModule_Create2(&g_definition, PYTHON_API_VERSION);
    if (!module) return nullptr;
    if (!bitloom::py::prepare_function_table() || !bitloom::py::ensure_internal_fault() ||
        bitloom::py::attach_functions(module) < 0 ||
        PyModule_AddObjectRef(module, "InternalFault", bitloom::py::internal_fault_type()) < 0 ||
        bitloom::attach_program_constants(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    bitloom::recipe::item_cache::prepare();
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_bitloom(void) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom does not support subinterpreters: it may be imported only by the "
                        "first interpreter that loaded it");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    PyObject* module = create_module();
    if (!module) return nullptr;
    g_module = module;  // the cache keeps this reference for the life of the process
    return Py_NewRef(module);
}
