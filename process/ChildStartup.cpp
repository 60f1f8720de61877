#include "process/ChildStartup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <stdexcept>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/FailureReport.h"
#include "process/Flags.h"

namespace kelmo::process {

namespace {

// Prepares the child's side of one standard stream in `local` (and, for a
// pipe, the parent's end in `parentEnd`). `stream` names the stream in
// failure texts; `readSide` is true for standard input. What is opened here
// is close-on-exec, so that a child inherits only what its caller chose: the
// next command of a pipe would otherwise hold this one's input open for good.
// The child's installStream clears the flag on the stream it keeps.
void prepareStream(int spec, const char* stream, bool readSide, OwnedDescriptor& local,
                   OwnedDescriptor& parentEnd) {
    const std::string name(stream);
    if (spec >= 0) {
        local.borrow(spec);
    } else if (spec == FD_INHERIT) {
        // nothing: the child keeps what it inherits
    } else if (spec == FD_DEVNULL) {
        const int fd =
            retryNoInt(::open, "/dev/null", (readSide ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (fd < 0) {
            throw SystemError(name + " /dev/null open");
        }
        local.own(fd);
    } else if (spec == FD_PIPE) {
        int fds[2];
        if (retryNoInt(::pipe2, fds, O_CLOEXEC) != 0) {
            throw SystemError(name + " pipe");
        }
        // Both records are empty here, so taking the ends cannot throw and
        // neither end can leak.
        local.own(readSide ? fds[0] : fds[1]);
        parentEnd.own(readSide ? fds[1] : fds[0]);
    } else {
        throw std::invalid_argument("invalid FD for " + name);
    }
}

// Until disarmed, closes quietly everything the handle got during start-up,
// so a failure before the fork leaves no descriptor behind.
class HandleRollback {
public:
    explicit HandleRollback(ChildHandle& handle) : handle_(&handle) {}
    ~HandleRollback() {
        if (handle_ != nullptr) {
            handle_->control.writeEnd.closeQuietly();
            handle_->control.readEnd.closeQuietly();
            handle_->stderrEnd.closeQuietly();
            handle_->stdoutEnd.closeQuietly();
            handle_->stdinEnd.closeQuietly();
        }
    }
    HandleRollback(const HandleRollback&) = delete;
    HandleRollback& operator=(const HandleRollback&) = delete;
    void disarm() noexcept { handle_ = nullptr; }

private:
    ChildHandle* handle_;
};

// Installs `local` as descriptor `target` in the child unless it is to be
// inherited or already is that descriptor. Only an owned source is closed.
// dup2 leaves the copy without close-on-exec; one opened here that landed on
// its target already (the parent had it closed) has the flag cleared.
void installStream(OwnedDescriptor& local, int target, const char* stream) {
    const int fd = local.inUse();
    if (fd == target && local.owned() == fd && retryNoInt(::fcntl, fd, F_SETFD, 0) < 0) {
        throw SystemError(std::string(stream) + " fcntl");
    }
    if (fd < 0 || fd == target) {
        return;
    }
    if (retryNoInt(::dup2, fd, target) < 0) {
        throw SystemError(std::string(stream) + " dup2");
    }
    local.close();
}

void closeRangeByLoop(unsigned first, unsigned last, int keep) noexcept {
    for (unsigned fd = first; fd <= last; ++fd) {
        if (static_cast<int>(fd) != keep) {
            (void)closeNoInt(static_cast<int>(fd));
        }
        if (fd == last) {
            break;  // last may be UINT_MAX
        }
    }
}

// Closes every descriptor from 3 to the soft RLIMIT_NOFILE - 1 (20 - 1 when
// the limit cannot be read) except `keep`. close_range does it in one call
// per range, so a huge limit costs nothing; kernels without it (ENOSYS) or
// without its flags (EINVAL) get the loop. Failures are ignored, errno kept.
void closeOtherDescriptors(int keep) noexcept {
    const int savedErrno = errno;
    rlim_t limit = 20;
    struct rlimit rl;
    if (retryNoInt(::getrlimit, RLIMIT_NOFILE, &rl) == 0) {
        limit = rl.rlim_cur;
    }
    if (limit > 3) {
        const unsigned last =
            limit - 1 > static_cast<rlim_t>(UINT_MAX) ? UINT_MAX : static_cast<unsigned>(limit - 1);
        bool done = false;
#ifdef SYS_close_range
        long rc;
        if (keep >= 3 && static_cast<unsigned>(keep) <= last) {
            const unsigned k = static_cast<unsigned>(keep);
            rc = k > 3 ? ::syscall(SYS_close_range, 3U, k - 1, 0U) : 0;
            if (rc == 0 && k < last) {
                rc = ::syscall(SYS_close_range, k + 1, last, 0U);
            }
        } else {
            rc = ::syscall(SYS_close_range, 3U, last, 0U);
        }
        done = rc == 0 || (errno != ENOSYS && errno != EINVAL);
#endif
        if (!done) {
            closeRangeByLoop(3, last, keep);
        }
    }
    errno = savedErrno;
}

[[noreturn]] void execProgram(char* const argv[], const char* path, char* const envp[],
                              bool searchPath) {
    if (envp != nullptr) {
        (void)retryNoInt(::execve, path, argv, envp);
        throw SystemError("execve");
    }
    if (searchPath) {
        (void)retryNoInt(::execvp, path, argv);
        throw SystemError("execvp");
    }
    (void)retryNoInt(::execv, path, argv);
    throw SystemError("execv");
}

}  // namespace

void startChild(ChildHandle& handle, char* const argv[], const char* path, const char* workingDir,
                char* const envp[], bool closeDescriptors, bool searchPath, bool newSession,
                const boost::function<void()>& childSetup, int stdinSpec, int stdoutSpec,
                int stderrSpec) {
    handle.pid = -1;
    handle.stdinEnd.close();
    handle.stdoutEnd.close();
    handle.stderrEnd.close();
    handle.control.writeEnd.close();
    handle.control.readEnd.close();

    HandleRollback rollback(handle);
    // The child's sides of its three streams; whatever they own is closed in
    // the parent after the fork, or quietly when start-up fails.
    OwnedDescriptor childStdin;
    OwnedDescriptor childStdout;
    OwnedDescriptor childStderr;

    // FD_STDOUT is not a case of prepareStream: it is rejected for stdin and
    // stdout, and for stderr the child duplicates descriptor 1 itself.
    prepareStream(stdinSpec, "stdin", true, childStdin, handle.stdinEnd);
    prepareStream(stdoutSpec, "stdout", false, childStdout, handle.stdoutEnd);
    if (stderrSpec != FD_STDOUT) {
        prepareStream(stderrSpec, "stderr", false, childStderr, handle.stderrEnd);
    }
    handle.control.create("pipe");

    // The child's steps are built here, before the fork: building them
    // allocates, and a failure in the child before the guard would return
    // into the caller's code as a second parent.
    const int controlFd = handle.control.writeEnd.inUse();
    const boost::function<void()> childSteps = [&] {
        handle.control.readEnd.close();
        handle.stdinEnd.close();
        handle.stdoutEnd.close();
        handle.stderrEnd.close();
        installStream(childStdin, 0, "stdin");
        installStream(childStdout, 1, "stdout");
        if (stderrSpec == FD_STDOUT) {
            if (stdoutSpec != FD_INHERIT && retryNoInt(::dup2, 1, 2) < 0) {
                throw SystemError("stderr dup2");
            }
        } else {
            installStream(childStderr, 2, "stderr");
        }
        if (workingDir != nullptr && retryNoInt(::chdir, workingDir) < 0) {
            throw SystemError("cwd chdir");
        }
        if (closeDescriptors) {
            closeOtherDescriptors(controlFd);
        }
        if (newSession && retryNoInt(::setsid) < 0) {
            throw SystemError("setsid");
        }
        if (!childSetup.empty()) {
            childSetup();
        }
        execProgram(argv, path, envp, searchPath);
    };

    const pid_t pid = retryNoInt(::fork);
    if (pid < 0) {
        handle.pid = -1;
        throw SystemError("fork");
    }
    if (pid == 0) {
        runChildGuarded(controlFd, childSteps);
    }

    rollback.disarm();
    handle.pid = pid;
    handle.control.writeEnd.close();
    childStdin.close();
    childStdout.close();
    childStderr.close();
}

int waitForChild(const ChildHandle& handle) {
    int status = 0;
    if (retryNoInt(::waitpid, handle.pid, &status, 0) > 0) {
        return status;
    }
    throw SystemError("unable to wait for child process exit");
}

}  // namespace kelmo::process
