#include "mail/postfix/EditPlan.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace pf = kelmo::mail::postfix;

namespace {

// What postconf would print: the files' settings, Postfix's defaults and the names it does not
// know (unknown holds them).
struct Files { std::map<std::string, std::string> set, defaults; std::string unknown; };

pf::Reading read(const Files& files, const std::string& key, bool asSet) {
    const auto at = files.set.find(key), byDefault = files.defaults.find(key);
    const bool isSet = at != files.set.end(), used = files.unknown.find(key) == std::string::npos;
    if (asSet || isSet) return {isSet ? at->second : "", isSet, used};
    return {byDefault != files.defaults.end() ? byDefault->second : "", true, used};
}

pf::ValueEdit edit(const std::string& line) {  // "WORD KEY[ VALUE]", or "before=ANCHOR KEY VALUE"
    const std::size_t word = line.find(' '), key = line.find(' ', word + 1);
    if (line.compare(0, 6, "before") == 0 || line.compare(0, 5, "after") == 0)
        return {pf::ValueEdit::Append, line.substr(word + 1, key - word - 1), line.substr(key + 1),
                line[0] == 'b' ? pf::ValueEdit::Before : pf::ValueEdit::After,
                line.substr(line.find('=') + 1, word - line.find('=') - 1)};
    const std::map<std::string, pf::ValueEdit::Kind> kinds{
        {"append", pf::ValueEdit::Append}, {"replace", pf::ValueEdit::Replace},
        {"remove", pf::ValueEdit::Remove}, {"unset", pf::ValueEdit::Unset},
        {"pair", pf::ValueEdit::AppendPair}};
    return {kinds.at(line.substr(0, word)), line.substr(word + 1, key - word - 1),
            key == std::string::npos ? "" : line.substr(key + 1)};
}

// The batch's edits (split at ';') read as readState reads, planned: "KEY BEFORE -> AFTER" for
// a change, "KEY BEFORE = AFTER" otherwise, "-" for not set, and each warning's start.
std::string plan(const std::string& batch, const Files& files, bool compare) {
    std::vector<pf::ValueEdit> edits;
    std::istringstream lines(batch);
    for (std::string line; std::getline(lines, line, ';');) edits.push_back(edit(line));
    pf::RunState state = pf::RunState::forEdits(edits, compare);
    for (pf::ParameterState& p : state.parameters) {
        if (!p.readCurrent) continue;
        const bool service = p.target.inMasterCf();
        p.current = read(files, p.key, p.asSet || service);
        if (p.needsFallback())
            p.fallback = service ? read(files, p.target.service.name, false)
                                 : pf::Reading{files.defaults.at(p.key)};
    }
    state.myNetworksDefault = files.defaults.at("mynetworks");
    state.localNetworks = "127.0.0.0/8, 192.0.2.1/32";
    std::string text;
    for (const pf::ParameterPlan& p : pf::planEdits(edits, state, compare)) {
        text += (text.empty() ? "" : "; ") + p.key + " " + (p.before ? *p.before : "-") +
                (p.changed ? " -> " : " = ") + (p.after ? *p.after : "-");
        for (const pf::Warning& warning : p.warnings)
            text += " [" + warning.text.substr(0, warning.text.find(':')) + "]";
        if (p.refusal) text += " !" + p.refusal->substr(0, p.refusal->find(':'));
    }
    return text;
}

// From what was read to one plan per parameter, without postconf: where a list starts when its
// parameter is not set, what compare hides, and which edits the plans keep apart.
TEST(EditPlanTest, PlansFromReadings) {
    const std::string mn = "127.0.0.0/8 [::1]/128", u = "[Postfix does not use parameter \"u\"]";
    const Files files{{{"k", "a, b"}, {"s/t/j", "o"}, {"mynetworks", mn}, {"c", "{a b}"},
                       {"w", "a, {b"}, {"r_restrictions", "p, reject"}, {"s/u", "s u n - y - - p"},
                       {"inet_protocols", "ipv4"}},
                      {{"k", "d"}, {"j", "e"}, {"mynetworks", mn}}, "u"};
    const struct { std::string batch, plans; bool compare = true; } cases[] = {
        // a service inherits NAME from main.cf, as the batch has left it so far, joined with ","
        {"append s/t/k x", "s/t/k - -> a,b,x"},
        {"replace k c;append s/t/k x", "k a, b -> c; s/t/k - -> c,x"},
        {"append s/u/j x;unset j", "s/u/j - -> e,x; j - = -"},
        {"unset k;append s/t/k x", "k a, b -> -; s/t/k - -> d,x"},
        {"unset s/t/j;append s/t/j x", "s/t/j o -> e,x"},
        // a main.cf parameter not set starts from its default
        {"unset k;append k x", "k a, b -> d, x"}, {"unset j;append j x", "j - -> e, x"},
        {"remove s/t/k z;unset j", "s/t/k - = -; j - = -"}, {"append j x;unset j", "j - = -"},
        {"append k x;remove k x", "k a, b = a, b"}, {"replace k a, b", "k a, b = a, b"},
        {"replace k a, b", "k - -> a, b", false},
        // postconf prints a run of blanks and tabs as one blank
        {"replace k a, \t b;append c {a  b}", "k a, b = a, \t b; c {a b} = {a b}"},
        {"remove c {a \t b}", "c {a b} -> "},
        // mynetworks is written back when present, its default narrowed
        {"append mynetworks 127.0.0.0/8", "mynetworks " + mn + " -> " + "127.0.0.0/8, "
                                          "192.0.2.1/32, [::1]/128"},
        {"pair k  c d", "k a, b -> a, b,  c d"},
        {"append u x;append s/t/u y", "u  -> x " + u + "; s/t/u - -> x,y " + u},
        // placed; an anchor not there or an unclosed brace refuses; a restriction that never acts
        {"before=b s/t/k x;after=k z x", "s/t/k - -> a,x,b; z  =  !\"k\" is not an element of z"},
        {"remove w b", "w a, {b = a, {b !w has an unclosed \"{\""}, {"replace w a", "w a, {b -> a"},
        {"append r_restrictions x", "r_restrictions p, reject -> p, reject, x [r_restrictions]"},
        {"append s/t/r_restrictions x", "s/t/r_restrictions - -> p,reject,x [s/t/r_restrictions]"},
        // an entry compares as postconf -M prints it; its fields and settings after it go into it
        {"replace s/u s  u n - y - - p", "s/u s u n - y - - p = s u n - y - - p"},
        // a change that only a start of Postfix puts in force says so
        {"replace inet_protocols ipv4;replace inet_interfaces all", "inet_protocols ipv4 = ipv4; "
         "inet_interfaces  -> all [Postfix applies inet_interfaces only when it starts]"},
        {"replace s/t s t n - y - - p -v -o k=1 a;replace s/t/chroot n;append s/t/k x;unset s/t/j",
         "s/t - -> s t n - n - - p -v -o k=1,x a; s/t/chroot - -> n; s/t/k - -> 1,x; s/t/j o -> -"},
        {"replace s/t s t n - y - - p a;replace s/t/j z", "s/t - -> s t n - y - - p -o j=z a; "
                                                          "s/t/j o -> z"},
    };
    for (const auto& c : cases) EXPECT_EQ(plan(c.batch, files, c.compare), c.plans) << c.batch;
}

// An undo takes back an entry the run created by its unset alone: that comments out its fields
// and settings too, which a batch could not edit after the unset.
TEST(EditPlanTest, UndoOfACreatedEntryIsItsUnset) {
    std::vector<pf::ParameterPlan> plans(4);
    const char* keys[] = {"s/t", "s/t/chroot", "s/t/syslog_name", "u/t/chroot"};
    for (std::size_t i = 0; i < plans.size(); ++i) {
        plans[i].key = keys[i], plans[i].target = pf::Target::of(keys[i]), plans[i].changed = true;
        plans[i].after = "n", plans[i].before = "y", plans[i].beforeSet = i == 3;
    }
    std::string undone;
    for (const pf::ValueEdit& e : pf::undoEdits(plans)) undone += e.key + "=" + e.value + " ";
    EXPECT_EQ(undone, "s/t= u/t/chroot=y ");
}

}  // namespace
