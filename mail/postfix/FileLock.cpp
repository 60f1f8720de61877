#include "mail/postfix/FileLock.h"

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/SystemError.h"
#include "sysutil/lock.h"

namespace kelmo {

FileLock::FileLock(const std::string& name, LockNaming naming, LockWait wait, int waitSeconds)
    : handle_(nullptr) {
    if (wait != Blocking && wait != NonBlocking) {
        throw std::logic_error("FileLock: invalid wait mode");
    }
    const int16_t hashed = naming == Literal ? 0 : 1;

    // errno right after the routine names the failed open or flock; clear it
    // first so that a stale value cannot be reported instead.
    errno = 0;
    const bool bounded = wait == Blocking && waitSeconds >= 0;
    lock_handle* handle = wait == NonBlocking ? lock_try(name.c_str(), hashed)
                          : bounded ? lock_wait_for(name.c_str(), hashed, waitSeconds * 1000LL)
                                    : lock_wait(name.c_str(), hashed);
    const int code = errno;

    if (handle == nullptr || handle->fd < 0) {
        lock_release(handle);  // closes nothing: the routine already did
        throwSystemError("lock() failed", code);
    }
    if (handle->fd == 0 && wait == NonBlocking) {
        lock_release(handle);
        throw std::runtime_error("lock(" + name + ") failed: file is already locked");
    }
    if (handle->fd == 0 && bounded) {
        lock_release(handle);
        throw LockTimeoutError(
            "the lock on " + name + " is held by another process: gave up after waiting " +
            std::to_string(waitSeconds) + (waitSeconds == 1 ? " second" : " seconds"));
    }
    handle_ = handle;
}

FileLock::~FileLock() {
    // While an exception propagates its errno stays the one reported.
    const int saved = errno;
    lock_release(handle_);
    if (std::uncaught_exceptions() > 0) {
        errno = saved;
    }
}

}  // namespace kelmo
