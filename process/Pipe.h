#pragma once

#include <string>
#include <vector>

#include "process/ChildStatus.h"
#include "process/Command.h"
#include "process/Flags.h"

namespace kelmo::process {

// A pipeline of commands, each one's standard output feeding the next one's
// standard input. The pipe is its own set of pipe-wide settings. Run once.
class Pipe : public PipeFlags {
public:
    explicit Pipe(const Command& command);
    virtual ~Pipe();

    // Adds a command at the end. Throws std::logic_error once launched.
    Pipe& append(const Command& command);

    // Starts every command, feeds stdin, hands output to the handlers, waits
    // for every child and returns the last command's wait status. Throws
    // std::logic_error when launched already or empty; SystemError and the
    // children's reported failures otherwise. Not reentrant: one pipe runs
    // at a time in a process.
    int run();

    std::vector<Command> commands;
    std::vector<ChildStatus> statuses;  // one per launched command
};

// Output handler that collects a stream into a string; bind it with
// boost::bind(appendOutput, boost::ref(text), _1).
void appendOutput(std::string& target, const std::vector<char>& chunk);

// Sets channel to a pipe whose every chunk appendOutput adds to text, which
// must outlive the run.
void collectOutput(OutputChannel& channel, std::string& text);

}  // namespace kelmo::process
