#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/FileEnding.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/Postconf.h"
#include "mail/postfix/ValueLists.h"

// Every refusal of an edit lives here: those the edits alone show, made
// before the lock and before any postconf run, and those that need what was
// read, made under the lock before anything is written (a dry run makes them
// too, so that it foresees every refusal of the real run).

namespace kelmo::mail::postfix {

namespace {

// postconf's path with its NUL, which the kernel copies besides argv.
const std::size_t kPostconfPath = sizeof "/usr/sbin/postconf";

// Linux takes at most 32 pages for one exec argument, its NUL included.
const std::size_t kMaxArgument = 131071;
// However high the stack limit (which sysconf reports a quarter of), Linux
// leaves arguments and environment at most three quarters of 8 MiB.
const long kMaxExecStrings = 6L << 20;

// What one string costs an exec: its bytes, its NUL, its pointer.
std::size_t execCost(std::size_t length) {
    return length + 1 + sizeof(char*);
}

// A name postconf would take as an option (leading '-') or a comment
// (leading '#'), split at '=' or trim (blanks, tabs, other control
// characters), or no name at all. Bytes past ASCII are refused too: postconf
// prints them as '?' in its warnings, so that a name it does not use could
// not be told from one it does. The names of the tool's own references are
// refused as well: a hidden value read through such a reference would be the
// reference's own text, and a write would make the name refer to itself.
bool nameRefused(const std::string& key) {
    return key.empty() || key[0] == '-' || key[0] == '#' ||
           key.compare(0, std::strlen(postconf::kReference), postconf::kReference) == 0 ||
           std::any_of(key.begin(), key.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte == '=' || byte == ' ' || byte < 0x20 || byte >= 0x7f;
           });
}

// What postconf -P refuses; the ends were trimmed as postconf trims them.
void checkServiceText(const std::string& text) {
    if (text.find_first_of(" \t\r") != std::string::npos) {
        throw PostfixConfigurationError("a master.cf service setting cannot hold blanks: \"" +
                                        text +
                                        "\"; define it as a main.cf parameter and refer to it "
                                        "as $name");
    }
}

// What a master.cf field takes, by its index among the eight (the service,
// type and command are set with the whole entry).
bool fieldTakes(int index, const std::string& value) {
    if (value == "-" || value.empty()) {
        return !value.empty();
    }
    if (index < 5) {
        return value == "y" || value == "n";
    }
    // wakeup: seconds, "?" after them for a wake-up only when in use
    const std::string digits =
        index == 5 && value.back() == '?' ? value.substr(0, value.size() - 1) : value;
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
}

void checkField(const std::string& serviceType, int index, const std::string& value) {
    static const char* const takes[] = {"",
                                        "",
                                        "y, n or -",
                                        "y, n or -",
                                        "y, n or -",
                                        "seconds, ? after them for only when used, or -",
                                        "a number or -"};
    if (!fieldTakes(index, value)) {
        throw PostfixConfigurationError(std::string("the ") + serviceFieldName(index) +
                                        " field of \"" +
                                        serviceType + "\" takes " + takes[index] + ", not \"" +
                                        value + "\"");
    }
}

// What postconf -M -e and -F -e would take wrongly or refuse: an entry that
// names another service (postconf renames the entry), too few fields (it
// fails), a field value that is not one (an empty one breaks master.cf).
void checkEntryEdit(const ValueEdit& edit) {
    const ServiceKey& service = edit.target.service;
    const bool entry = edit.target.kind == Target::ServiceEntry;
    if (entry && edit.kind != ValueEdit::Replace && edit.kind != ValueEdit::Unset) {
        throw PostfixConfigurationError("a master.cf service entry is set whole: use --replace");
    }
    if (entry && edit.kind == ValueEdit::Replace) {
        const std::vector<std::string> words = entryWords(edit.value);
        if (words.size() < 8) {
            throw PostfixConfigurationError(
                "the entry of \"" + edit.key +
                "\" needs at least eight fields: SERVICE TYPE PRIVATE UNPRIV CHROOT WAKEUP "
                "MAXPROC COMMAND [ARGS]");
        }
        if (words[0] != service.service || words[1] != service.type) {
            throw PostfixConfigurationError("the entry of \"" + edit.key + "\" must begin with \"" +
                                            service.service + " " + service.type + "\", not \"" +
                                            words[0] + " " + words[1] + "\"");
        }
        for (int index = 2; index < 7; ++index) {
            checkField(edit.key, index, words[static_cast<std::size_t>(index)]);
        }
    }
    if (edit.target.kind != Target::ServiceField) {
        return;
    }
    const int index = serviceFieldIndex(service.name);
    if (index < 2 || index > 6) {
        throw PostfixConfigurationError("\"" + edit.key +
                                        "\": the service, type and command are set with the "
                                        "whole entry: use --replace " +
                                        service.serviceType());
    }
    if (edit.kind != ValueEdit::Replace) {
        throw PostfixConfigurationError(
            "a master.cf service field is set with --replace alone (\"-\" for its default)");
    }
    checkField(service.serviceType(), index, boost::algorithm::trim_copy(edit.value));
}

// A batch line as the administrator wrote it, for a message.
std::string lineOf(const ValueEdit& edit) {
    static const char* const words[] = {"append", "replace", "remove", "unset", "append"};
    return std::string(words[edit.kind]) + " " + edit.key +
           (edit.kind == ValueEdit::Unset ? "" : " " + edit.value);
}

}  // namespace

