#include "packet.hpp"

#include "convert.hpp"
#include "errors.hpp"

namespace bitloom {

PyObject* pack_parameters(PyObject* recipe) {
    Result<ByteBuffer> packet = build_packet(recipe);
    if (!packet) return py::raise_walk_failure(packet.error());
    return py::to_python(*packet);
}

PyObject* unpack_parameters(Bytes packet_bytes, std::uint64_t offset_bits, PyObject* recipe) {
    Result<PyObject*> fields = process_recipe(packet_bytes, offset_bits, recipe);
    if (!fields) return py::raise_walk_failure(fields.error());
    return *fields;
}

}  // namespace bitloom
