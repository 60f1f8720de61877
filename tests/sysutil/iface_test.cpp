#include "sysutil/iface.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/Eintr.h"
#include "helpers/net_namespace_child.h"

namespace {

using testing_netns::reportLines;
using testing_netns::runInNetNamespace;

// ---- child side: list the interfaces and describe everything as text ----

std::string openDescriptors() {
    std::string names;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return "opendir failed";
    }
    std::set<int> fds;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(dir)) {
            fds.insert(std::atoi(entry->d_name));
        }
    }
    ::closedir(dir);
    for (int fd : fds) {
        names += std::to_string(fd) + " ";
    }
    return names;
}

std::string escapeLines(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

// Sends stdout and stderr into a memory file while it lives, so that the
// messages of the routine can be reported back.
class CapturedOutput {
public:
    CapturedOutput()
        : file_(::memfd_create("messages", 0)), savedOut_(::dup(1)), savedErr_(::dup(2)) {
        std::fflush(nullptr);
        ::dup2(file_, 1);
        ::dup2(file_, 2);
    }
    ~CapturedOutput() { restore(); }

    std::string restore() {
        if (file_ < 0) {
            return text_;
        }
        std::fflush(nullptr);
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::lseek(file_, 0, SEEK_SET);
        text_ = testing_netns::readAll(file_);
        kelmo::closeQuietly(file_);
        kelmo::closeQuietly(savedOut_);
        kelmo::closeQuietly(savedErr_);
        file_ = -1;
        return text_;
    }

private:
    int file_;
    int savedOut_;
    int savedErr_;
    std::string text_;
};

bool allZero(const ifaceinfo& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

void reportRecords(FILE* out, const char* tag, const ifaceinfo* list, int count) {
    for (int i = 0; i < count; ++i) {
        char decoded[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &list[i].addr, decoded, sizeof decoded);
        std::fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\n", tag, list[i].name, list[i].addr_str,
                     list[i].netmask_str, list[i].mac_str, decoded);
    }
}

// What the kernel itself says, for comparison: addresses in its order with
// their labels, and the hardware addresses from sysfs.
void reportKernelView(FILE* out) {
    FILE* ip = ::popen("ip -4 -o addr show", "r");
    if (ip == nullptr) {
        return;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, ip) != nullptr) {
        std::istringstream words(line);
        std::string word, address, label;
        bool nextIsAddress = false;
        while (words >> word) {
            if (nextIsAddress) {
                address = word.substr(0, word.find('/'));
                nextIsAddress = false;
            } else if (word == "inet") {
                nextIsAddress = true;
            } else if (label.empty() && word.back() == '\\') {
                label = word.substr(0, word.size() - 1);
            }
        }
        std::fprintf(out, "kernel\t%s\t%s\n", label.c_str(), address.c_str());
    }
    ::pclose(ip);

    DIR* dir = ::opendir("/sys/class/net");
    while (dir != nullptr) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            ::closedir(dir);
            break;
        }
        std::ifstream address(std::string("/sys/class/net/") + entry->d_name + "/address");
        std::string mac;
        if (entry->d_name[0] != '.' && std::getline(address, mac)) {
            std::fprintf(out, "sysmac\t%s\t%s\n", entry->d_name, mac.c_str());
        }
    }
}

void listAndReport(FILE* out) {
    CapturedOutput captured;
    const std::string before = openDescriptors();
    int count = -1;
    ifaceinfo* list = iface_list(&count);
    ifaceinfo* again = iface_list(nullptr);
    const std::string after = openDescriptors();
    const std::string messages = captured.restore();

    std::fprintf(out, "fds\t%s\t%s\n", before.c_str(), after.c_str());
    std::fprintf(out, "messages\t%s\n", escapeLines(messages).c_str());
    std::fprintf(out, "null\t%d\t%d\n", list == nullptr ? 1 : 0, again == nullptr ? 1 : 0);
    std::fprintf(out, "count\t%d\n", count);
    if (list != nullptr && count >= 0) {
        reportRecords(out, "rec", list, count);
        std::fprintf(out, "terminator\t%d\n", allZero(list[count]) ? 1 : 0);
    }
    if (again != nullptr) {
        // Without a count the caller walks to the terminator; so does this.
        int walked = 0;
        while (again[walked].name[0] != '\0') {
            ++walked;
        }
        reportRecords(out, "again", again, walked);
    }
    iface_list_free(list);
    iface_list_free(again);
    reportKernelView(out);
}

// ---- parent side ----

struct Record {
    std::string name, addr, netmask, mac, decoded;
    bool operator==(const Record& other) const {
        return name == other.name && addr == other.addr && netmask == other.netmask &&
               mac == other.mac && decoded == other.decoded;
    }
};

