#pragma once

#include <string>

namespace kelmo::mail::postfix {

// True when the file at path holds at least one byte and its last byte is not
// a newline: postconf, adding a line, would glue it onto that last line. Reads
// that one byte and nothing else. False for an empty file and for one that
// cannot be opened (postconf then says why itself); throws kelmo::SystemError
// when an opened file cannot be read.
bool endsWithoutNewline(const std::string& path);

}  // namespace kelmo::mail::postfix
