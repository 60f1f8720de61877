#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"

namespace tarnwick {

// A report that cannot be undone; the message starts with "FILE: ".
class UndoReportError : public std::runtime_error {
public:
    explicit UndoReportError(const std::string& message);
    ~UndoReportError() override;
};

// What a --json report of a successful real run says, as far as undoing it
// goes: its configuration directory and one plan per parameter (name,
// before, before_set, after, changed).
struct UndoReport {
    std::string configDirectory;
    std::vector<kelmo::mail::postfix::ParameterPlan> plans;
};

// The report in file ("-": standard input), read whole. Throws
// UndoReportError for anything but a report that tarnwick --json printed
// ("FILE: not a report of tarnwick --json"), for a failed run's report, a dry
// run's, one whose parameters lack before_set (an older tarnwick's), one
// with a value that was not UTF-8 (U+FFFD stands in for its bytes), and one
// past 64 MiB; a SystemError family member when the file cannot be read.
UndoReport readUndoReport(const std::string& file);

// Throws UndoReportError "FILE: the report is of DIR, this run works on
// DIR" unless the report's directory is configDirectory, both canonical.
void checkUndoDirectory(const UndoReport& report, const std::string& file,
                        const std::string& configDirectory);

}  // namespace tarnwick
