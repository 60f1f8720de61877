#include "process/PipeRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/ChildStartup.h"
#include "process/FailureReport.h"
#include "process/Pipe.h"
#include "process/SignalBlocker.h"

namespace kelmo::process {

namespace {

constexpr std::size_t chunkSize = 1024;

int mapUnset(int spec) noexcept {
    return spec == FD_UNSET ? FD_INHERIT : spec;
}

bool hasTerminated(const ChildStatus& record) noexcept {
    return record.reaped == 1 && (WIFEXITED(record.status) || WIFSIGNALED(record.status));
}

}  // namespace

PipeRun::PipeRun(Pipe& pipe)
    : pipe_(pipe),
      count_(pipe.commands.size()),
      inputSpec_(mapUnset(pipe.stdinChannel.fd)),
      outputSpec_(mapUnset(pipe.stdoutChannel.fd)),
      handles_(pipe.commands.size()) {}

int PipeRun::execute() {
    {
        // SIGCHLD stays blocked from before the catcher is installed until
        // every child is registered: the handler never sees the table change
        // and no child can end unnoticed. A signal that arrives meanwhile is
        // delivered when the blocker restores the mask, and finds its pid.
        SignalBlocker blocker;
        blocker.block(SIGCHLD);
        catcher_.install();
        launchAll();
    }
    prepareInput();

    readSet_.clear();
    writeSet_.clear();
    readSet_.add(catcher_.readEnd());
    // Registration order is service order: the pipeline's output, then each
    // command's diagnostics in command order.
    if (pipe_.stdoutChannel.fd == FD_PIPE) {
        addReader(handles_[count_ - 1].stdoutEnd, pipe_.stdoutChannel.handler);
    }
    for (std::size_t i = 0; i < count_; ++i) {
        const OutputChannel& channel = pipe_.commands[i].stderrChannel;
        if (channel.fd == FD_PIPE) {
            addReader(handles_[i].stderrEnd, channel.handler);
        }
    }

    exchange();
    drainReaders();
    return pipe_.statuses.back().status;
}

void PipeRun::launchAll() {
    for (std::size_t i = 0; i < count_; ++i) {
        // Between commands the previous one's stdout read end is handed to
        // the next as an ordinary descriptor.
        const int stdinSpec = i == 0 ? inputSpec_ : handles_[i - 1].stdoutEnd.inUse();
        const int stdoutSpec = i + 1 == count_ ? outputSpec_ : FD_PIPE;
        handles_.store(i, launch(pipe_.commands[i], stdinSpec, stdoutSpec));
        ChildHandle& handle = handles_[i];
        if (i > 0) {
            // The child now holds it as its stdin; a copy left here would
            // keep the previous command from ever seeing a broken pipe.
            handles_[i - 1].stdoutEnd.close();
        }
        readChildReport(handle);
        catcher_.registerChild(handle.pid);
        pipe_.statuses.push_back(ChildStatus());
    }
}

std::unique_ptr<ChildHandle> PipeRun::launch(Command& command, int stdinSpec, int stdoutSpec) {
    if (command.executable.empty() && command.arguments.empty()) {
        throw std::invalid_argument("a command without a program to execute");
    }
    const std::string& path =
        command.executable.empty() ? command.arguments.front() : command.executable;
    std::vector<char*> argv;
    argv.reserve(command.arguments.size() + 1);
    for (std::string& argument : command.arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const bool searchPath = path.empty() || (path[0] != '.' && path[0] != '/');

    auto handle = std::make_unique<ChildHandle>();
    startChild(*handle, argv.data(), path.c_str(),
               command.workingDir.empty() ? nullptr : command.workingDir.c_str(),
               command.environment, command.closeDescriptors, searchPath, false,
               command.childSetup, stdinSpec, stdoutSpec, mapUnset(command.stderrChannel.fd));
    return handle;
}

void PipeRun::prepareInput() {
    if (pipe_.stdinChannel.fd != FD_PIPE) {
        return;
    }
    OwnedDescriptor& input = handles_[0].stdinEnd;
    if (pipe_.stdinChannel.feeder.empty()) {
        // Nothing to send: the child reads end-of-file at once.
        input.close();
        return;
    }
    DescriptorSet::checkFits(input.inUse());
    input.setNonBlocking("fcntl");
    feeding_ = true;
    moreInput_ = true;
    input_.clear();
    written_ = 0;
}

void PipeRun::addReader(OwnedDescriptor& end, const Handler& handler) {
    DescriptorSet::checkFits(end.inUse());
    // Every pipe end the loop touches is non-blocking, so one slow stream
    // never stalls the others.
    end.setNonBlocking("fcntl");
    readSet_.add(end.inUse());
    readers_.push_back(Reader{&end, &handler});
}

void PipeRun::exchange() {
    while (terminated_ != count_) {
        const bool useWriteSet = feeding_ && refillInput();
        savedReadSet_ = readSet_;
        savedWriteSet_ = writeSet_;
        waitReady(useWriteSet);

        if (readSet_.contains(catcher_.readEnd())) {
            collectTerminations();
        }
        // Feeding may have ended above (command 0 gone); inUse() is -1 then.
        if (useWriteSet && feeding_ && writeSet_.contains(handles_[0].stdinEnd.inUse())) {
            writeInput();
        }
        for (Reader& reader : readers_) {
            const int fd = reader.end->inUse();
            if (fd != -1 && readSet_.contains(fd)) {
                readChunk(reader, &savedReadSet_);
            }
        }
        readSet_ = savedReadSet_;
        writeSet_ = savedWriteSet_;
    }
}

bool PipeRun::refillInput() {
    OwnedDescriptor& input = handles_[0].stdinEnd;
    if (moreInput_ && written_ == input_.size()) {
        input_.clear();
        moreInput_ = pipe_.stdinChannel.feeder(input_);
        written_ = 0;
    }
    if (written_ == input_.size()) {
        // A feeder that answers true without bytes is asked again only after
        // the next wake-up: waiting for writability would spin.
        writeSet_.remove(input.inUse());
        if (!moreInput_) {
            input.closeQuietly();
            feeding_ = false;
        }
        return false;
    }
    writeSet_.add(input.inUse());
    return true;
}

void PipeRun::waitReady(bool useWriteSet) {
    for (;;) {
        const int ready = ::select(DescriptorSet::capacity, readSet_.native(),
                                   useWriteSet ? writeSet_.native() : nullptr, nullptr, nullptr);
        if (ready >= 0) {
            return;
        }
        if (errno != EINTR) {
            throw SystemError("select");
        }
        readSet_ = savedReadSet_;
        writeSet_ = savedWriteSet_;
    }
}

void PipeRun::collectTerminations() {
    catcher_.drain();
    for (std::size_t i = 0; i < count_; ++i) {
        ChildStatus& record = pipe_.statuses[i];
        if (hasTerminated(record)) {
            continue;
        }
        const ChildStatus caught = catcher_.childRecord(handles_[i].pid);
        if (caught.reaped == 1) {
            record = caught;
        }
        if (!hasTerminated(record)) {
            continue;
        }
        if (!pipe_.commands[i].onExit.empty()) {
            pipe_.commands[i].onExit(i);
        }
        ++terminated_;
        if (i == 0 && feeding_) {
            // Nobody reads the rest of the input any more.
            OwnedDescriptor& input = handles_[0].stdinEnd;
            savedWriteSet_.remove(input.inUse());
            input.closeQuietly();
            feeding_ = false;
        }
    }
}

void PipeRun::writeInput() {
    OwnedDescriptor& input = handles_[0].stdinEnd;
    const int fd = input.inUse();
    const std::size_t wrote = writePortion(fd, input_.data() + written_, input_.size() - written_);
    if (wrote == 0) {
        savedWriteSet_.remove(fd);
        feeding_ = false;
        input.close();
    }
    written_ += wrote;
}

void PipeRun::drainReaders() {
    // Every child has ended; take what is still buffered in the pipes, but
    // never wait for output that is not there yet (a grandchild may hold a
    // write end for a long time).
    for (Reader& reader : readers_) {
        while (reader.end->inUse() != -1) {
            if (!readChunk(reader, nullptr)) {
                reader.end->closeQuietly();
            }
        }
    }
}

bool PipeRun::readChunk(Reader& reader, DescriptorSet* readSet) {
    const int fd = reader.end->inUse();
    chunk_.resize(chunkSize);
    const ssize_t got = retryNoInt(::read, fd, chunk_.data(), chunkSize);
    if (got < 0) {
        if (errno == EAGAIN) {
            return false;
        }
        throw SystemError("read");
    }
    if (got == 0) {
        if (readSet != nullptr) {
            readSet->remove(fd);
        }
        reader.end->closeQuietly();
        return false;
    }
    chunk_.resize(static_cast<std::size_t>(got));
    if (reader.handler != nullptr && !reader.handler->empty()) {
        (*reader.handler)(chunk_);
    }
    return true;
}

std::size_t PipeRun::writePortion(int fd, const char* bytes, std::size_t count) {
    const int savedErrno = errno;
    for (;;) {
        const ssize_t wrote = ::write(fd, bytes, count);
        if (wrote >= 0) {
            errno = savedErrno;
            return static_cast<std::size_t>(wrote);
        }
        if (errno == EINTR) {
            continue;
        }
        // A non-blocking pipe with less room than a write of up to PIPE_BUF
        // bytes takes none of it: ask for less.
        if (errno == EAGAIN && count > 1) {
            count /= 2;
            continue;
        }
        throw SystemError("write");
    }
}

}  // namespace kelmo::process
