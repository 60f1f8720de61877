#include "common/SystemError.h"

#include <cerrno>
#include <cstring>

namespace kelmo {

SystemError::SystemError(const std::string& message, int code)
    : std::runtime_error(message), code_(code != 0 ? code : errno) {}

SystemError::~SystemError() = default;

const char* SystemError::what() const noexcept {
    if (!composed_.empty()) {
        return composed_.c_str();
    }
    try {
        std::string text;
        const char* base = std::runtime_error::what();
        if (*base != '\0') {
            text = base;
            text += ": ";
        }
        text += std::strerror(code_);
        composed_ = std::move(text);
        return composed_.c_str();
    } catch (...) {
        return std::runtime_error::what();
    }
}

template class ExSystemError<1>;
template class ExSystemError<2>;
template class ExSystemError<4>;
template class ExSystemError<10>;
template class ExSystemError<11>;

void throwSystemError(const std::string& message, int code) {
    switch (code) {
        case 1: throw ExSystemError<1>(message);
        case 2: throw ExSystemError<2>(message);
        case 4: throw ExSystemError<4>(message);
        case 10: throw ExSystemError<10>(message);
        case 11: throw ExSystemError<11>(message);
        default: throw SystemError(message, code);
    }
}

}  // namespace kelmo
