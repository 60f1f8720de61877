#pragma once

// Support for tests of real children: descriptor listings, one child run to its end.

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <tuple>

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

// Descriptor number -> its target, for this process or the one with `pid`.
inline std::map<int, std::string> openFds(const std::string& pid = "self") {
    std::map<int, std::string> fds;
    const std::string in = "/proc/" + pid + "/fd/";
    const std::string listing = "/proc/" + std::to_string(::getpid()) + "/fd";  // the iterator's
    for (const auto& entry : std::filesystem::directory_iterator(in)) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(entry.path(), gone);
        if (!gone && target != listing) fds[std::stoi(entry.path().filename())] = target;
    }
    return fds;
}

// True when this process has no child left to reap, zombie or running.
inline bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

inline boost::function<void(const std::vector<char>&)> collectInto(std::string& text) {
    return boost::bind(appendOutput, boost::ref(text), boost::placeholders::_1);
}

using Caught = std::tuple<std::string, std::string, int>;  // type, what(), code; "" none

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

// startChild's arguments; path empty: args[0], env given only when useEnv.
struct Launch {
    std::vector<std::string> args, env;
    std::string path;
    const char* workingDir = nullptr;
    bool useEnv = false, closeDescriptors = false, searchPath = false, newSession = false;
    boost::function<void()> setup;
    int in = FD_DEVNULL, out = FD_INHERIT, err = FD_INHERIT;

    void start(ChildHandle& handle) {
        std::vector<char*> argv, envp;
        for (std::string& arg : args) argv.push_back(arg.data());
        for (std::string& var : env) envp.push_back(var.data());
        argv.push_back(nullptr), envp.push_back(nullptr);
        startChild(handle, argv.data(), (path.empty() ? args[0] : path).c_str(), workingDir,
                   useEnv ? envp.data() : nullptr, closeDescriptors, searchPath, newSession, setup,
                   in, out, err);
    }
};

// Starts /bin/sleep as `l` says and lists its descriptors after the exec.
inline std::map<int, std::string> execedFds(Launch l) {
    l.args = {"/bin/sleep", "60"};
    ChildHandle h;
    l.start(h);
    readChildReport(h);
    // List them once sleep sleeps: its loader and locale set-up open and close 3.
    const std::string pid = std::to_string(h.pid), asleep = std::to_string(SYS_clock_nanosleep);
    std::string call;
    for (int i = 0; i < 5000 && std::ifstream("/proc/" + pid + "/syscall") >> call && call != asleep; ++i)
        ::usleep(1000);
    const auto fds = openFds(pid);
    ::kill(h.pid, SIGKILL);
    waitForChild(h);
    return fds;
}

// Starts the child, reads its report and reaps it: {the report, exit code or -1}.
inline std::pair<Caught, int> run(Launch l) {
    ChildHandle h;
    l.start(h);
    const Caught error = caught([&] { readChildReport(h); });
    const int status = waitForChild(h);
    return {error, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace proctest
