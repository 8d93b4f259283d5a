#include "decoder.hpp"

namespace bitloom {

Result<double> decode_ieee754_f16(std::uint64_t /*value*/) { return not_available("decode_ieee754_f16"); }
Result<double> decode_ieee754_f32(std::uint64_t /*value*/) { return not_available("decode_ieee754_f32"); }
Result<double> decode_ieee754_f64(std::uint64_t /*value*/) { return not_available("decode_ieee754_f64"); }
Result<double> decode_ieee754_f128(u128 /*value*/) { return not_available("decode_ieee754_f128"); }

}  // namespace bitloom
