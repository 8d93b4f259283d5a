#include "../packet.hpp"

namespace bitloom {

Result<PyObject*> process_recipe(Bytes /*packet*/, std::uint64_t /*offset_bits*/, PyObject* /*recipe*/) {
    return not_available("unpack_parameters");
}

}  // namespace bitloom
