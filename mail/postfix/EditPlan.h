#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mail/postfix/Target.h"

// The batch planner: from the edits and what postconf printed under the lock
// to one plan per parameter. It runs nothing itself, so that it can be tested
// and fuzzed without postconf, root or a lock.

namespace kelmo::mail::postfix {

// One edit, as the command line, a batch file or the library gives it.
struct ValueEdit {
    // Unset has no value; AppendPair's value is the element "FIRST SECOND".
    enum Kind { Append, Replace, Remove, Unset, AppendPair };
    // Where an append puts a value the list lacks: at its end, or before or
    // after the anchor.
    enum Placement { AtEnd, Before, After };

    ValueEdit(Kind kind, std::string key, std::string value = std::string(),
              Placement placement = AtEnd, std::string anchor = std::string());

    Kind kind;
    std::string key;
    std::string value;
    Target target;  // from the key
    Placement placement;
    std::string anchor;
    // An undo's edit: made only while the parameter, read as its file sets
    // it under the lock, is expected (nullopt: not set); any other value
    // refuses the whole run (PostfixConfiguration::checkExpected).
    bool guarded = false;
    std::optional<std::string> expected;

    // An edit that starts from the current list rather than replacing it.
    bool isListEdit() const { return kind != Replace && kind != Unset; }
};

// One parameter as postconf printed it, trimmed.
struct Reading {
    Reading(std::string value = std::string(), bool set = true, bool used = true)
        : value(std::move(value)), set(set), used(used) {}

    std::string value;
    // False when read as its file sets it and found not set.
    bool set;
    // False when the name is unknown to Postfix and nothing refers to it, so
    // that a value written there would change nothing.
    bool used;
    // Where value is a default that depends on compatibility_level, the
    // branch in force: the list Postfix evaluates, which list edits start
    // from (value stays what the report shows as before).
    std::optional<std::string> branch;

    // The list that list edits start from.
    const std::string& list() const { return branch ? *branch : value; }
};

// One parameter of a run: what must be read under the lock, and once read,
// what was read. Reading and planning both work from this record.
struct ParameterState {
    std::string key;
    Target target;
    // Read its value before planning (a plain replacement needs nothing read).
    bool readCurrent = false;
    // Read it as its file sets it (postconf -n or -P), to learn whether it
    // does, rather than as Postfix uses it.
    bool asSet = false;
    // Whether a list edit meets it not set, for each way the read may find
    // it; the fallback must then be read too.
    bool fallbackIfSet = false;
    bool fallbackIfNotSet = false;

    std::optional<Reading> current;
    // The value read as its file sets it once more, where current was read
    // as Postfix uses it and the run must tell whether the file sets it.
    std::optional<Reading> setReading;
    // What a parameter not set stands for: a service setting's NAME as main.cf
    // has it (read with every service setting: it also tells whether Postfix
    // uses NAME), a main.cf parameter's built-in default.
    std::optional<Reading> fallback;

    // Whether the fallback must be read, once current has been.
    bool needsFallback() const;
};

// Every parameter of a run, in order of first mention, and what list edits of
// mynetworks also need: Postfix's built-in default and the local networks
// that stand in for it.
class RunState {
public:
    // Decides what a run of edits must read: every parameter when compare is
    // set, else those whose first edit is not a plain replacement, and the
    // default of a main.cf parameter set before an edit unsets it.
    static RunState forEdits(const std::vector<ValueEdit>& edits, bool compare);

    std::vector<ParameterState> parameters;
    bool wantMyNetworksDefault = false;
    std::string myNetworksDefault;
    std::string localNetworks;

    // The state of key, or null when no edit names it.
    const ParameterState* find(const std::string& key) const;

private:
    std::map<std::string, std::size_t> index_;
};

// What the administrator should hear about an edit (without a program name),
// whether or not it writes.
struct Warning {
    Warning(std::string text, bool strict = true) : text(std::move(text)), strict(strict) {}

    std::string text;
    // Whether --strict refuses the run for it: a name Postfix does not use, a
    // value it never reaches; not a change that waits for Postfix's restart.
    bool strict;
};

// One parameter's outcome, all that the writes and the reports read.
struct ParameterPlan {
    std::string key;
    Target target;
    // As read under the lock (mynetworks as postconf printed it, before its
    // default replacement); nullopt when the run read nothing or found the
    // setting not set.
    std::optional<std::string> before;
    // Whether its file set it before the run, as an as-set read found it
    // (postconf -n, -P); false where the run made no such read.
    bool beforeSet = false;
    // What the run leaves; nullopt when it leaves the setting not set.
    std::optional<std::string> after;
    // Whether the run writes it: to after, or by removing the setting.
    bool changed = false;
    std::vector<Warning> warnings;
    // Why the run must not write it (the first reason the edits met); the
    // checks refuse the whole run for it.
    std::optional<std::string> refusal;
};

// "Postfix does not use parameter "<key>": ..." for a parameter read as
// unused.
std::string unusedParameterWarning(const std::string& key);

// "Postfix applies <key> only when it starts: ..." for a change of a main.cf
// parameter that a reload does not put in force.
std::string restartWarning(const std::string& key);

// "<key>: "<value>" follows "<word>", where Postfix always stops: ..." for a
// value an append left after permit, reject or defer in a restriction list.
std::string unreachableWarning(const std::string& key, const std::string& value,
                               const std::string& word);

// Applies the edits in order, each to the result of the one before, as
// separate runs would (mynetworks seen through its default replacement at
// each list edit), each value taken as postconf stores it: blank, tab, CR,
// LF, VT and FF trimmed from both ends. One plan per parameter, in order of
// first mention. Without compare a parameter is written when any of its edits
// decided to write; with compare only when its final text, in the form
// postconf prints (printedForm), differs from the value read, so that an edit
// that changes nothing reads as unchanged. A
// parameter read as unused gets unusedParameterWarning in its warnings. A
// list edit of a parameter not set starts from its fallback; a service
// setting's list is joined with "," alone, as postconf -P refuses blanks. A
// list edit of a list with an unclosed '{', or an append whose anchor the
// list lacks, gives the plan its refusal; an append to a *_restrictions list
// that leaves its value after permit, reject or defer, a warning.
// A changed main.cf parameter that Postfix reads only when it starts gets
// restartWarning.
// A master.cf entry is planned in the form postconf -M prints (runs of blanks
// as one); a field or setting edited after the batch set its entry starts
// from that entry and is put into it, as postconf -F -e and -P would, so
// that the entry is written as the batch leaves it.
std::vector<ParameterPlan> planEdits(const std::vector<ValueEdit>& edits, const RunState& state,
                                     bool compare);

// The edits that put back what the plans changed, in their order, each
// guarded by the plan's after: Replace KEY BEFORE where the file set it
// before the run, else Unset KEY. Plans that changed nothing give none, nor
// do the fields and settings of an entry the run created (its entry's unset
// comments them out with it); a plan with beforeSet must hold its before.
std::vector<ValueEdit> undoEdits(const std::vector<ParameterPlan>& plans);

}  // namespace kelmo::mail::postfix
