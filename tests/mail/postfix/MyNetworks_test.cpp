#include "mail/postfix/MyNetworks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "helpers/net_namespace_child.h"

namespace {

using kelmo::mail::postfix::chooseMyNetworks;

// Postfix's built-in default on a host with a few interfaces: long, and
// blank-separated.
const std::string kDefault = "127.0.0.0/8 192.0.2.0/24 [::1]/128 [fd00::]/64 [fe80::]/64";
const std::string kLocal = "127.0.0.0/8, 198.51.100.7/32";

TEST(ChooseMyNetworks, ReplacesOnlyTheDefaultAndKeepsConfiguredNetworks) {
    struct Case {
        const char* what;
        std::string current, defaultValue, local, expected;
    };
    const Case cases[] = {
        {"empty value", "", kDefault, kLocal, kLocal},
        {"empty value, empty default", "", "", kLocal, kLocal},
        {"equal to the default", kDefault, kDefault, kLocal, kLocal},
        {"short configured value is kept", "198.51.100.0/24", kDefault, kLocal, "198.51.100.0/24"},
        {"value that is a prefix of the default is kept", "127.0.0.0/8", kDefault, kLocal,
         "127.0.0.0/8"},
        {"default followed by more", kDefault + ", 203.0.113.0/24", kDefault, kLocal,
         kLocal + ", 203.0.113.0/24"},
        {"default in the middle keeps both sides", "203.0.113.0/25, " + kDefault + ", 198.51.100.0/24",
         kDefault, kLocal, "203.0.113.0/25, " + kLocal + ", 198.51.100.0/24"},
        {"default at the end", "203.0.113.0/25 " + kDefault, kDefault, kLocal,
         "203.0.113.0/25 " + kLocal},
        {"only the first occurrence is replaced", kDefault + ", " + kDefault, kDefault, kLocal,
         kLocal + ", " + kDefault},
        {"longer value without the default", "203.0.113.0/25, 198.51.100.0/24, 192.0.2.0/24, [::1]/128",
         kDefault, kLocal, "203.0.113.0/25, 198.51.100.0/24, 192.0.2.0/24, [::1]/128"},
        {"comparison is exact, blanks included", "127.0.0.0/8  192.0.2.0/24", "127.0.0.0/8 192.0.2.0/24",
         kLocal, "127.0.0.0/8  192.0.2.0/24"},
        {"loopback-only local networks", kDefault, kDefault, "127.0.0.0/8", "127.0.0.0/8"},
        {"loopback-only, default with more after", kDefault + ",203.0.113.0/24", kDefault,
         "127.0.0.0/8", "127.0.0.0/8,203.0.113.0/24"},
        // An empty default would match at position 0 of anything; splicing
        // there would put the local networks in front of a configured value.
        {"empty default keeps a configured value", "203.0.113.0/24", "", kLocal, "203.0.113.0/24"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseMyNetworks(c.current, c.defaultValue, c.local), c.expected) << c.what;
    }
}

// localNetworks() inside a private network namespace, so that the host's
// first address is known. The links stay down; nothing is sent.
std::string localNetworksWith(const std::string& setup) {
    const testing_netns::ChildRun run = testing_netns::runInNetNamespace(setup, [](FILE* out) {
        std::fputs(kelmo::mail::postfix::localNetworks().c_str(), out);
    });
    EXPECT_EQ(run.error, "") << run.report;
    return run.report;
}

TEST(LocalNetworks, LoopbackPlusTheFirstListedAddress) {
    struct Case {
        const char* what;
        std::string setup, expected;
    };
    const Case cases[] = {
        {"only loopback", "ip addr add 127.0.1.1/8 dev lo", "127.0.0.0/8"},
        {"one address", "ip link add v0 type veth peer name v1; ip addr add 198.51.100.7/24 dev v0",
         "127.0.0.0/8, 198.51.100.7/32"},
        // Only the first listed address counts, and a loopback address
        // ahead of it on the same interface is never taken.
        {"first of several",
         "ip link add v0 type veth peer name v1;"
         "ip addr add 127.0.1.1/8 dev v1;"
         "ip addr add 198.51.100.7/24 dev v1;"
         "ip addr add 203.0.113.9/25 dev v1 label v1:1",
         "127.0.0.0/8, 198.51.100.7/32"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(localNetworksWith(c.setup), c.expected) << c.what;
    }
}

}  // namespace
