#pragma once

#include <cstddef>
#include <list>
#include <string>

namespace kelmo::process {

// Turns the bytes of a child's failure report back into an exception. The
// report is a run of NUL-terminated pieces, each a four-byte tag ("ET: ",
// "EM: ", "EC: ") and a text; pieces may arrive split over any number of
// chunks. Pure: no system calls, so it can be driven by any byte source.
//
// Usage: feed() every chunk in order, finish() once at end of input, then
// raise().
class ChildReportParser {
public:
    // Appends one chunk; splits it at its NUL bytes into complete pieces.
    void feed(const char* data, std::size_t size);

    // End of input: keeps an unterminated last piece and interprets every
    // piece in arrival order. Pieces with no known tag are echoed on
    // std::clog as "child output: <piece>". May be called once.
    void finish();

    // Throws the exception the child reported: SystemError (code 0 meaning
    // the current errno), std::runtime_error, a plain std::exception, or
    // std::bad_exception for an unknown kind. Returns when no kind arrived.
    void raise() const;

    const std::list<std::string>& pieces() const noexcept { return pieces_; }
    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    int code() const noexcept { return code_; }

private:
    std::string pending_;
    std::list<std::string> pieces_;
    std::string kind_;
    std::string message_;
    int code_ = 0;
};

}  // namespace kelmo::process
