// Concurrent runs of tarnwick on one configuration: the main.cf lock must
// serialise them.

#include <algorithm>
#include <memory>

#include "mail/postfix/ValueLists.h"
#include "tool/ToolHarness.h"

namespace {

using namespace tarnwick_test;

// Each append reads, decides and writes under the lock, so none is lost.
// Real postconf re-reads a main.cf modified in the last seconds until it
// settles, so the serialised runs take one to two seconds each.
TEST(ConcurrencyTest, SimultaneousAppendsKeepEveryValue) {
    constexpr int kRuns = 16;
    MailConfig config("smtpd_client_restrictions = base\n");
    std::vector<std::unique_ptr<Started>> runs;
    std::vector<std::string> expected{"base"};
    for (int i = 0; i < kRuns; ++i) {
        const std::string value = "value" + std::to_string(i);
        expected.push_back(value);
        runs.push_back(std::make_unique<Started>(
            namespaced(config, Namespace(), tarnwickCommand({"smtpd_client_restrictions", value})),
            std::vector<std::string>{config.env()}));
    }
    for (auto& run : runs) {
        const Outcome o = run->finish();
        EXPECT_EQ(o.exitCode, 0) << o.err;
        EXPECT_EQ(o.err, "");
    }
    std::vector<std::string> elements =
        kelmo::mail::postfix::listElements(config.value("smtpd_client_restrictions"));
    std::sort(elements.begin(), elements.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(elements, expected);
}

// The stand-in logs "start <ns>" and "end <ns>" around each write; under the
// lock the log alternates and each start follows the previous end.
TEST(ConcurrencyTest, SimultaneousReplacesNeverOverlap) {
    constexpr int kRuns = 32;
    MailConfig config;
    const std::string log = config.scratch("writes");
    Namespace ns;
    ns.postconf = standin("postconf-timed");
    std::vector<std::unique_ptr<Started>> runs;
    for (int i = 0; i < kRuns; ++i) {
        runs.push_back(std::make_unique<Started>(
            namespaced(config, ns, tarnwickCommand({"-r", "relay_domains", std::to_string(i)})),
            std::vector<std::string>{config.env(), "STANDIN_LOG=" + log}));
    }
    for (auto& run : runs) {
        const Outcome o = run->finish();
        EXPECT_EQ(o.exitCode, 0) << o.err;
    }
    std::istringstream lines(slurp(log));
    std::string word;
    long long stamp = 0;
    long long lastEnd = 0;
    int starts = 0;
    bool open = false;
    while (lines >> word >> stamp) {
        if (word == "start") {
            EXPECT_FALSE(open) << "a write started while another was running";
            EXPECT_GE(stamp, lastEnd);
            open = true;
            ++starts;
        } else {
            EXPECT_EQ(word, "end");
            EXPECT_TRUE(open);
            open = false;
            lastEnd = stamp;
        }
    }
    EXPECT_FALSE(open);
    EXPECT_EQ(starts, kRuns);
}

}  // namespace
