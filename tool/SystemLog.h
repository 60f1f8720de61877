#pragma once

#include <string>
#include <vector>

#include "mail/postfix/EditPlan.h"

namespace tarnwick {

// After a write has succeeded: one line per written parameter in the system
// log (ident "tarnwick", LOG_MAIL, LOG_NOTICE), beside Postfix's own, so
// that who changed main.cf, and from what, can be found later:
//   <mainCfPath>: KEY: "BEFORE" -> "AFTER" (uid N[ sudo_uid N])
//   <mainCfPath>: KEY set to "AFTER" (uid N[ sudo_uid N])   (nothing read)
// with (unset) in place of "AFTER" for a setting the run removes, and the
// masterCfPath in place of mainCfPath for a SERVICE/TYPE/NAME setting. In
// KEY, BEFORE and AFTER '"' and '\' are escaped with a backslash and bytes
// below 0x20 and 0x7f written \xHH; a value past 1024 bytes is cut there,
// "...(N bytes)" after its closing quote giving its length. Call it with the
// lock released: a log daemon that does not read blocks it. Without a
// syslog socket the lines are lost; nothing is reported or thrown.
void logWrites(const std::string& mainCfPath, const std::string& masterCfPath,
               const std::vector<kelmo::mail::postfix::ParameterPlan>& plans);

}  // namespace tarnwick
