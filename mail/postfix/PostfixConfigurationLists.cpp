#include <algorithm>
#include <optional>

#include <boost/algorithm/string/join.hpp>

#include "mail/postfix/FileEnding.h"
#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/ServiceKey.h"
#include "mail/postfix/ValueLists.h"

// The list edits read, decide and write under one main.cf lock: with the lock
// around the write alone, two runs appending different values to the same
// parameter would both read the old list and the later write would drop the
// earlier one's value. The lock is taken once; a second FileLock on the same
// name in this process would wait for itself, hence writeParameters. What
// the edits alone show to be refused is refused before the lock, as before
// any postconf run.

namespace kelmo::mail::postfix {

void PostfixConfiguration::appendValue(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Append, key, value}}, EditOptions());
}

void PostfixConfiguration::removeValue(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Remove, key, value}}, EditOptions());
}

void PostfixConfiguration::appendPairValue(const std::string& key, const std::string& first,
                                           const std::string& second) {
    checkParameterName(key);
    const FileLock lock = lockMainCf();
    const ListEdit edit = planAppendPair(getParameter(key, false), first, second);
    if (edit.write) {
        writeParameters({{key, edit.text}});
    }
}

namespace {

bool unsets(const std::vector<ValueEdit>& edits, const std::string& key) {
    return std::any_of(edits.begin(), edits.end(), [&](const ValueEdit& edit) {
        return edit.key == key && edit.kind == ValueEdit::Unset;
    });
}

// One kind of write: postconf's arguments, options first, and the plans it
// writes.
struct WriteRun {
    std::vector<std::string> arguments;
    std::vector<ParameterPlan> plans;
};

}  // namespace

// Every edit of the command line goes through here, a single one as much as
// a batch: read what the edits need, plan in memory, write once.
std::vector<ParameterPlan> PostfixConfiguration::applyEdits(const std::vector<ValueEdit>& edits,
                                                            const EditOptions& options) {
    checkEdits(edits);
    const FileLock lock = lockMainCf();
    std::vector<ParameterPlan> plans =
        planEdits(edits, readEdits(edits, options.compare), options.compare);
    checkPlans(plans, options.strict);
    if (!options.dryRun) {
        writePlans(plans, options.written);
    }
    return plans;
}

Readings PostfixConfiguration::readEdits(const std::vector<ValueEdit>& edits, bool compare) {
    // Only a list edit looks at mynetworks through its default replacement.
    bool wantDefault = std::any_of(edits.begin(), edits.end(), [](const ValueEdit& edit) {
        return edit.key == "mynetworks" &&
               (edit.kind == ValueEdit::Append || edit.kind == ValueEdit::Remove);
    });
    Readings readings;
    for (const std::string& key : keysToRead(edits, compare)) {
        const std::optional<ServiceKey> service = serviceKey(key);
        bool set = true;
        readings.values.emplace_back(key, service || unsets(edits, key) ? readSetting(key, set)
                                                                        : readValue(key, false));
        if (!set) {
            readings.notSet.push_back(key);
        }
        // What a parameter not set falls back to: a service to the main.cf
        // value, which Postfix's default may stand in for. A service's NAME
        // is read whenever the setting is: that read says whether Postfix
        // uses NAME at all.
        if (service) {
            readings.fallbacks.emplace_back(key, readValue(service->name, false));
        } else if (needsFallback(edits, key, set)) {
            readings.fallbacks.emplace_back(key, readValue(key, true));
        }
        // Right after the value, as getParameter reads them.
        if (key == "mynetworks" && wantDefault) {
            readings.myNetworksDefault = defaultMyNetworks();
            readings.localNetworks = localNetworks();
            wantDefault = false;
        }
    }
    if (wantDefault) {  // mynetworks replaced before it was edited as a list
        readings.myNetworksDefault = defaultMyNetworks();
        readings.localNetworks = localNetworks();
    }
    return readings;
}

void PostfixConfiguration::checkPlans(const std::vector<ParameterPlan>& plans, bool strict) const {
    // The -e and -P arguments must fit their runs; only the main.cf ones can
    // become new lines there.
    Settings settings;
    Settings mainCfSettings;
    bool writesMasterCf = false;
    std::vector<std::string> services;
    for (const ParameterPlan& plan : plans) {
        if (strict && !plan.warnings.empty()) {
            throw PostfixConfigurationError(plan.warnings.front());
        }
        const std::optional<ServiceKey> service = serviceKey(plan.key);
        writesMasterCf = writesMasterCf || (plan.write && service);
        if (!plan.write || plan.unset) {
            continue;
        }
        settings.emplace_back(plan.key, plan.text);
        if (!service) {
            mainCfSettings.emplace_back(plan.key, plan.text);
        } else if (std::find(services.begin(), services.end(), service->serviceType()) ==
                   services.end()) {
            services.push_back(service->serviceType());
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
    for (const std::string& service : services) {
        if (!hasService(service)) {
            throw PostfixConfigurationError("master.cf has no service \"" + service + "\"");
        }
    }
}

void PostfixConfiguration::writePlans(
    const std::vector<ParameterPlan>& plans,
    const boost::function<void(const std::vector<ParameterPlan>&)>& written) {
    // main.cf first, then master.cf; each write one run for all its keys.
    WriteRun runs[] = {{{"-e"}, {}}, {{"-X"}, {}}, {{"-P"}, {}}, {{"-P", "-X"}, {}}};
    for (const ParameterPlan& plan : plans) {
        if (plan.write) {
            WriteRun& run = runs[(serviceKey(plan.key) ? 2 : 0) + (plan.unset ? 1 : 0)];
            run.arguments.push_back(plan.unset ? plan.key : plan.key + "=" + plan.text);
            run.plans.push_back(plan);
        }
    }
    std::vector<std::string> landed;
    for (const WriteRun& run : runs) {
        if (run.plans.empty()) {
            continue;
        }
        try {
            runWrite(run.arguments);
        } catch (const PostfixConfigurationError& error) {
            if (landed.empty()) {
                throw;
            }
            std::string text = error.what();
            if (text.empty() || text.back() != '\n') {
                text += "\n";
            }
            throw PostfixConfigurationError(text + "written before this failure: " +
                                            boost::algorithm::join(landed, ", "));
        }
        for (const ParameterPlan& plan : run.plans) {
            landed.push_back(plan.unset ? plan.key + " (unset)" : plan.key);
        }
        if (written) {
            written(run.plans);
        }
    }
}

}  // namespace kelmo::mail::postfix
