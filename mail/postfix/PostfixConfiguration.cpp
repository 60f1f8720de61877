#include "mail/postfix/PostfixConfiguration.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/bind/bind.hpp>
#include <boost/ref.hpp>

#include "mail/postfix/FileEnding.h"
#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/ServiceKey.h"
#include "process/Command.h"
#include "process/Pipe.h"

namespace kelmo::mail::postfix {

namespace {

const char kPostconf[] = "/usr/sbin/postconf";
// A parameter name of our own that Postfix does not know.
const char kReference[] = "tarnwick_reference";

// Linux takes at most 32 pages for one exec argument, its NUL included.
const std::size_t kMaxArgument = 131071;
// However high the stack limit (which sysconf reports a quarter of), Linux
// leaves arguments and environment at most three quarters of 8 MiB.
const long kMaxExecStrings = 6L << 20;

// What one string costs an exec: its bytes, its NUL, its pointer.
std::size_t execCost(std::size_t length) {
    return length + 1 + sizeof(char*);
}

// Only a normal exit with code 0 counts: a signal (low seven bits) or a
// non-zero exit code fails.
bool runFailed(int status) {
    return (status & 0x7f) != 0 || ((status >> 8) & 0xff) != 0;
}

std::string failureText(const std::string& errors) {
    return errors.empty() ? std::string("unknown error") : errors;
}

void capture(process::OutputChannel& channel, std::string& text) {
    channel.fd = process::FD_PIPE;
    channel.handler = boost::bind(process::appendOutput, boost::ref(text), boost::placeholders::_1);
}

// Runs postconf with the given arguments (after the program path), standard
// output and standard error collected; returns the wait status.
int runRead(const std::vector<std::string>& arguments, std::string& output, std::string& errors) {
    process::Command command(kPostconf);
    command.arguments.insert(command.arguments.end(), arguments.begin(), arguments.end());
    process::Pipe pipe(command);
    capture(pipe.stdoutChannel, output);
    capture(pipe.stderrChannel, errors);
    return pipe.run();
}

// A name postconf would take as an option (leading '-') or a comment
// (leading '#'), split at '=' or trim (blanks, tabs, other control
// characters), or no name at all. Bytes past ASCII are refused too: postconf
// prints them as '?' in its warnings, so that a name it does not use could
// not be told from one it does.
bool nameRefused(const std::string& key) {
    return key.empty() || key[0] == '-' || key[0] == '#' ||
           std::any_of(key.begin(), key.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte == '=' || byte == ' ' || byte < 0x20 || byte >= 0x7f;
           });
}

// Runs a read into output (untrimmed) and errors. A parameter set to nothing
// prints nothing; only error diagnostics make empty output a failure.
void readChecked(const std::vector<std::string>& arguments, std::string& output,
                 std::string& errors) {
    if (runFailed(runRead(arguments, output, errors))) {
        throw PostfixConfigurationError(failureText(errors));
    }
    if (output.empty() && !PostfixConfiguration::isCleanDiagnostics(errors)) {
        throw PostfixConfigurationError(errors);
    }
}

// True when errors hold postconf's line "<program>: warning: <key>: unknown
// parameter": Postfix neither knows the name nor sees it referred to.
bool saysUnknown(const std::string& errors, const std::string& key) {
    const std::string said = ": warning: " + key + ": unknown parameter\n";
    return (errors + "\n").find(said) != std::string::npos;
}

// postconf with options and key, the output untrimmed. With findHidden, a
// value that postconf hides because nothing refers to it is read once more
// with a reference that lasts one run: postconf prints a parameter main.cf
// sets only when some setting refers to it, and -o writes nothing.
Reading readUsed(std::vector<std::string> options, const std::string& key, bool findHidden) {
    Reading reading;
    std::string errors;
    options.push_back(key);  // even when empty
    readChecked(options, reading.value, errors);
    reading.used = !saysUnknown(errors, key);
    if (!reading.used && findHidden && boost::algorithm::trim_copy(reading.value).empty()) {
        options.insert(options.begin(), {"-o", std::string(kReference) + "=$" + key});
        reading.value.clear();
        errors.clear();
        readChecked(options, reading.value, errors);
    }
    return reading;
}

std::string findMainCf() {
    std::string directory;
    try {
        directory = PostfixConfiguration::getParameter("config_directory", false);
    } catch (const PostfixConfigurationError&) {
        directory = PostfixConfiguration::getParameter("config_directory", true);
    }
    if (directory.empty()) {
        throw PostfixConfigurationError("unable to determine Postfix config_directory parameter");
    }
    // One lock per main.cf however MAIL_CONFIG spells its directory (a
    // trailing slash, a symbolic link): two names would let edits overlap.
    std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(directory.c_str(), nullptr),
                                                          &std::free);
    return (canonical ? std::string(canonical.get()) : directory) + "/main.cf";
}

}  // namespace

