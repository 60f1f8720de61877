#include <cstdio>
#include <optional>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/FileMode.h"
#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "mail/postfix/Postconf.h"
#include "mail/postfix/ValueLists.h"

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
    readState(state, options.batch, options.reportSet);
    checkExpected(edits, state);
    std::vector<ParameterPlan> plans = planEdits(edits, state, options.compare);
    checkPlans(plans, options.strict);
    checkReadable(plans, state);
    if (!options.dryRun) {
        writePlans(plans, options.written);
    }
    return plans;
}

void PostfixConfiguration::readState(RunState& state, bool batch, bool reportSet) {
    postconf::Reads reads(batch ? postconf::Reads::Batched : postconf::Reads::PerName);
    // What each parameter holds first, and with a service setting its NAME
    // (forEdits wants it whatever the setting's read finds), so that a batch
    // reads every plain value in one run.
    for (ParameterState& parameter : state.parameters) {
        if (!parameter.readCurrent) {
            continue;
        }
        switch (parameter.target.kind) {
            case Target::ServiceSetting:
                reads.ask(postconf::Service, parameter.key, &parameter.current);
                reads.ask(postconf::Value, parameter.target.service.name, &parameter.fallback);
                break;
            case Target::ServiceEntry:
                reads.ask(postconf::Entry, parameter.key, &parameter.current);
                break;
            case Target::ServiceField:
                reads.ask(postconf::Field, parameter.key, &parameter.current);
                break;
            default:
                reads.ask(parameter.asSet ? postconf::AsSet : postconf::Value, parameter.key,
                          &parameter.current);
                // A value as Postfix uses it may be the default: it does not
                // say whether main.cf sets the parameter.
                if (reportSet && !parameter.asSet) {
                    reads.ask(postconf::AsSet, parameter.key, &parameter.setReading);
                }
        }
    }
    reads.run();
    // Then the defaults that list edits meeting a main.cf parameter not set
    // start from, known only once its read says whether it is set.
    for (ParameterState& parameter : state.parameters) {
        if (!parameter.target.inMasterCf() && parameter.needsFallback()) {
            reads.ask(postconf::Default, parameter.key, &parameter.fallback);
        }
    }
    reads.run();
    chooseCompatibilityBranches(state);
    if (state.wantMyNetworksDefault) {
        state.myNetworksDefault = defaultMyNetworks();
        state.localNetworks = localNetworks();
    }
}

void PostfixConfiguration::chooseCompatibilityBranches(RunState& state) {
    std::optional<std::string> level;  // read once, and only when a default needs it
    for (ParameterState& parameter : state.parameters) {
        for (std::optional<Reading>* reading : {&parameter.current, &parameter.fallback}) {
            const std::optional<CompatibilityDefault> byLevel =
                *reading ? compatibilityDefault((*reading)->value) : std::nullopt;
            if (!byLevel) {
                continue;
            }
            if (!level) {
                level = boost::algorithm::trim_copy(
                    postconf::read({"-x", "-h", "compatibility_level"}));
            }
            (*reading)->branch = levelBelow(*level, byLevel->level) ? byLevel->below
                                                                    : byLevel->otherwise;
        }
    }
}

void PostfixConfiguration::writePlans(const std::vector<ParameterPlan>& plans,
                                      std::vector<ParameterPlan>* written) const {
    // One kind of write: the plans it takes, postconf's arguments (options
    // first) and the plans it writes. main.cf first, then master.cf; each
    // one run for all its keys.
    struct WriteRun {
        Target::Kind target;
        bool sets;
        std::vector<std::string> arguments;
        std::vector<ParameterPlan> plans;
    };
    // An entry comes before its fields and settings, which need it; one
    // commented out is never edited in the same run (checkEdits).
    WriteRun runs[] = {{Target::MainCf, true, {"-e"}, {}},
                       {Target::MainCf, false, {"-X"}, {}},
                       {Target::ServiceEntry, true, {"-M", "-e"}, {}},
                       {Target::ServiceField, true, {"-F", "-e"}, {}},
                       {Target::ServiceSetting, true, {"-P"}, {}},
                       {Target::ServiceSetting, false, {"-P", "-X"}, {}},
                       {Target::ServiceEntry, false, {"-M#"}, {}}};
    bool writes[2] = {false, false};  // main.cf, master.cf
    for (const ParameterPlan& plan : plans) {
        for (WriteRun& run : runs) {
            if (plan.changed && run.target == plan.target.kind && run.sets == plan.after.has_value()) {
                // key=value travels as one argument: no quoting, no escaping.
                run.arguments.push_back(plan.after ? plan.key + "=" + *plan.after : plan.key);
                run.plans.push_back(plan);
                writes[run.target != Target::MainCf] = true;
            }
        }
    }
    // Noted before the first write, only of the files the edit writes:
    // main.cf's first, then master.cf's.
    const std::optional<FileMode> modes[2] = {
        writes[0] ? FileMode::of(mainCfPath) : std::nullopt,
        writes[1] ? FileMode::of(masterCfPath()) : std::nullopt};
    std::vector<std::string> landed;
    const auto failure = [&landed](std::string text) {
        if (text.empty() || text.back() != '\n') {
            text += "\n";
        }
        return PostfixConfigurationError(text + "written before this failure: " +
                                         boost::algorithm::join(landed, ", "));
    };
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
            throw failure(error.what());
        }
        // At once: the new file is world-readable until then.
        const std::optional<FileMode>& mode = modes[run.target != Target::MainCf];
        const std::string notPutBack = mode ? mode->putBack() : std::string();
        for (const ParameterPlan& plan : run.plans) {
            landed.push_back(plan.after ? plan.key : plan.key + " (unset)");
        }
        if (written != nullptr) {
            written->insert(written->end(), run.plans.begin(), run.plans.end());
        }
        if (!notPutBack.empty()) {
            char text[96];
            std::snprintf(text, sizeof text, "could not put back mode %04o and owner %u:%u on ",
                          static_cast<unsigned>(mode->mode), static_cast<unsigned>(mode->owner),
                          static_cast<unsigned>(mode->group));
            throw failure(text + mode->path + " after the write: " + notPutBack);
        }
    }
}

}  // namespace kelmo::mail::postfix
