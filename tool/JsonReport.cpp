#include "tool/JsonReport.h"

#include <nlohmann/json.hpp>

#include "tool/FailureReport.h"

namespace tarnwick {

namespace {

// Members in the documented order rather than sorted by name.
using Json = nlohmann::ordered_json;

// Values are bytes as postconf printed them, not necessarily UTF-8.
std::string dump(const Json& document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string jsonReport(const std::vector<kelmo::mail::postfix::ParameterPlan>& plans, bool dryRun,
                       const std::string& configDirectory, std::optional<bool> reloaded) {
    Json parameters = Json::array();
    bool changed = false;
    for (const auto& plan : plans) {
        changed = changed || plan.changed;
        Json warnings = Json::array();
        for (const auto& warning : plan.warnings) {
            warnings.push_back(warning.text);
        }
        parameters.push_back(Json{{"name", plan.key},
                                  {"before", plan.before ? Json(*plan.before) : Json()},
                                  {"before_set", plan.beforeSet},
                                  {"after", plan.after ? Json(*plan.after) : Json()},
                                  {"changed", plan.changed},
                                  {"warnings", warnings}});
    }
    Json report = {{"changed", changed},
                   {"dry_run", dryRun},
                   {"config_directory", configDirectory},
                   {"parameters", parameters}};
    if (reloaded) {
        report["reloaded"] = *reloaded;
    }
    return dump(report);
}

std::string jsonFailure(const std::exception* error) {
    return dump({{"error",
                  {{"type", error != nullptr ? Json(typeName(*error)) : Json()},
                   {"message", error != nullptr ? error->what() : "UNSPECIFIED ERROR OCCURED"}}}});
}

}  // namespace tarnwick
