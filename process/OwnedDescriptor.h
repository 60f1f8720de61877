#pragma once

#include <string>

namespace kelmo::process {

// A descriptor that is either owned (closed by this record) or borrowed
// (used, never closed). `owned` is -1 when nothing is owned; `inUse` is the
// descriptor to use, -1 when there is none.
//
// Destruction closes the owned descriptor. When no exception is propagating
// a failed close throws SystemError("close"); during unwinding the close is
// quiet and errno is preserved, so the first failure is the one reported.
class OwnedDescriptor {
public:
    OwnedDescriptor() = default;
    ~OwnedDescriptor() noexcept(false);

    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    // Closes what is owned (may throw), then owns fd.
    void own(int fd);
    // Closes what is owned (may throw), then uses fd without owning it.
    void borrow(int fd);
    // Closes the owned descriptor; both fields become -1 whatever happens.
    // Throws SystemError("close") on failure.
    void close();
    // As close(), but ignores failures and keeps errno.
    void closeQuietly() noexcept;
    // Replaces the file status flags of the descriptor in use by O_NONBLOCK
    // alone. Throws SystemError(failureText) on failure.
    void setNonBlocking(const std::string& failureText);
    // Gives up ownership without closing; returns the descriptor.
    int release() noexcept;

    int owned() const noexcept { return owned_; }
    int inUse() const noexcept { return inUse_; }

private:
    int owned_ = -1;
    int inUse_ = -1;
};

}  // namespace kelmo::process
