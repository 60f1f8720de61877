// The list edits work on whatever text postconf read from main.cf and on the
// operands of the command line. Beyond not crashing: appending never loses
// an element that was there, never writes when the value is already present,
// removing drops exactly the value's elements, and a value appended once is
// found again. Elements are split as Postfix splits
// them: never at a separator inside braces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/ValueLists.h"

namespace postfix = kelmo::mail::postfix;

namespace {

const char kSeparators[] = " \t,";

bool separator(char c) { return c != '\0' && std::strchr(kSeparators, c) != nullptr; }

// Brace depth after text, starting at depth: a '}' closes only an open '{'.
int depthAfter(const std::string& text, int depth = 0) {
    for (const char c : text) {
        depth += c == '{' ? 1 : c == '}' && depth > 0 ? -1 : 0;
    }
    return depth;
}

// The elements put back together with a separator run between each two are
// the text; no element holds a separator outside braces, and only the last
// may end inside an open brace (it then runs to the end of the text).
void checkElements(const std::string& text) {
    const std::vector<std::string> elements = postfix::listElements(text);
    FUZZ_CHECK(text.empty() == elements.empty());
    std::string::size_type at = 0;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const std::string& element = elements[i];
        if (i > 0) {
            FUZZ_CHECK(at < text.size() && separator(text[at]));
            while (at < text.size() && separator(text[at])) {
                ++at;
            }
        }
        FUZZ_CHECK(text.compare(at, element.size(), element) == 0);
        at += element.size();
        int depth = 0;
        for (const char c : element) {
            FUZZ_CHECK(depth > 0 || !separator(c));
            depth = depthAfter(std::string(1, c), depth);
        }
        FUZZ_CHECK(depth == 0 || i + 1 == elements.size());
    }
    FUZZ_CHECK(at == text.size());
}

