#include "mail/postfix/PostfixConfiguration.h"

#include <fcntl.h>
#include <sys/file.h>

#include <functional>
#include <thread>

#include "tool/ToolHarness.h"

namespace {

using kelmo::mail::postfix::PostfixConfiguration;

// A line is an error when its second field (after the first colon and any spaces) starts
// with "panic:", "fatal:" or "error:", and that is not where the line ends.
TEST(PostfixConfigurationTest, OnlyASeverityWordInTheSecondFieldIsAnError) {
    const std::pair<std::string, bool> cases[] = {
        // clang-format off
        {"", true}, {"postconf: warning: open /x/master.cf: No such file\n", true},
        {"postconf: fatal: open /x/main.cf: No such file\n", false}, {"postconf: error: x\n", false},
        {"postconf: panic: last line without newline", false}, {"postconf:    fatal: blanks\n", false},
        {"postconf: fatal:", false}, {"postconf: fatal:\n", false}, {"postconf: fatal\n", true},
        {"postconf: fatal but no colon\n", true}, {"fatal: first field only\n", true},
        {"postconf: Fatal: case matters\n", true}, {"postconf:fatal: no blank needed\n", false},
        {"postconf:\tfatal: only the space is a blank\n", true}, {"p: notice: x\np: fatal: y\n", false},
        {"p: warning: a\np: warning: b\n", true}, {"postconf:\n", true}, {"postconf: \n", true},
        {"postconf:  f\n", true}, {"postconf: fatal", true}, {"x: y: fatal: z\n", true},
        {"\n\n\n", true}, {"a: fatal:\rb\n", false},
        // clang-format on
    };
    for (const auto& [text, clean] : cases)
        EXPECT_EQ(PostfixConfiguration::isCleanDiagnostics(text), clean) << text;
}

// removeValue and appendPairValue have no command line: they run here against real postconf,
// with /var/lock private to this process.
TEST(PostfixConfigurationTest, ListEditsWriteThroughPostconfUnderTheLock) {
    tarnwick_test::MailConfig config;
    setenv("MAIL_CONFIG", config.dir.c_str(), 1);
    tarnwick_test::privateLocks(config.root + "/lock");
    PostfixConfiguration& pc = PostfixConfiguration::instance();
    const std::string rd = "relay_domains", rcpt = "smtpd_recipient_restrictions";
    const std::pair<std::function<void()>, std::string> cases[] = {
        // clang-format off
        {[&] { config.set(rd + " = a, b a\tc\n"), pc.removeValue(rd, "a"); }, rd + " = b, c\n"},
        {[&] { config.set(rd + " = a\n"), pc.removeValue(rd, "a"); }, rd + " = \n"},
        {[&] { config.set(rd + " = a  b\n"), pc.removeValue(rd, "x"); }, rd + " = a  b\n"},
        {[&] { config.set(rcpt + " = p ,, r\n"), pc.appendPairValue(rcpt, "check", "hash:/x"); },
         rcpt + " = p, r, check hash:/x\n"},
        {[&] { config.set(rcpt + " = a b,  c d\n"), pc.appendPairValue(rcpt, "c", "d"); }, rcpt + " = a b,  c d\n"},
        {[&] { config.set(""), pc.appendPairValue(rcpt, "a", "b"); }, rcpt + " = a b\n"},
        // clang-format on
    };
    for (const auto& [edit, after] : cases) {
        edit();
        EXPECT_EQ(config.mainCf(), after);
    }
    EXPECT_EQ(config.locks(), std::vector<std::string>{config.md5(config.mainCfPath)});
    // Each edit honours the bounded wait; one that ignored it would get the lock in 2 s.
    const int holder = open((config.root + "/lock/files/" + config.locks()[0]).c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    std::thread release([holder] { sleep(2), close(holder); });
    pc.setLockWait(0);
    EXPECT_THROW(pc.removeValue(rd, "a"), kelmo::LockTimeoutError);
    EXPECT_THROW(pc.appendPairValue(rcpt, "a", "b"), kelmo::LockTimeoutError);
    pc.setLockWait(-1);
    release.join();
}

}  // namespace
