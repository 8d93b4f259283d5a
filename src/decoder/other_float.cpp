// The older float families: the decoders take the raw pattern and fail, like their encoders.
#include "decoder.hpp"

namespace bitloom {

Result<double> decode_ieee754_1985_f32(std::uint64_t /*value*/) {
    return not_implemented("IEEE 754-1985 f32 format not yet implemented");
}
Result<double> decode_ieee754_1985_f64(std::uint64_t /*value*/) {
    return not_implemented("IEEE 754-1985 f64 format not yet implemented");
}
Result<double> decode_ieee754_1985_f80(std::uint64_t /*value*/) {
    return not_implemented("IEEE 754-1985 f80 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f32(std::uint64_t /*value*/) {
    return not_implemented("MIL-STD-1750A f32 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f48(std::uint64_t /*value*/) {
    return not_implemented("MIL-STD-1750A f48 format not yet implemented");
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
Result<double> decode_ti_f32(std::uint64_t /*value*/) {
    return not_implemented("TI f32 format not yet implemented");
}
Result<double> decode_ti_f40(std::uint64_t /*value*/) {
    return not_implemented("TI f40 format not yet implemented");
}

}  // namespace bitloom
