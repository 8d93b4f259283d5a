#include "../packet.hpp"

namespace bitloom {

Result<ByteBuffer> build_packet(PyObject* /*recipe*/) { return not_available("pack_parameters"); }

}  // namespace bitloom
