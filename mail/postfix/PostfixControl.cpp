#include "mail/postfix/PostfixControl.h"

#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "mail/postfix/PostfixError.h"
#include "process/Command.h"
#include "process/Pipe.h"

namespace kelmo::mail::postfix {

namespace {

// timeout(1) rather than a deadline in the pipe's select loop: it needs no
// change to the loop every postconf run goes through, and it stops the
// command's whole process group (postfix runs postfix-script, which runs
// more), then reaps it; the pipe reaps timeout.
const char kTimeout[] = "/usr/bin/timeout";
const char kPostfix[] = "/usr/sbin/postfix";
// timeout's status when it stopped the command, with TERM, or KILL after 5
// more seconds.
const int kTimedOut = 124;
const int kKilled = 128 + SIGKILL;

// postfix COMMAND under timeout: its wait status, and what it printed on
// either stream.
int runPostfix(const std::string& command, std::string& output) {
    process::Command run(kTimeout, "-k", "5", std::to_string(kPostfixSeconds), kPostfix, command);
    process::Pipe pipe(run);
    pipe.stdinChannel.fd = process::FD_DEVNULL;
    process::collectOutput(pipe.stdoutChannel, output);
    process::collectOutput(pipe.stderrChannel, output);
    const int status = pipe.run();
    if (WIFEXITED(status) &&
        (WEXITSTATUS(status) == kTimedOut || WEXITSTATUS(status) == kKilled)) {
        throw PostfixReloadError("postfix " + command + " did not finish within " +
                                 std::to_string(kPostfixSeconds) + " seconds");
    }
    return status;
}

}  // namespace

bool reloadIfRunning() {
    std::string output;
    const int status = runPostfix("status", output);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return false;
    }
    output.clear();
    const int reload = runPostfix("reload", output);
    if (!WIFEXITED(reload) || WEXITSTATUS(reload) != 0) {
        throw PostfixReloadError(
            !output.empty() ? output
                            : "postfix reload exited with status " +
                                  std::to_string(WIFEXITED(reload) ? WEXITSTATUS(reload)
                                                                   : 128 + WTERMSIG(reload)));
    }
    return true;
}

}  // namespace kelmo::mail::postfix