PostfixConfiguration::PostfixConfiguration() : mainCfPath(findMainCf()) {}

PostfixConfiguration& PostfixConfiguration::instance() {
    static PostfixConfiguration configuration;
    return configuration;
}

void PostfixConfiguration::checkParameterName(const std::string& key) {
    bool refused = nameRefused(key);
    // postconf -P names a service setting SERVICE/TYPE/NAME; any other '/'
    // would make postconf -e write a parameter that Postfix never reads.
    if (!refused && key.find('/') != std::string::npos) {
        // postconf -P takes '*' as a wild card: one key would edit several
        // services.
        const std::optional<ServiceKey> service = serviceKey(key);
        refused = !service || nameRefused(service->name) || key.find('*') != std::string::npos;
    }
    if (refused) {
        // The message is a C string: a NUL would cut the name short.
        std::string shown;
        for (char c : key) {
            shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
        throw PostfixConfigurationError("invalid parameter name: \"" + shown + "\"");
    }
}

void PostfixConfiguration::checkEdits(const std::vector<ValueEdit>& edits) {
    for (const ValueEdit& edit : edits) {
        checkParameterName(edit.key);
        if (edit.value.find('\n') != std::string::npos) {
            throw PostfixConfigurationError("value of \"" + edit.key + "\" holds a line break");
        }
        if (edit.kind != ValueEdit::Unset && serviceKey(edit.key)) {
            checkServiceText(boost::algorithm::trim_copy(edit.value));
        }
    }
    // Every parameter empty is the least that the write can hold.
    Settings settings;
    for (const ParameterPlan& plan : planEdits(edits, Readings(), false)) {
        if (plan.write) {
            settings.emplace_back(plan.key, plan.text);
        }
    }
    checkWriteArguments(settings);
}

void PostfixConfiguration::checkWriteArguments(const Settings& settings) {
    // The kernel copies the program's path besides argv.
    std::size_t size = sizeof kPostconf + execCost(sizeof kPostconf - 1) + execCost(2);
    for (const auto& [key, value] : settings) {
        if (key.size() + 1 + value.size() > kMaxArgument) {
            throw PostfixConfigurationError("value of \"" + key + "\" is " +
                                            std::to_string(value.size()) +
                                            " bytes; one postconf argument holds at most " +
                                            std::to_string(kMaxArgument));
        }
        size += execCost(key.size() + 1 + value.size());
    }
    // postconf inherits this environment, which shares the room.
    const long systemLimit = ::sysconf(_SC_ARG_MAX);
    long limit = std::min(systemLimit > 0 ? systemLimit : 131072L, kMaxExecStrings);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        limit -= static_cast<long>(execCost(std::strlen(*variable)));
    }
    if (size > static_cast<std::size_t>(std::max(limit, 0L))) {
        throw PostfixConfigurationError(
            "the batch is too large for one postconf run (" + std::to_string(size) +
            " bytes of arguments, the limit is " + std::to_string(limit) + "): split it");
    }
}

