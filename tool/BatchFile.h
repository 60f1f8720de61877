#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/postfix/ValueLists.h"

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
// Empty lines and lines starting with '#' are skipped. Throws BatchFileError
// for any other line, a SystemError family member when the file cannot be
// read.
std::vector<kelmo::mail::postfix::ValueEdit> readBatch(const std::string& file);

}  // namespace tarnwick
