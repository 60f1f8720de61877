#pragma once

#include <boost/function.hpp>

#include "process/ChildHandle.h"

namespace kelmo::process {

// Forks one child with its standard streams set by descriptor spec (see
// Flags.h) and execs path. Returns in the parent only, with handle.pid set,
// the parent's pipe ends and the control pipe's read end open; the caller
// must then call readChildReport(handle). Throws std::invalid_argument for a
// rejected spec and SystemError for a failed call; descriptors made before
// the failure are closed. A failure in the child before exec is reported
// over the control pipe and the child exits with 67, 66 or 65.
void startChild(ChildHandle& handle, char* const argv[], const char* path,
                const char* workingDir, char* const envp[], bool closeDescriptors,
                bool searchPath, bool newSession, const boost::function<void()>& childSetup,
                int stdinSpec, int stdoutSpec, int stderrSpec);

// waitpid on the handle's pid, retried on EINTR; returns the wait status or
// throws SystemError("unable to wait for child process exit").
int waitForChild(const ChildHandle& handle);

}  // namespace kelmo::process