void PostfixConfiguration::checkMainCfEnding(const Settings& settings) const {
    if (settings.empty() || !endsWithoutNewline(mainCfPath)) {
        return;
    }
    // Only a parameter that main.cf does not set yet becomes a new line;
    // postconf rewrites the others where they stand. -n lists a parameter
    // only when something refers to it, hence the reference of readValue.
    std::string references = std::string(kReference) + "=";
    std::vector<std::string> arguments{"-o", "", "-n"};
    for (const auto& setting : settings) {
        references += " $" + setting.first;
        arguments.push_back(setting.first);
    }
    arguments[1] = references;
    std::string output;
    std::string errors;
    readChecked(arguments, output, errors);
    std::vector<std::string> lines;
    boost::algorithm::split(lines, output, boost::algorithm::is_any_of("\n"));
    for (const auto& setting : settings) {
        // "NAME = VALUE", or "NAME =" for a parameter set to nothing.
        const std::string set = setting.first + " =";
        const bool listed = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line == set || line.compare(0, set.size() + 1, set + " ") == 0;
        });
        if (!listed) {
            throw PostfixConfigurationError(
                "main.cf does not end with a newline; postconf would join the new setting onto "
                "its last line: add one first");
        }
    }
}

FileLock PostfixConfiguration::lockMainCf() const {
    return FileLock(mainCfPath, FileLock::Hashed, FileLock::Blocking, lockWait_);
}

std::string PostfixConfiguration::getParameter(const std::string& key, bool useDefault) {
    const std::string value = readValue(key, useDefault).value;
    if (key == "mynetworks") {
        const std::string defaultValue = defaultMyNetworks();
        return chooseMyNetworks(value, defaultValue, localNetworks());
    }
    return value;
}

Reading PostfixConfiguration::readValue(const std::string& key, bool useDefault) {
    checkParameterName(key);
    Reading reading = readUsed(useDefault ? std::vector<std::string>{"-h", "-d"}
                                          : std::vector<std::string>{"-h"},
                               key, !useDefault);
    boost::algorithm::trim(reading.value);
    return reading;
}

Reading PostfixConfiguration::readSetting(const std::string& key, bool& set) {
    checkParameterName(key);
    // A parameter set to nothing prints an empty line; one not set, nothing.
    Reading reading = serviceKey(key) ? readUsed({"-P", "-h"}, key, false)
                                      : readUsed({"-n", "-h"}, key, true);
    set = !reading.value.empty();
    boost::algorithm::trim(reading.value);
    return reading;
}

bool PostfixConfiguration::hasService(const std::string& serviceType) {
    std::string output;
    std::string errors;
    readChecked({"-M", serviceType}, output, errors);
    return !output.empty();
}

void PostfixConfiguration::setParameter(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Replace, key, value}}, EditOptions());
}

void PostfixConfiguration::writeParameters(const Settings& settings) {
    std::vector<std::string> arguments{"-e"};
    for (const auto& [key, value] : settings) {
        // key=value travels as one argument: no quoting, no escaping.
        arguments.push_back(key + "=" + value);
    }
    runWrite(arguments);
}

void PostfixConfiguration::runWrite(const std::vector<std::string>& arguments) {
    process::Command command(kPostconf);
    command.arguments.insert(command.arguments.end(), arguments.begin(), arguments.end());
    process::Pipe pipe(command);
    std::string errors;
    capture(pipe.stderrChannel, errors);
    // Whatever a successful write prints on standard error is dropped.
    if (runFailed(pipe.run())) {
        throw PostfixConfigurationError(failureText(errors));
    }
}

std::string PostfixConfiguration::defaultMyNetworks() {
    std::string output;
    std::string errors;
    if (runFailed(runRead({"-h", "-d", "mynetworks"}, output, errors))) {
        throw PostfixConfigurationError(failureText(errors));
    }
    boost::algorithm::trim(output);
    return output;
}

bool PostfixConfiguration::isCleanDiagnostics(const std::string& text) {
    std::string::size_type begin = 0;
    while (begin < text.size()) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;

        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos || colon + 1 == line.size()) {
            continue;
        }
        const std::string::size_type severity = line.find_first_not_of(' ', colon + 1);
        if (severity == std::string::npos || severity + 1 == line.size()) {
            continue;
        }
        if (line.find(':', severity + 1) == std::string::npos) {
            continue;
        }
        const std::string word = line.substr(severity, 6);
        if (word == "panic:" || word == "fatal:" || word == "error:") {
            return false;
        }
    }
    return true;
}

}  // namespace kelmo::mail::postfix
