#include "mail/postfix/ValueLists.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
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

std::optional<CompatibilityDefault> compatibilityDefault(const std::string& value) {
    static const std::string start = "${{$compatibility_level} <level {";
    if (value.compare(0, start.size(), start) != 0) {
        return std::nullopt;
    }
    // The text of the brace group that opens at at, balanced, or nullopt;
    // at moves past its closing brace.
    const auto group = [&value](std::string::size_type& at) -> std::optional<std::string> {
        int depth = 0;
        for (std::string::size_type end = at; end < value.size(); ++end) {
            depth += value[end] == '{' ? 1 : value[end] == '}' ? -1 : 0;
            if (depth == 0) {
                const std::string text = value.substr(at + 1, end - at - 1);
                at = end + 1;
                return text;
            }
        }
        return std::nullopt;
    };
    const auto literal = [&value](std::string::size_type& at, const std::string& text) {
        const bool found = value.compare(at, text.size(), text) == 0;
        at += found ? text.size() : 0;
        return found;
    };
    std::string::size_type at = start.size() - 1;
    std::optional<std::string> level = group(at);
    std::optional<std::string> below = level && literal(at, " ? ") ? group(at) : std::nullopt;
    std::optional<std::string> otherwise =
        below && literal(at, " : ") ? group(at) : std::nullopt;
    if (!otherwise || !literal(at, "}") || at != value.size()) {
        return std::nullopt;
    }
    return CompatibilityDefault{*level, *below, *otherwise};
}

bool levelBelow(const std::string& configured, const std::string& level) {
    std::vector<std::string> mine;
    std::vector<std::string> theirs;
    boost::algorithm::split(mine, configured, boost::algorithm::is_any_of("."));
    boost::algorithm::split(theirs, level, boost::algorithm::is_any_of("."));
    const std::size_t parts = std::max(mine.size(), theirs.size());
    mine.resize(parts), theirs.resize(parts);
    for (std::size_t i = 0; i < parts; ++i) {
        const unsigned long a = std::strtoul(mine[i].c_str(), nullptr, 10);
        const unsigned long b = std::strtoul(theirs[i].c_str(), nullptr, 10);
        if (a != b) {
            return a < b;
        }
    }
    return false;
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
