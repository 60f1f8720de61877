#include "tool/FailureReport.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "common/Traceback.h"
#include "common/UtilityErrorStream.h"

namespace tarnwick {

std::string typeName(const std::exception& error) {
    const char* rawName = typeid(error).name();
    int status = -1;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(rawName, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? demangled.get() : rawName;
}

void reportFailure(const std::exception& error) {
    kelmo::errorStream << "Fatal error: " << typeName(error) << "(" << error.what() << ")"
                       << std::endl;
    if (const auto* trace = dynamic_cast<const kelmo::Traceback*>(&error)) {
        kelmo::errorStream << *trace;
    }
}

}  // namespace tarnwick
