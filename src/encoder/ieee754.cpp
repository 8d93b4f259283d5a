#include "encoder.hpp"

namespace bitloom {

Result<std::uint64_t> encode_ieee754_f16(float /*value*/) { return not_available("encode_ieee754_f16"); }
Result<std::uint64_t> encode_ieee754_f32(float /*value*/) { return not_available("encode_ieee754_f32"); }
Result<std::uint64_t> encode_ieee754_f64(double /*value*/) { return not_available("encode_ieee754_f64"); }
Result<u128> encode_ieee754_f128(double /*value*/) { return not_available("encode_ieee754_f128"); }

}  // namespace bitloom
