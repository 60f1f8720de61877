#include "mail/postfix/ValueLists.h"

#include <algorithm>
#include <string_view>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>

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
        return {printedForm(value)};
    }
    run.erase(std::remove(run.begin(), run.end(), std::string()), run.end());
    std::transform(run.begin(), run.end(), run.begin(), printedForm);
    return run;
}

// The elements of current in their printed form, to compare with wantedRun.
std::vector<std::string> printedElements(const std::string& current) {
    std::vector<std::string> elements = listElements(current);
    std::transform(elements.begin(), elements.end(), elements.begin(), printedForm);
    return elements;
}

}  // namespace

std::vector<std::string> listElements(const std::string& value) {
    return splitOutsideBraces(value, kSeparators);
}

std::string printedForm(const std::string& text) {
    std::string printed;
    for (const char c : text) {
        const bool blank = c == ' ' || c == '\t';
        if (!blank || printed.empty() || printed.back() != ' ') {
            printed += blank ? ' ' : c;
        }
    }
    return printed;
}

ListEdit planAppend(const std::string& current, const std::string& value) {
    ListEdit edit;
    const std::vector<std::string> elements = printedElements(current);
    const std::vector<std::string> run = wantedRun(value);
    // A run of no elements (a value of separators alone) adds nothing.
    if (std::search(elements.begin(), elements.end(), run.begin(), run.end()) != elements.end() ||
        run.empty()) {
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
        const auto found = std::search(from, elements.end(), run.begin(), run.end(),
                                       [](const std::string& element, const std::string& wanted) {
                                           return printedForm(element) == wanted;
                                       });
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

ListEdit planAppendPair(const std::string& current, const std::string& pair) {
    std::vector<std::string> kept;
    if (!current.empty()) {
        const std::string wanted = printedForm(boost::algorithm::trim_copy(pair));
        for (std::string& piece : splitOutsideBraces(current, ",")) {
            boost::algorithm::trim(piece);
            if (piece.empty()) {
                continue;
            }
            if (printedForm(piece) == wanted) {
                return ListEdit();
            }
            kept.push_back(piece);
        }
    }
    kept.push_back(pair);
    ListEdit edit;
    edit.write = true;
    edit.text = boost::algorithm::join(kept, kJoiner);
    return edit;
}

}  // namespace kelmo::mail::postfix