// Text from bytes, dense in braces and separators when asked, as lists with
// inline: maps and expressions are.
std::string shaped(const std::string& bytes, bool braces) {
    if (!braces) {
        return bytes;
    }
    static const char alphabet[] = "ab{} ,\t";
    std::string text;
    for (const char c : bytes) {
        text += alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
    }
    return text;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// What a value stands for among the elements, as printed: itself, or with a
// separator outside braces, its non-empty elements in a row.
std::vector<std::string> wanted(const std::string& value) {
    const std::vector<std::string> elements = postfix::listElements(value);
    if (elements.size() <= 1) {
        return {printed(value)};
    }
    std::vector<std::string> run;
    for (const std::string& element : elements) {
        if (!element.empty()) {
            run.push_back(printed(element));
        }
    }
    return run;
}

// A run of no elements (a value of separators alone) adds nothing: present.
bool present(std::vector<std::string> list, const std::vector<std::string>& run) {
    std::transform(list.begin(), list.end(), list.begin(), printed);
    return run.empty() ||
           std::search(list.begin(), list.end(), run.begin(), run.end()) != list.end();
}

std::string trimmed(const std::string& text) {
    static const char* const space = " \t\n\v\f\r";
    const std::string::size_type first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Trimmed, non-empty pieces between commas outside braces.
std::vector<std::string> pairElements(const std::string& text) {
    std::vector<std::string> pieces;
    std::string piece;
    int depth = 0;
    for (std::string::size_type at = 0; at <= text.size(); ++at) {
        const char c = at < text.size() ? text[at] : ',';
        if (c == ',' && (depth == 0 || at == text.size())) {
            if (!trimmed(piece).empty()) {
                pieces.push_back(trimmed(piece));
            }
            piece.clear();
            continue;
        }
        depth = depthAfter(std::string(1, c), depth);
        piece += c;
    }
    return pieces;
}

void checkAppend(const std::string& current, const std::string& value) {
    const postfix::ListEdit edit = postfix::planAppend(current, value);
    const std::vector<std::string> before = postfix::listElements(current);
    if (present(before, wanted(value))) {
        FUZZ_CHECK(!edit.write);
        return;
    }
    FUZZ_CHECK(edit.write);
    FUZZ_CHECK(edit.text == (current.empty() ? value : current + ", " + value));
    // After an unclosed '{' the new value joins the last element, as Postfix
    // would read it.
    if (depthAfter(current) > 0) {
        return;
    }
    const std::vector<std::string> after = postfix::listElements(edit.text);
    for (const std::string& element : before) {
        // Separators merge with the new ", ", so only an empty element may vanish.
        FUZZ_CHECK(element.empty() || contains(after, element));
    }
}

void checkRemove(const std::string& current, const std::string& value) {
    const postfix::ListEdit edit = postfix::planRemove(current, value);
    const std::vector<std::string> before = postfix::listElements(current);
    const std::vector<std::string> run = wanted(value);
    FUZZ_CHECK(edit.write == (!run.empty() && present(before, run)));
    if (!edit.write) {
        return;
    }
    const std::vector<std::string> after = postfix::listElements(edit.text);
    FUZZ_CHECK(after.size() < before.size());
    for (const std::string& element : before) {
        FUZZ_CHECK(contains(run, printed(element)) || element.empty() || contains(after, element));
    }
}

void checkAppendPair(const std::string& current, const std::string& first,
                     const std::string& second) {
    const std::string pair = first + " " + second;
    const postfix::ListEdit edit = postfix::planAppendPair(current, pair);
    const std::vector<std::string> before = pairElements(current);
    if (!edit.write) {
        std::vector<std::string> shown(before.size());
        std::transform(before.begin(), before.end(), shown.begin(), printed);
        FUZZ_CHECK(contains(shown, printed(trimmed(pair))));
        return;
    }
    FUZZ_CHECK(edit.text.size() >= pair.size() &&
               edit.text.compare(edit.text.size() - pair.size(), pair.size(), pair) == 0);
    if (depthAfter(current) > 0) {
        return;  // the pair joins the last element, which has an unclosed '{'
    }
    const std::vector<std::string> after = pairElements(edit.text);
    for (const std::string& element : before) {
        FUZZ_CHECK(contains(after, element));
    }
}

// Where run first stands among list from from on, or npos.
std::size_t first(const std::vector<std::string>& list, const std::vector<std::string>& run,
                  std::size_t from = 0) {
    const auto at = std::search(list.begin() + static_cast<long>(from), list.end(), run.begin(),
                                run.end());
    return at == list.end() ? std::string::npos : static_cast<std::size_t>(at - list.begin());
}

// An append placed at an anchor: when the list holds the anchor, the value then stands before
// (after) it, exactly once where it was written, and placing it again writes nothing. Braces
// balanced and value and anchor sharing no element, as the checks and the front end see to.
void checkPlace(const std::string& current, const std::string& value, const std::string& anchor,
                postfix::Place place) {
    const std::vector<std::string> run = wanted(value), anchorRun = wanted(anchor);
    for (const std::string& text : {current, value, anchor}) {
        if (depthAfter(text) != 0 || !postfix::bracesBalance(text)) {
            return;
        }
    }
    for (const std::string& element : run) {
        if (element.empty() || contains(anchorRun, element) || contains(wanted(" "), element)) {
            return;
        }
    }
    bool found = false;
    const postfix::ListEdit edit = postfix::planPlace(current, value, anchor, place, found);
    std::vector<std::string> before = postfix::listElements(current);
    std::transform(before.begin(), before.end(), before.begin(), printed);
    FUZZ_CHECK(found == (!anchorRun.empty() && !contains(anchorRun, "") &&
                         first(before, anchorRun) != std::string::npos));
    if (!found || run.empty()) {
        FUZZ_CHECK(!edit.write);
        return;
    }
    std::vector<std::string> after = postfix::listElements(edit.write ? edit.text : current);
    std::transform(after.begin(), after.end(), after.begin(), printed);
    const std::size_t at = first(after, anchorRun), stands = first(after, run);
    FUZZ_CHECK(at != std::string::npos && stands != std::string::npos);
    if (place == postfix::Place::Before) {
        FUZZ_CHECK(stands + run.size() <= at);
    } else {
        FUZZ_CHECK(first(after, run, at + anchorRun.size()) != std::string::npos);
    }
    if (edit.write) {
        FUZZ_CHECK(first(after, run, stands + run.size()) == std::string::npos);
        FUZZ_CHECK(!postfix::planPlace(edit.text, value, anchor, place, found).write);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const bool braces = provider.ConsumeBool();
    const std::string value = shaped(provider.ConsumeRandomLengthString(64), braces);
    const std::string second = shaped(provider.ConsumeRandomLengthString(64), braces);
    const std::string current = shaped(provider.ConsumeRemainingBytesAsString(), braces);

    checkElements(current);
    checkElements(value);
    checkAppend(current, value);
    checkRemove(current, value);
    checkAppendPair(current, value, second);
    checkPlace(current, value, second, postfix::Place::Before);
    checkPlace(current, value, second, postfix::Place::After);

    // Appending what was just appended finds it (unless the value is empty:
    // appended to an empty list it leaves no element to find; or the list
    // ends inside an open brace, which swallows it).
    const postfix::ListEdit once = postfix::planAppend(current, value);
    if (!value.empty() && depthAfter(current) == 0) {
        FUZZ_CHECK(!postfix::planAppend(once.write ? once.text : current, value).write);
    }
    return 0;
}
