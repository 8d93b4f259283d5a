#include "encoder.hpp"

namespace bitloom {

Result<std::uint64_t> encode_ieee754_1985_f32(float /*value*/) { return not_available("encode_ieee754_1985_f32"); }
Result<std::uint64_t> encode_ieee754_1985_f64(double /*value*/) { return not_available("encode_ieee754_1985_f64"); }
Result<std::uint64_t> encode_ieee754_1985_f80(double /*value*/) { return not_available("encode_ieee754_1985_f80"); }
Result<std::uint64_t> encode_mil_std_1750a_f32(float /*value*/) { return not_available("encode_mil_std_1750a_f32"); }
Result<std::uint64_t> encode_mil_std_1750a_f48(double /*value*/) { return not_available("encode_mil_std_1750a_f48"); }
Result<std::uint64_t> encode_dec_f32(float /*value*/) { return not_available("encode_dec_f32"); }
Result<std::uint64_t> encode_dec_f64(double /*value*/) { return not_available("encode_dec_f64"); }
Result<std::uint64_t> encode_ibm_f32(float /*value*/) { return not_available("encode_ibm_f32"); }
Result<std::uint64_t> encode_ibm_f64(double /*value*/) { return not_available("encode_ibm_f64"); }
Result<std::uint64_t> encode_ti_f32(float /*value*/) { return not_available("encode_ti_f32"); }
Result<std::uint64_t> encode_ti_f40(double /*value*/) { return not_available("encode_ti_f40"); }

}  // namespace bitloom
