#include "codec.hpp"

namespace bitloom {

CodecError value_error(std::string message) {
    return CodecError{ErrorKind::ValueError, std::move(message)};
}

CodecError value_error(const char* message) {
    return CodecError{ErrorKind::ValueError, std::string(message)};
}

CodecError not_implemented(std::string message) {
    return CodecError{ErrorKind::NotImplementedError, std::move(message)};
}

}  // namespace bitloom
