// Packed BCD (one digit per nibble) and unpacked, zoned BCD (one digit per byte), both
// optionally with a trailing sign.
#pragma once

#include <cstdint>
#include <optional>

#include "codec.hpp"

namespace bitloom {

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
/// The checks the BCD encoders make before they build the 64-bit pattern: the width, the sign,
/// and the digits the width has room for. For fields wider than the pattern, whose image a
/// caller refuses afterwards, so that these failures still come first.
std::optional<CodecError> check_bcd(std::int64_t value, std::uint32_t bits, bool is_signed,
                                    bool packed);

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed);

}  // namespace bitloom
