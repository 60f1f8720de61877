#pragma once

// Support for tests that start real children: descriptor listings, one child run
// to its end, output collectors and a comparable form of an exception.

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <ostream>
#include <typeinfo>

#include <boost/bind/bind.hpp>
#include <boost/ref.hpp>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/ChildStartup.h"
#include "process/FailureReport.h"
#include "process/Pipe.h"
#include "tests/helpers/stream_capture.h"

namespace proctest {

using namespace kelmo::process;

// Descriptor number -> "<target> <r|w|rw>" (the fd_lister helper prints the same).
inline std::map<int, std::string> openFds() {
    std::map<int, std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name), mode = ::fcntl(fd, F_GETFL) & O_ACCMODE;
        char target[PATH_MAX] = {};
        if (entry->d_name[0] == '.' || fd == ::dirfd(dir) ||
            ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, PATH_MAX - 1) < 0)
            continue;
        fds[fd] = target + std::string(mode == O_RDONLY ? " r" : mode == O_WRONLY ? " w" : " rw");
    }
    if (dir) ::closedir(dir);
    return fds;
}

inline std::map<int, std::string> parseListing(const std::string& text) {
    std::map<int, std::string> fds;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::size_t blank = text.find(' ', at);
        fds[std::stoi(text.substr(at, blank - at))] = text.substr(blank + 1, end - blank - 1);
    }
    return fds;
}

// True when this process has no child left to reap, zombie or running.
inline bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

inline boost::function<void(const std::vector<char>&)> collectInto(std::string& text) {
    return boost::bind(appendOutput, boost::ref(text), boost::placeholders::_1);
}

struct Caught {
    std::string type = "none", what;
    int code = 0;
    bool operator==(const Caught& o) const {
        return type == o.type && what == o.what && code == o.code;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Caught& c) {
    return out << c.type << " \"" << c.what << "\" " << c.code;
}

inline Caught caught(const std::function<void()>& call) {
    try {
        call();
    } catch (const kelmo::SystemError& e) {
        return {typeid(e).name(), e.what(), e.code()};
    } catch (const std::exception& e) {
        return {typeid(e).name(), e.what(), 0};
    }
    return {};
}

struct Launch {
    explicit Launch(std::vector<std::string> arguments) : args(std::move(arguments)) {}
    std::vector<std::string> args;
    std::string path;  // empty: args[0]
    const char* workingDir = nullptr;
    std::vector<std::string> env;  // given only when useEnv
    bool useEnv = false, closeDescriptors = false, searchPath = false, newSession = false;
    boost::function<void()> setup;
    int in = FD_DEVNULL, out = FD_PIPE, err = FD_INHERIT;
};

inline void start(ChildHandle& handle, Launch l) {
    std::vector<char*> argv, envp;
    for (std::string& arg : l.args) argv.push_back(arg.data());
    for (std::string& var : l.env) envp.push_back(var.data());
    argv.push_back(nullptr), envp.push_back(nullptr);
    startChild(handle, argv.data(), (l.path.empty() ? l.args[0] : l.path).c_str(), l.workingDir,
               l.useEnv ? envp.data() : nullptr, l.closeDescriptors, l.searchPath, l.newSession,
               l.setup, l.in, l.out, l.err);
}

struct Outcome {
    Caught error;
    int exitCode;  // -1 unless the child exited normally
    std::string out;
};

// Starts the child, reads its report and its stdout, reaps it.
inline Outcome run(const Launch& l) {
    ChildHandle h;
    start(h, l);
    // (A braced list is evaluated in order: the report first.)
    Outcome result{caught([&] { readChildReport(h); }), -1,
                   testsupport::readWholeFile(h.stdoutEnd.inUse())};
    const int status = waitForChild(h);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace proctest
