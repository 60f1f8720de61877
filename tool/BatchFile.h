#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"

namespace tarnwick {

// A line of a batch file that is not an edit; the message starts with
// "FILE:LINE: ".
class BatchFileError : public std::runtime_error {
public:
    explicit BatchFileError(const std::string& message);
    ~BatchFileError() override;
};

// The edits of a batch file ("-": standard input), one per line:
// "append KEY VALUE", "replace KEY VALUE" or "remove KEY VALUE", one blank
// after the word and one after KEY, VALUE the rest of the line verbatim; or
// "unset KEY", KEY the rest of the line.
// A UTF-8 byte-order mark at the start and a carriage return before a line
// end are dropped; lines of blanks and tabs, and those whose first other
// character is '#', are skipped. Throws BatchFileError for any other line,
// for a NUL byte in a key or value, and with "FILE: batch larger than ..."
// beyond 16 MiB or 100000 lines (reading stops there); a SystemError family
// member when the file cannot be read.
std::vector<kelmo::mail::postfix::ValueEdit> readBatch(const std::string& file);

}  // namespace tarnwick
