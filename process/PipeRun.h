#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <boost/function.hpp>

#include "process/ChildSlots.h"
#include "process/DescriptorSet.h"
#include "process/OwnedDescriptor.h"
#include "process/ProcessSetCatcher.h"

namespace kelmo::process {

class Pipe;
struct Command;

// The state of one Pipe::run: launches the commands, feeds the first one's
// standard input, hands output to the handlers and waits for every child in
// one select loop woken by the process set catcher.
//
// Members are destroyed in reverse order of declaration, which is the
// clean-up order on every path: buffers and readers first, then the child
// handles from the last to the first, then the catcher (uninstalled).
class PipeRun {
public:
    // The pipe must have its commands merged with the pipe-wide settings.
    explicit PipeRun(Pipe& pipe);
    ~PipeRun() noexcept(false) = default;

    PipeRun(const PipeRun&) = delete;
    PipeRun& operator=(const PipeRun&) = delete;

    // Runs the pipe once; returns the last command's wait status. Appends a
    // record to the pipe's statuses per launched command. Call once.
    int execute();

private:
    using Handler = boost::function<void(const std::vector<char>&)>;

    // An output pipe end of a child and the handler of its channel (null or
    // empty: the bytes are discarded).
    struct Reader {
        OwnedDescriptor* end;
        const Handler* handler;
    };

    void launchAll();
    std::unique_ptr<ChildHandle> launch(Command& command, int stdinSpec, int stdoutSpec);
    void prepareInput();
    void addReader(OwnedDescriptor& end, const Handler& handler);
    void exchange();
    bool refillInput();
    void waitReady(bool useWriteSet);
    void collectTerminations();
    void writeInput();
    void drainReaders();
    bool readChunk(Reader& reader, DescriptorSet* readSet);
    static std::size_t writePortion(int fd, const char* bytes, std::size_t count);

    Pipe& pipe_;
    const std::size_t count_;
    const int inputSpec_;
    const int outputSpec_;

    ProcessSetCatcher catcher_;
    ChildSlots handles_;
    std::vector<Reader> readers_;
    std::vector<char> input_;
    std::size_t written_ = 0;
    bool feeding_ = false;
    bool moreInput_ = false;
    std::vector<char> chunk_;
    std::size_t terminated_ = 0;

    DescriptorSet readSet_;
    DescriptorSet writeSet_;
    DescriptorSet savedReadSet_;
    DescriptorSet savedWriteSet_;
};

}  // namespace kelmo::process
