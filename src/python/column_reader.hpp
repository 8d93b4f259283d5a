// Whole buffers of packets into numpy columns: unpack_columns and packet_offsets. numpy is
// imported by the first call of either, never by the import of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "convert.hpp"

namespace bitloom {

/// Decodes `recipe` at every packet of `data` into a dict from field name to a numpy array with
/// one element per packet. Packets start at the byte offsets in `offsets`, or every
/// `packet_size` bytes, or (neither given) where the space packet headers say; `offset_bits`
/// is added to each start. Runs on up to `threads` threads without the interpreter lock.
PyObject* unpack_columns(py::Buffer data, PyObject* recipe, py::Object offsets,
                         std::uint64_t offset_bits, py::Object packet_size, std::uint32_t threads);

/// Private, for bitloom_xtce, which reads the same fields of every file again: `recipe` read and
/// resolved once into an object that _unpack_columns reads with (a capsule, shareable between
/// threads). Refuses what unpack_columns refuses, with the same errors.
PyObject* make_column_recipe(PyObject* recipe);

/// unpack_columns with a recipe made by make_column_recipe, at `offsets`, on one thread.
PyObject* unpack_resolved(py::Object recipe, py::Buffer data, py::Object offsets, std::uint64_t offset_bits,
                          std::uint32_t threads);

/// The byte offset of every packet of `data` as a numpy uint64 array: space packets
/// (framing "ccsds") or packets of `framing` bytes. A packet cut short by the end of the data
/// raises ValueError, unless `allow_partial` leaves it out.
PyObject* packet_offsets(py::Buffer data, py::Object framing, bool allow_partial);

}  // namespace bitloom
