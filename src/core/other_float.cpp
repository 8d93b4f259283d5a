// The DEC and IBM families have their operations so that the module and the packet builder can
// name them, but no bit layout yet: each one takes its converted value and fails.
#include "other_float.hpp"

namespace bitloom {

Result<std::uint64_t> encode_dec_f32(float /*value*/) {
    return not_implemented("DEC f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_dec_f64(double /*value*/) {
    return not_implemented("DEC f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ibm_f32(float /*value*/) {
    return not_implemented("IBM f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ibm_f64(double /*value*/) {
    return not_implemented("IBM f64 encoding not yet implemented");
}

Result<double> decode_dec_f32(std::uint64_t /*value*/) {
    return not_implemented("DEC f32 format not yet implemented");
}
Result<double> decode_dec_f64(std::uint64_t /*value*/) {
    return not_implemented("DEC f64 format not yet implemented");
}
Result<double> decode_ibm_f32(std::uint64_t /*value*/) {
    return not_implemented("IBM f32 format not yet implemented");
}
Result<double> decode_ibm_f64(std::uint64_t /*value*/) {
    return not_implemented("IBM f64 format not yet implemented");
}

}  // namespace bitloom
