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

using Span = std::pair<std::string::size_type, std::string::size_type>;

// Where each element of text begins and ends. Postfix splits lists this way:
// a separator inside balanced braces (an inline: map, a ${...} expression)
// does not split, and an opening brace never closed keeps the rest of the
// text in its element. A '}' with no open brace is an ordinary character.
std::vector<Span> splitOutsideBraces(const std::string& text, std::string_view separators) {
    std::vector<Span> spans;
    if (text.empty()) {
        return spans;
    }
    std::string::size_type begin = 0;
    int depth = 0;
    bool separated = false;  // a run of separators is one
    for (std::string::size_type at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (depth == 0 && separators.find(c) != std::string_view::npos) {
            if (!separated) {
                spans.emplace_back(begin, at);
                separated = true;
            }
            begin = at + 1;
            continue;
        }
        separated = false;
        depth += c == '{' ? 1 : c == '}' && depth > 0 ? -1 : 0;
    }
    spans.emplace_back(begin, text.size());
    return spans;
}

std::vector<std::string> pieces(const std::string& text, std::string_view separators) {
    std::vector<std::string> elements;
    for (const auto& [begin, end] : splitOutsideBraces(text, separators)) {
        elements.push_back(text.substr(begin, end - begin));
    }
    return elements;
}

// The elements of current in their printed form, to compare with listRun.
std::vector<std::string> printedElements(const std::string& current) {
    std::vector<std::string> elements = listElements(current);
    std::transform(elements.begin(), elements.end(), elements.begin(), printedForm);
    return elements;
}

}  // namespace

std::vector<std::string> listElements(const std::string& value) {
    return pieces(value, kSeparators);
}

std::vector<std::string> listRun(const std::string& value) {
    std::vector<std::string> run = listElements(value);
    if (run.size() <= 1) {
        return {printedForm(value)};
    }
    run.erase(std::remove(run.begin(), run.end(), std::string()), run.end());
    std::transform(run.begin(), run.end(), run.begin(), printedForm);
    return run;
}

bool bracesBalance(const std::string& text) {
    int depth = 0;
    for (const char c : text) {
        depth += c == '{' ? 1 : c == '}' ? -1 : 0;
        if (depth < 0) {
            return false;
        }
    }
    return depth == 0;
}

bool hasUnclosedBrace(const std::string& text) {
    int depth = 0;
    for (const char c : text) {
        depth += c == '{' ? 1 : c == '}' && depth > 0 ? -1 : 0;
    }
    return depth > 0;
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
    const std::vector<std::string> run = listRun(value);
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
    const std::vector<std::string> run = listRun(value);
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

ListEdit planPlace(const std::string& current, const std::string& value,
                   const std::string& anchor, Place place, bool& anchorFound) {
    const std::vector<std::string> run = listRun(value);
    const std::vector<std::string> anchorRun = listRun(anchor);
    // Where the first run of wanted starts among text's elements, or npos.
    const auto find = [](const std::vector<std::string>& elements,
                         const std::vector<std::string>& wanted, std::size_t from = 0) {
        const auto found = std::search(elements.begin() + static_cast<long>(from), elements.end(),
                                       wanted.begin(), wanted.end());
        return found == elements.end() || wanted.empty()
                   ? std::string::npos
                   : static_cast<std::size_t>(found - elements.begin());
    };
    std::vector<std::string> elements = printedElements(current);
    // An empty element is no place to stand by: the next write merges it away.
    std::size_t at = std::count(anchorRun.begin(), anchorRun.end(), std::string()) > 0
                         ? std::string::npos
                         : find(elements, anchorRun);
    anchorFound = at != std::string::npos;
    if (!anchorFound || run.empty()) {
        return ListEdit();
    }
    // Already where it belongs: before the anchor's start, or after its end.
    const std::size_t found = place == Place::Before ? find(elements, run)
                                                     : find(elements, run, at + anchorRun.size());
    if (found != std::string::npos && (place == Place::After || found + run.size() <= at)) {
        return ListEdit();
    }
    // Where it stands elsewhere it is moved: each run taken out with the
    // separator before it (after it, at the start), the rest of the text as it
    // is. Taking it out may cut into the anchor (a value "a b" with an anchor
    // "b c"); then it no longer stands anywhere to be placed.
    std::string text = current;
    if (find(elements, run) != std::string::npos) {
        const std::vector<Span> spans = splitOutsideBraces(current, kSeparators);
        std::vector<bool> cut(current.size(), false);
        for (std::size_t from = find(elements, run); from != std::string::npos;
             from = find(elements, run, from + run.size())) {
            const std::size_t last = from + run.size() - 1;
            const std::string::size_type begin = from > 0 ? spans[from - 1].second
                                                 : spans[from].first;
            const std::string::size_type end = from == 0 && last + 1 < spans.size()
                                                   ? spans[last + 1].first
                                                   : spans[last].second;
            std::fill(cut.begin() + static_cast<long>(begin), cut.begin() + static_cast<long>(end),
                      true);
        }
        text.clear();
        for (std::string::size_type i = 0; i < current.size(); ++i) {
            if (!cut[i]) {
                text += current[i];
            }
        }
        elements = printedElements(text);
        at = find(elements, anchorRun);
        anchorFound = at != std::string::npos;
        if (!anchorFound) {
            return ListEdit();
        }
    }
    // The rest of the text stays as it is, separators and all.
    const std::vector<Span> spans = splitOutsideBraces(text, kSeparators);
    if (place == Place::Before) {
        return {true, text.substr(0, spans[at].first) + value + kJoiner +
                          text.substr(spans[at].first)};
    }
    const std::string::size_type end = spans[at + anchorRun.size() - 1].second;
    return {true, text.substr(0, end) + kJoiner + value + text.substr(end)};
}

ListEdit planAppendPair(const std::string& current, const std::string& pair) {
    std::vector<std::string> kept;
    if (!current.empty()) {
        const std::string wanted = printedForm(boost::algorithm::trim_copy(pair));
        for (std::string& piece : pieces(current, ",")) {
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
