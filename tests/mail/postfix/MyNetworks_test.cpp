#include "mail/postfix/MyNetworks.h"

#include <gtest/gtest.h>

#include <string>

#include "helpers/stream_capture.h"

namespace {

TEST(ChooseMyNetworks, ReplacesOnlyTheDefaultAndKeepsConfiguredNetworks) {
    const std::string D = "127.0.0.0/8 [::1]/128", L = "127.0.0.0/8, 198.51.100.7/32";
    const std::string L6 = L + ", [::1]/128";  // the IPv6 loopback of the default is kept
    // clang-format off
    const std::string cases[][4] = {  // current, default, IPv4 local networks, result
        {"", D, L, L6},
        {D, D, L, L6},
        {"198.51.100.0/24", D, L, "198.51.100.0/24"},  // a short configured value is kept
        {"127.0.0.0/8", D, L, "127.0.0.0/8"},          // even a prefix of the default
        {D + ", 203.0.113.0/24", D, L, L6 + ", 203.0.113.0/24"},
        {"203.0.113.0/25 " + D + " 192.0.2.0/24", D, L, "203.0.113.0/25 " + L6 + " 192.0.2.0/24"},
        {"203.0.113.0/25 " + D, D, L, "203.0.113.0/25 " + L6},
        {D + ", " + D, D, L, L6 + ", " + D},
        {"203.0.113.0/25, 192.0.2.0/24", D, L, "203.0.113.0/25, 192.0.2.0/24"},
        {"203.0.113.0/24", "", L, "203.0.113.0/24"},  // an empty default matches nowhere
        {"", "127.0.0.0/8", L, L},
        {"", "127.0.0.0/8,[fe80::]/64,\t[::1]/128", L, L6},  // no other IPv6 network
        {"", "127.0.0.0/8 [::1]/1280 [::1]/12 x[::1]/128", L, L},  // the element, not a piece
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(kelmo::mail::postfix::chooseMyNetworks(c[0], c[1], c[2]), c[3]) << c[0] << c[1];
    }
}

TEST(LocalNetworks, LoopbackPlusTheFirstListedAddress) {
    const std::string cases[][2] = {
        {"ip addr add 127.0.1.1/8 dev lo", "127.0.0.0/8"},
        {"ip link add v0 type veth peer name v1; ip addr add 198.51.100.7/24 dev v0;"
         "ip addr add 203.0.113.9/25 dev v0 label v0:1", "127.0.0.0/8, 198.51.100.7/32"},
    };
    for (const auto& c : cases) {
        const auto result = testsupport::runInChild([&] {
            if (!enterNetNamespace(c[0])) return 90;
            std::fputs(kelmo::mail::postfix::localNetworks().c_str(), stdout);
            return 0;
        });
        EXPECT_TRUE(result.exitedWith(0)) << result.status << result.err;
        EXPECT_EQ(result.out, c[1]);
    }
}

}  // namespace
