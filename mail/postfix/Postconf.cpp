#include "mail/postfix/Postconf.h"

#include <sys/wait.h>

#include <algorithm>
#include <iterator>
#include <cctype>
#include <cstring>
#include <sstream>

#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/ValueLists.h"
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

// Each kind's options, as a single edit reads it and as a batch does, and
// whether it reads what a file sets, so that printing nothing means not set.
struct KindOptions {
    std::vector<std::string> perName;
    std::vector<std::string> batched;
    Hidden hidden;
    bool asSet;
};
const KindOptions kKinds[] = {
    {{"-h"}, {}, FindHidden, false},
    {{"-n", "-h"}, {"-n"}, FindHidden, true},
    {{"-P", "-h"}, {"-P"}, KeepHidden, true},
    {{"-h", "-d"}, {"-d"}, KeepHidden, false},
    {{"-M"}, {"-M"}, KeepHidden, true},
    {{"-F", "-h"}, {"-F"}, KeepHidden, true},
};

// The lines of text, the last one without its newline too.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// postconf ARGUMENTS (which end in keys), each key's value as -h prints it.
// An error diagnostic counts as a read's own does where some key printed
// nothing: a single read that printed nothing would have failed.
std::map<std::string, std::string> readEach(const std::vector<std::string>& arguments,
                                            const std::vector<std::string>& keys,
                                            std::string& errors) {
    std::map<std::string, std::string> values = valuesByName(readInto(arguments, errors, false));
    const bool allPrinted = std::all_of(keys.begin(), keys.end(), [&](const std::string& key) {
        return values.count(key) != 0;
    });
    if (!allPrinted && !PostfixConfiguration::isCleanDiagnostics(errors)) {
        throw PostfixConfigurationError(errors);
    }
    return values;
}

}  // namespace

const char kReference[] = "tarnwick_reference";

int run(const std::vector<std::string>& arguments, std::string& output, std::string& errors) {
    process::Pipe pipe(command(arguments));
    process::collectOutput(pipe.stdoutChannel, output);
    process::collectOutput(pipe.stderrChannel, errors);
    return pipe.run();
}

std::string fatalLine(const std::string& errors) {
    for (const std::string& line : linesOf(errors)) {
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

Reading readParameter(std::vector<std::string> options, const std::string& key, Hidden hidden,
                      bool asSet) {
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

void Reads::ask(Kind kind, const std::string& key, std::optional<Reading>* into) {
    if (form_ == PerName && kind != Entry) {
        *into = readParameter(kKinds[kind].perName, key, kKinds[kind].hidden, kKinds[kind].asSet);
    } else {
        asked_.push_back({kind, key, into});
    }
}

void Reads::run() {
    // Each kind's keys once, in the order first asked, and what each read
    // printed untrimmed, as readParameter holds it until the end.
    struct Read {
        Reading reading;
        bool hidden = false;
    };
    std::vector<std::string> keys[std::size(kKinds)];
    std::map<std::string, Read> reads[std::size(kKinds)];
    for (const Asked& asked : asked_) {
        if (reads[asked.kind].emplace(asked.key, Read()).second) {
            keys[asked.kind].push_back(asked.key);
        }
    }
    std::vector<std::string> hidden;
    for (std::size_t kind = 0; kind < std::size(kKinds); ++kind) {
        if (keys[kind].empty()) {
            continue;
        }
        std::vector<std::string> arguments = kKinds[kind].batched;
        arguments.insert(arguments.end(), keys[kind].begin(), keys[kind].end());
        std::string errors;
        std::map<std::string, std::string> values =
            kind == Entry ? entriesByName(readInto(arguments, errors, false))
                          : readEach(arguments, keys[kind], errors);
        for (const std::string& key : keys[kind]) {
            Read& read = reads[kind][key];
            read.reading.value = values[key];
            read.reading.used = usedBy(errors, key);
            read.hidden = !read.reading.used && kKinds[kind].hidden == FindHidden &&
                          boost::algorithm::trim_copy(read.reading.value).empty();
            if (read.hidden && std::find(hidden.begin(), hidden.end(), key) == hidden.end()) {
                hidden.push_back(key);
            }
        }
    }
    // A hidden name is one Postfix does not know, so it has no default: what
    // postconf prints for it once referred to is what main.cf sets, and a
    // line for it tells that main.cf sets it, as -n would.
    std::map<std::string, std::string> hiddenValues;
    if (!hidden.empty()) {
        std::vector<std::string> arguments;
        for (std::size_t i = 0; i < hidden.size(); ++i) {
            arguments.insert(arguments.end(), {"-o", std::string(kReference) + "_" +
                                                         std::to_string(i + 1) + "=$" + hidden[i]});
        }
        arguments.insert(arguments.end(), hidden.begin(), hidden.end());
        std::string errors;
        hiddenValues = readEach(arguments, hidden, errors);
    }
    for (std::size_t kind = 0; kind < std::size(kKinds); ++kind) {
        for (auto& [key, read] : reads[kind]) {
            if (read.hidden) {
                read.reading.value = hiddenValues[key];
            }
            read.reading.set = !kKinds[kind].asSet || !read.reading.value.empty();
            boost::algorithm::trim(read.reading.value);
        }
    }
    for (const Asked& asked : asked_) {
        *asked.into = reads[asked.kind][asked.key].reading;
    }
    asked_.clear();
}

std::map<std::string, std::string> valuesByName(const std::string& output) {
    std::map<std::string, std::string> values;
    for (const std::string& line : linesOf(output)) {
        // A name holds no blank: checkParameterName refuses them.
        const std::string::size_type blank = line.find(' ');
        if (blank == std::string::npos || blank == 0) {
            continue;
        }
        if (line.compare(blank, std::string::npos, " =") == 0) {
            values[line.substr(0, blank)] += "\n";
        } else if (line.compare(blank, 3, " = ") == 0) {
            values[line.substr(0, blank)] += line.substr(blank + 3) + "\n";
        }
    }
    return values;
}

std::map<std::string, std::string> entriesByName(const std::string& output) {
    std::map<std::string, std::string> entries;
    for (const std::string& line : linesOf(output)) {
        std::istringstream fields(line);
        std::string service, type;
        if (fields >> service >> type) {
            entries[service + "/" + type] = printedForm(boost::algorithm::trim_copy(line)) + "\n";
        }
    }
    return entries;
}

std::vector<std::string> missingServices(const std::vector<std::string>& serviceTypes) {
    if (serviceTypes.empty()) {
        return {};
    }
    std::vector<std::string> arguments{"-M"};
    arguments.insert(arguments.end(), serviceTypes.begin(), serviceTypes.end());
    std::string errors;
    const std::map<std::string, std::string> defined =
        entriesByName(readInto(arguments, errors, false));
    std::vector<std::string> missing;
    for (const std::string& serviceType : serviceTypes) {
        if (defined.count(serviceType) == 0) {
            missing.push_back(serviceType);
        }
    }
    if (!missing.empty() && !PostfixConfiguration::isCleanDiagnostics(errors)) {
        throw PostfixConfigurationError(errors);
    }
    return missing;
}

void write(const std::vector<std::string>& arguments) {
    process::Pipe pipe(command(arguments));
    std::string errors;
    process::collectOutput(pipe.stderrChannel, errors);
    if (runFailed(pipe.run())) {
        throw PostfixConfigurationError(failureText(errors));
    }
}

}  // namespace kelmo::mail::postfix::postconf
