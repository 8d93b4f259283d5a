// The older float families have their operations so that the module and the packet builder
// can name them, but no bit layout yet: each one takes its converted value and fails.
#include "other_float.hpp"

namespace bitloom {

Result<std::uint64_t> encode_ieee754_1985_f32(float /*value*/) {
    return not_implemented("IEEE 754-1985 f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f64(double /*value*/) {
    return not_implemented("IEEE 754-1985 f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f80(double /*value*/) {
    return not_implemented("IEEE 754-1985 f80 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f32(float /*value*/) {
    return not_implemented("MIL-STD-1750A f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f48(double /*value*/) {
    return not_implemented("MIL-STD-1750A f48 encoding not yet implemented");
}
Result<std::uint64_t> encode_ti_f32(float /*value*/) {
    return not_implemented("TI f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ti_f40(double /*value*/) {
    return not_implemented("TI f40 encoding not yet implemented");
}

}  // namespace bitloom

// The older float families: the decoders take the raw pattern and fail, like their encoders.

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
Result<double> decode_ti_f32(std::uint64_t /*value*/) {
    return not_implemented("TI f32 format not yet implemented");
}
Result<double> decode_ti_f40(std::uint64_t /*value*/) {
    return not_implemented("TI f40 format not yet implemented");
}

}  // namespace bitloom
