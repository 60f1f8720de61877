#include "tool/UndoReport.h"

#include <stdlib.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "tool/BoundedInput.h"

namespace tarnwick {

namespace {

using kelmo::mail::postfix::ParameterPlan;
using Json = nlohmann::json;

// A report holds each value at most twice, and a run writes at most a few
// MiB; /dev/zero or an endless pipe fails at once.
const std::size_t kMaxBytes = 64 << 20;

// The JSON report's plans, or nullopt for anything of another shape. A
// string holding a NUL could not be a postconf argument.
std::optional<std::vector<ParameterPlan>> plansOf(const Json& parameters) {
    const auto text = [](const Json& value, std::optional<std::string>& into) {
        if (value.is_string() && value.get_ref<const std::string&>().find('\0') == std::string::npos) {
            into = value.get<std::string>();
        }
        return value.is_string() ? into.has_value() : value.is_null();
    };
    std::vector<ParameterPlan> plans;
    for (const Json& parameter : parameters) {
        ParameterPlan plan;
        std::optional<std::string> name;
        if (!parameter.is_object() || !text(parameter.value("name", Json()), name) || !name ||
            !text(parameter.value("before", Json(0)), plan.before) ||
            !text(parameter.value("after", Json(0)), plan.after) ||
            !parameter.value("changed", Json()).is_boolean()) {
            return std::nullopt;
        }
        plan.key = *name;
        plan.target = kelmo::mail::postfix::Target::of(plan.key);
        plan.changed = parameter["changed"].get<bool>();
        plans.push_back(plan);
    }
    return plans;
}

}  // namespace

UndoReportError::UndoReportError(const std::string& message) : std::runtime_error(message) {}
UndoReportError::~UndoReportError() = default;

UndoReport readUndoReport(const std::string& file) {
    const std::optional<std::string> text =
        readBounded(file, kMaxBytes, std::numeric_limits<std::size_t>::max());
    if (!text) {
        throw UndoReportError(file + ": larger than 64 MiB, not a report of tarnwick --json");
    }
    const Json report = Json::parse(*text, nullptr, false);
    const auto refused = [&file](const std::string& why) { return UndoReportError(file + ": " + why); };
    if (report.is_object() && report.contains("error")) {
        throw refused("the report of a failed run: nothing to undo");
    }
    const Json directory = report.is_object() ? report.value("config_directory", Json()) : Json();
    const Json parameters = report.is_object() ? report.value("parameters", Json()) : Json();
    const std::optional<std::vector<ParameterPlan>> plans =
        parameters.is_array() ? plansOf(parameters) : std::nullopt;
    if (!plans || !directory.is_string() || !report.value("dry_run", Json()).is_boolean()) {
        throw refused("not a report of tarnwick --json");
    }
    if (report["dry_run"].get<bool>()) {
        throw refused("the report of a dry run: nothing was written to undo");
    }
    UndoReport undo{directory.get<std::string>(), *plans};
    for (std::size_t i = 0; i < undo.plans.size(); ++i) {
        ParameterPlan& plan = undo.plans[i];
        const Json set = parameters[i].value("before_set", Json());
        // Without it an unset parameter's default would be written out.
        if (!set.is_boolean()) {
            throw refused("\"" + plan.key + "\" has no before_set: the report of an older "
                          "tarnwick cannot be undone");
        }
        plan.beforeSet = set.get<bool>();
        if (plan.beforeSet && !plan.before) {
            throw refused("not a report of tarnwick --json");
        }
        // The report shows bytes that were not UTF-8 as U+FFFD: putting that
        // back would write other bytes than were there.
        const std::string replacement = "\xEF\xBF\xBD";
        if (plan.changed && (plan.before.value_or("").find(replacement) != std::string::npos ||
                             plan.after.value_or("").find(replacement) != std::string::npos)) {
            throw refused("\"" + plan.key + "\" held bytes that are not UTF-8, shown as U+FFFD: "
                          "they cannot be put back");
        }
    }
    return undo;
}

void checkUndoDirectory(const UndoReport& report, const std::string& file,
                        const std::string& configDirectory) {
    std::unique_ptr<char, decltype(&std::free)> canonical(
        ::realpath(report.configDirectory.c_str(), nullptr), &std::free);
    const std::string reported = canonical ? canonical.get() : report.configDirectory;
    if (reported != configDirectory) {
        throw UndoReportError(file + ": the report is of " + report.configDirectory +
                              ", this run works on " + configDirectory);
    }
}

}  // namespace tarnwick
