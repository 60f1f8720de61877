#pragma once

#include <stdexcept>
#include <string>

namespace kelmo {

// A failed system call: the caller's description of the operation plus the
// errno it failed with. what() reads "<message>: <strerror(code)>".
class SystemError : public std::runtime_error {
public:
    // A code of 0 means "the current errno": construct right after the
    // failing call, or pass the errno saved before any clean-up calls.
    explicit SystemError(const std::string& message, int code = 0);
    ~SystemError() override;

    // Composed once, on first use; never throws (falls back to the bare
    // message if composing cannot allocate).
    const char* what() const noexcept override;

    int code() const noexcept { return code_; }

private:
    int code_;
    mutable std::string composed_;
};

// The five errno values that have an exception type of their own.
template <int N>
class ExSystemError : public SystemError {
public:
    explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
    ~ExSystemError() override = default;
};

extern template class ExSystemError<1>;   // EPERM
extern template class ExSystemError<2>;   // ENOENT
extern template class ExSystemError<4>;   // EINTR
extern template class ExSystemError<10>;  // ECHILD
extern template class ExSystemError<11>;  // EAGAIN / EWOULDBLOCK

// Throws ExSystemError<code> for 1, 2, 4, 10 and 11, SystemError otherwise
// (code 0 again meaning the current errno). Never returns.
[[noreturn]] void throwSystemError(const std::string& message, int code);

}  // namespace kelmo
