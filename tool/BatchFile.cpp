#include "tool/BatchFile.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "mail/postfix/PostfixConfiguration.h"
#include "mail/postfix/PostfixError.h"
#include "tool/BoundedInput.h"
#include "tool/Options.h"

namespace tarnwick {

namespace {

using kelmo::mail::postfix::ValueEdit;

// Far beyond any configuration, near enough that /dev/zero or an endless
// pipe fails at once instead of exhausting memory.
const std::size_t kMaxBytes = 16 << 20;
const std::size_t kMaxLines = 100000;

const struct {
    const char* word;
    ValueEdit::Kind kind;
} kWords[] = {
    {"append", ValueEdit::Append},
    {"replace", ValueEdit::Replace},
    {"remove", ValueEdit::Remove},
};

const struct {
    const char* option;
    ValueEdit::Placement placement;
} kPlacements[] = {
    {"append --before ", ValueEdit::Before},
    {"append --after ", ValueEdit::After},
};

// Nothing for anything but "WORD KEY VALUE" with a known word and a
// non-empty key, "append --before|--after ANCHOR KEY VALUE", or "unset KEY";
// VALUE may be empty but its blank may not be missing.
std::optional<ValueEdit> parseLine(const std::string& line) {
    // "append --before ANCHOR KEY VALUE", or --after: the anchor holds no
    // blank; commas join the elements of one that has several.
    for (const auto& [option, placement] : kPlacements) {
        const std::string::size_type start = std::strlen(option);
        const std::string::size_type end = line.find(' ', start);
        if (line.compare(0, start, option) != 0) {
            continue;
        }
        std::optional<ValueEdit> edit;
        if (end != start && end != std::string::npos) {
            edit = parseLine("append " + line.substr(end + 1));
        }
        if (!edit || edit->kind != ValueEdit::Append || edit->placement != ValueEdit::AtEnd) {
            return std::nullopt;
        }
        edit->placement = placement;
        edit->anchor = line.substr(start, end - start);
        return edit;
    }
    const std::string::size_type afterWord = line.find(' ');
    if (afterWord == 5 && line.compare(0, 6, "unset ") == 0) {
        const std::string key = line.substr(afterWord + 1);
        if (key.empty() || key.find(' ') != std::string::npos) {
            return std::nullopt;
        }
        return ValueEdit(ValueEdit::Unset, key);
    }
    const std::string::size_type afterKey =
        afterWord == std::string::npos ? afterWord : line.find(' ', afterWord + 1);
    if (afterKey == std::string::npos || afterKey == afterWord + 1) {
        return std::nullopt;
    }
    for (const auto& known : kWords) {
        if (line.compare(0, afterWord, known.word) == 0) {
            return ValueEdit(known.kind, line.substr(afterWord + 1, afterKey - afterWord - 1),
                             line.substr(afterKey + 1));
        }
    }
    return std::nullopt;
}

std::vector<ValueEdit> parse(const std::string& text, const std::string& file) {
    // Editors on other systems save a byte-order mark and CRLF line ends;
    // read either way, the file means the same edits.
    std::string::size_type begin = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::vector<ValueEdit> edits;
    for (unsigned number = 1; begin < text.size(); ++number) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string::size_type first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const std::string where = file + ":" + std::to_string(number) + ": ";
        const std::optional<ValueEdit> parsed = parseLine(line);
        if (!parsed) {
            throw BatchFileError(where +
                                 "expected \"append KEY VALUE\", \"replace KEY VALUE\", "
                                 "\"remove KEY VALUE\" or \"unset KEY\"");
        }
        const ValueEdit& edit = *parsed;
        // An argument ends at a NUL: postconf would see a shorter name or
        // lose the rest of the value.
        if (edit.key.find('\0') != std::string::npos) {
            try {
                kelmo::mail::postfix::PostfixConfiguration::checkParameterName(edit.key);
            } catch (const kelmo::mail::postfix::PostfixConfigurationError& refusal) {
                throw BatchFileError(where + refusal.what());
            }
        }
        if (edit.value.find('\0') != std::string::npos ||
            edit.anchor.find('\0') != std::string::npos) {
            throw BatchFileError(where + "value of \"" + edit.key + "\" holds a NUL byte");
        }
        if (edit.placement != ValueEdit::AtEnd && placedAtItself(edit.value, edit.anchor)) {
            throw BatchFileError(where + "a value cannot be placed before or after itself");
        }
        edits.push_back(*parsed);
    }
    return edits;
}

}  // namespace

BatchFileError::BatchFileError(const std::string& message) : std::runtime_error(message) {}
BatchFileError::~BatchFileError() = default;

std::vector<ValueEdit> readBatch(const std::string& file) {
    const std::optional<std::string> text = readBounded(file, kMaxBytes, kMaxLines);
    if (!text) {
        throw BatchFileError(file + ": batch larger than 16 MiB or 100000 lines");
    }
    return parse(*text, file);
}

}  // namespace tarnwick
