#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/function.hpp>

namespace kelmo::process {

// Descriptor specs: what a child's standard stream is. 0 or more names a
// descriptor of the parent, used as it is and never closed by the facility.
constexpr int FD_UNSET = -1;    // take the pipe's setting, else inherit
constexpr int FD_INHERIT = -2;  // keep what the parent has
constexpr int FD_DEVNULL = -3;  // /dev/null
constexpr int FD_PIPE = -4;     // a pipe to the parent or the next command
constexpr int FD_STDOUT = -5;   // stderr only: wherever stdout goes

// A child's standard output or standard error.
struct OutputChannel {
    int fd = FD_UNSET;
    // Called with each chunk read when fd is FD_PIPE; empty discards.
    boost::function<void(const std::vector<char>&)> handler;
};

// The first command's standard input.
struct InputChannel {
    int fd = FD_UNSET;
    // Called with an emptied buffer; appends the next bytes and answers
    // whether more may follow. Empty: the child sees end-of-file at once.
    boost::function<bool(std::vector<char>&)> feeder;
};

// Settings that a command has and a pipe gives to the commands that leave
// them unset. Defaults mean unset.
struct CommonFlags {
    std::string workingDir;
    char* const* environment = nullptr;  // not owned
    bool closeDescriptors = false;
    boost::function<void()> childSetup;  // runs in the child before exec
    OutputChannel stderrChannel;
    boost::function<void(std::size_t)> onExit;  // runs in the parent
};

// Pipe-wide settings: the common ones plus the pipeline's two ends.
struct PipeFlags : CommonFlags {
    InputChannel stdinChannel;
    OutputChannel stdoutChannel;
};

}  // namespace kelmo::process
