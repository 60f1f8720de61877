// The list edits work on whatever text postconf read from main.cf and on the
// operands of the command line. Beyond not crashing: appending never loses
// an element that was there, never writes when the value is already present
// (mynetworks aside), removing drops exactly the value's elements, and a
// value appended once is found again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "mail/postfix/ValueLists.h"

namespace postfix = kelmo::mail::postfix;

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// What a value stands for among the elements: itself, or with a separator
// inside, its non-empty elements in a row.
std::vector<std::string> wanted(const std::string& value) {
    if (value.find_first_of(" \t,") == std::string::npos) {
        return {value};
    }
    std::vector<std::string> run;
    for (const std::string& element : postfix::listElements(value)) {
        if (!element.empty()) {
            run.push_back(element);
        }
    }
    return run;
}

// A run of no elements (a value of separators alone) adds nothing: present.
bool present(const std::vector<std::string>& list, const std::vector<std::string>& run) {
    return run.empty() || std::search(list.begin(), list.end(), run.begin(), run.end()) != list.end();
}

std::string trimmed(const std::string& text) {
    static const char* const space = " \t\n\v\f\r";
    const std::string::size_type first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Trimmed, non-empty comma-separated pieces.
std::vector<std::string> pairElements(const std::string& text) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        const std::string piece = trimmed(text.substr(start, comma - start));
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        start = comma + 1;
    }
    return pieces;
}

void checkAppend(const std::string& key, const std::string& current, const std::string& value) {
    const postfix::ListEdit edit = postfix::planAppend(key, current, value);
    const std::vector<std::string> before = postfix::listElements(current);
    if (present(before, wanted(value))) {
        // Only mynetworks writes back, and then exactly what it read.
        FUZZ_CHECK(edit.write == (key == "mynetworks"));
        FUZZ_CHECK(!edit.write || edit.text == current);
        return;
    }
    FUZZ_CHECK(edit.write);
    FUZZ_CHECK(edit.text == (current.empty() ? value : current + ", " + value));
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
        FUZZ_CHECK(contains(run, element) || element.empty() || contains(after, element));
    }
}

void checkAppendPair(const std::string& current, const std::string& first,
                     const std::string& second) {
    const postfix::ListEdit edit = postfix::planAppendPair(current, first, second);
    const std::string pair = first + " " + second;
    const std::vector<std::string> before = pairElements(current);
    if (!edit.write) {
        FUZZ_CHECK(contains(before, trimmed(pair)));
        return;
    }
    FUZZ_CHECK(edit.text.size() >= pair.size() &&
               edit.text.compare(edit.text.size() - pair.size(), pair.size(), pair) == 0);
    const std::vector<std::string> after = pairElements(edit.text);
    for (const std::string& element : before) {
        FUZZ_CHECK(contains(after, element));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string key = provider.ConsumeBool() ? "mynetworks" : "relay_domains";
    const std::string value = provider.ConsumeRandomLengthString(64);
    const std::string second = provider.ConsumeRandomLengthString(64);
    const std::string current = provider.ConsumeRemainingBytesAsString();

    checkAppend(key, current, value);
    checkRemove(current, value);
    checkAppendPair(current, value, second);

    // Appending what was just appended finds it (unless the value is empty:
    // appended to an empty list it leaves no element to find).
    const postfix::ListEdit once = postfix::planAppend("relay_domains", current, value);
    if (!value.empty()) {
        FUZZ_CHECK(!postfix::planAppend("relay_domains", once.write ? once.text : current, value)
                        .write);
    }
    return 0;
}
