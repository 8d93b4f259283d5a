// The table of the module's functions and the one binding engine that serves all of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bitloom::py {

/// Interns the parameter names used for keyword matching; false with an exception set on failure.
bool prepare_function_table();

/// Creates every function object, in table order, and attaches it to `module`, appending its
/// name to `__all__`. Returns 0, or -1 with an exception set.
int attach_functions(PyObject* module);

}  // namespace bitloom::py
