#include "tool/SystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// Longer values are cut: a line past the log socket's datagram limit (about
// 208 KiB, after net.core.wmem_default) is dropped without a word.
constexpr std::size_t kLoggedBytes = 1024;

// A value can neither end its quotes and forge the rest of the line nor send
// a reader of the log escape sequences: '"' and '\' take a backslash, bytes
// below 0x20 and 0x7f are written \xHH.
std::string escaped(const std::string& text, std::size_t length) {
    std::string line;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        if (c == '"' || c == '\\') {
            line += '\\';
            line += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

// "VALUE", or past kLoggedBytes "ITS FIRST kLoggedBytes"...(N bytes).
std::string quoted(const std::string& value) {
    const std::size_t kept = std::min(value.size(), kLoggedBytes);
    const std::string text = "\"" + escaped(value, kept) + "\"";
    return kept < value.size() ? text + "...(" + std::to_string(value.size()) + " bytes)" : text;
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
        const std::string after = plan.after ? quoted(*plan.after) : std::string("(unset)");
        const std::string change =
            plan.before ? ": " + quoted(*plan.before) + " -> " + after : " set to " + after;
        const std::string& path = plan.target.inMasterCf() ? masterCfPath : mainCfPath;
        const std::string key = escaped(plan.key, plan.key.size());
        syslog(LOG_NOTICE, "%s", (path + ": " + key + change + who).c_str());
    }
    if (opened) {
        closelog();
    }
}

}  // namespace tarnwick
