#include "older_float.hpp"

#include <charconv>
#include <cmath>

namespace bitloom::older_float {

std::string python_repr(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Shortest digits, d.ddde+XX: repr's own form for every magnitude from 1e16 on.
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    return std::string(buffer, end);
}

CodecError out_of_range(double value, const char* format) {
    return value_error(python_repr(value) + " is out of range for " + format);
}

}  // namespace bitloom::older_float
