#pragma once

#include <stdint.h>

// Named exclusive flock locks. A hashed name locks
// /var/lock/files/<md5 of the name>, provided that directory is a real
// directory owned by root or the effective user and writable by no one else
// (else fd -1, errno EPERM); its file is created 0600, and narrowed to 0600
// when the effective user owns an older one that others could open.
// Otherwise the name is the lock file's path.
// Lock files are opened close-on-exec, whatever open_flags says, so that no
// child holds the lock. These routines never throw; they report through the
// handle, errno and messages. No wait is resumed after a signal: it ends with
// fd -1, EINTR.

#ifdef __cplusplus
extern "C" {
#endif

#define LOCK_FILES_DIR "/var/lock/files"

// fd > 0: lock held on that descriptor; 0: held by somebody else (non-blocking
// attempt, descriptor already closed); -1: open or flock failed.
typedef struct lock_handle {
    int fd;
    char* path;
} lock_handle;

// Blocking and non-blocking exclusive locks. Null only when the handle itself
// cannot be allocated.
lock_handle* lock_wait(const char* name, int16_t hashed);
lock_handle* lock_try(const char* name, int16_t hashed);
// lock_wait that gives up after timeout_ms: fd 0 and errno EAGAIN then, as
// lock_try reports a lock held elsewhere. A signal ends the wait with fd -1
// and errno EINTR, as it ends lock_wait's.
lock_handle* lock_wait_for(const char* name, int16_t hashed, long long timeout_ms);
lock_handle* lock_open(const char* name, int open_flags, int lock_operation, int16_t hashed);

// Drops the lock and frees the handle: 0, or -1 for a null handle or a failed
// close. lock_close is the same routine.
int lock_release(lock_handle* handle);
int lock_close(lock_handle* handle);

int lock_is_held(const lock_handle* handle);
int lock_is_busy(const lock_handle* handle);

// "/var/lock/files/<md5 hex of name>", newly allocated.
char* lock_path(const char* name);

// 32 lowercase hex digits of MD5(prefix + text) and a NUL into out[33];
// null or empty strings contribute nothing.
void md5_hex(const char* prefix, const char* text, char* out);

#ifdef __cplusplus
}
#endif
