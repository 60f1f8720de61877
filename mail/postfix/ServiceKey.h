#pragma once

#include <optional>
#include <string>

namespace kelmo::mail::postfix {

// A setting of one master.cf service, named the way postconf -P names it:
// SERVICE/TYPE/NAME, as in submission/inet/smtpd_client_restrictions.
struct ServiceKey {
    std::string service;
    std::string type;
    std::string name;

    // "SERVICE/TYPE", the argument postconf -M takes.
    std::string serviceType() const { return service + "/" + type; }
};

// The parts of key when it has exactly two '/' and three non-empty parts;
// nullopt for any other key. The name itself is not checked here.
std::optional<ServiceKey> serviceKey(const std::string& key);

// Throws PostfixConfigurationError "a master.cf service setting cannot hold
// blanks: \"<text>\"..." when text holds a blank, a tab or a carriage
// return: postconf -P refuses whitespace in a value. Callers trim the ends
// first, as postconf does.
void checkServiceText(const std::string& text);

}  // namespace kelmo::mail::postfix
