#include "tool/BatchFile.h"

#include <cerrno>
#include <fstream>
#include <iostream>

#include "common/SystemError.h"

namespace tarnwick {

namespace {

using kelmo::mail::postfix::ValueEdit;

const struct {
    const char* word;
    ValueEdit::Kind kind;
} kWords[] = {
    {"append", ValueEdit::Append},
    {"replace", ValueEdit::Replace},
    {"remove", ValueEdit::Remove},
};

// False for anything but "WORD KEY VALUE" with a known word and a non-empty
// key, or "unset KEY"; VALUE may be empty but its blank may not be missing.
bool parseLine(const std::string& line, ValueEdit& edit) {
    const std::string::size_type afterWord = line.find(' ');
    if (afterWord == 5 && line.compare(0, 6, "unset ") == 0) {
        edit.kind = ValueEdit::Unset;
        edit.key = line.substr(afterWord + 1);
        return !edit.key.empty() && edit.key.find(' ') == std::string::npos;
    }
    const std::string::size_type afterKey =
        afterWord == std::string::npos ? afterWord : line.find(' ', afterWord + 1);
    if (afterKey == std::string::npos || afterKey == afterWord + 1) {
        return false;
    }
    for (const auto& known : kWords) {
        if (line.compare(0, afterWord, known.word) == 0) {
            edit.kind = known.kind;
            edit.key = line.substr(afterWord + 1, afterKey - afterWord - 1);
            edit.value = line.substr(afterKey + 1);
            return true;
        }
    }
    return false;
}

std::vector<ValueEdit> parse(std::istream& in, const std::string& file) {
    std::vector<ValueEdit> edits;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ValueEdit edit;
        if (!parseLine(line, edit)) {
            throw BatchFileError(file + ":" + std::to_string(number) +
                                 ": expected \"append KEY VALUE\", \"replace KEY VALUE\", "
                                 "\"remove KEY VALUE\" or \"unset KEY\"");
        }
        edits.push_back(edit);
    }
    if (in.bad()) {
        kelmo::throwSystemError("read " + file, errno);
    }
    return edits;
}

}  // namespace

BatchFileError::BatchFileError(const std::string& message) : std::runtime_error(message) {}
BatchFileError::~BatchFileError() = default;

std::vector<ValueEdit> readBatch(const std::string& file) {
    if (file == "-") {
        return parse(std::cin, file);
    }
    std::ifstream in(file);
    if (!in) {
        kelmo::throwSystemError("open " + file, errno);
    }
    return parse(in, file);
}

}  // namespace tarnwick
