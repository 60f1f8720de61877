#pragma once

// Runs a piece of a test inside a forked child that has its own network
// namespace (and a private mount namespace with a fresh sysfs, so that
// /sys/class/net shows the child's interfaces). The child reports back as
// text through a pipe; the parent makes the assertions, so failures show
// their details in the test output. Nothing here sends traffic.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Eintr.h"

namespace testing_netns {

struct ChildRun {
    int waitStatus = -1;
    std::string report;  // what the body wrote
    std::string error;   // set when the child could not be prepared or run
};

// Exit codes of the child before the body runs.
constexpr int kUnshareFailed = 90;
constexpr int kMountFailed = 91;
constexpr int kSetupFailed = 92;

inline std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = kelmo::retryNoInt(::read, fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// setup runs through /bin/sh inside the new namespace (with lo already up);
// body then writes its report to the FILE it is given. The child ends with
// _exit so that nothing of the test framework runs twice.
inline ChildRun runInNetNamespace(const std::string& setup,
                                  const std::function<void(FILE*)>& body) {
    ChildRun run;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        run.error = std::string("pipe: ") + std::strerror(errno);
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        run.error = std::string("fork: ") + std::strerror(errno);
        kelmo::closeQuietly(ends[0]);
        kelmo::closeQuietly(ends[1]);
        return run;
    }
    if (pid == 0) {
        kelmo::closeNoInt(ends[0]);
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            ::_exit(kUnshareFailed);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
            ::_exit(kMountFailed);
        }
        const std::string script = "set -e; ip link set lo up; " + setup;
        const int status = std::system(script.c_str());
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ::_exit(kSetupFailed);
        }
        FILE* out = ::fdopen(ends[1], "w");
        if (out == nullptr) {
            ::_exit(kSetupFailed);
        }
        body(out);
        std::fflush(nullptr);
        ::_exit(std::fclose(out) == 0 ? 0 : kSetupFailed);
    }
    kelmo::closeNoInt(ends[1]);
    run.report = readAll(ends[0]);
    kelmo::closeNoInt(ends[0]);
    if (kelmo::retryNoInt(::waitpid, pid, &run.waitStatus, 0) != pid) {
        run.error = std::string("waitpid: ") + std::strerror(errno);
    } else if (!WIFEXITED(run.waitStatus) || WEXITSTATUS(run.waitStatus) != 0) {
        std::ostringstream why;
        why << "child wait status " << run.waitStatus;
        if (WIFEXITED(run.waitStatus)) {
            switch (WEXITSTATUS(run.waitStatus)) {
                case kUnshareFailed: why << " (unshare failed)"; break;
                case kMountFailed: why << " (sysfs mount failed)"; break;
                case kSetupFailed: why << " (namespace set-up failed: " << setup << ")"; break;
                default: break;
            }
        }
        run.error = why.str();
    }
    return run;
}

// The report split into tab-separated fields, one vector per line.
inline std::vector<std::vector<std::string>> reportLines(const std::string& report) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::string::size_type start = 0;
        for (;;) {
            const std::string::size_type tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        lines.push_back(fields);
    }
    return lines;
}

}  // namespace testing_netns
