#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <map>

#include "process/ChildStatus.h"
#include "process/PipePair.h"

namespace kelmo::process {

// Collects the wait statuses of a set of children through a SIGCHLD handler
// and wakes a select loop through a non-blocking self-pipe: one byte 't' per
// registered child that exited or was killed. At most one catcher is
// installed in a process at a time.
//
// While installed, the handler reaps EVERY child of the process
// (waitpid(-1, WNOHANG)), not only the registered ones: the statuses of
// children started by other code are lost to any other waiter. Keep other
// waiters away from a process while a catcher is installed.
class ProcessSetCatcher {
public:
    ProcessSetCatcher() = default;
    // uninstall(force) with force exactly when an exception is in flight;
    // then whatever uninstall throws is swallowed and errno kept.
    ~ProcessSetCatcher() noexcept(false);

    ProcessSetCatcher(const ProcessSetCatcher&) = delete;
    ProcessSetCatcher& operator=(const ProcessSetCatcher&) = delete;

    // Installs the handler (SA_NOCLDSTOP | SA_SIGINFO, the current mask as
    // its mask), creates the control pipe and becomes instance(). Throws
    // std::logic_error when a catcher is installed already; SystemError
    // "sigaction", "process set catcher control pipe", "control pipe fcntl"
    // or "close". A failure after the handler was set puts the previous
    // disposition back.
    void install();

    // Enters pid with a fresh record, replacing any earlier one. Call only
    // while SIGCHLD is blocked: the handler must never see the table change.
    void registerChild(pid_t pid);

    // A copy of pid's record; its status is valid whenever reaped is 1.
    // Throws std::out_of_range("no such pid") for a pid never registered.
    ChildStatus childRecord(pid_t pid) const;

    // Reads the control pipe empty; returns the number of bytes read. errno
    // is left as it was.
    std::size_t drain();

    // Read end of the control pipe, for the owner's select; -1 when not
    // installed.
    int readEnd() const noexcept { return control_.readEnd.inUse(); }

    // Registered children seen to exit or be killed, and statuses collected
    // for registered children.
    std::size_t finished() const noexcept { return finished_; }
    std::size_t statusReports() const noexcept { return statusReports_; }

    // Only when this catcher is the installed one: closes the control pipe,
    // frees the table, restores the previous SIGCHLD disposition and clears
    // instance(). Throws std::logic_error("there're some child processes
    // still running") when force is false and registered children have not
    // all finished, SystemError("restore sigaction") when the restore fails;
    // in both cases the table is freed and instance() cleared first, and the
    // disposition is restored whenever sigaction allows it.
    void uninstall(bool force);

    // The installed catcher, or null.
    static ProcessSetCatcher* instance() noexcept { return instance_.load(); }

private:
    static void onChildSignal(int signal, siginfo_t* info, void* context);

    std::map<pid_t, ChildStatus> children_;
    std::size_t finished_ = 0;
    std::size_t statusReports_ = 0;
    struct sigaction savedAction_ {};
    PipePair control_;

    // Lock-free, so reading it in the handler is async-signal-safe.
    static std::atomic<ProcessSetCatcher*> instance_;
};

}  // namespace kelmo::process
