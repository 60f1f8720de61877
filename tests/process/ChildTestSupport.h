#pragma once

// Test support for starting real children: descriptor listings, running one
// child to its end, and a comparable form of a rebuilt exception.

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <exception>
#include <map>
#include <string>
#include <typeinfo>
#include <vector>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/ChildStartup.h"
#include "process/FailureReport.h"
#include "process/Flags.h"

namespace childtest {

using namespace kelmo::process;

// "<target> <r|w|rw>", as the fd_lister helper prints it; "" when closed.
inline std::string describeFd(int fd) {
    char target[PATH_MAX] = {};
    const int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0 || ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target,
                               sizeof target - 1) < 0) {
        return "";
    }
    const int access = mode & O_ACCMODE;
    return std::string(target) + (access == O_RDONLY ? " r" : access == O_WRONLY ? " w" : " rw");
}

inline std::map<int, std::string> openFds() {
    std::map<int, std::string> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != ::dirfd(dir)) {
            fds[fd] = describeFd(fd);
        }
    }
    if (dir) ::closedir(dir);
    return fds;
}

// Parses fd_lister output into number -> "<target> <access>".
inline std::map<int, std::string> parseListing(const std::string& text) {
    std::map<int, std::string> fds;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::size_t blank = text.find(' ', at);
        fds[std::stoi(text.substr(at, blank - at))] = text.substr(blank + 1, end - blank - 1);
    }
    return fds;
}

inline std::string readAll(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno != EINTR) break;
        if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

struct Caught {
    std::string type = "none";
    std::string what;
    int code = 0;
};

inline Caught caught(const std::exception_ptr& error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const kelmo::SystemError& e) {
        return {typeid(e).name(), e.what(), e.code()};
    } catch (const std::exception& e) {
        return {typeid(e).name(), e.what(), 0};
    }
}

struct Launch {
    explicit Launch(std::vector<std::string> arguments) : args(std::move(arguments)) {}
    std::vector<std::string> args;
    std::string path;  // empty: args[0]
    const char* workingDir = nullptr;
    bool useEnv = false;
    std::vector<std::string> env;
    bool closeDescriptors = false, searchPath = false, newSession = false;
    boost::function<void()> setup;
    int in = FD_DEVNULL, out = FD_PIPE, err = FD_PIPE;
    std::string input;
};

struct Outcome {
    pid_t pid = -1;
    Caught error;
    int exitCode = -1;  // -1 unless the child exited normally
    std::string out, err;
};

inline std::vector<char*> cStrings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the child, reads its report, feeds and drains its pipes, reaps it.
inline Outcome run(Launch launch) {
    std::vector<char*> argv = cStrings(launch.args);
    std::vector<char*> envp = cStrings(launch.env);
    const std::string path = launch.path.empty() ? launch.args.at(0) : launch.path;
    ChildHandle handle;
    startChild(handle, argv.data(), path.c_str(), launch.workingDir,
               launch.useEnv ? envp.data() : nullptr, launch.closeDescriptors, launch.searchPath,
               launch.newSession, launch.setup, launch.in, launch.out, launch.err);
    Outcome result;
    result.pid = handle.pid;
    std::exception_ptr error;
    try {
        readChildReport(handle);
    } catch (...) {
        error = std::current_exception();
    }
    result.error = caught(error);
    if (handle.stdinEnd.inUse() >= 0) {
        (void)!::write(handle.stdinEnd.inUse(), launch.input.data(), launch.input.size());
        handle.stdinEnd.close();
    }
    if (handle.stdoutEnd.inUse() >= 0) result.out = readAll(handle.stdoutEnd.inUse());
    if (handle.stderrEnd.inUse() >= 0) result.err = readAll(handle.stderrEnd.inUse());
    const int status = waitForChild(handle);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace childtest
