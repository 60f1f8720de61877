#include "tool/Options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string>

#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/ValueLists.h"
#include "tool/StandardOutput.h"
#include "tool/Usage.h"

namespace tarnwick {

namespace {

// Long options without a short form take values past the char range.
enum {
    kVersion = 256,
    kStrict,
    kJson,
    kBefore,
    kAfter,
    kUndo,
    kReload,
};

const char kShortOptions[] = "rhdunvf:w:c:";
// --u and --un were prefixes of --unset alone before --undo: the same entries
// under those names keep them so. getopt_long takes an exact name first, and
// reports no entry that matches the first one in all but its name, so they
// stay out of its list of options while "unset" comes first.
const option kLongOptions[] = {
    {"unset", no_argument, nullptr, 'u'},
    {"u", no_argument, nullptr, 'u'},
    {"un", no_argument, nullptr, 'u'},
    {"replace", no_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {"remove", no_argument, nullptr, 'd'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"verbose", no_argument, nullptr, 'v'},
    {"file", required_argument, nullptr, 'f'},
    {"version", no_argument, nullptr, kVersion},
    {"wait", required_argument, nullptr, 'w'},
    {"strict", no_argument, nullptr, kStrict},
    {"json", no_argument, nullptr, kJson},
    {"before", required_argument, nullptr, kBefore},
    {"after", required_argument, nullptr, kAfter},
    {"undo", required_argument, nullptr, kUndo},
    {"config-directory", required_argument, nullptr, 'c'},
    {"reload", no_argument, nullptr, kReload},
    {nullptr, 0, nullptr, 0},
};

// -w SECONDS: a whole number from 0 to INT_MAX.
int waitSeconds(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || seconds > INT_MAX) {
        usageError(std::string("invalid number of seconds to wait: \"") + text + "\"");
    }
    return static_cast<int>(seconds);
}

}  // namespace

bool placedAtItself(const std::string& value, const std::string& anchor) {
    using kelmo::mail::postfix::listRun;
    return listRun(boost::algorithm::trim_copy(value)) ==
           listRun(boost::algorithm::trim_copy(anchor));
}

namespace {

// What the options asked for beyond the settings they store in Options.
struct Actions {
    bool replace = false;
    bool remove = false;
    bool unset = false;
    bool batch = false;
    bool undo = false;
};

// The options, acted on in the order given: -h and --version end the run
// where they stand, an unrecognised option with the usage text.
Actions readOptions(int argc, char* argv[], Options& options) {
    Actions actions;
    int option;
    while ((option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'h':
                usage(std::cout, EXIT_SUCCESS);
            case kVersion:
                std::cout << "tarnwick " TARNWICK_VERSION << std::endl;
                std::exit(finishStandardOutput(EXIT_SUCCESS));
            case 'r':
                actions.replace = true;
                break;
            case 'd':
                actions.remove = true;
                break;
            case 'u':
                actions.unset = true;
                break;
            case 'n':
                options.dryRun = options.verbose = true;
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'f':
                actions.batch = true;
                options.file = optarg;
                break;
            case 'w':
                options.waitSeconds = waitSeconds(optarg);
                break;
            case kStrict:
                options.strict = true;
                break;
            case kJson:
                options.json = true;
                break;
            case kReload:
                options.reload = true;
                break;
            case kBefore:
            case kAfter:
                if (options.placement != Options::ValueEdit::AtEnd) {
                    usageError("you should give one --before or --after");
                }
                options.placement =
                    option == kBefore ? Options::ValueEdit::Before : Options::ValueEdit::After;
                options.anchor = optarg;
                break;
            case kUndo:
                actions.undo = true;
                options.undo = optarg;
                break;
            case 'c':
                options.configDirectory = optarg;
                break;
            default:  // getopt_long has already named the unknown option
                usage(std::cerr, EXIT_FAILURE);
        }
    }
    return actions;
}

// The combinations refused whatever the operands.
void checkActions(const Actions& actions, const Options& options) {
    if (actions.replace && actions.remove) {
        usageError("you should not combine --replace and --remove");
    }
    if (actions.unset && (actions.replace || actions.remove)) {
        usageError("you should not combine --unset with --replace or --remove");
    }
    if (options.placement != Options::ValueEdit::AtEnd &&
        (actions.replace || actions.remove || actions.unset || actions.batch || actions.undo)) {
        usageError("you should give --before or --after with an append only");
    }
}

}  // namespace

Options parseOptions(int argc, char* argv[]) {
    Options options;
    const Actions actions = readOptions(argc, argv, options);
    checkActions(actions, options);
    const int operands = argc - optind;
    const bool editing = actions.replace || actions.remove || actions.unset;
    if (actions.undo) {
        // The report says what to edit; --strict would refuse putting back
        // a parameter Postfix does not use, which the run had written.
        if (operands != 0 || editing || actions.batch || options.strict) {
            usageError("you should give no key, value, --replace, --remove, --unset, --file or "
                       "--strict with --undo");
        }
        if (options.undo.empty()) {
            usageError("you should specify a file with --undo");
        }
        return options;
    }
    if (actions.batch) {
        if (operands != 0 || editing) {
            usageError("you should give no key, value, --replace or --remove with --file");
        }
        // An empty name would read as no batch at all; it names no file either.
        if (options.file.empty()) {
            usageError("you should specify a file with --file");
        }
        return options;
    }
    if (actions.unset) {
        // Unsetting takes a key alone: a value would be silently ignored.
        if (operands != 1) {
            usageError("you should specify the key to unset, and no value");
        }
        options.action = Options::ValueEdit::Unset;
        options.key = argv[optind];
        return options;
    }
    if (operands != 2) {
        usageError("you should specify key and value to set");
    }
    options.action = actions.replace  ? Options::ValueEdit::Replace
                     : actions.remove ? Options::ValueEdit::Remove
                                      : Options::ValueEdit::Append;
    options.key = argv[optind];
    options.value = argv[optind + 1];
    if (options.placement != Options::ValueEdit::AtEnd &&
        placedAtItself(options.value, options.anchor)) {
        usageError("you should not place a value before or after itself");
    }
    return options;
}

}  // namespace tarnwick
