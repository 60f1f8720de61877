#pragma once

#include <sys/types.h>

#include "process/OwnedDescriptor.h"
#include "process/PipePair.h"

namespace kelmo::process {

// The parent's view of one started child: its pid and the parent's ends of
// the pipes made for it. Destruction closes, in this order, the control
// pipe's write and read ends, then the stderr, stdout and stdin ends (members
// are destroyed in reverse order of declaration); it never signals or waits
// for the child.
struct ChildHandle {
    pid_t pid = -1;
    OwnedDescriptor stdinEnd;   // write end of the child's stdin pipe
    OwnedDescriptor stdoutEnd;  // read end of the child's stdout pipe
    OwnedDescriptor stderrEnd;  // read end of the child's stderr pipe
    PipePair control;           // carries a pre-exec failure report
};

}  // namespace kelmo::process
