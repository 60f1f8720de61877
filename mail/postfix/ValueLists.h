#pragma once

#include <optional>
#include <string>
#include <vector>

// The list logic of the value-list edits, free of postconf and of locks so
// that it can be tested and fuzzed on its own.

namespace kelmo::mail::postfix {

// What an edit decided: whether to write, and the text to write.
struct ListEdit {
    bool write = false;
    std::string text;
};

// Elements of a list value: pieces between runs of blank, tab and comma that
// stand outside braces; text after an unclosed '{' stays in its element. An
// empty text has none; a leading or trailing separator gives an empty element.
std::vector<std::string> listElements(const std::string& value);

// appendValue: when value is already present nothing is written (except for
// "mynetworks", whose current value is written back as read); otherwise the
// current text as read, ", " and value, or value alone for an empty list.
// A value without separators (outside braces) is present when an element
// equals it; one with separators when its non-empty elements stand
// consecutively, in order, among the current elements.
ListEdit planAppend(const std::string& key, const std::string& current, const std::string& value);

// removeValue: every element equal to value (for a value with separators,
// every consecutive run of its non-empty elements) dropped, the rest joined
// with ", "; nothing written when nothing was dropped.
ListEdit planRemove(const std::string& current, const std::string& value);

// appendPairValue: "first second" added to a comma-separated list (commas
// inside braces do not separate) whose elements are trimmed and emptied ones
// dropped; nothing written when an element already equals the trimmed pair.
ListEdit planAppendPair(const std::string& current, const std::string& first,
                        const std::string& second);

// "Postfix does not use parameter "<key>": ..." for a parameter read as
// unused.
std::string unusedParameterWarning(const std::string& key);

// One edit of a batch, as the command line or a batch file gives it.
struct ValueEdit {
    enum Kind { Append, Replace, Remove, Unset };  // Unset has no value
    Kind kind;
    std::string key;
    std::string value;
};

// One parameter as postconf printed it (trimmed), and whether Postfix uses it:
// false when the name is unknown to Postfix and nothing refers to it, so that
// a value written there would change nothing.
struct Reading {
    std::string value;
    bool used = true;
};

// What postconf said before a batch was planned: each parameter's reading,
// and for list edits of "mynetworks" its built-in default and the local
// networks that stand in for it.
struct Readings {
    std::vector<std::pair<std::string, Reading>> values;
    std::string myNetworksDefault;
    std::string localNetworks;
    // Parameters read as not set: a service setting its service lacks, or a
    // main.cf parameter, read for an unset, that main.cf lacks.
    std::vector<std::string> notSet;
    // What a parameter not set stands for: for a service key NAME's main.cf
    // value (read with every service key, for its warning too), for a main.cf
    // key its default, read where a list edit needs it.
    std::vector<std::pair<std::string, Reading>> fallbacks;
};

// One parameter's outcome; write means the batch changes it: to text, or
// with unset by removing the setting (unset: the batch leaves it not set).
// warnings are what the administrator should hear about the edit (without a
// program name), whether or not it writes.
struct ParameterPlan {
    std::string key;
    bool write = false;
    std::string text;
    // The value as read under the lock (mynetworks as postconf printed it,
    // before its default replacement); nullopt when the batch read nothing
    // or found the setting not set.
    std::optional<std::string> before;
    std::vector<std::string> warnings;
    bool unset = false;
};

// The parameters a batch must read first: every one when compare is set,
// else those whose first edit is a list edit or an unset (a plain
// replacement reads nothing).
std::vector<std::string> keysToRead(const std::vector<ValueEdit>& edits, bool compare);

// Whether a list edit of main.cf parameter key, or of a service setting that
// inherits it, meets it not set (set: what the read found; an unset in the
// batch unsets it), so that the batch must read the default it falls back to.
bool needsFallback(const std::vector<ValueEdit>& edits, const std::string& key, bool set);

// Applies the edits in order, each to the result of the one before, as
// separate runs would (mynetworks seen through its default replacement at each
// list edit), each value taken as postconf stores it: blank, tab, CR, LF, VT
// and FF trimmed from both ends. One plan per parameter, in order of first
// mention. Without
// compare a parameter is written when any of its edits decided to write;
// with compare only when its final text differs from the value read, so that
// an edit that changes nothing reads as unchanged. A parameter read as unused
// gets unusedParameterWarning in its warnings. A list edit of a parameter not
// set starts from its fallback. A service setting is joined with "," alone;
// an element holding a blank there throws PostfixConfigurationError.
std::vector<ParameterPlan> planEdits(const std::vector<ValueEdit>& edits, const Readings& readings,
                                     bool compare);

}  // namespace kelmo::mail::postfix
