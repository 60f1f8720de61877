#pragma once

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

// Elements of a list value: pieces between runs of blank, tab and comma. An
// empty text has none; a leading or trailing separator gives an empty element.
std::vector<std::string> listElements(const std::string& value);

// appendValue: when value is already an element nothing is written (except
// for "mynetworks", whose current value is written back as read); otherwise
// the current text as read, ", " and value, or value alone for an empty list.
ListEdit planAppend(const std::string& key, const std::string& current, const std::string& value);

// removeValue: every element equal to value dropped, the rest joined with
// ", "; nothing written when no element was equal.
ListEdit planRemove(const std::string& current, const std::string& value);

// appendPairValue: "first second" added to a comma-separated list whose
// elements are trimmed and emptied ones dropped; nothing written when an
// element already equals the trimmed pair.
ListEdit planAppendPair(const std::string& current, const std::string& first,
                        const std::string& second);

}  // namespace kelmo::mail::postfix
