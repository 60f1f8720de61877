#pragma once

namespace kelmo::process {

// The fate of one child: reaped is 0 until a wait status was collected, then
// 1; status is -1 until then, afterwards the status as waitpid reported it.
struct ChildStatus {
    int reaped = 0;
    int status = -1;
};

}  // namespace kelmo::process
