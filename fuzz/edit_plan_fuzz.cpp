// The batch planner on any batch over a few keys, on any state of main.cf and
// master.cf that postconf could read. Beyond not crashing: one plan per key
// in order of first mention, a plan changes only what it says it changes, and
// planning the same batch again on what the first plan leaves changes nothing
// (a batch run twice writes once).

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
        return at != set.end() ? at->second : defaults.at(key);
    }
    // As postconf prints it: -n or -P where asSet, else -h.
    postfix::Reading read(const std::string& key, bool asSet) const {
        const auto at = set.find(key);
        if (asSet) {
            return {at != set.end() ? at->second : std::string(), at != set.end(), true};
        }
        return {used(key), true, true};
    }
};

// Text with few letters, so that edits meet each other's elements; braces
// balanced, as Postfix needs them for a list to mean anything.
std::string text(FuzzedDataProvider& provider) {
    static const char alphabet[] = "ab, {";
    std::string text;
    int depth = 0;
    for (const char c : provider.ConsumeRandomLengthString(8)) {
        const char next = alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
        text += next;
        depth += next == '{';
    }
    return text + std::string(static_cast<std::size_t>(depth), '}');
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
                        : postfix::Reading{world.defaults.at(parameter.key), true, true};
        }
    }
    state.myNetworksDefault = kMyNetworksDefault;
    state.localNetworks = kLocalNetworks;
}

// The world after the plans are written.
World written(World world, const std::vector<postfix::ParameterPlan>& plans) {
    for (const postfix::ParameterPlan& plan : plans) {
        if (plan.changed && plan.after) {
            world.set[plan.key] = *plan.after;
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
        // A service setting cannot hold a blank; the checks refuse it first.
        std::string value = text(provider);
        if (postfix::Target::of(key).inMasterCf() && value.find(' ') != std::string::npos) {
            continue;
        }
        // A pair is two words; a comma would make it two pieces of the list.
        if (kind == postfix::ValueEdit::AppendPair) {
            value.erase(std::remove(value.begin(), value.end(), ','), value.end());
        }
        edits.emplace_back(kind, key, kind == postfix::ValueEdit::Unset ? "" : value);
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
            FUZZ_CHECK(!plans[i].after || *plans[i].after == was->value);
        }
    }

    const World after = written(world, plans);
    postfix::RunState second = postfix::RunState::forEdits(edits, true);
    read(second, after);
    for (const postfix::ParameterPlan& again : postfix::planEdits(edits, second, true)) {
        FUZZ_CHECK(!again.changed);
    }
    return 0;
}
