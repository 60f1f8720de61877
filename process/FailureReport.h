#pragma once

#include <boost/function.hpp>

#include "process/ChildHandle.h"

namespace kelmo::process {

// Child side. Writes "ET: " kind NUL "EM: " message NUL to controlFd, one
// write per tag and one per text; write failures are ignored (the parent
// then sees a partial report or none). Nothing is written when controlFd is
// negative. Never throws.
void writeChildReport(int controlFd, const char* kind, const char* message) noexcept;

// Child side. writeChildReport, then "EC: <code>" NUL, then _exit(67).
[[noreturn]] void writeChildReportAndExit(int controlFd, const char* kind, const char* message,
                                          int code) noexcept;

// Child side: runs steps (which should end in an exec) and turns whatever
// they throw into a report on controlFd and an exit status: SystemError 67,
// other std::runtime_error or std::exception 66, anything else 65. Steps that
// return count as a failure too. Leaves through _exit(): the parent's exit
// handlers do not run and its stdio buffers are not flushed in the child.
// steps is built by the caller before the fork, so that nothing allocates
// in the child outside the guard. Never returns.
[[noreturn]] void runChildGuarded(int controlFd, const boost::function<void()>& steps) noexcept;

// Parent side: reads the control pipe of a just started child to end of
// file, closes its read end and throws the exception the child reported, if
// any. Throws SystemError("control pipe read") when read fails (the read end
// then stays open and is closed with the handle).
void readChildReport(ChildHandle& handle);

}  // namespace kelmo::process
