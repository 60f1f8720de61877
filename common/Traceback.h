#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace kelmo {

// The call stack at construction (at most the kMaxFrames innermost frames),
// printed later with demangled names. Meant as an additional base of
// exception classes; polymorphic so that a handler can cross-cast to it.
//
// Symbol names come from the dynamic symbol table: link the program with
// -rdynamic (ENABLE_EXPORTS) for its own functions to be named.
class Traceback {
public:
    static constexpr std::size_t kMaxFrames = 11;

    // Captures the stack; skip innermost frames are left out when printing
    // (lowered to the number captured when larger).
    explicit Traceback(std::size_t skip = 0) noexcept;
    // A copy shares no symbol cache with its source: it starts empty.
    Traceback(const Traceback& other) noexcept;
    Traceback& operator=(const Traceback& other) noexcept;
    virtual ~Traceback();

    std::size_t frameCount() const noexcept { return frameCount_; }
    std::size_t skip() const noexcept { return skip_; }

    // Writes "Traceback:" and a tab-indented line per frame, or, when no
    // symbols can be had or nothing is left after skip, "Traceback
    // addresses:" and the raw addresses. Fills the symbol cache.
    friend std::ostream& operator<<(std::ostream& out, const Traceback& trace);

private:
    void copyFrames(const Traceback& other) noexcept;

    std::size_t frameCount_ = 0;
    std::size_t skip_ = 0;
    void* frames_[kMaxFrames] = {};
    mutable char** symbols_ = nullptr;
};

std::ostream& operator<<(std::ostream& out, const Traceback& trace);

namespace detail {

// One backtrace_symbols line with the name between '(' and '+' demangled;
// the line unchanged when there is no such name or it does not demangle.
// buffer/size are the demangler's reusable malloc'd output buffer.
std::string demangleSymbolLine(const char* line, char*& buffer, std::size_t& size);

}  // namespace detail

}  // namespace kelmo
