#include "process/Pipe.h"

#include <stdexcept>

#include <boost/bind/bind.hpp>
#include <boost/ref.hpp>

#include "process/PipeRun.h"

namespace kelmo::process {

namespace {

// A command's own setting wins; the pipe's fills what the command left
// unset. The command is changed in place and stays changed.
void takePipeSettings(const CommonFlags& pipe, CommonFlags& command) {
    if (!pipe.workingDir.empty() && command.workingDir.empty()) {
        command.workingDir = pipe.workingDir;
    }
    if (pipe.environment != nullptr && command.environment == nullptr) {
        command.environment = pipe.environment;
    }
    if (pipe.closeDescriptors && !command.closeDescriptors) {
        command.closeDescriptors = true;
    }
    if (!pipe.childSetup.empty() && command.childSetup.empty()) {
        command.childSetup = pipe.childSetup;
    }
    // The channel goes as a whole: a command with only a handler of its own
    // gets the pipe's handler, even an empty one.
    if (pipe.stderrChannel.fd != FD_UNSET && command.stderrChannel.fd == FD_UNSET) {
        command.stderrChannel = pipe.stderrChannel;
    }
    if (!pipe.onExit.empty() && command.onExit.empty()) {
        command.onExit = pipe.onExit;
    }
}

}  // namespace

Pipe::Pipe(const Command& command) {
    commands.push_back(command);
}

Pipe::~Pipe() = default;

Pipe& Pipe::append(const Command& command) {
    if (!statuses.empty()) {
        throw std::logic_error("adding processes to the launched pipe is prohibited");
    }
    commands.push_back(command);
    return *this;
}

int Pipe::run() {
    if (!statuses.empty()) {
        throw std::logic_error("the pipe has been launched already");
    }
    if (commands.empty()) {
        throw std::logic_error("No processes to launch were assigned so far");
    }
    for (Command& command : commands) {
        takePipeSettings(*this, command);
    }
    PipeRun state(*this);
    return state.execute();
}

void appendOutput(std::string& target, const std::vector<char>& chunk) {
    target.append(chunk.data(), chunk.size());
}

void collectOutput(OutputChannel& channel, std::string& text) {
    channel.fd = FD_PIPE;
    channel.handler = boost::bind(appendOutput, boost::ref(text), boost::placeholders::_1);
}

}  // namespace kelmo::process
