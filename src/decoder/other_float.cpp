#include "decoder.hpp"

namespace bitloom {

Result<double> decode_ieee754_1985_f32(std::uint64_t /*value*/) { return not_available("decode_ieee754_1985_f32"); }
Result<double> decode_ieee754_1985_f64(std::uint64_t /*value*/) { return not_available("decode_ieee754_1985_f64"); }
Result<double> decode_ieee754_1985_f80(std::uint64_t /*value*/) { return not_available("decode_ieee754_1985_f80"); }
Result<double> decode_mil_std_1750a_f32(std::uint64_t /*value*/) { return not_available("decode_mil_std_1750a_f32"); }
Result<double> decode_mil_std_1750a_f48(std::uint64_t /*value*/) { return not_available("decode_mil_std_1750a_f48"); }
Result<double> decode_dec_f32(std::uint64_t /*value*/) { return not_available("decode_dec_f32"); }
Result<double> decode_dec_f64(std::uint64_t /*value*/) { return not_available("decode_dec_f64"); }
Result<double> decode_ibm_f32(std::uint64_t /*value*/) { return not_available("decode_ibm_f32"); }
Result<double> decode_ibm_f64(std::uint64_t /*value*/) { return not_available("decode_ibm_f64"); }
Result<double> decode_ti_f32(std::uint64_t /*value*/) { return not_available("decode_ti_f32"); }
Result<double> decode_ti_f40(std::uint64_t /*value*/) { return not_available("decode_ti_f40"); }

}  // namespace bitloom
