#include "tool/Run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/SystemError.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixControl.h"
#include "mail/postfix/PostfixError.h"
#include "tool/BatchFile.h"
#include "tool/JsonReport.h"
#include "tool/SystemLog.h"
#include "tool/UndoReport.h"

namespace tarnwick {

namespace {

using kelmo::mail::postfix::ParameterPlan;
using kelmo::mail::postfix::PostfixConfiguration;
using kelmo::mail::postfix::ValueEdit;

// After a successful run: the plans' warnings on standard error alone (a
// script reading the -v lines or the JSON must not take them for changes),
// then the --json report, or with -v one line per parameter and, after a
// reload, "reloaded: Postfix".
void report(const Options& options, const std::string& configDirectory,
            const std::vector<ParameterPlan>& plans, ReservedStdout& reserved, bool reloaded) {
    for (const auto& plan : plans) {
        for (const auto& warning : plan.warnings) {
            std::cerr << "tarnwick: warning: " << warning.text << "\n";
        }
    }
    if (options.json) {
        const std::string json =
            jsonReport(plans, options.dryRun, configDirectory,
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

// The edits of the run. A batch or a report is read whole before anything
// runs, so that a bad line leaves nothing half done.
std::vector<ValueEdit> editsOf(const Options& options, const std::optional<UndoReport>& undone) {
    if (undone) {
        return kelmo::mail::postfix::undoEdits(undone->plans);
    }
    if (options.batch()) {
        return readBatch(options.file);
    }
    return {{options.action, options.key, options.value, options.placement, options.anchor}};
}

PostfixConfiguration::EditOptions editingOf(const Options& options) {
    PostfixConfiguration::EditOptions editing;
    editing.compare = options.compare();
    editing.dryRun = options.dryRun;
    editing.strict = options.strict;
    editing.batch = options.batch() || options.undoes();
    // Only the report tells whether a file set each parameter before.
    editing.reportSet = options.json;
    return editing;
}

// postfix reload where Postfix runs; a failure says that the changes stand.
bool reload(const Options& options, const std::string& configDirectory,
            const std::vector<ParameterPlan>& plans, ReservedStdout& reserved) {
    try {
        return kelmo::mail::postfix::reloadIfRunning();
    } catch (const kelmo::mail::postfix::PostfixReloadError& error) {
        if (!options.json) {
            report(options, configDirectory, plans, reserved, false);
        }
        std::string text = error.what();
        if (text.empty() || text.back() != '\n') {
            text += "\n";
        }
        throw kelmo::mail::postfix::PostfixReloadError(text + "the changes above are written");
    }
}

}  // namespace

void runEdits(const Options& options, ReservedStdout& reserved) {
    if (!options.configDirectory.empty()) {
        useConfigDirectory(options.configDirectory);
    }
    const std::optional<UndoReport> undone =
        options.undoes() ? std::optional(readUndoReport(options.undo)) : std::nullopt;
    const std::vector<ValueEdit> edits = editsOf(options, undone);
    auto& configuration = PostfixConfiguration::instance();
    if (undone) {
        checkUndoDirectory(*undone, options.undo, configuration.configDirectory());
    }
    configuration.setLockWait(options.waitSeconds);
    PostfixConfiguration::EditOptions editing = editingOf(options);
    // Logged once applyEdits has returned or thrown, the lock released: a log
    // daemon that does not read then holds up this run alone. A main.cf write
    // stays on record when the master.cf write after it fails.
    std::vector<ParameterPlan> written;
    editing.written = &written;
    std::vector<ParameterPlan> plans;
    try {
        plans = configuration.applyEdits(edits, editing);
    } catch (...) {
        logWrites(configuration.mainCfPath, configuration.masterCfPath(), written);
        throw;
    }
    logWrites(configuration.mainCfPath, configuration.masterCfPath(), written);
    // Once the lock is released and the writes logged: a reload waits for
    // the log daemon, and a stalled one must hold up no other run.
    const bool reloaded = options.reload && !written.empty() &&
                          reload(options, configuration.configDirectory(), plans, reserved);
    report(options, configuration.configDirectory(), plans, reserved, reloaded);
}

}  // namespace tarnwick
