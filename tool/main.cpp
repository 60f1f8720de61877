// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it;
// tool/Options.h lists the other options.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/SystemError.h"
#include "common/UtilityErrorStream.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixControl.h"
#include "mail/postfix/PostfixError.h"
#include "tool/BatchFile.h"
#include "tool/FailureReport.h"
#include "tool/JsonReport.h"
#include "tool/Options.h"
#include "tool/ReservedStdout.h"
#include "tool/StandardOutput.h"
#include "tool/SystemLog.h"
#include "tool/UndoReport.h"

namespace {

using kelmo::mail::postfix::ParameterPlan;

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

// After a successful run: the plans' warnings on standard error alone (a
// script reading the -v lines or the JSON must not take them for changes),
// then the --json report, or with -v one line per parameter and, after a
// reload, "reloaded: Postfix".
void report(const tarnwick::Options& options, const std::string& configDirectory,
            const std::vector<ParameterPlan>& plans, tarnwick::ReservedStdout& reserved,
            bool reloaded) {
    for (const auto& plan : plans) {
        for (const std::string& warning : plan.warnings) {
            std::cerr << "tarnwick: warning: " << warning << "\n";
        }
    }
    if (options.json) {
        const std::string json =
            tarnwick::jsonReport(plans, options.dryRun, configDirectory,
                                 options.reload ? std::optional(reloaded) : std::nullopt);
        reserved.release();
        std::cout << json << std::endl;
    } else if (options.verbose) {
        for (const auto& plan : plans) {
            if (plan.changed && !plan.after) {
                std::cout << "changed: " << plan.key << " (unset)\n";
            } else if (plan.changed) {
                std::cout << "changed: " << plan.key << " = " << *plan.after << "\n";
            } else {
                std::cout << "unchanged: " << plan.key << "\n";
            }
        }
        if (reloaded) {
            std::cout << "reloaded: Postfix\n";
        }
        std::cout.flush();
    }
}

// -c DIR as postconf -c has it, for every child: postconf and whatever it
// runs read MAIL_CONFIG, and the configuration object, built after this,
// looks up config_directory through it.
void useConfigDirectory(const std::string& directory) {
    struct stat status;
    if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw kelmo::mail::postfix::PostfixConfigurationError("not a directory: \"" + directory +
                                                              "\"");
    }
    if (::setenv("MAIL_CONFIG", directory.c_str(), 1) != 0) {
        kelmo::throwSystemError("setenv MAIL_CONFIG", errno);
    }
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
    using kelmo::mail::postfix::PostfixConfiguration;
    using kelmo::mail::postfix::ValueEdit;
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
        if (!options.configDirectory.empty()) {
            useConfigDirectory(options.configDirectory);
        }
        // A batch or a report is read whole before anything runs, so that a
        // bad line leaves nothing half done.
        const std::optional<tarnwick::UndoReport> undone =
            options.undoes() ? std::optional(tarnwick::readUndoReport(options.undo)) : std::nullopt;
        const std::vector<ValueEdit> edits =
            undone            ? kelmo::mail::postfix::undoEdits(undone->plans)
            : options.batch() ? tarnwick::readBatch(options.file)
                              : std::vector<ValueEdit>{{options.action, options.key, options.value,
                                                        options.placement, options.anchor}};
        auto& configuration = PostfixConfiguration::instance();
        if (undone) {
            tarnwick::checkUndoDirectory(*undone, options.undo, configuration.configDirectory());
        }
        configuration.setLockWait(options.waitSeconds);
        PostfixConfiguration::EditOptions editing;
        editing.compare = options.compare();
        editing.dryRun = options.dryRun;
        editing.strict = options.strict;
        editing.batch = options.batch() || options.undoes();
        // Only the report tells whether a file set each parameter before.
        editing.reportSet = options.json;
        // Logged once applyEdits has returned or thrown, the lock released:
        // a log daemon that does not read then holds up this run alone. A
        // main.cf write stays on record when the master.cf write after it
        // fails.
        std::vector<ParameterPlan> written;
        editing.written = &written;
        const auto logWritten = [&configuration, &written] {
            tarnwick::logWrites(configuration.mainCfPath, configuration.masterCfPath(), written);
        };
        std::vector<ParameterPlan> plans;
        try {
            plans = configuration.applyEdits(edits, editing);
        } catch (...) {
            logWritten();
            throw;
        }
        logWritten();
        // Once the lock is released and the writes logged: a reload waits
        // for the log daemon, and a stalled one must hold up no other run.
        bool reloaded = false;
        if (options.reload && !written.empty()) {
            try {
                reloaded = kelmo::mail::postfix::reloadIfRunning();
            } catch (const kelmo::mail::postfix::PostfixReloadError& error) {
                if (!options.json) {
                    report(options, configuration.configDirectory(), plans, reserved, false);
                }
                std::string text = error.what();
                if (text.empty() || text.back() != '\n') {
                    text += "\n";
                }
                throw kelmo::mail::postfix::PostfixReloadError(text +
                                                               "the changes above are written");
            }
        }
        report(options, configuration.configDirectory(), plans, reserved, reloaded);
    } catch (const std::exception& error) {
        tarnwick::reportFailure(error);
        return failed(options.json, reserved, &error, 1);
    } catch (...) {
        kelmo::errorStream << "UNSPECIFIED ERROR OCCURED" << std::endl;
        return failed(options.json, reserved, nullptr, 2);
    }
    return tarnwick::finishStandardOutput(0);
}
