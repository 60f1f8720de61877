#pragma once

// Forked children with captured standard streams, optionally in their own network namespace.

#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testsupport {

inline std::string readWholeFile(int fd) {  // a new open: from the start, whatever the offset
    std::ifstream in("/proc/self/fd/" + std::to_string(fd));
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void flushAll() { std::fflush(nullptr); }  // std::cout goes through stdio

struct ChildResult {
    int status = -1;  // wait status
    std::string out, err;
    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// The child runs body() and ends with its result, through exit() (exit
// handlers and static destructors run) when runExitHandlers, else _exit().
template <class Body>
ChildResult runInChild(Body&& body, bool runExitHandlers = false) {
    const int files[2] = {::memfd_create("out", 0), ::memfd_create("err", 0)};
    if (files[0] < 0 || files[1] < 0) throw std::runtime_error("memfd_create");
    flushAll();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(files[0], 1);
        ::dup2(files[1], 2);
        for (const int fd : files) ::close(fd);
        const int code = body();
        if (runExitHandlers) std::exit(code);
        flushAll();
        ::_exit(code);
    }
    ChildResult result;
    while (::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    result.out = readWholeFile(files[0]);
    result.err = readWholeFile(files[1]);
    for (const int fd : files) ::close(fd);
    return result;
}

}  // namespace testsupport

// lo up, then the shell set-up (veth pairs, addresses; links stay down, nothing is sent).
inline bool enterNetNamespace(const std::string& setup) {
    return ::unshare(CLONE_NEWNET) == 0 &&
           std::system(("set -e; ip link set lo up; " + setup).c_str()) == 0;
}
