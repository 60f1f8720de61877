// tarnwick [--replace] <key> <value>: appends a value to a Postfix list
// parameter unless it is already an element, or with --replace sets it.

#include <cxxabi.h>
#include <getopt.h>

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

}  // namespace

int main(int argc, char* argv[]) {
    static const option longOptions[] = {
        {"replace", no_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    bool replace = false;
    int option;
    while ((option = getopt_long(argc, argv, "rh", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'h':
                tarnwick::usage(std::cout, EXIT_SUCCESS);
            case 'r':
                replace = true;
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
