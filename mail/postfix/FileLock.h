#pragma once

#include <stdexcept>
#include <string>

struct lock_handle;

namespace kelmo {

// A bounded wait for a FileLock ran out while another process held the lock.
class LockTimeoutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Scoped exclusive flock lock over the named lock routines of sysutil/lock.h.
// The lock is held from the end of construction to the start of destruction;
// the lock file itself stays on disk.
class FileLock {
public:
    // Hashed: lock /var/lock/files/<md5 of name>; Literal: name is the lock
    // file's path. Any other value behaves as Hashed.
    enum LockNaming { Hashed = 0, Literal = 1 };
    // Blocking: wait for the lock; NonBlocking: fail at once when held.
    enum LockWait { Blocking = 0, NonBlocking = 1 };

    // Takes the lock or throws: a SystemError family member "lock() failed"
    // (chosen by errno) when the lock file cannot be opened or locked, or a
    // signal interrupts the wait (ExSystemError<EINTR>), std::runtime_error
    // "lock(<name>) failed: file is already locked" when NonBlocking finds it
    // held, std::logic_error for an invalid LockWait. Blocking waits at most
    // waitSeconds when it is 0 or more, then throws LockTimeoutError;
    // NonBlocking ignores it.
    FileLock(const std::string& name, LockNaming naming, LockWait wait, int waitSeconds = -1);

    // Drops the lock. A failed close is only reported as a message by the
    // release routine: on Linux the descriptor, and so the lock, is gone anyway.
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    lock_handle* handle_;
};

}  // namespace kelmo
