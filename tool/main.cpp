// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it.

#include <cxxabi.h>
#include <fcntl.h>
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <typeinfo>

#include "common/Traceback.h"
#include "common/UtilityErrorStream.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "tool/Usage.h"

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

// -w SECONDS: a whole number from 0 to INT_MAX.
int waitSeconds(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || seconds > INT_MAX) {
        tarnwick::usageError(std::string("invalid number of seconds to wait: \"") + text + "\"");
    }
    return static_cast<int>(seconds);
}

}  // namespace

int main(int argc, char* argv[]) {
    openClosedStandardStreams();

    static const option longOptions[] = {
        {"replace", no_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {"wait", required_argument, nullptr, 'w'},
        {nullptr, 0, nullptr, 0},
    };

    bool replace = false;
    int lockWait = -1;  // for ever
    int option;
    while ((option = getopt_long(argc, argv, "rhw:", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'h':
                tarnwick::usage(std::cout, EXIT_SUCCESS);
            case 'r':
                replace = true;
                break;
            case 'w':
                lockWait = waitSeconds(optarg);
                break;
            default:  // getopt_long has already named the unknown option
                tarnwick::usage(std::cerr, EXIT_FAILURE);
        }
    }
    if (argc - optind != 2) {
        tarnwick::usageError("you should specify key and value to set");
    }

    try {
        auto& configuration = kelmo::mail::postfix::PostfixConfiguration::instance();
        configuration.setLockWait(lockWait);
        const std::string key(argv[optind]);
        const std::string value(argv[optind + 1]);
        if (replace) {
            configuration.setParameter(key, value);
        } else {
            configuration.appendValue(key, value);
        }
    } catch (const std::exception& error) {
        reportFailure(error);
        return 1;
    } catch (...) {
        kelmo::errorStream << "UNSPECIFIED ERROR OCCURED" << std::endl;
        return 2;
    }
    return 0;
}
