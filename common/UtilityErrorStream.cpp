#include "common/UtilityErrorStream.h"

// Included for its std::ios_base::Init object: being defined first in this
// translation unit, it sets up std::cout and std::cerr before errorStream is
// constructed and outlives errorStream's destruction at exit.
#include <iostream>

namespace kelmo {

UtilityErrorStreamBuf::~UtilityErrorStreamBuf() {
    flushPending();
}

int UtilityErrorStreamBuf::sync() {
    flushPending();
    return 0;
}

UtilityErrorStreamBuf::int_type UtilityErrorStreamBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return c;
    }
    const char ch = traits_type::to_char_type(c);
    std::cerr.put(ch);
    pending_.push_back(ch);
    return c;
}

void UtilityErrorStreamBuf::flushPending() {
    std::cerr.flush();
    if (!pending_.empty()) {
        std::cout.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
    }
    std::cout.flush();
    pending_.clear();
}

// The base is given the buffer only once the member exists.
UtilityErrorStream::UtilityErrorStream() : std::ostream(nullptr) {
    rdbuf(&buffer_);
}

UtilityErrorStream::~UtilityErrorStream() = default;

UtilityErrorStream errorStream;

}  // namespace kelmo
