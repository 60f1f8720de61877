#include "mail/postfix/MyNetworks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ChooseMyNetworks, ReplacesOnlyTheDefaultAndKeepsConfiguredNetworks) {
    const std::string D = "127.0.0.0/8 [::1]/128", L = "127.0.0.0/8, 198.51.100.7/32";
    const std::string L6 = L + ", [::1]/128";  // the IPv6 loopback of the default is kept
    // clang-format off
    const std::string cases[][4] = {  // current, default, IPv4 local networks, result
        {"", D, L, L6},
        {D, D, L, L6},
        {"127.0.0.0/8", D, L, "127.0.0.0/8"},  // a configured value is kept, even a prefix of the default
        {"203.0.113.0/25 " + D + " 192.0.2.0/24", D, L, "203.0.113.0/25 " + L6 + " 192.0.2.0/24"},
        {D + ", " + D, D, L, L6 + ", " + D},
        {"203.0.113.0/24", "", L, "203.0.113.0/24"},  // an empty default matches nowhere
        {"", "127.0.0.0/8,[fe80::]/64,\t[::1]/128", L, L6},  // no other IPv6 network
        {"", "127.0.0.0/8 [::1]/1280 [::1]/12 x[::1]/128", L, L},  // the element, not a piece
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(kelmo::mail::postfix::chooseMyNetworks(c[0], c[1], c[2]), c[3]) << c[0] << c[1];
    }
}

}  // namespace
