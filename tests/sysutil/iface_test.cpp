#include "sysutil/iface.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "helpers/stream_capture.h"

// In a network namespace of its own (links down) with more addresses than the first capacity,
// the child prints ip's non-loopback "label address" lines, "--", iface_list's, "--", then
// iface_list's "name netmask mac|" lines and the count.
TEST(IfaceList, DescribesAddressesNetmasksAndAliasesSkippingLoopbackEverywhere) {
    const auto result = testsupport::runInChild([&] {
        if (::unshare(CLONE_NEWNET) != 0 ||
            std::system("set -e; ip link set lo up; ip link add v0 address 2:0:0:0:0:7 type veth"
                " peer name v1 address 2:0:0:0:0:8; ip addr add 198.51.100.7/24 dev v0;"
                "ip addr add 203.0.113.9/25 dev v0 label v0:1;"
                "ip addr add 127.0.1.1/8 dev v1 label v1:9; ip addr add 198.51.100.8/24 dev v1;"
                "n=10; for i in 0 1 2 3 4; do ip link add p$i type veth peer name q$i;"
                "for d in p$i q$i; do ip addr add 198.51.100.$n/24 dev $d;"
                "ip addr add 203.0.113.$n/25 dev $d label $d:1; n=$((n+1)); done; done") != 0)
            return 90;
        std::system(R"(ip -4 -o addr show | awk '$4 !~ /^127\./ {
            for (i = 5; i <= NF; i++) if ($i ~ /\\$/) { l = substr($i, 1, length($i) - 1); break }
            split($4, a, "/"); print l, a[1] }'; echo --)");
        int count = -1;
        const ifaceinfo* list = iface_list(&count);
        if (list == nullptr) return 91;
        for (int i = 0; i < count; ++i) std::printf("%s %s\n", list[i].name, list[i].addr_str);
        std::printf("--\n");
        for (int i = 0; i < count; ++i)
            std::printf("%s %s %s|\n", list[i].name, list[i].netmask_str, list[i].mac_str);
        const ifaceinfo zero{};
        std::printf("count %d terminator %d\n", count,
                    !std::memcmp(list + count, &zero, sizeof zero));
        return 0;
    });
    EXPECT_TRUE(result.exitedWith(0)) << result.status << result.err;
    const size_t first = result.out.find("--\n"), second = result.out.find("--\n", first + 3);
    EXPECT_EQ(result.out.substr(first + 3, second - first - 3), result.out.substr(0, first));
    const std::string masks = result.out.substr(second + 2);  // from the "\n" before the first
    for (const std::string line : {"v0 255.255.255.0 02:00:00:00:00:07|", "v0:1 255.255.255.128 |",
                                   "v1 255.255.255.0 02:00:00:00:00:08|", "count 23 terminator 1"})
        EXPECT_NE(masks.find("\n" + line + "\n"), std::string::npos) << line;
}
