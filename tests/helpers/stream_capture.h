#pragma once

// Forked children with captured standard streams.

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace testsupport {

inline std::string readWholeFile(int fd) {  // a new open: from the start, whatever the offset
    std::ifstream in("/proc/self/fd/" + std::to_string(fd));
    return {std::istreambuf_iterator<char>(in), {}};
}

struct ChildResult {
    int status = -1;  // wait status; -1 when no child could be forked
    std::string out, err;
    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// The child runs body() and ends with its result through exit() (exit handlers and static
// destructors run) when runExitHandlers, else _exit(). Stdio (std::cout too) is flushed first.
template <class Body>
ChildResult runInChild(Body&& body, bool runExitHandlers = false) {
    const int out = ::memfd_create("out", MFD_CLOEXEC), err = ::memfd_create("err", MFD_CLOEXEC);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1), ::dup2(err, 2);
        const int code = body();
        if (runExitHandlers) std::exit(code);
        std::fflush(nullptr), ::_exit(code);
    }
    ChildResult result;
    while (pid > 0 && ::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) continue;
    result.out = readWholeFile(out), result.err = readWholeFile(err);
    ::close(out), ::close(err);
    return result;
}

}  // namespace testsupport
