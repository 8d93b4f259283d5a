// The two recipe walks' module functions. Every failure inside a walk is raised as ValueError
// "{Type}: {str(inner)}", except a packet too large to allocate (MemoryError) and a packet too
// short for a field (InternalFault), which are raised as they are.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "core/codec.hpp"

namespace bitloom {

/// Builds the packet described by `recipe` (a list of items).
PyObject* pack_parameters(PyObject* recipe);

/// Reads the fields of `recipe` (a list of items) from `packet_bytes`, starting `offset_bits`
/// in; the result is a new dict from field name to value.
PyObject* unpack_parameters(Bytes packet_bytes, std::uint64_t offset_bits, PyObject* recipe);

}  // namespace bitloom
