#include "sysutil/lock.h"

#include <fcntl.h>
#include <md5.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/Eintr.h"
#include "sysutil/message.h"

namespace {

// O_NOFOLLOW: the lock directory may be writable by others, and a symbolic
// link planted under the predictable digest name must not make us truncate
// the file it points to.
constexpr int kLockOpenFlags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
constexpr mode_t kLockFileMode = 0644;
// flock needs no more than a read-only descriptor: a hashed lock file that
// others can open is a lock that any local user can hold for ever.
constexpr mode_t kHashedLockFileMode = 0600;
// Longest pause between two attempts of a bounded wait.
constexpr std::chrono::milliseconds kLongestPoll(100);

// A hashed lock lives in a directory that nobody but root or this user may
// change: whoever can write there can unlink a held lock or plant a hard link
// under a lock name. A missing directory is reported as open would report it.
bool lockDirectoryIsSafe(const char* path) {
    struct stat info;
    if (::lstat(LOCK_FILES_DIR, &info) != 0) {
        message(0, "Unable to open file \"%s\": %s.", path, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode) || (info.st_uid != 0 && info.st_uid != ::geteuid()) ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        errno = EPERM;
        message(0,
                "Refusing lock directory \"%s\": it must be a directory owned by root or by "
                "this user and writable by no one else.",
                LOCK_FILES_DIR);
        return false;
    }
    return true;
}

// Lock files made before they were created 0600 are narrowed at their next
// use; someone else's file is left alone. A failure changes nothing about
// the lock itself, so it is not reported.
void narrowOldLockFile(int fd) {
    const int saved = errno;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() &&
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        kelmo::retryNoInt([&] { return ::fchmod(fd, kHashedLockFileMode); });
    }
    errno = saved;
}

// Allocates the handle and opens its lock file: fd > 0, or -1 with the
// message printed and errno set. Null only when the handle cannot be
// allocated.
lock_handle* open_lock_file(const char* name, int open_flags, int16_t hashed) {
    auto* handle = static_cast<lock_handle*>(std::malloc(sizeof(lock_handle)));
    if (handle == nullptr) {
        return nullptr;
    }
    handle->fd = 0;
    handle->path = hashed != 0 ? lock_path(name) : format_alloc("%s", name);

    if (hashed != 0 && !lockDirectoryIsSafe(handle->path)) {
        handle->fd = -1;
        return handle;
    }
    // Not retried on EINTR: a signal must be able to end the wait. Close-on-
    // exec: a child of the holder must not hold the lock too.
    const mode_t mode = hashed != 0 ? kHashedLockFileMode : kLockFileMode;
    handle->fd = ::open(handle->path, open_flags | O_CLOEXEC, mode);
    if (handle->fd < 0) {
        // message() keeps errno, so the caller still sees open's error.
        message(0, "Unable to open file \"%s\": %s.", handle->path, std::strerror(errno));
        return handle;
    }
    if (hashed != 0) {
        narrowOldLockFile(handle->fd);
    }
    if (handle->fd == 0) {
        // Descriptor 0 means "held by somebody else" in a handle, and release
        // would never close it; move the lock file off it.
        const int moved = kelmo::retryNoInt([&] { return ::fcntl(0, F_DUPFD_CLOEXEC, 1); });
        const int saved = errno;
        kelmo::closeQuietly(0);
        handle->fd = moved;
        if (moved < 0) {
            errno = saved;
        }
    }
    return handle;
}

// A lock attempt that did not get the lock: the descriptor closed, fd 0 when
// the lock is held elsewhere (EAGAIN), -1 for any other failure.
lock_handle* giveUp(lock_handle* handle) {
    kelmo::closeQuietly(handle->fd);
    handle->fd = errno == EAGAIN ? 0 : -1;
    return handle;
}

}  // namespace

extern "C" {

void md5_hex(const char* prefix, const char* text, char* out) {
    MD5_CTX context;
    MD5Init(&context);
    for (const char* part : {prefix, text}) {
        if (part != nullptr) {
            MD5Update(&context, reinterpret_cast<const uint8_t*>(part), std::strlen(part));
        }
    }
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
}

char* lock_path(const char* name) {
    char digits[33];
    md5_hex("", name, digits);
    return format_alloc("%s/%s", LOCK_FILES_DIR, digits);
}

lock_handle* lock_open(const char* name, int open_flags, int lock_operation, int16_t hashed) {
    lock_handle* handle = open_lock_file(name, open_flags, hashed);
    if (handle == nullptr || handle->fd < 0) {
        return handle;
    }
    // Not retried on EINTR: a signal must be able to end the wait.
    if (::flock(handle->fd, lock_operation) == 0) {
        return handle;
    }
    return giveUp(handle);
}

lock_handle* lock_wait_for(const char* name, int16_t hashed, long long timeout_ms) {
    lock_handle* handle = open_lock_file(name, kLockOpenFlags, hashed);
    if (handle == nullptr || handle->fd < 0) {
        return handle;
    }
    // Polled with LOCK_NB rather than a blocking flock ended by a timer: a
    // timer needs a process-wide SIGALRM handler that would clobber a
    // caller's own, and a signal that lands just before flock blocks would
    // leave it waiting for good. The sleep is not retried on EINTR either.
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::chrono::milliseconds step(1);
    for (;;) {
        if (::flock(handle->fd, LOCK_EX | LOCK_NB) == 0) {
            return handle;
        }
        if (errno != EAGAIN) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = EAGAIN;  // time is up: reported as held elsewhere
            break;
        }
        const auto nap = std::min<std::chrono::nanoseconds>(left, step);
        const timespec pause{static_cast<time_t>(nap.count() / 1000000000),
                             static_cast<long>(nap.count() % 1000000000)};
        if (::nanosleep(&pause, nullptr) != 0) {
            break;
        }
        step = std::min(step * 2, kLongestPoll);
    }
    return giveUp(handle);
}

lock_handle* lock_wait(const char* name, int16_t hashed) {
    return lock_open(name, kLockOpenFlags, LOCK_EX, hashed);
}

lock_handle* lock_try(const char* name, int16_t hashed) {
    return lock_open(name, kLockOpenFlags, LOCK_EX | LOCK_NB, hashed);
}

int lock_release(lock_handle* handle) {
    if (handle == nullptr) {
        return -1;
    }
    int result = 0;
    // Closing the descriptor is what drops the flock lock.
    if (handle->fd > 0 && kelmo::closeNoInt(handle->fd) != 0) {
        message(0, "An error occured during closing '%s' file: %s\n", handle->path,
                std::strerror(errno));
        result = -1;
    }
    std::free(handle->path);
    std::free(handle);
    return result;
}

int lock_close(lock_handle* handle) {
    return lock_release(handle);
}

int lock_is_held(const lock_handle* handle) {
    return handle != nullptr && handle->fd > 0 ? 1 : 0;
}

int lock_is_busy(const lock_handle* handle) {
    return handle == nullptr || handle->fd == 0 ? 1 : 0;
}

}  // extern "C"
