#include "mail/postfix/EditPlan.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/ValueLists.h"

namespace kelmo::mail::postfix {

namespace {

// The parameters a reload does not put in force, each from its description
// in postconf(5): inet_interfaces "you need to stop and start Postfix when
// this parameter changes"; inet_protocols "you MUST stop and start Postfix
// after changing this parameter".
const std::string kRestartOnly[] = {"inet_interfaces", "inet_protocols"};

// A parameter as the batch has left it so far.
struct Draft {
    std::string text;
    bool set = true;         // set in its file, as far as the run knows
    bool write = false;      // some edit decided to write it
    bool unset = false;      // the batch leaves it not set
    bool mentioned = false;  // an edit named it already
    std::vector<std::string> appended;  // values its appends added
    bool asRead = true;      // text is still the value read
};

// postconf -P refuses whitespace in a value, so a service setting's list is
// joined with "," alone; an element that still holds a blank (inside braces)
// is refused before writing.
std::string serviceList(const std::string& text) {
    std::vector<std::string> elements = listElements(text);
    elements.erase(std::remove(elements.begin(), elements.end(), std::string()), elements.end());
    return boost::algorithm::join(elements, ",");
}

// The list a list edit starts from when its parameter is not set: the
// fallback read, or for a service setting NAME as the batch has left it, as
// separate runs would see it.
std::string startNotSet(const ValueEdit& edit, const RunState& state,
                        const std::vector<Draft>& drafts, const ParameterState& parameter) {
    if (edit.target.kind == Target::ServiceSetting) {
        const ParameterState* name = state.find(edit.target.service.name);
        const Draft* inherited =
            name != nullptr ? &drafts[static_cast<std::size_t>(name - state.parameters.data())]
                            : nullptr;
        if (inherited != nullptr && inherited->mentioned) {
            if (!inherited->unset) {
                return inherited->asRead && name->current ? name->current->list() : inherited->text;
            }
            return name->fallback ? name->fallback->list() : std::string();
        }
    }
    return parameter.fallback ? parameter.fallback->list() : std::string();
}

// Why a list edit of current cannot be planned, or nothing.
std::optional<std::string> refusalOf(const ValueEdit& edit, const std::string& current,
                                     bool anchorFound) {
    if (hasUnclosedBrace(current)) {
        return edit.key + " has an unclosed \"{\": Postfix reads the rest of the list as one "
                          "element; set it whole with --replace";
    }
    if (!anchorFound) {
        return "\"" + edit.anchor + "\" is not an element of " + edit.key + ": nothing written";
    }
    return std::nullopt;
}

// The elements that always end a restriction list's evaluation.
const char* terminalBefore(const std::vector<std::string>& elements,
                           const std::vector<std::string>& run) {
    const auto found = std::search(elements.begin(), elements.end(), run.begin(), run.end());
    for (auto element = elements.begin(); element != found; ++element) {
        for (const char* word : {"permit", "reject", "defer"}) {
            if (*element == word) {
                return word;
            }
        }
    }
    return nullptr;
}

ListEdit planListEdit(const ValueEdit& edit, const std::string& current, const std::string& value,
                      bool& anchorFound) {
    anchorFound = true;
    if (edit.placement != ValueEdit::AtEnd) {
        const Place place = edit.placement == ValueEdit::Before ? Place::Before : Place::After;
        return planPlace(current, value, edit.anchor, place, anchorFound);
    }
    switch (edit.kind) {
        case ValueEdit::Remove:
            return planRemove(current, value);
        case ValueEdit::AppendPair:
            return planAppendPair(current, edit.value);  // stored as given
        default: {
            ListEdit decided = planAppend(current, value);
            // Writing mynetworks back stores the narrowed local networks that
            // the read put in place of Postfix's implicit default.
            if (!decided.write && edit.key == "mynetworks") {
                decided = {true, current};
            }
            return decided;
        }
    }
}

std::string joinWords(const std::vector<std::string>& words) {
    return boost::algorithm::join(words, " ");
}

// Where the entry's "-o NAME=..." stands, or where postconf -P would add it:
// at the end of the options that follow the command. Returns the index of
// "-o" and whether it is there.
std::pair<std::size_t, bool> settingAt(const std::vector<std::string>& words,
                                       const std::string& name) {
    std::size_t i = 8;
    while (i < words.size() && words[i].size() > 1 && words[i][0] == '-' && words[i] != "--") {
        if (words[i] == "-o" && i + 1 < words.size()) {
            if (words[i + 1].compare(0, name.size() + 1, name + "=") == 0) {
                return {i, true};
            }
            ++i;
        }
        ++i;
    }
    return {std::min(i, words.size()), false};
}

// A setting as an entry the batch has set holds it; nullopt when it does not.
std::optional<std::string> settingOf(const std::string& entry, const std::string& name) {
    const std::vector<std::string> words = entryWords(entry);
    const auto [at, found] = settingAt(words, name);
    return found ? std::optional(words[at + 1].substr(name.size() + 1)) : std::nullopt;
}

// The entry as postconf -P or -P -X leaves it once NAME is set to value or,
// for nullopt, removed.
std::string withSetting(const std::string& entry, const std::string& name,
                        const std::optional<std::string>& value) {
    std::vector<std::string> words = entryWords(entry);
    if (words.size() < 8) {
        return entry;
    }
    const auto [at, found] = settingAt(words, name);
    const auto first = words.begin() + static_cast<std::ptrdiff_t>(at);
    if (found) {
        words.erase(first, first + 2);
    }
    if (value) {
        words.insert(words.begin() + static_cast<std::ptrdiff_t>(at), {"-o", name + "=" + *value});
    }
    return joinWords(words);
}

// The entry as postconf -F -e leaves it once the field is set to value.
std::string withField(const std::string& entry, const std::string& field,
                      const std::string& value) {
    std::vector<std::string> words = entryWords(entry);
    const int index = serviceFieldIndex(field);
    if (index < 0 || static_cast<std::size_t>(index) >= words.size() || value.empty()) {
        return entry;
    }
    words[static_cast<std::size_t>(index)] = value;
    return joinWords(words);
}

// Postfix stops a restriction list at the first element that decides for
// every client: a value left after one is never looked at.
void warnUnreachable(ParameterPlan& plan, const std::vector<std::string>& appended) {
    const std::string& name =
        plan.target.inMasterCf() ? plan.target.service.name : plan.key;
    const std::string suffix = "_restrictions";
    if (!plan.after || name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return;
    }
    std::vector<std::string> elements = listElements(*plan.after);
    std::transform(elements.begin(), elements.end(), elements.begin(), printedForm);
    for (const std::string& value : appended) {
        if (const char* word = terminalBefore(elements, listRun(value))) {
            plan.warnings.push_back(unreachableWarning(plan.key, value, word));
        }
    }
}

std::size_t indexOf(const RunState& state, const std::string& key) {
    return static_cast<std::size_t>(state.find(key) - state.parameters.data());
}

// Where a parameter's plan and draft start: what was read, and the warnings
// the read alone gives.
void startPlan(const ParameterState& parameter, ParameterPlan& plan, Draft& draft) {
    plan.key = parameter.key;
    plan.target = parameter.target;
    const std::optional<Reading>& asSet = parameter.asSet ? parameter.current : parameter.setReading;
    plan.beforeSet = asSet && asSet->set;
    if (parameter.current) {
        draft.text = parameter.current->value;
        draft.set = parameter.current->set;
        plan.before = parameter.current->value;
        if (!parameter.current->used) {
            plan.warnings.push_back(unusedParameterWarning(parameter.key));
        }
    }
    // A service setting is of use only when Postfix knows its NAME.
    if (parameter.target.kind == Target::ServiceSetting && parameter.fallback &&
        !parameter.fallback->used) {
        plan.warnings.push_back(unusedParameterWarning(parameter.target.service.name));
    }
}

// A field or setting of an entry that the batch has set starts from that
// entry and changes it, as separate runs would; the entry is then written as
// it ends. The entry's draft, or null.
Draft* entryOf(const ValueEdit& edit, const RunState& state, std::vector<Draft>& drafts) {
    const ParameterState* entry =
        edit.target.inEntry() ? state.find(edit.target.service.serviceType()) : nullptr;
    Draft* draft = entry != nullptr ? &drafts[indexOf(state, entry->key)] : nullptr;
    return draft != nullptr && draft->mentioned && !draft->unset ? draft : nullptr;
}

// A setting takes what the entry the batch set holds for it.
void followEntry(const Draft& entry, const std::string& name, Draft& draft) {
    const std::optional<std::string> inEntry = settingOf(entry.text, name);
    draft.set = inEntry.has_value();
    draft.text = inEntry.value_or(std::string());
    draft.asRead = false;
}

// A replacement or an unset, and every edit of an entry or a field: the value
// is set whole.
bool setsWhole(const ValueEdit& edit) {
    return !edit.isListEdit() || edit.target.setWhole();
}

// postconf -e stores a value without blanks at its ends, a carriage return
// among them: decide on that form, or a value given with a trailing "\r"
// would never be found again and be appended each run.
std::string storedForm(const ValueEdit& edit) {
    return boost::algorithm::trim_copy(edit.value);
}

void applyWhole(const ValueEdit& edit, Draft& draft, Draft* entry) {
    const std::string value = storedForm(edit);
    draft.asRead = false;
    draft.unset = edit.kind == ValueEdit::Unset;
    draft.write = draft.write || !draft.unset;
    // An entry as postconf -M prints it, each run of blanks one.
    draft.text = draft.unset                                ? std::string()
                 : edit.target.kind == Target::ServiceEntry ? printedForm(value)
                                                            : value;
    draft.set = !draft.unset;
    const std::string& name = edit.target.service.name;
    if (entry != nullptr && edit.target.kind == Target::ServiceField) {
        entry->text = withField(entry->text, name, value);
    } else if (entry != nullptr) {
        entry->text = withSetting(entry->text, name,
                                  draft.unset ? std::nullopt : std::optional(value));
    }
}

void applyListEdit(const ValueEdit& edit, const RunState& state, std::vector<Draft>& drafts,
                   std::size_t at, ParameterPlan& plan, Draft* entry) {
    const ParameterState& parameter = state.parameters[at];
    Draft& draft = drafts[at];
    const std::string value = storedForm(edit);
    std::string current = !draft.set ? startNotSet(edit, state, drafts, parameter)
                          : draft.asRead && parameter.current ? parameter.current->list()
                                                              : draft.text;
    // A service's own mynetworks is used as written.
    if (edit.key == "mynetworks") {
        current = chooseMyNetworks(current, state.myNetworksDefault, state.localNetworks);
    }
    bool anchorFound = true;
    const ListEdit decided = planListEdit(edit, current, value, anchorFound);
    if (!plan.refusal) {
        plan.refusal = refusalOf(edit, current, anchorFound);
    }
    if (!decided.write) {
        return;
    }
    if (edit.kind == ValueEdit::Append) {
        draft.appended.push_back(value);
    }
    draft.asRead = false;
    draft.write = true;
    draft.unset = false;
    draft.text = edit.target.inMasterCf() ? serviceList(decided.text) : decided.text;
    draft.set = true;
    if (entry != nullptr) {
        entry->text = withSetting(entry->text, edit.target.service.name, draft.text);
    }
}

// What the run does with a parameter in the end: with compare, a value that
// comes back as read is not written; a setting found not set had no value of
// its own and stays not set unless written.
void finishPlan(const std::optional<Reading>& read, bool compare, Draft& draft,
                ParameterPlan& plan) {
    const bool wasSet = !read || read->set;
    if (draft.unset) {
        draft.write = wasSet;
    } else if (compare && wasSet && read &&
               read->value == printedForm(boost::algorithm::trim_copy(draft.text))) {
        draft.write = false;
    }
    if (!wasSet) {
        plan.before.reset();
        draft.unset = draft.unset || !draft.write;
    }
    plan.changed = draft.write;
    if (draft.write && plan.target.kind == Target::MainCf &&
        std::find(std::begin(kRestartOnly), std::end(kRestartOnly), plan.key) !=
            std::end(kRestartOnly)) {
        plan.warnings.emplace_back(restartWarning(plan.key), false);
    }
    if (!draft.unset) {
        plan.after = draft.text;
    }
    warnUnreachable(plan, draft.appended);
}

}  // namespace

ValueEdit::ValueEdit(Kind kind, std::string key, std::string value, Placement placement,
                     std::string anchor)
    : kind(kind),
      key(std::move(key)),
      value(std::move(value)),
      target(Target::of(this->key)),
      placement(placement),
      anchor(std::move(anchor)) {}

bool ParameterState::needsFallback() const {
    return current && (current->set ? fallbackIfSet : fallbackIfNotSet);
}

const ParameterState* RunState::find(const std::string& key) const {
    const auto at = index_.find(key);
    return at == index_.end() ? nullptr : &parameters[at->second];
}

RunState RunState::forEdits(const std::vector<ValueEdit>& edits, bool compare) {
    RunState state;
    for (const ValueEdit& edit : edits) {
        const auto [at, added] = state.index_.emplace(edit.key, state.parameters.size());
        if (added) {
            ParameterState parameter;
            parameter.key = edit.key;
            parameter.target = edit.target;
            // An entry or a field is always read: postconf -M -e and -F -e
            // rewrite master.cf, and a missing entry must be told apart.
            parameter.readCurrent =
                compare || edit.kind != ValueEdit::Replace || edit.target.setWhole();
            // A service setting's NAME is read whenever the setting is: that
            // read says whether Postfix uses NAME at all.
            parameter.fallbackIfSet = parameter.fallbackIfNotSet =
                edit.target.kind == Target::ServiceSetting;
            state.parameters.push_back(parameter);
        }
        ParameterState& parameter = state.parameters[at->second];
        // A guard compares with what the file sets, not with a default.
        parameter.readCurrent = parameter.readCurrent || edit.guarded;
        parameter.asSet = parameter.asSet || edit.target.inMasterCf() ||
                          edit.kind == ValueEdit::Unset || edit.guarded;
        // What Postfix uses once a main.cf parameter is unset is its default,
        // which the check of the new configuration takes in its place.
        if (edit.kind == ValueEdit::Unset && !edit.target.inMasterCf()) {
            parameter.readCurrent = parameter.fallbackIfSet = true;
        }
        // Only a list edit looks at mynetworks through its default replacement.
        state.wantMyNetworksDefault =
            state.wantMyNetworksDefault || (edit.key == "mynetworks" && edit.isListEdit());
    }
    // Whether a list edit of a main.cf parameter, or of a service setting
    // that inherits it, meets it not set, for a read that finds it set and
    // for one that does not; the edits after the first such meeting do not
    // matter.
    std::vector<std::pair<bool, bool>> set(state.parameters.size(), {true, false});
    for (const ValueEdit& edit : edits) {
        const std::size_t own = state.index_.at(edit.key);
        // Entries and fields hold no list and inherit nothing.
        if (edit.target.setWhole()) {
            continue;
        }
        if (!edit.isListEdit()) {
            set[own].first = set[own].second = edit.kind == ValueEdit::Replace;
            continue;
        }
        const auto inherited = edit.target.kind == Target::ServiceSetting
                                   ? state.index_.find(edit.target.service.name)
                                   : state.index_.find(edit.key);
        if (inherited != state.index_.end()) {
            ParameterState& parameter = state.parameters[inherited->second];
            parameter.fallbackIfSet = parameter.fallbackIfSet || !set[inherited->second].first;
            parameter.fallbackIfNotSet =
                parameter.fallbackIfNotSet || !set[inherited->second].second;
        }
    }
    return state;
}

std::string restartWarning(const std::string& key) {
    return "Postfix applies " + key +
           " only when it starts: run \"postfix stop\" and \"postfix start\"";
}

std::string unusedParameterWarning(const std::string& key) {
    return "Postfix does not use parameter \"" + key +
           "\": the name is unknown to it and nothing refers to $" + key;
}

std::string unreachableWarning(const std::string& key, const std::string& value,
                               const std::string& word) {
    return key + ": \"" + value + "\" follows \"" + word +
           "\", where Postfix always stops: it is never reached; place it with --before " + word;
}

std::vector<ParameterPlan> planEdits(const std::vector<ValueEdit>& edits, const RunState& state,
                                     bool compare) {
    std::vector<ParameterPlan> plans(state.parameters.size());
    std::vector<Draft> drafts(state.parameters.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
        startPlan(state.parameters[i], plans[i], drafts[i]);
    }
    for (const ValueEdit& edit : edits) {
        const std::size_t at = indexOf(state, edit.key);
        drafts[at].mentioned = true;
        Draft* entry = entryOf(edit, state, drafts);
        if (entry != nullptr && edit.target.kind == Target::ServiceSetting) {
            followEntry(*entry, edit.target.service.name, drafts[at]);
        }
        if (setsWhole(edit)) {
            applyWhole(edit, drafts[at], entry);
        } else {
            applyListEdit(edit, state, drafts, at, plans[at], entry);
        }
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        finishPlan(state.parameters[i].current, compare, drafts[i], plans[i]);
    }
    return plans;
}

std::vector<ValueEdit> undoEdits(const std::vector<ParameterPlan>& plans) {
    // The fields and settings of an entry the run created go with that
    // entry's undo, which comments out its -o lines too: a field is never
    // unset on its own, and a batch edits no setting after its entry's unset.
    std::vector<std::string> created;
    for (const ParameterPlan& plan : plans) {
        if (plan.changed && !plan.beforeSet && plan.target.kind == Target::ServiceEntry) {
            created.push_back(plan.target.service.serviceType());
        }
    }
    std::vector<ValueEdit> edits;
    for (const ParameterPlan& plan : plans) {
        const bool ofCreated =
            plan.target.kind != Target::ServiceEntry &&
            std::find(created.begin(), created.end(), plan.target.service.serviceType()) !=
                created.end();
        if (!plan.changed || ofCreated ||
            (plan.target.kind == Target::ServiceField && !plan.beforeSet)) {
            continue;
        }
        edits.push_back(plan.beforeSet ? ValueEdit(ValueEdit::Replace, plan.key, *plan.before)
                                       : ValueEdit(ValueEdit::Unset, plan.key));
        edits.back().guarded = true;
        edits.back().expected = plan.after;
    }
    return edits;
}

}  // namespace kelmo::mail::postfix
