#pragma once

#include <string>
#include <vector>

#include "process/Flags.h"

namespace kelmo::process {

// One program of a pipe. Value semantics: copies carry every setting,
// hooks and handlers included.
struct Command : CommonFlags {
    // arguments = program, then a1..a9 up to (not including) the first empty
    // one. Append to `arguments` afterwards to pass an empty argument.
    explicit Command(const std::string& program, const std::string& a1 = std::string(),
                     const std::string& a2 = std::string(), const std::string& a3 = std::string(),
                     const std::string& a4 = std::string(), const std::string& a5 = std::string(),
                     const std::string& a6 = std::string(), const std::string& a7 = std::string(),
                     const std::string& a8 = std::string(), const std::string& a9 = std::string());

    std::string executable;  // empty: arguments[0]
    std::vector<std::string> arguments;
};

}  // namespace kelmo::process
