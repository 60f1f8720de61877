// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it;
// tool/Options.h lists the other options.

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <vector>

#include "common/UtilityErrorStream.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "tool/BatchFile.h"
#include "tool/FailureReport.h"
#include "tool/JsonReport.h"
#include "tool/Options.h"
#include "tool/ReservedStdout.h"
#include "tool/SystemLog.h"

namespace {

// A closed standard stream would be taken by the next file opened, the lock
// file say, which postconf children would then inherit as their output.
void openClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) {
            std::_Exit(EXIT_FAILURE);
        }
    }
}

// -v's lines: "changed: KEY = VALUE" or "unchanged: KEY", one per parameter.
void printVerbose(const std::vector<kelmo::mail::postfix::ParameterPlan>& plans) {
    for (const auto& plan : plans) {
        if (plan.write) {
            std::cout << "changed: " << plan.key << " = " << plan.text << "\n";
        } else {
            std::cout << "unchanged: " << plan.key << "\n";
        }
    }
    std::cout.flush();
}

}  // namespace

int main(int argc, char* argv[]) {
    using kelmo::mail::postfix::ParameterPlan;
    using kelmo::mail::postfix::PostfixConfiguration;
    using kelmo::mail::postfix::ValueEdit;
    namespace fs = std::filesystem;
    openClosedStandardStreams();
    const tarnwick::Options options = tarnwick::parseOptions(argc, argv);
    // Under --json standard output carries the report alone.
    tarnwick::ReservedStdout reserved(options.json);

    try {
        // A batch is read whole before anything runs, so that a bad line
        // leaves nothing half done.
        const std::vector<ValueEdit> edits =
            options.batch() ? tarnwick::readBatch(options.file)
                            : std::vector<ValueEdit>{{options.action, options.key, options.value}};
        auto& configuration = PostfixConfiguration::instance();
        configuration.setLockWait(options.waitSeconds);
        const std::vector<ParameterPlan> plans =
            configuration.applyEdits(edits, {options.compare(), options.dryRun});
        if (!options.dryRun) {
            tarnwick::logWrites(configuration.mainCfPath, plans);
        }
        if (options.json) {
            // The lock's name: the canonical configuration directory and "/main.cf".
            const std::string directory = fs::path(configuration.mainCfPath).parent_path();
            const std::string report = tarnwick::jsonReport(plans, options.dryRun, directory);
            reserved.release();
            std::cout << report << std::endl;
        } else if (options.verbose) {
            printVerbose(plans);
        }
    } catch (const std::exception& error) {
        tarnwick::reportFailure(error);
        if (options.json) {
            reserved.release();
            std::cout << tarnwick::jsonFailure(&error) << std::endl;
        }
        return 1;
    } catch (...) {
        kelmo::errorStream << "UNSPECIFIED ERROR OCCURED" << std::endl;
        if (options.json) {
            reserved.release();
            std::cout << tarnwick::jsonFailure(nullptr) << std::endl;
        }
        return 2;
    }
    return 0;
}
