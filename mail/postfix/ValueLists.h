#pragma once

#include <optional>
#include <string>
#include <vector>

// The list logic of the value-list edits, free of postconf, of locks and of
// the batch so that it can be tested and fuzzed on its own.

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

// What value stands for among the elements, in their printedForm: itself
// when it holds no separator outside braces, else its non-empty elements.
// Separators at its ends belong to no element; counting them would make a
// value appended once never found again.
std::vector<std::string> listRun(const std::string& value);

// Whether every '}' in text closes a '{' and every '{' is closed.
bool bracesBalance(const std::string& text);

// Whether text ends inside a '{': Postfix then reads the rest of the list as
// one element.
bool hasUnclosedBrace(const std::string& text);

// text as postconf prints it: each run of blanks and tabs inside as one blank
// (postconf -e stores the value as given). Callers trim the ends.
std::string printedForm(const std::string& text);

// A default that Postfix makes depend on compatibility_level, as postconf -h
// prints it: ${{$compatibility_level} <level {LEVEL} ? {BELOW} : {OTHERWISE}}.
struct CompatibilityDefault {
    std::string level;
    std::string below;      // in force while compatibility_level is below level
    std::string otherwise;  // in force from level on
};

// value's parts when it is exactly one such expression; nullopt otherwise.
std::optional<CompatibilityDefault> compatibilityDefault(const std::string& value);

// Whether compatibility level configured is below level, as Postfix compares
// them: dot-separated numbers part by part, a missing part 0 (3.10 is above
// 3.6).
bool levelBelow(const std::string& configured, const std::string& level);

// appendValue: when value is already present nothing is written; otherwise
// the current text as read, ", " and value, or value alone for an empty list.
// A value without separators (outside braces) is present when an element
// equals it; one with separators when its non-empty elements stand
// consecutively, in order, among the current elements. Elements compare in
// their printedForm, so that one with a run of blanks inside braces is
// found again in what postconf prints.
ListEdit planAppend(const std::string& current, const std::string& value);

// removeValue: every element equal to value (for a value with separators,
// every consecutive run of its non-empty elements) dropped, the rest joined
// with ", "; nothing written when nothing was dropped.
ListEdit planRemove(const std::string& current, const std::string& value);

// Where an append with an anchor puts its value: before the anchor's first
// run of elements, or after its end.
enum class Place { Before, After };

// An append placed at anchor: nothing written when value's run already
// stands before the anchor's first run (Before) or anywhere after its end
// (After); otherwise value is put in at the place with ", " between, the
// rest of the text as read, or where value stands elsewhere, after every run
// of it is taken out as planRemove takes it out. anchorFound is false, and
// nothing written, when the list holds no run of anchor's elements.
ListEdit planPlace(const std::string& current, const std::string& value,
                   const std::string& anchor, Place place, bool& anchorFound);

// appendPairValue: the element "FIRST SECOND" added to a comma-separated list
// (commas inside braces do not separate) whose elements are trimmed and
// emptied ones dropped; nothing written when an element already equals the
// trimmed pair (in printedForm), which is stored as given.
ListEdit planAppendPair(const std::string& current, const std::string& pair);

}  // namespace kelmo::mail::postfix
