// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it;
// tool/Options.h lists the other options.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "common/UtilityErrorStream.h"
#include "tool/FailureReport.h"
#include "tool/JsonReport.h"
#include "tool/Options.h"
#include "tool/ReservedStdout.h"
#include "tool/Run.h"
#include "tool/StandardOutput.h"

namespace {

// A closed standard stream would be taken by the next file opened, the lock
// file say, which postconf children would then inherit as their output.
// Returns whether standard output was closed.
bool openClosedStandardStreams() {
    bool outputClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            outputClosed = outputClosed || fd == STDOUT_FILENO;
            if (open("/dev/null", O_RDWR) < 0) {
                std::_Exit(EXIT_FAILURE);
            }
        }
    }
    return outputClosed;
}

// A caller's blocked SIGCHLD survives exec; the postconf runs wait for that
// signal and would wait for ever.
void unblockChildSignal() {
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &childSignal, nullptr);
}

// The end of a failed run; under --json the error object is all that
// standard output gets.
int failed(bool json, tarnwick::ReservedStdout& reserved, const std::exception* error, int status) {
    reserved.release();
    if (json) {
        std::cout << tarnwick::jsonFailure(error) << std::endl;
    }
    return tarnwick::finishStandardOutput(status);
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool outputClosed = openClosedStandardStreams();
    unblockChildSignal();
    const tarnwick::Options options = tarnwick::parseOptions(argc, argv);
    // The report asked for would go to /dev/null: better no run than a
    // change nobody hears of.
    if (outputClosed && (options.verbose || options.json)) {
        std::cerr << "tarnwick: standard output is closed; the report would be lost" << std::endl;
        return 1;
    }
    tarnwick::ReservedStdout reserved(options.json);

    try {
        tarnwick::runEdits(options, reserved);
    } catch (const std::exception& error) {
        tarnwick::reportFailure(error);
        return failed(options.json, reserved, &error, 1);
    } catch (...) {
        kelmo::errorStream << "UNSPECIFIED ERROR OCCURED" << std::endl;
        return failed(options.json, reserved, nullptr, 2);
    }
    return tarnwick::finishStandardOutput(0);
}
