#pragma once

// Support for tests of real children: descriptor listings, collected output, caught errors.

#include <fcntl.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <map>
#include <tuple>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/Pipe.h"

namespace proctest {

using namespace kelmo::process;

// Descriptor number -> its target, in this process.
inline std::map<int, std::string> openFds() {
    std::map<int, std::string> fds;
    const std::string listing = "/proc/" + std::to_string(::getpid()) + "/fd";  // the iterator's
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(entry.path(), gone);
        if (!gone && target != listing) fds[std::stoi(entry.path().filename())] = target;
    }
    return fds;
}

// True when this process has no child left to reap, zombie or running.
inline bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

inline Command sh(const std::string& script) { return Command("/bin/sh", "-c", script); }

inline auto collectInto(std::string& text) {
    return [&text](const std::vector<char>& chunk) { appendOutput(text, chunk); };
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

}  // namespace proctest
