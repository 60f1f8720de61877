#include "tool/SystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>


namespace tarnwick {

namespace {

// The real uid, and the one sudo keeps in SUDO_UID when it is a number: as
// root, the uid alone would not say who ran sudo.
std::string caller() {
    std::string text = "uid " + std::to_string(getuid());
    const char* sudo = std::getenv("SUDO_UID");
    if (sudo != nullptr && *sudo != '\0' && std::strspn(sudo, "0123456789") == std::strlen(sudo)) {
        text += " sudo_uid " + std::string(sudo);
    }
    return text;
}

}  // namespace

void logWrites(const std::string& mainCfPath, const std::string& masterCfPath,
               const std::vector<kelmo::mail::postfix::ParameterPlan>& plans) {
    const std::string who = " (" + caller() + ")";
    bool opened = false;
    for (const auto& plan : plans) {
        if (!plan.changed) {
            continue;
        }
        if (!opened) {
            openlog("tarnwick", 0, LOG_MAIL);
            opened = true;
        }
        const std::string after = plan.after ? "\"" + *plan.after + "\"" : std::string("(unset)");
        const std::string change =
            plan.before ? ": \"" + *plan.before + "\" -> " + after : " set to " + after;
        const std::string& path = plan.target.inMasterCf() ? masterCfPath : mainCfPath;
        syslog(LOG_NOTICE, "%s", (path + ": " + plan.key + change + who).c_str());
    }
    if (opened) {
        closelog();
    }
}

}  // namespace tarnwick
