#include "mail/postfix/ValueLists.h"

#include <algorithm>
#include <map>
#include <string_view>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/ServiceKey.h"

namespace kelmo::mail::postfix {

namespace {

const char kJoiner[] = ", ";
const char kSeparators[] = " \t,";

// Postfix splits lists this way: a separator inside balanced braces (an
// inline: map, a ${...} expression) does not split, and an opening brace never
// closed keeps the rest of the text in its element. A '}' with no open brace
// is an ordinary character.
std::vector<std::string> splitOutsideBraces(const std::string& text, std::string_view separators) {
    std::vector<std::string> elements;
    if (text.empty()) {
        return elements;
    }
    std::string element;
    int depth = 0;
    bool separated = false;
    for (const char c : text) {
        if (depth == 0 && separators.find(c) != std::string_view::npos) {
            if (!separated) {
                elements.push_back(element);
                element.clear();
                separated = true;
            }
            continue;
        }
        separated = false;
        if (c == '{') {
            ++depth;
        } else if (c == '}' && depth > 0) {
            --depth;
        }
        element += c;
    }
    elements.push_back(element);
    return elements;
}

// What value looks for among the elements: itself when it holds no
// separator outside braces, else its non-empty elements. Separators at its
// ends belong to no element; counting them would make a value appended once
// never found again.
std::vector<std::string> wantedRun(const std::string& value) {
    std::vector<std::string> run = listElements(value);
    if (run.size() <= 1) {
        return {value};
    }
    run.erase(std::remove(run.begin(), run.end(), std::string()), run.end());
    return run;
}

// The reading listed for key, or null when the batch did not read it.
const Reading* readingOf(const std::vector<std::pair<std::string, Reading>>& readings,
                         const std::string& key) {
    for (const auto& [name, reading] : readings) {
        if (name == key) {
            return &reading;
        }
    }
    return nullptr;
}

bool contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// postconf -P refuses whitespace in a value, so a service setting's list is
// joined with "," alone.
std::string serviceList(const std::string& text) {
    std::vector<std::string> elements = listElements(text);
    elements.erase(std::remove(elements.begin(), elements.end(), std::string()), elements.end());
    for (const std::string& element : elements) {
        checkServiceText(element);
    }
    return boost::algorithm::join(elements, ",");
}

}  // namespace

std::vector<std::string> listElements(const std::string& value) {
    return splitOutsideBraces(value, kSeparators);
}

ListEdit planAppend(const std::string& key, const std::string& current, const std::string& value) {
    ListEdit edit;
    const std::vector<std::string> elements = listElements(current);
    const std::vector<std::string> run = wantedRun(value);
    // A run of no elements (a value of separators alone) adds nothing.
    if (std::search(elements.begin(), elements.end(), run.begin(), run.end()) != elements.end() ||
        run.empty()) {
        // Writing mynetworks back stores the narrowed local networks that the
        // read put in place of Postfix's implicit default.
        if (key == "mynetworks") {
            edit.write = true;
            edit.text = current;
        }
        return edit;
    }
    edit.write = true;
    // The current text stays exactly as read, separators and all.
    edit.text = elements.empty() ? value : current + kJoiner + value;
    return edit;
}

ListEdit planRemove(const std::string& current, const std::string& value) {
    ListEdit edit;
    const std::vector<std::string> elements = listElements(current);
    const std::vector<std::string> run = wantedRun(value);
    std::vector<std::string> kept;
    auto from = elements.begin();
    while (!run.empty()) {
        const auto found = std::search(from, elements.end(), run.begin(), run.end());
        kept.insert(kept.end(), from, found);
        if (found == elements.end()) {
            break;
        }
        edit.write = true;
        from = found + run.size();
    }
    if (edit.write) {
        edit.text = boost::algorithm::join(kept, kJoiner);
    }
    return edit;
}

ListEdit planAppendPair(const std::string& current, const std::string& first,
                        const std::string& second) {
    const std::string element = first + " " + second;
    std::vector<std::string> kept;
    if (!current.empty()) {
        const std::string wanted = boost::algorithm::trim_copy(element);
        for (std::string& piece : splitOutsideBraces(current, ",")) {
            boost::algorithm::trim(piece);
            if (piece.empty()) {
                continue;
            }
            if (piece == wanted) {
                return ListEdit();
            }
            kept.push_back(piece);
        }
    }
    kept.push_back(element);
    ListEdit edit;
    edit.write = true;
    edit.text = boost::algorithm::join(kept, kJoiner);
    return edit;
}

std::string unusedParameterWarning(const std::string& key) {
    return "Postfix does not use parameter \"" + key +
           "\": the name is unknown to it and nothing refers to $" + key;
}

std::vector<std::string> keysToRead(const std::vector<ValueEdit>& edits, bool compare) {
    std::vector<std::string> keys;
    std::vector<std::string> seen;
    for (const ValueEdit& edit : edits) {
        if (std::find(seen.begin(), seen.end(), edit.key) != seen.end()) {
            continue;
        }
        seen.push_back(edit.key);
        if (compare || edit.kind != ValueEdit::Replace) {
            keys.push_back(edit.key);
        }
    }
    return keys;
}

bool needsFallback(const std::vector<ValueEdit>& edits, const std::string& key, bool set) {
    for (const ValueEdit& edit : edits) {
        const bool listEdit = edit.kind == ValueEdit::Append || edit.kind == ValueEdit::Remove;
        const std::optional<ServiceKey> service = serviceKey(edit.key);
        if (edit.key == key && !listEdit) {
            set = edit.kind == ValueEdit::Replace;
        } else if (!set && listEdit && (edit.key == key || (service && service->name == key))) {
            // key itself, or a service setting that inherits it
            return true;
        }
    }
    return false;
}

std::vector<ParameterPlan> planEdits(const std::vector<ValueEdit>& edits, const Readings& readings,
                                     bool compare) {
    std::vector<ParameterPlan> plans;
    std::vector<char> set;  // each plan's parameter set as the batch goes, as far as known
    std::map<std::string, std::size_t> index;
    for (const ValueEdit& edit : edits) {
        const std::optional<ServiceKey> service = serviceKey(edit.key);
        const auto [at, added] = index.emplace(edit.key, plans.size());
        if (added) {
            ParameterPlan plan;
            plan.key = edit.key;
            if (const Reading* read = readingOf(readings.values, edit.key)) {
                plan.text = read->value;
                plan.before = read->value;
                if (!read->used) {
                    plan.warnings.push_back(unusedParameterWarning(edit.key));
                }
            }
            // A service setting is of use only when Postfix knows its NAME.
            const Reading* name = service ? readingOf(readings.fallbacks, edit.key) : nullptr;
            if (name != nullptr && !name->used) {
                plan.warnings.push_back(unusedParameterWarning(service->name));
            }
            plans.push_back(plan);
            set.push_back(!contains(readings.notSet, edit.key));
        }
        ParameterPlan& plan = plans[at->second];
        // postconf -e stores a value without blanks at its ends, a carriage
        // return among them: decide on that form, or a value given with a
        // trailing "\r" would never be found again and be appended each run.
        const std::string value = boost::algorithm::trim_copy(edit.value);
        if (edit.kind == ValueEdit::Replace || edit.kind == ValueEdit::Unset) {
            plan.unset = edit.kind == ValueEdit::Unset;
            plan.write = plan.write || !plan.unset;
            plan.text = plan.unset ? std::string() : value;
            set[at->second] = !plan.unset;
            continue;
        }
        std::string current = plan.text;
        if (!set[at->second]) {
            const Reading* fallback = readingOf(readings.fallbacks, edit.key);
            current = fallback != nullptr ? fallback->value : std::string();
            // A service inherits NAME as the batch has left it so far, as
            // separate runs would see it.
            const auto inherited = service ? index.find(service->name) : index.end();
            if (inherited != index.end()) {
                const ParameterPlan& mainCf = plans[inherited->second];
                const Reading* byDefault = readingOf(readings.fallbacks, mainCf.key);
                current = !mainCf.unset          ? mainCf.text
                          : byDefault != nullptr ? byDefault->value
                                                 : std::string();
            }
        }
        // A service's own mynetworks is used as written.
        if (edit.key == "mynetworks") {
            current = chooseMyNetworks(current, readings.myNetworksDefault, readings.localNetworks);
        }
        const ListEdit decided = edit.kind == ValueEdit::Append
                                     ? planAppend(edit.key, current, value)
                                     : planRemove(current, value);
        if (decided.write) {
            plan.write = true;
            plan.unset = false;
            plan.text = service ? serviceList(decided.text) : decided.text;
            set[at->second] = true;
        }
    }
    for (ParameterPlan& plan : plans) {
        const bool wasSet = !contains(readings.notSet, plan.key);
        const Reading* read = readingOf(readings.values, plan.key);
        if (plan.unset) {
            plan.write = wasSet;
        } else if (compare && wasSet && read != nullptr && read->value == plan.text) {
            plan.write = false;
        }
        // A setting found not set had no value of its own, and stays not set
        // unless written.
        if (!wasSet) {
            plan.before.reset();
            plan.unset = plan.unset || !plan.write;
        }
    }
    return plans;
}

}  // namespace kelmo::mail::postfix
