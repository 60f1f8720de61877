#include "sysutil/lock.h"

#include <fcntl.h>
#include <md5.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
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
    auto* handle = static_cast<lock_handle*>(std::malloc(sizeof(lock_handle)));
    if (handle == nullptr) {
        return nullptr;
    }
    handle->fd = 0;
    handle->path = hashed != 0 ? lock_path(name) : format_alloc("%s", name);

    handle->fd = kelmo::retryNoInt(
        [&] { return ::open(handle->path, open_flags, kLockFileMode); });
    if (handle->fd < 0) {
        // message() keeps errno, so the caller still sees open's error.
        message(0, "Unable to open file \"%s\": %s.", handle->path, std::strerror(errno));
        return handle;
    }
    if (handle->fd == 0) {
        // Descriptor 0 means "held by somebody else" in a handle, and release
        // would never close it; move the lock file off it.
        const int moved = kelmo::retryNoInt([&] { return ::fcntl(0, F_DUPFD, 1); });
        const int saved = errno;
        kelmo::closeQuietly(0);
        handle->fd = moved;
        if (moved < 0) {
            errno = saved;
            return handle;
        }
    }

    if (kelmo::retryNoInt([&] { return ::flock(handle->fd, lock_operation); }) == 0) {
        return handle;
    }
    kelmo::closeQuietly(handle->fd);
    handle->fd = errno == EAGAIN ? 0 : -1;
    return handle;
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