struct Listing {
    std::string error;
    bool listNull = true;
    bool againNull = true;
    int count = -1;
    int terminatorZero = -1;
    std::vector<Record> records;
    std::vector<Record> again;
    std::vector<std::pair<std::string, std::string>> kernel;  // label, address; no loopback
    std::vector<std::string> kernelLoopback;
    std::map<std::string, std::string> sysMac;
    std::string messages;
    std::string fdsBefore, fdsAfter;
    std::string report;
};

Listing listInNamespace(const std::string& setup) {
    Listing listing;
    const testing_netns::ChildRun run = runInNetNamespace(setup, listAndReport);
    listing.error = run.error;
    listing.report = run.report;
    for (const auto& f : reportLines(run.report)) {
        const std::string& tag = f[0];
        if ((tag == "rec" || tag == "again") && f.size() == 6) {
            (tag == "rec" ? listing.records : listing.again).push_back({f[1], f[2], f[3], f[4], f[5]});
        } else if (tag == "fds" && f.size() == 3) {
            listing.fdsBefore = f[1];
            listing.fdsAfter = f[2];
        } else if (tag == "messages" && f.size() == 2) {
            listing.messages = f[1];
        } else if (tag == "null" && f.size() == 3) {
            listing.listNull = f[1] == "1";
            listing.againNull = f[2] == "1";
        } else if (tag == "count" && f.size() == 2) {
            listing.count = std::stoi(f[1]);
        } else if (tag == "terminator" && f.size() == 2) {
            listing.terminatorZero = std::stoi(f[1]);
        } else if (tag == "kernel" && f.size() == 3) {
            if (f[2].rfind("127.", 0) == 0) {
                listing.kernelLoopback.push_back(f[2]);
            } else {
                listing.kernel.emplace_back(f[1], f[2]);
            }
        } else if (tag == "sysmac" && f.size() == 3) {
            listing.sysMac[f[1]] = f[2];
        }
    }
    return listing;
}

// Everything that holds for every successful listing.
void expectWellFormed(const Listing& listing) {
    ASSERT_EQ(listing.error, "") << listing.report;
    ASSERT_FALSE(listing.listNull) << listing.report;
    ASSERT_FALSE(listing.againNull) << listing.report;
    EXPECT_EQ(listing.count, static_cast<int>(listing.records.size()));
    EXPECT_EQ(listing.terminatorZero, 1) << "record after the last is not all zero";
    EXPECT_EQ(listing.again, listing.records) << "a null count changed the listing";
    EXPECT_EQ(listing.messages, "") << "no message expected on success";
    EXPECT_EQ(listing.fdsBefore, listing.fdsAfter) << "descriptor leaked";

    // Listed once each, in the kernel's order, loopback addresses left out.
    std::vector<std::pair<std::string, std::string>> listed;
    for (const Record& r : listing.records) {
        listed.emplace_back(r.name, r.addr);
        EXPECT_EQ(r.decoded, r.addr) << "addr and addr_str disagree for " << r.name;
    }
    EXPECT_EQ(listed, listing.kernel) << listing.report;
}

const Record* find(const Listing& listing, const std::string& name) {
    for (const Record& r : listing.records) {
        if (r.name == name) {
            return &r;
        }
    }
    return nullptr;
}

TEST(IfaceList, OnlyLoopbackGivesTheTerminatorAlone) {
    const Listing listing = listInNamespace("ip addr add 127.0.1.1/8 dev lo");
    expectWellFormed(listing);
    EXPECT_EQ(listing.count, 0);
    EXPECT_TRUE(listing.records.empty());
    // Both loopback addresses were in the kernel's answer and were skipped.
    EXPECT_EQ(listing.kernelLoopback, (std::vector<std::string>{"127.0.0.1", "127.0.1.1"}));
}

TEST(IfaceList, DescribesAddressesAliasesAndSkipsLoopbackOnAnyInterface) {
    // The links stay down: the kernel lists addresses of down interfaces too,
    // and nothing can be sent. The loopback address on v1 carries its own label:
    // the netmask query goes by name, and the kernel puts that host-scope
    // address ahead of 198.51.100.8 in v1's list.
    const Listing listing = listInNamespace(
        "ip link add v0 type veth peer name v1;"
        "ip addr add 198.51.100.7/24 dev v0;"
        "ip addr add 203.0.113.9/25 dev v0 label v0:1;"
        "ip addr add 198.51.100.8/24 dev v1;"
        "ip addr add 127.0.1.1/8 dev v1 label v1:9");
    expectWellFormed(listing);
    ASSERT_EQ(listing.count, 3) << listing.report;
    EXPECT_EQ(listing.kernelLoopback, (std::vector<std::string>{"127.0.0.1", "127.0.1.1"}));

    const std::regex macText("([0-9a-f]{2}:){5}[0-9a-f]{2}");
    struct Expected {
        const char* name;
        const char* addr;
        const char* netmask;
        bool ownMac;
    };
    for (const Expected& e : {Expected{"v0", "198.51.100.7", "255.255.255.0", true},
                              Expected{"v0:1", "203.0.113.9", "255.255.255.128", false},
                              Expected{"v1", "198.51.100.8", "255.255.255.0", true}}) {
        SCOPED_TRACE(e.name);
        const Record* r = find(listing, e.name);
        ASSERT_NE(r, nullptr) << listing.report;
        EXPECT_EQ(r->addr, e.addr);
        EXPECT_EQ(r->netmask, e.netmask);
        if (e.ownMac) {
            EXPECT_TRUE(std::regex_match(r->mac, macText)) << r->mac;
            EXPECT_NE(r->mac, "00:00:00:00:00:00");
            EXPECT_EQ(r->mac, listing.sysMac.at(e.name));
        } else {
            EXPECT_EQ(r->mac, "");
        }
    }
}

