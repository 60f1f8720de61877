#include <boost/algorithm/string/join.hpp>

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/Postconf.h"

// The edits read, decide and write under one main.cf lock: with the lock
// around the write alone, two runs appending different values to the same
// parameter would both read the old list and the later write would drop the
// earlier one's value. The lock is taken once; a second FileLock on the same
// name in this process would wait for itself. What the edits alone show to be
// refused is refused before the lock, as before any postconf run.

namespace kelmo::mail::postfix {

void PostfixConfiguration::appendValue(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Append, key, value}}, EditOptions());
}

void PostfixConfiguration::removeValue(const std::string& key, const std::string& value) {
    applyEdits({{ValueEdit::Remove, key, value}}, EditOptions());
}

void PostfixConfiguration::appendPairValue(const std::string& key, const std::string& first,
                                           const std::string& second) {
    applyEdits({{ValueEdit::AppendPair, key, first + " " + second}}, EditOptions());
}

// Every edit goes through here, a single one as much as a batch: check,
// lock, read, plan, check (postconf itself last), write.
std::vector<ParameterPlan> PostfixConfiguration::applyEdits(const std::vector<ValueEdit>& edits,
                                                            const EditOptions& options) {
    checkEdits(edits);
    const FileLock lock = lockMainCf();
    RunState state = RunState::forEdits(edits, options.compare);
    readState(state);
    std::vector<ParameterPlan> plans = planEdits(edits, state, options.compare);
    checkPlans(plans, options.strict);
    checkReadable(plans, state);
    if (!options.dryRun) {
        writePlans(plans, options.written);
    }
    return plans;
}

void PostfixConfiguration::readState(RunState& state) {
    using postconf::readParameter;
    bool wantDefault = state.wantMyNetworksDefault;
    const auto readMyNetworksDefault = [&state, &wantDefault] {
        state.myNetworksDefault = defaultMyNetworks();
        state.localNetworks = localNetworks();
        wantDefault = false;
    };
    for (ParameterState& parameter : state.parameters) {
        if (!parameter.readCurrent) {
            continue;
        }
        const bool service = parameter.target.inMasterCf();
        parameter.current = service ? readParameter({"-P", "-h"}, parameter.key, postconf::KeepHidden)
                            : parameter.asSet
                                ? readParameter({"-n", "-h"}, parameter.key, postconf::FindHidden)
                                : readParameter({"-h"}, parameter.key, postconf::FindHidden);
        if (parameter.needsFallback()) {
            parameter.fallback =
                service ? readParameter({"-h"}, parameter.target.service.name, postconf::FindHidden)
                        : readParameter({"-h", "-d"}, parameter.key, postconf::KeepHidden);
        }
        if (parameter.key == "mynetworks" && wantDefault) {
            readMyNetworksDefault();
        }
    }
    if (wantDefault) {  // mynetworks replaced before it was edited as a list
        readMyNetworksDefault();
    }
}

void PostfixConfiguration::writePlans(
    const std::vector<ParameterPlan>& plans,
    const boost::function<void(const std::vector<ParameterPlan>&)>& written) {
    // One kind of write: the plans it takes, postconf's arguments (options
    // first) and the plans it writes. main.cf first, then master.cf; each
    // one run for all its keys.
    struct WriteRun {
        Target::Kind target;
        bool sets;
        std::vector<std::string> arguments;
        std::vector<ParameterPlan> plans;
    };
    WriteRun runs[] = {{Target::MainCf, true, {"-e"}, {}},
                       {Target::MainCf, false, {"-X"}, {}},
                       {Target::ServiceSetting, true, {"-P"}, {}},
                       {Target::ServiceSetting, false, {"-P", "-X"}, {}}};
    for (const ParameterPlan& plan : plans) {
        for (WriteRun& run : runs) {
            if (plan.changed && run.target == plan.target.kind && run.sets == plan.after.has_value()) {
                // key=value travels as one argument: no quoting, no escaping.
                run.arguments.push_back(plan.after ? plan.key + "=" + *plan.after : plan.key);
                run.plans.push_back(plan);
            }
        }
    }
    std::vector<std::string> landed;
    for (const WriteRun& run : runs) {
        if (run.plans.empty()) {
            continue;
        }
        try {
            postconf::write(run.arguments);
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
            landed.push_back(plan.after ? plan.key : plan.key + " (unset)");
        }
        if (written) {
            written(run.plans);
        }
    }
}

}  // namespace kelmo::mail::postfix
