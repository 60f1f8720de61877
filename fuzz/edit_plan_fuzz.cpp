// The batch planner on any batch over a few keys, on any state of main.cf and
// master.cf that postconf could read. Beyond not crashing: one plan per key
// in order of first mention, a plan changes only what it says it changes, and
// where each key is edited once, planning the same batch again on what the
// first plan leaves changes nothing (a daily run writes once). Edits of one
// key meet each other's elements (a removal of a, then an append of "b a"),
// so a batch of them need not settle on the first run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/EditPlan.h"
#include "mail/postfix/ValueLists.h"

namespace postfix = kelmo::mail::postfix;

namespace {

const char* const kKeys[] = {"relay_domains", "smtpd_client_restrictions", "mynetworks",
                             "submission/inet/relay_domains",
                             "submission/inet/smtpd_client_restrictions"};
const char kMyNetworksDefault[] = "127.0.0.0/8 [::1]/128";
const char kLocalNetworks[] = "127.0.0.0/8, 192.0.2.1/32";

// main.cf and master.cf as the keys above see them: what each file sets, and
// Postfix's defaults.
struct World {
    std::map<std::string, std::string> set;
    std::map<std::string, std::string> defaults;

    std::string used(const std::string& key) const {
        const auto at = set.find(key);
        return printed(at != set.end() ? at->second : defaults.at(key));
    }
    // As postconf prints it: -n or -P where asSet, else -h.
    postfix::Reading read(const std::string& key, bool asSet) const {
        const auto at = set.find(key);
        if (asSet) {
            return {at != set.end() ? printed(at->second) : std::string(), at != set.end(), true};
        }
        return {used(key), true, true};
    }
};

// A list of up to three elements from a few, so that edits meet each other's elements:
// braces that hold blanks, and runs of blanks that postconf prints as one.
std::string text(FuzzedDataProvider& provider) {
    static const char* const elements[] = {"a", "b", "c", "{a b}", "{a  b}"};
    static const char* const separators[] = {", ", " ", ",", "  "};
    std::string text;
    for (int count = provider.ConsumeIntegralInRange(0, 3); count > 0; --count) {
        if (!text.empty()) {
            text += separators[provider.ConsumeIntegralInRange(0, 3)];
        }
        text += elements[provider.ConsumeIntegralInRange(0, 4)];
    }
    return text;
}

// What the tool reads under the lock, done on the world as postconf would.
void read(postfix::RunState& state, const World& world) {
    for (postfix::ParameterState& parameter : state.parameters) {
        if (!parameter.readCurrent) {
            continue;
        }
        const bool service = parameter.target.inMasterCf();
        parameter.current = world.read(parameter.key, service || parameter.asSet);
        if (parameter.needsFallback()) {
            parameter.fallback =
                service ? world.read(parameter.target.service.name, false)
                        : postfix::Reading{printed(world.defaults.at(parameter.key)), true, true};
        }
    }
    state.myNetworksDefault = kMyNetworksDefault;
    state.localNetworks = kLocalNetworks;
}

// The world after the plans are written.
World written(World world, const std::vector<postfix::ParameterPlan>& plans) {
    for (const postfix::ParameterPlan& plan : plans) {
        if (plan.changed && plan.after) {
            // postconf -e stores a value without blanks at its ends.
            const std::string::size_type first = plan.after->find_first_not_of(' ');
            world.set[plan.key] = first == std::string::npos ? std::string()
                : plan.after->substr(first, plan.after->find_last_not_of(' ') - first + 1);
        } else if (plan.changed) {
            world.set.erase(plan.key);
        }
    }
    return world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    World world;
    for (const char* key : kKeys) {
        world.defaults[key] = std::string(key) == "mynetworks" ? kMyNetworksDefault
                                                               : text(provider);
        if (provider.ConsumeBool()) {
            world.set[key] = text(provider);
        }
    }
    std::vector<postfix::ValueEdit> edits;
    while (provider.remaining_bytes() > 0 && edits.size() < 12) {
        const auto kind = static_cast<postfix::ValueEdit::Kind>(provider.ConsumeIntegralInRange(0, 4));
        const std::string key = kKeys[provider.ConsumeIntegralInRange<std::size_t>(0, 4)];
        std::string value = text(provider);
        // A pair is "FIRST SECOND"; a comma would make it two pieces of the list.
        if (kind == postfix::ValueEdit::AppendPair) {
            value.erase(std::remove(value.begin(), value.end(), ','), value.end());
            value = "p " + value;
        }
        // A service setting cannot hold a blank; the checks refuse it first.
        // An empty element added to or taken from a list is no element.
        if ((postfix::Target::of(key).inMasterCf() && value.find(' ') != std::string::npos) ||
            (kind != postfix::ValueEdit::Replace && value.find_first_not_of(' ') == std::string::npos)) {
            continue;
        }
        // A service that does not set NAME follows main.cf's NAME, so an edit of NAME after
        // one of the service changes what the service inherits on the next run.
        if (std::any_of(edits.begin(), edits.end(), [&](const postfix::ValueEdit& earlier) {
                return earlier.target.inMasterCf() && earlier.target.service.name == key;
            })) {
            continue;
        }
        // A pair counts a blank as part of its element, other edits as a separator: the
        // library makes a pair on its own only.
        if (kind == postfix::ValueEdit::AppendPair && !edits.empty()) {
            continue;
        }
        edits.emplace_back(kind, key, kind == postfix::ValueEdit::Unset ? "" : value);
        if (kind == postfix::ValueEdit::AppendPair) {
            break;
        }
    }

    postfix::RunState first = postfix::RunState::forEdits(edits, true);
    read(first, world);
    const std::vector<postfix::ParameterPlan> plans = postfix::planEdits(edits, first, true);
    FUZZ_CHECK(plans.size() == first.parameters.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const std::optional<postfix::Reading>& was = first.parameters[i].current;
        FUZZ_CHECK(plans[i].key == first.parameters[i].key);
        // Unchanged: it stays as read, set or not.
        if (!plans[i].changed) {
            FUZZ_CHECK(plans[i].after.has_value() == was->set);
            FUZZ_CHECK(!plans[i].after || printed(*plans[i].after) == was->value);
        }
    }

    if (plans.size() != edits.size()) {  // some key is edited twice
        return 0;
    }
    const World after = written(world, plans);
    postfix::RunState second = postfix::RunState::forEdits(edits, true);
    read(second, after);
    for (const postfix::ParameterPlan& again : postfix::planEdits(edits, second, true)) {
        FUZZ_CHECK(!again.changed);
    }
    return 0;
}
