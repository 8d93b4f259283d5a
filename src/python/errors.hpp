// Turning failures into Python exceptions: the one boundary where errors become exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/codec.hpp"

namespace bitloom::py {

/// The InternalFault class (a direct subclass of BaseException), created once at import.
PyObject* internal_fault_type();
/// Creates the InternalFault class if it does not exist yet; false with an exception set on failure.
bool ensure_internal_fault();

/// Raises a CodecError as the exception of its kind, its message the single argument.
/// Always returns NULL.
[[gnu::cold]] PyObject* raise_codec_error(const CodecError& error);

/// Replaces the exception raised inside a recipe walk by ValueError "{Type}: {str(inner)}",
/// dropping the inner exception. Always returns NULL.
[[gnu::cold]] PyObject* wrap_walk_failure();

/// Prefixes a TypeError raised by the conversion of parameter `name` with "argument '{name}': ",
/// keeping its __cause__; any other exception is left as it is.
[[gnu::cold]] void prefix_argument_error(const char* name);

}  // namespace bitloom::py
