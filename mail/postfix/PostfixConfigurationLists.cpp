#include <algorithm>

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
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

// Every edit of the command line goes through here, a single one as much as
// a batch: read what the edits need, plan in memory, write once.
std::vector<ParameterPlan> PostfixConfiguration::applyEdits(const std::vector<ValueEdit>& edits,
                                                            const EditOptions& options) {
    // Only a list edit looks at mynetworks through its default replacement.
    bool wantDefault = std::any_of(edits.begin(), edits.end(), [](const ValueEdit& edit) {
        return edit.key == "mynetworks" && edit.kind != ValueEdit::Replace;
    });
    checkEdits(edits);
    const FileLock lock = lockMainCf();
    Readings readings;
    for (const std::string& key : keysToRead(edits, options.compare)) {
        readings.values.emplace_back(key, readValue(key, false));
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

    std::vector<ParameterPlan> plans = planEdits(edits, readings, options.compare);
    // Refused before the write, so that nothing of the run lands in main.cf.
    for (const ParameterPlan& plan : plans) {
        if (options.strict && !plan.warnings.empty()) {
            throw PostfixConfigurationError(plan.warnings.front());
        }
    }
    Settings settings;
    for (const ParameterPlan& plan : plans) {
        if (plan.write) {
            settings.emplace_back(plan.key, plan.text);
        }
    }
    checkWriteArguments(settings);
    checkMainCfEnding(settings);
    if (!settings.empty() && !options.dryRun) {
        writeParameters(settings);
    }
    return plans;
}

}  // namespace kelmo::mail::postfix
