#include "mail/postfix/Postconf.h"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include <boost/algorithm/string/trim.hpp>
#include <boost/bind/bind.hpp>
#include <boost/ref.hpp>

#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "process/Command.h"
#include "process/Pipe.h"

namespace kelmo::mail::postfix::postconf {

namespace {

const char kPostconf[] = "/usr/sbin/postconf";

// Only a normal exit with code 0 counts: a signal or a non-zero exit code
// fails.
bool runFailed(int status) {
    return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}

std::string failureText(const std::string& errors) {
    return errors.empty() ? std::string("unknown error") : errors;
}

void capture(process::OutputChannel& channel, std::string& text) {
    channel.fd = process::FD_PIPE;
    channel.handler = boost::bind(process::appendOutput, boost::ref(text), boost::placeholders::_1);
}

process::Command command(const std::vector<std::string>& arguments) {
    process::Command command(kPostconf);
    command.arguments.insert(command.arguments.end(), arguments.begin(), arguments.end());
    return command;
}

// Whether errors hold a line of postconf's that ends in said.
bool says(const std::string& errors, const std::string& said) {
    return (errors + "\n").find(said + "\n") != std::string::npos;
}

// Whether Postfix uses key, by what a read without the tool's own reference
// warned: "<key>: unknown parameter" when Postfix neither knows the name nor
// sees it referred to, yet "<file>: undefined parameter: <key>" when a
// setting refers to it (a master.cf -o, a restriction class) and it is only
// not set.
bool usedBy(const std::string& errors, const std::string& key) {
    return !says(errors, ": warning: " + key + ": unknown parameter") ||
           says(errors, ": undefined parameter: " + key);
}

// A read fails before anything is written: the configuration was unreadable
// already, and only a replacement, which reads nothing, can mend it.
std::string unreadable(const std::string& errors) {
    const std::string name = namedParameter(errors);
    if (name.empty()) {
        return failureText(errors);
    }
    return boost::algorithm::trim_right_copy(errors) + "; repair " + name + " with tarnwick -r " +
           name + " VALUE or by hand";
}

std::string readInto(const std::vector<std::string>& arguments, std::string& errors,
                     bool checkDiagnostics = true) {
    std::string output;
    if (runFailed(run(arguments, output, errors))) {
        throw PostfixConfigurationError(unreadable(errors));
    }
    if (checkDiagnostics && output.empty() && !PostfixConfiguration::isCleanDiagnostics(errors)) {
        throw PostfixConfigurationError(unreadable(errors));
    }
    return output;
}

}  // namespace

const char kReference[] = "tarnwick_reference";

int run(const std::vector<std::string>& arguments, std::string& output, std::string& errors) {
    process::Pipe pipe(command(arguments));
    capture(pipe.stdoutChannel, output);
    capture(pipe.stderrChannel, errors);
    return pipe.run();
}

std::string fatalLine(const std::string& errors) {
    std::istringstream lines(errors);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("fatal:") != std::string::npos) {
            return line;
        }
    }
    return std::string();
}

std::string namedParameter(const std::string& errors) {
    const std::string line = fatalLine(errors);
    if (line.empty()) {
        return std::string();
    }
    std::istringstream words(line.substr(line.find("fatal:") + std::strlen("fatal:")));
    std::string word, previous;
    for (; words >> word; previous = word) {
        if (word.back() == ':') {
            word.pop_back();
        }
        const bool name = !word.empty() && std::islower(static_cast<unsigned char>(word[0])) &&
                          std::all_of(word.begin(), word.end(), [](char c) {
                              return std::islower(static_cast<unsigned char>(c)) ||
                                     std::isdigit(static_cast<unsigned char>(c)) || c == '_';
                          });
        if (name && (word.find('_') != std::string::npos || previous == "variable" ||
                     previous == "parameter")) {
            return word;
        }
    }
    return std::string();
}

std::string read(const std::vector<std::string>& arguments, bool checkDiagnostics) {
    std::string errors;
    return readInto(arguments, errors, checkDiagnostics);
}

Reading readParameter(std::vector<std::string> options, const std::string& key, Hidden hidden) {
    const bool asSet = std::any_of(options.begin(), options.end(), [](const std::string& option) {
        return option == "-n" || option == "-P";
    });
    options.push_back(key);  // even when empty
    std::string errors;
    Reading reading;
    reading.value = readInto(options, errors);
    reading.used = usedBy(errors, key);
    if (!reading.used && hidden == FindHidden &&
        boost::algorithm::trim_copy(reading.value).empty()) {
        options.insert(options.begin(), {"-o", std::string(kReference) + "=$" + key});
        errors.clear();
        reading.value = readInto(options, errors);
    }
    // A parameter set to nothing prints an empty line; one not set, nothing.
    reading.set = !asSet || !reading.value.empty();
    boost::algorithm::trim(reading.value);
    return reading;
}

void write(const std::vector<std::string>& arguments) {
    process::Pipe pipe(command(arguments));
    std::string errors;
    capture(pipe.stderrChannel, errors);
    if (runFailed(pipe.run())) {
        throw PostfixConfigurationError(failureText(errors));
    }
}

}  // namespace kelmo::mail::postfix::postconf
