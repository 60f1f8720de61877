#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"

namespace tarnwick {

// The --json report of a run that succeeded, one line without its newline:
// {"changed", "dry_run", "config_directory", "parameters": [{"name",
// "before", "before_set", "after", "changed", "warnings"}]}, parameters in
// the plans' order; "after" is null for a parameter the run unsets;
// "reloaded" last where reloaded is set (--reload). Bytes that are not UTF-8
// become U+FFFD; nothing throws for them.
std::string jsonReport(const std::vector<kelmo::mail::postfix::ParameterPlan>& plans, bool dryRun,
                       const std::string& configDirectory,
                       std::optional<bool> reloaded = std::nullopt);

// {"error": {"type", "message"}} for a failed run; a null error (one not
// derived from std::exception) has a null type.
std::string jsonFailure(const std::exception* error);

}  // namespace tarnwick
