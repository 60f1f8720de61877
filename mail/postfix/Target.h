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

// Where a key's value lives, known from the key alone, so that nothing after
// the parse works it out again.
struct Target {
    enum Kind {
        MainCf,          // a main.cf parameter: postconf -e, -X
        ServiceSetting,  // -o NAME=VALUE of a master.cf service: postconf -P, -P -X
    };
    Kind kind = MainCf;
    ServiceKey service;  // a service setting's SERVICE, TYPE and NAME

    // The target a key names; the key is not checked here.
    static Target of(const std::string& key);
    bool inMasterCf() const { return kind != MainCf; }
};

}  // namespace kelmo::mail::postfix
