#pragma once

#include <cerrno>

namespace kelmo {

// Repeats a system call while it fails with EINTR and returns its last result.
// Never use it for close(): see closeNoInt.
template <class F, class... Args>
auto retryNoInt(F&& call, Args&&... args) -> decltype(call(args...)) {
    decltype(call(args...)) result;
    do {
        result = call(args...);
    } while (result == -1 && errno == EINTR);
    return result;
}

// close() for Linux: the descriptor is released even when close() reports
// EINTR, so EINTR counts as success. Repeating the call would fail with EBADF
// or, worse, close a descriptor that another thread has just been handed.
// Returns 0, or -1 with errno set. Async-signal-safe.
int closeNoInt(int fd) noexcept;

// closeNoInt that leaves errno as it found it and ignores failures.
void closeQuietly(int fd) noexcept;

}  // namespace kelmo
