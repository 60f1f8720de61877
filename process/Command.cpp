#include "process/Command.h"

namespace kelmo::process {

Command::Command(const std::string& program, const std::string& a1, const std::string& a2,
                 const std::string& a3, const std::string& a4, const std::string& a5,
                 const std::string& a6, const std::string& a7, const std::string& a8,
                 const std::string& a9) {
    arguments.reserve(10);
    arguments.push_back(program);
    for (const std::string* argument : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9}) {
        // The first empty argument ends the list: a program never gets an
        // empty argument by accident from an unused default.
        if (argument->empty()) {
            break;
        }
        arguments.push_back(*argument);
    }
}

}  // namespace kelmo::process
