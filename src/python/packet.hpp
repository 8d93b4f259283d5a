// The recipe walks behind pack_parameters and unpack_parameters. These read Python dicts, so
// they live beside the C API; the bit-level placing and cutting they call do not.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "core/codec.hpp"

namespace bitloom {

/// Builds the packet described by `recipe` (a list of items).
Result<ByteBuffer> build_packet(PyObject* recipe);

/// Reads the fields of `recipe` (a list of items) from `packet`, starting `offset_bits` in;
/// the result is a new dict from field name to value.
Result<PyObject*> process_recipe(Bytes packet, std::uint64_t offset_bits, PyObject* recipe);

// The two module functions: they run the walks and re-raise their failures.
PyObject* pack_parameters(PyObject* recipe);
PyObject* unpack_parameters(Bytes packet_bytes, std::uint64_t offset_bits, PyObject* recipe);

}  // namespace bitloom
