// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it;
// tool/Options.h lists the other options.

#include <cxxabi.h>
#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <typeinfo>
#include <vector>

#include "common/Traceback.h"
#include "common/UtilityErrorStream.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "tool/BatchFile.h"
#include "tool/Options.h"
#include "tool/StandardOutput.h"

namespace {

// "Fatal error: <dynamic type>(<what>)", then the stack when the exception
// also carries one.
void reportFailure(const std::exception& error) {
    const char* rawName = typeid(error).name();
    int status = -1;
    char* demangled = abi::__cxa_demangle(rawName, nullptr, nullptr, &status);
    kelmo::errorStream << "Fatal error: " << (status == 0 && demangled != nullptr ? demangled : rawName)
                       << "(" << error.what() << ")" << std::endl;
    std::free(demangled);
    if (const auto* trace = dynamic_cast<const kelmo::Traceback*>(&error)) {
        kelmo::errorStream << *trace;
    }
}

// A closed standard stream would be taken by the next file opened, the lock
// file say, which postconf children would then inherit as their output.
void openClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) {
            std::_Exit(EXIT_FAILURE);
        }
    }
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
// script reading the -v lines must not take them for changes), then with -v
// one line per parameter on standard output.
void report(const std::vector<kelmo::mail::postfix::ParameterPlan>& plans, bool verbose) {
    for (const auto& plan : plans) {
        for (const std::string& warning : plan.warnings) {
            std::cerr << "tarnwick: warning: " << warning << "\n";
        }
    }
    if (verbose) {
        for (const auto& plan : plans) {
            if (plan.write && plan.unset) {
                std::cout << "changed: " << plan.key << " (unset)\n";
            } else if (plan.write) {
                std::cout << "changed: " << plan.key << " = " << plan.text << "\n";
            } else {
                std::cout << "unchanged: " << plan.key << "\n";
            }
        }
        std::cout.flush();
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    using kelmo::mail::postfix::PostfixConfiguration;
    using kelmo::mail::postfix::ValueEdit;
    openClosedStandardStreams();
    unblockChildSignal();
    const tarnwick::Options options = tarnwick::parseOptions(argc, argv);

    try {
        // A batch is read whole before anything runs, so that a bad line
        // leaves nothing half done.
        const std::vector<ValueEdit> edits =
            options.batch() ? tarnwick::readBatch(options.file)
                            : std::vector<ValueEdit>{{options.action, options.key, options.value}};
        auto& configuration = PostfixConfiguration::instance();
        configuration.setLockWait(options.waitSeconds);
        report(configuration.applyEdits(edits, {options.compare(), options.dryRun, options.strict}),
               options.verbose);
    } catch (const std::exception& error) {
        reportFailure(error);
        return tarnwick::finishStandardOutput(1);
    } catch (...) {
        kelmo::errorStream << "UNSPECIFIED ERROR OCCURED" << std::endl;
        return tarnwick::finishStandardOutput(2);
    }
    return tarnwick::finishStandardOutput(0);
}
