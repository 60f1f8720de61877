#pragma once

#include <string>

#include "process/OwnedDescriptor.h"

namespace kelmo::process {

// Both ends of one pipe2() call, close-on-exec, each an owned descriptor.
//
// Destruction closes the write end first; if that fails (and no exception is
// propagating) the read end is closed quietly and SystemError("pipe read-end
// close") carries the write end's errno. During unwinding both close quietly.
class PipePair {
public:
    PipePair() = default;
    ~PipePair() noexcept(false);

    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;

    // pipe2(); throws SystemError(failureText) on failure. Any ends held
    // before are closed first.
    void create(const std::string& failureText);

    OwnedDescriptor readEnd;
    OwnedDescriptor writeEnd;
};

}  // namespace kelmo::process
