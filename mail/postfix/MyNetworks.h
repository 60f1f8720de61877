#pragma once

#include <string>

namespace kelmo::mail::postfix {

// "127.0.0.0/8", plus ", <first non-loopback IPv4 address>/32" when the host
// has one. Interface listing failures leave the loopback network alone.
std::string localNetworks();

// What a read of mynetworks returns, given the value read (trimmed), Postfix's
// built-in default (trimmed) and localNetworks(): the default, wherever it
// stands in the value, is replaced by the local networks, that is those IPv4
// networks followed by ", [::1]/128" when the default has that element; other
// networks that the administrator configured are kept.
std::string chooseMyNetworks(const std::string& current, const std::string& defaultValue,
                             const std::string& ipv4Networks);

}  // namespace kelmo::mail::postfix
