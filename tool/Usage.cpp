#include "tool/Usage.h"

#include <cstdlib>
#include <iostream>

#include "tool/StandardOutput.h"

namespace tarnwick {

void usage(std::ostream& out, int status) {
    out << "Appends a given value to the specified Postfix configuration parameter" << std::endl
        << "if the given value is already set nothing is done" << std::endl
        << "usage: tarnwick [--replace] <key> <value>" << std::endl
        << "If used with --replace completely override current value instead of append"
        << std::endl
        << "tarnwick [-r|--replace | -d|--remove] [-n|--dry-run] [-v|--verbose | --json]\n"
           "         [--strict] [--reload] [-w|--wait SECONDS] [-c|--config-directory DIR]\n"
           "         <key> <value>\n"
           "tarnwick --before|--after ANCHOR [-n|--dry-run] [-v|--verbose | --json]\n"
           "         [--strict] [--reload] [-w|--wait SECONDS] [-c|--config-directory DIR]\n"
           "         <key> <value>\n"
           "tarnwick [-n|--dry-run] [-v|--verbose | --json] [--strict] [--reload]\n"
           "         [-w|--wait SECONDS] [-c|--config-directory DIR] -f|--file FILE\n"
           "tarnwick [-n|--dry-run] [-v|--verbose | --json] [--strict] [--reload]\n"
           "         [-w|--wait SECONDS] [-c|--config-directory DIR] -u|--unset <key>\n"
           "tarnwick [-n|--dry-run] [-v|--verbose | --json] [--reload] [-w|--wait SECONDS]\n"
           "         [-c|--config-directory DIR] --undo FILE\n"
           "tarnwick -h|--help | --version\n"
           "See tarnwick(8) for every option."
        << std::endl;
    std::exit(finishStandardOutput(status));
}

void usageError(const std::string& message) {
    std::cerr << message << std::endl;
    usage(std::cerr, 1);
}

}  // namespace tarnwick