TEST(IfaceList, InterfaceWithoutHardwareAddressReadsAllZeros) {
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "no /dev/net/tun here";
    }
    const Listing listing = listInNamespace(
        "ip tuntap add tun0 mode tun; ip addr add 203.0.113.201/30 dev tun0");
    expectWellFormed(listing);
    ASSERT_EQ(listing.count, 1) << listing.report;
    EXPECT_EQ(listing.records[0].name, "tun0");
    EXPECT_EQ(listing.records[0].mac, "00:00:00:00:00:00");
    EXPECT_EQ(listing.records[0].netmask, "255.255.255.252");
}

// The kernel's answer holds the loopback entry too, so n addresses make n + 1
// entries: 1 and 3 fill the first buffers exactly (2 and 4 entries), 15 fills
// 16, and the larger ones need several rounds of growth.
TEST(IfaceList, GrowsUntilEveryAddressIsListedOnceInKernelOrder) {
    for (int addresses : {1, 3, 7, 15, 24, 40}) {
        SCOPED_TRACE("addresses: " + std::to_string(addresses));
        // Pairs p0/q0, p1/q1, ...; each interface carries a primary address
        // under its own name and one under an alias label.
        std::ostringstream setup;
        for (int i = 0; i < addresses; ++i) {
            const int slot = i / 2;  // interface number
            if (slot % 2 == 0 && i % 2 == 0) {
                setup << "ip link add p" << slot / 2 << " type veth peer name q" << slot / 2 << ";";
            }
            const std::string device = (slot % 2 == 0 ? "p" : "q") + std::to_string(slot / 2);
            const std::string address = i % 2 == 0 ? "198.51.100." + std::to_string(10 + i) + "/24"
                                                   : "203.0.113." + std::to_string(10 + i) + "/25";
            setup << "ip addr add " << address << " dev " << device;
            if (i % 2 == 1) {
                setup << " label " << device << ":" << i;
            }
            setup << ";";
        }
        const Listing listing = listInNamespace(setup.str());
        expectWellFormed(listing);
        EXPECT_EQ(listing.count, addresses);
        std::set<std::string> distinct;
        for (const Record& r : listing.records) {
            distinct.insert(r.name + " " + r.addr);
        }
        EXPECT_EQ(distinct.size(), static_cast<size_t>(addresses));
    }
}

TEST(IfaceList, SocketFailureIsReportedAndGivesNullWithCountZero) {
    const testing_netns::ChildRun run = runInNetNamespace("", [](FILE* out) {
        CapturedOutput captured;
        // Use up every descriptor the limit allows, so that socket() fails.
        const rlimit low{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> filler;
        for (int fd; (fd = ::dup(0)) >= 0;) {
            filler.push_back(fd);
        }
        int count = 42;
        errno = 0;
        ifaceinfo* list = iface_list(&count);
        const int error = errno;
        for (int fd : filler) {
            kelmo::closeQuietly(fd);
        }
        const std::string messages = captured.restore();
        std::fprintf(out, "%d\t%d\t%d\t%s\n", list == nullptr ? 1 : 0, count, error,
                     escapeLines(messages).c_str());
        iface_list_free(list);
    });
    ASSERT_EQ(run.error, "") << run.report;
    const auto lines = reportLines(run.report);
    ASSERT_EQ(lines.size(), 1u) << run.report;
    ASSERT_EQ(lines[0].size(), 4u) << run.report;
    EXPECT_EQ(lines[0][0], "1") << "a list came back without a socket";
    EXPECT_EQ(lines[0][1], "0") << "count not reset";
    EXPECT_EQ(lines[0][2], std::to_string(EMFILE)) << "errno not left for the caller";
    // Printed on standard error and again on standard output.
    const std::string expected = std::string("Can't create socket: ") + std::strerror(EMFILE);
    const std::string& messages = lines[0][3];
    const size_t first = messages.find(expected);
    ASSERT_NE(first, std::string::npos) << messages;
    EXPECT_NE(messages.find(expected, first + 1), std::string::npos) << messages;
    EXPECT_NE(messages.find("System error " + std::to_string(EMFILE)), std::string::npos) << messages;
}

}  // namespace
