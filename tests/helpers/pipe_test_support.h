#pragma once

// Test support for runs of real pipes: the parent's descriptor listing, the
// zombie check and output collectors.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/ref.hpp>

#include "process/Pipe.h"

namespace pipetest {

// Descriptor number -> what /proc/self/fd says it points at.
inline std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return fds;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        if (fd == ::dirfd(dir)) {
            continue;
        }
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) >= 0) {
            fds[fd] = target;
        }
    }
    ::closedir(dir);
    return fds;
}

// True when this process has no child left to reap, zombie or running.
inline bool noChildLeft() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Waits for every child of this process; returns how many were reaped.
inline int reapAll() {
    int reaped = 0;
    int status = 0;
    for (;;) {
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid > 0) {
            ++reaped;
        } else if (errno != EINTR) {
            return reaped;
        }
    }
}

// An output handler that appends every chunk to text.
inline boost::function<void(const std::vector<char>&)> collectInto(std::string& text) {
    return boost::bind(kelmo::process::appendOutput, boost::ref(text), boost::placeholders::_1);
}

// A feeder that sends text in one portion and then answers false.
inline boost::function<bool(std::vector<char>&)> feedOnce(const std::string& text) {
    return [text](std::vector<char>& buffer) {
        buffer.insert(buffer.end(), text.begin(), text.end());
        return false;
    };
}

}  // namespace pipetest
