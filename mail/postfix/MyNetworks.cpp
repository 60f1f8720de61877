#include "mail/postfix/MyNetworks.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "mail/postfix/ValueLists.h"
#include "sysutil/iface.h"

namespace kelmo::mail::postfix {

namespace {

const char kIpv6Loopback[] = "[::1]/128";

}  // namespace

std::string localNetworks() {
    std::string networks = "127.0.0.0/8";
    int count = 0;
    // iface_list has already said why when it returns null; the loopback
    // network alone is then the narrowest sensible answer.
    std::unique_ptr<ifaceinfo, void (*)(ifaceinfo*)> list(iface_list(&count), iface_list_free);
    if (list && count > 0) {
        networks += ", ";
        networks += list.get()[0].addr_str;
        networks += "/32";
    }
    return networks;
}

std::string chooseMyNetworks(const std::string& current, const std::string& defaultValue,
                             const std::string& ipv4Networks) {
    // Local clients may reach the server over ::1 (localhost resolves to it
    // first on many systems); other IPv6 networks of the default stay out.
    const std::vector<std::string> defaults = listElements(defaultValue);
    const std::string localNetworks =
        std::find(defaults.begin(), defaults.end(), kIpv6Loopback) != defaults.end()
            ? ipv4Networks + ", " + kIpv6Loopback
            : ipv4Networks;
    if (current.empty() || current == defaultValue) {
        return localNetworks;
    }
    // An empty default "occurs" at the start of every value; splicing there
    // would prepend the local networks to what the administrator configured
    // and widen it. Postfix never has an empty built-in default, so such a
    // reading means the default is unknown: leave the value alone.
    if (defaultValue.empty()) {
        return current;
    }
    // Only the default text itself is replaced; networks configured around
    // it (before or after) are kept, or the next write would lose them.
    const std::string::size_type at = current.find(defaultValue);
    if (at == std::string::npos) {
        return current;
    }
    return current.substr(0, at) + localNetworks + current.substr(at + defaultValue.size());
}

}  // namespace kelmo::mail::postfix