void PostfixConfiguration::checkParameterName(const std::string& key) {
    bool refused = nameRefused(key);
    // postconf -P names a service setting SERVICE/TYPE/NAME; any other '/'
    // would make postconf -e write a parameter that Postfix never reads.
    if (!refused && key.find('/') != std::string::npos) {
        // postconf -P takes '*' as a wild card: one key would edit several
        // services.
        const std::optional<ServiceKey> service = serviceKey(key);
        refused = service ? nameRefused(service->name) : !serviceEntryKey(key);
        refused = refused || key.find('*') != std::string::npos;
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
    const ValueEdit* unsetsMyNetworks = nullptr;
    for (const ValueEdit& edit : edits) {
        // Once mynetworks is unset, Postfix uses what mynetworks_style and
        // compatibility_level make of it, which postconf prints only once the
        // unset is written (postconf -d prints the value below level 2).
        const std::string& name =
            edit.target.kind == Target::ServiceSetting ? edit.target.service.name : edit.key;
        if (unsetsMyNetworks != nullptr && edit.isListEdit() && name == "mynetworks") {
            throw PostfixConfigurationError(
                "\"" + lineOf(*unsetsMyNetworks) + "\" and then \"" + lineOf(edit) +
                "\" in one batch: what Postfix uses for mynetworks once it is unset is known only "
                "after the unset is written; make them two runs");
        }
        if (edit.key == "mynetworks") {
            unsetsMyNetworks = edit.kind == ValueEdit::Unset ? &edit : nullptr;
        }
        checkParameterName(edit.key);
        if (edit.value.find('\n') != std::string::npos) {
            throw PostfixConfigurationError("value of \"" + edit.key + "\" holds a line break");
        }
        if (edit.kind != ValueEdit::Unset && edit.target.kind == Target::ServiceSetting) {
            checkServiceText(boost::algorithm::trim_copy(edit.value));
        }
        // Postfix would read the rest of the list as one element.
        if (!bracesBalance(edit.value) || !bracesBalance(edit.anchor)) {
            throw PostfixConfigurationError("value of \"" + edit.key + "\" has unbalanced braces");
        }
        checkEntryEdit(edit);
        // A field or setting follows its entry's replacement, which would
        // drop it, and never its unset, which leaves it no entry.
        if (edit.target.inEntry()) {
            for (const ValueEdit& other : edits) {
                const bool before = &other < &edit;
                if (other.key == edit.target.service.serviceType() &&
                    (!before || other.kind == ValueEdit::Unset)) {
                    throw PostfixConfigurationError(
                        "\"" + lineOf(before ? other : edit) + "\" and then \"" +
                        lineOf(before ? edit : other) +
                        "\" in one batch: a service's fields and settings follow the "
                        "replacement of its entry, never its unset; make them two runs");
                }
            }
        }
    }
    // Every parameter empty is the least that the write can hold.
    Settings settings;
    for (const ParameterPlan& plan : planEdits(edits, RunState::forEdits(edits, false), false)) {
        if (plan.changed) {
            settings.emplace_back(plan.key, plan.after.value_or(std::string()));
        }
    }
    checkWriteArguments(settings);
}

void PostfixConfiguration::checkExpected(const std::vector<ValueEdit>& edits,
                                         const RunState& state) {
    const auto shown = [](const std::optional<std::string>& value) {
        return value ? "\"" + *value + "\"" : std::string("(not set)");
    };
    std::vector<std::string> changed;
    for (const ValueEdit& edit : edits) {
        const std::optional<Reading>& current = state.find(edit.key)->current;
        const std::optional<std::string> now =
            current && current->set ? std::optional(current->value) : std::nullopt;
        const bool same = now && edit.expected
                              ? *now == printedForm(boost::algorithm::trim_copy(*edit.expected))
                              : !now && !edit.expected;
        if (edit.guarded && !same) {
            changed.push_back(edit.key + " (" + shown(edit.expected) + " is now " + shown(now) +
                              ")");
        }
    }
    if (!changed.empty()) {
        throw PostfixConfigurationError("changed since the report, nothing undone: " +
                                        boost::algorithm::join(changed, ", "));
    }
}

void PostfixConfiguration::checkWriteArguments(const Settings& settings) {
    std::vector<std::string> arguments{"-e"};
    for (const auto& [key, value] : settings) {
        if (key.size() + 1 + value.size() > kMaxArgument) {
            throw PostfixConfigurationError("value of \"" + key + "\" is " +
                                            std::to_string(value.size()) +
                                            " bytes; one postconf argument holds at most " +
                                            std::to_string(kMaxArgument));
        }
        arguments.push_back(key + "=" + value);
    }
    checkRunFits(arguments);
}

void PostfixConfiguration::checkRunFits(const std::vector<std::string>& arguments) {
    std::size_t size = kPostconfPath + execCost(kPostconfPath - 1);
    bool fits = true;
    for (const std::string& argument : arguments) {
        fits = fits && argument.size() <= kMaxArgument;
        size += execCost(argument.size());
    }
    // postconf inherits this environment, which shares the room.
    const long systemLimit = ::sysconf(_SC_ARG_MAX);
    long limit = std::min(systemLimit > 0 ? systemLimit : 131072L, kMaxExecStrings);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        limit -= static_cast<long>(execCost(std::strlen(*variable)));
    }
    // Only the check's arguments can pass the one for an argument here: its
    // reference names are longer than the shortest service keys.
    if (!fits) {
        throw PostfixConfigurationError(
            "the batch is too large for one postconf run (an argument past " +
            std::to_string(kMaxArgument) + " bytes): split it");
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
    // only when something refers to it, hence the reference.
    std::string references = std::string(postconf::kReference) + "=";
    std::vector<std::string> arguments{"-o", "", "-n"};
    for (const auto& setting : settings) {
        references += " $" + setting.first;
        arguments.push_back(setting.first);
    }
    arguments[1] = references;
    const std::map<std::string, std::string> set = postconf::valuesByName(postconf::read(arguments));
    for (const auto& setting : settings) {
        if (set.count(setting.first) == 0) {
            throw PostfixConfigurationError(
                "main.cf does not end with a newline; postconf would join the new setting onto "
                "its last line: add one first");
        }
    }
}

void PostfixConfiguration::checkPlans(const std::vector<ParameterPlan>& plans, bool strict) const {
    for (const ParameterPlan& plan : plans) {
        if (plan.refusal) {
            throw PostfixConfigurationError(*plan.refusal);
        }
    }
    // A service setting may have inherited an element with blanks inside
    // braces from main.cf.
    for (const ParameterPlan& plan : plans) {
        if (plan.changed && plan.after && plan.target.kind == Target::ServiceSetting) {
            for (const std::string& element : listElements(*plan.after)) {
                checkServiceText(element);
            }
        }
    }
    // The -e and -P arguments must fit their runs; only the main.cf ones can
    // become new lines there.
    Settings settings;
    Settings mainCfSettings;
    bool writesMasterCf = false;
    std::vector<std::string> services;
    for (const ParameterPlan& plan : plans) {
        for (const Warning& warning : plan.warnings) {
            if (strict && warning.strict) {
                throw PostfixConfigurationError(warning.text);
            }
        }
        writesMasterCf = writesMasterCf || (plan.changed && plan.target.inMasterCf());
        // Every edit of a service's setting needs the service, one that
        // finds nothing to change as well: a misspelt service is never
        // "unchanged".
        // One the batch sets is there by then.
        const std::string service = plan.target.service.serviceType();
        const bool entrySet = std::any_of(plans.begin(), plans.end(), [&](const ParameterPlan& p) {
            return p.key == service && p.target.kind == Target::ServiceEntry && p.after;
        });
        if (plan.target.inEntry() && !entrySet &&
            std::find(services.begin(), services.end(), service) == services.end()) {
            services.push_back(service);
        }
        if (!plan.changed || !plan.after) {
            continue;
        }
        settings.emplace_back(plan.key, *plan.after);
        if (!plan.target.inMasterCf()) {
            mainCfSettings.emplace_back(plan.key, *plan.after);
        }
    }
    checkWriteArguments(settings);
    checkMainCfEnding(mainCfSettings);
    // postconf -P moves the service's entry, to the end at times, where it
    // would join a last line that has no newline (a comment, say).
    if (writesMasterCf && endsWithoutNewline(masterCfPath())) {
        throw PostfixConfigurationError(
            "master.cf does not end with a newline; postconf would join the service's entry onto "
            "its last line: add one first");
    }
    // postconf -P accepts a service master.cf lacks and changes nothing.
    const std::vector<std::string> missing = postconf::missingServices(services);
    if (!missing.empty()) {
        throw PostfixConfigurationError("master.cf has no service \"" + missing.front() + "\"");
    }
}

void PostfixConfiguration::checkReadable(const std::vector<ParameterPlan>& plans,
                                         const RunState& state) {
    // postconf takes -o values for its run alone and fails on what it cannot
    // read, as every later run would (Postfix too): a list where one value
    // is wanted, a macro it cannot expand.
    std::vector<std::string> arguments{"-x"}, printed, references;
    std::vector<std::pair<std::string, std::string>> named;  // key, as the message names it
    for (const ParameterPlan& plan : plans) {
        std::string name = plan.key;
        if (!plan.changed) {
            continue;
        } else if (plan.target.setWhole()) {
            // Entries and fields are no parameters: no setting refers to
            // them, and postconf -M -e and -F -e check them as they write.
            continue;
        } else if (plan.target.inMasterCf()) {
            // postconf -P writes any macro, which postconf then fails to
            // expand (it only warns where Postfix neither knows NAME nor sees
            // it referred to); the reference stands for the service.
            // postconf -P -X only removes.
            if (!plan.after) {
                continue;
            }
            name = postconf::kReference + std::to_string(references.size());
            references.push_back("$" + name);
        } else if (!plan.after) {
            // Unset, a parameter of Postfix's (its default read found it
            // known) takes its default, which postconf reads by itself;
            // written out, a default can fail (mynetworks_style's compares a
            // compatibility_level not yet set).
            const std::optional<Reading>& fallback = state.find(plan.key)->fallback;
            if (!fallback || fallback->used) {
                continue;
            }
        }
        // A name unknown to Postfix expands to nothing once unset, as when
        // set to nothing: what refers to it may then fail.
        arguments.insert(arguments.end(), {"-o", name + "=" + plan.after.value_or("")});
        printed.push_back(name);
        named.emplace_back(plan.key, plan.after ? plan.key : plan.key + " (unset)");
    }
    if (printed.empty()) {
        return;
    }
    if (!references.empty()) {
        arguments.insert(arguments.end(), {"-o", postconf::kReference + std::string("=") +
                                                     boost::algorithm::join(references, " ")});
    }
    arguments.push_back("-h");
    arguments.insert(arguments.end(), printed.begin(), printed.end());
    checkRunFits(arguments);
    std::string output, errors;
    const int status = postconf::run(arguments, output, errors);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return;
    }
    // Unreadable before the new values, the configuration needs mending
    // first: this read fails as every read does, with the repair hint.
    std::vector<std::string> unchanged{"-x", "-h"};
    unchanged.insert(unchanged.end(), printed.begin(), printed.end());
    postconf::read(unchanged, false);

    std::string fatal = postconf::fatalLine(errors);
    if (fatal.empty()) {
        fatal = errors.empty() ? "unknown error" : boost::algorithm::trim_copy(errors);
    }
    const std::string culprit = postconf::namedParameter(errors);
    std::vector<std::string> subjects;
    for (const auto& [key, name] : named) {
        if (key == culprit) {
            subjects.assign(1, name);
            break;
        }
        subjects.push_back(name);
    }
    throw PostfixConfigurationError(
        std::string("postconf cannot read the configuration with the new value") +
        (subjects.size() > 1 ? "s" : "") + " of " + boost::algorithm::join(subjects, ", ") +
        ": " + fatal + "; nothing written");
}

}  // namespace kelmo::mail::postfix
