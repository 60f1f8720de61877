#include "common/Traceback.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>

namespace kelmo {

namespace detail {

std::string demangleSymbolLine(const char* line, char*& buffer, std::size_t& size) {
    const char* open = std::strchr(line, '(');
    const char* plus = open != nullptr ? std::strchr(open, '+') : nullptr;
    if (plus == nullptr || plus == open + 1) {
        return line;
    }
    const std::string mangled(open + 1, plus);
    int status = -1;
    // The demangler reallocates the buffer when it needs more room and
    // returns the buffer it wrote into.
    char* demangled = abi::__cxa_demangle(mangled.c_str(), buffer, &size, &status);
    if (demangled == nullptr || status != 0) {
        return line;
    }
    buffer = demangled;
    std::string result(line, open + 1);
    result += demangled;
    result += plus;
    return result;
}

}  // namespace detail

Traceback::Traceback(std::size_t skip) noexcept : skip_(skip) {
    const int captured = ::backtrace(frames_, static_cast<int>(kMaxFrames));
    frameCount_ = captured > 0 ? static_cast<std::size_t>(captured) : 0;
    if (skip_ > frameCount_) {
        skip_ = frameCount_;
    }
}

Traceback::Traceback(const Traceback& other) noexcept {
    copyFrames(other);
}

Traceback& Traceback::operator=(const Traceback& other) noexcept {
    if (this != &other) {
        std::free(symbols_);
        symbols_ = nullptr;
        copyFrames(other);
    }
    return *this;
}

Traceback::~Traceback() {
    std::free(symbols_);
}

void Traceback::copyFrames(const Traceback& other) noexcept {
    frameCount_ = other.frameCount_;
    skip_ = other.skip_;
    std::memcpy(frames_, other.frames_, sizeof frames_);
}

std::ostream& operator<<(std::ostream& out, const Traceback& trace) {
    if (trace.symbols_ == nullptr && trace.frameCount_ > 0) {
        trace.symbols_ = ::backtrace_symbols(trace.frames_, static_cast<int>(trace.frameCount_));
    }
    if (trace.symbols_ != nullptr && trace.skip_ < trace.frameCount_) {
        out << "Traceback:" << std::endl;
        // One demangling buffer for all frames, freed even if the stream throws.
        struct DemangleBuffer {
            char* data = nullptr;
            std::size_t size = 0;
            ~DemangleBuffer() { std::free(data); }
        } buffer;
        for (std::size_t i = trace.skip_; i < trace.frameCount_; ++i) {
            out << '\t' << detail::demangleSymbolLine(trace.symbols_[i], buffer.data, buffer.size)
                << std::endl;
        }
        return out;
    }
    out << "Traceback addresses:" << std::endl;
    for (std::size_t i = trace.skip_; i < trace.frameCount_; ++i) {
        out << '\t' << trace.frames_[i] << std::endl;
    }
    return out;
}

}  // namespace kelmo
