#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelmo::mail::postfix {

// A master.cf service and, for a setting or field of it, its NAME, the way
// postconf names them: SERVICE/TYPE (-M), SERVICE/TYPE/NAME (-P, -F), as in
// submission/inet/smtpd_client_restrictions.
struct ServiceKey {
    std::string service;
    std::string type;
    std::string name;  // empty for a whole entry

    // "SERVICE/TYPE", the argument postconf -M takes.
    std::string serviceType() const { return service + "/" + type; }
};

// The parts of key when it has exactly two '/' and three non-empty parts;
// nullopt for any other key. The name itself is not checked here.
std::optional<ServiceKey> serviceKey(const std::string& key);

// The parts of key when it has exactly one '/' and two non-empty parts.
std::optional<ServiceKey> serviceEntryKey(const std::string& key);

// The position of a master.cf field among an entry's first eight (0 for the
// service, 7 for the command), as postconf -F names them; -1 for any other
// name.
int serviceFieldIndex(const std::string& name);

// postconf -F's name of the field at index (0 to 7).
const char* serviceFieldName(int index);

// The words of a master.cf entry, split at runs of white space, as postconf
// -M prints and -M -e takes them.
std::vector<std::string> entryWords(const std::string& entry);

// Where a key's value lives, known from the key alone, so that nothing after
// the parse works it out again.
struct Target {
    enum Kind {
        MainCf,          // a main.cf parameter: postconf -e, -X
        ServiceSetting,  // -o NAME=VALUE of a master.cf service: postconf -P, -P -X
        ServiceEntry,    // a whole master.cf entry: postconf -M -e, -M#
        ServiceField,    // one of an entry's first eight fields: postconf -F -e
    };
    Kind kind = MainCf;
    ServiceKey service;  // a service key's SERVICE, TYPE and NAME

    // The target a key names; the key is not checked here.
    static Target of(const std::string& key);
    bool inMasterCf() const { return kind != MainCf; }
    // An entry or a field: set whole, never a list, and no parameter that a
    // setting could refer to.
    bool setWhole() const { return kind == ServiceEntry || kind == ServiceField; }
    // A setting or field, which needs the entry it belongs to.
    bool inEntry() const { return kind == ServiceSetting || kind == ServiceField; }
};

}  // namespace kelmo::mail::postfix
