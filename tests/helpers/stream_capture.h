#pragma once

// Test support: run code with standard output and standard error captured,
// either in this process (descriptors 1 and 2 pointed at temporary files for
// a scope) or in a forked child (pipes, exit status collected).

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace testsupport {

inline std::string readWholeFile(int fd) {
    std::string text;
    char chunk[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}

inline void flushAll() {
    std::cout.flush();
    std::cerr.flush();
    fflush(stdout);
    fflush(stderr);
}

// Points descriptors 1 and 2 at anonymous temporary files while alive; the
// texts are read back by finish(). Keep gtest assertions outside the scope.
class StdStreamsCapture {
public:
    StdStreamsCapture() {
        flushAll();
        for (int i = 0; i < 2; ++i) {
            files_[i] = ::open("/tmp", O_TMPFILE | O_RDWR, 0600);
            saved_[i] = ::dup(i + 1);
            if (files_[i] < 0 || saved_[i] < 0 || ::dup2(files_[i], i + 1) < 0) {
                throw std::runtime_error("cannot redirect standard streams");
            }
        }
    }
    ~StdStreamsCapture() { finish(); }
    StdStreamsCapture(const StdStreamsCapture&) = delete;
    StdStreamsCapture& operator=(const StdStreamsCapture&) = delete;

    // Restores the streams; returns {stdout text, stderr text}.
    std::pair<std::string, std::string> finish() {
        if (!done_) {
            const int keepErrno = errno;
            flushAll();
            for (int i = 0; i < 2; ++i) {
                ::dup2(saved_[i], i + 1);
                ::close(saved_[i]);
                texts_[i] = readWholeFile(files_[i]);
                ::close(files_[i]);
            }
            done_ = true;
            errno = keepErrno;
        }
        return {texts_[0], texts_[1]};
    }

private:
    int files_[2] = {-1, -1};
    int saved_[2] = {-1, -1};
    std::string texts_[2];
    bool done_ = false;
};

struct ChildResult {
    int status = -1;  // wait status
    std::string out;
    std::string err;

    bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Forks; the child runs body() with its standard output and error on pipes
// and ends with the returned code, through exit() (exit handlers and static
// destructors run) when runExitHandlers is set, else through _exit() after
// flushing stdio.
template <class Body>
ChildResult runInChild(Body&& body, bool runExitHandlers = false) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
        throw std::runtime_error("pipe");
    }
    flushAll();
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork");
    }
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        const int code = body();
        if (runExitHandlers) {
            ::exit(code);
        }
        flushAll();
        ::_exit(code);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    ChildResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    while (::waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

}  // namespace testsupport
