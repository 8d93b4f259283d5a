// The decode program from Python: a description in plain Python data (core/program.hpp gives its
// format) read and validated into a shared program object, and the program run over the packets
// of a buffer (numpy columns) or over one packet (Python values). Private functions of bitloom,
// for bitloom_xtce.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "convert.hpp"

namespace bitloom {

/// _program(description): the validated program, a capsule that any thread may run.
PyObject* make_program(py::Object description);

/// _run_program(program, data, offsets, sizes=None, *, threads=1, spans=False): a dict with
/// per packet "container" (int32, -1: none), "reason" (uint8, 0: decoded; names in
/// bitloom._PROGRAM_REASONS) and "step" (int32, -1 when decoded), and "slots": per slot a tuple
/// (values, rows) for numbers and text, (starts, bits, rows) for spans (and for text when
/// `spans`). Rows are uint32 packet indices; starts are bit positions in the data.
PyObject* run_program(py::Object program, py::Buffer data, py::Object offsets, py::Object sizes,
                      std::uint32_t threads, bool spans);

/// _run_packet(program, packet): (container or None, reason, step or None, values) for the
/// whole buffer as one packet; values[k] lists slot k's values as ints, floats, bytes (spans,
/// right-aligned as unpack_parameters cuts binary) and str.
PyObject* run_packet(py::Object program, py::Buffer packet);

/// _span_bytes(data, starts, bits, where=None): the spans' bits in the data (absolute start bits
/// and widths, as _run_program gives them; only those at the indices `where` when given),
/// each right-aligned in whole bytes as unpack_parameters cuts binary, in a numpy object array
/// of bytes. A span beyond the data raises ValueError, an index beyond the spans IndexError.
PyObject* span_bytes(py::Buffer data, py::Object starts, py::Object bits, py::Object where);

/// Adds _PROGRAM_REASONS, the reason names by code, to the module; 0 or -1 with an exception.
int attach_program_constants(PyObject* module);

}  // namespace bitloom
