#include "mail/postfix/PostfixConfiguration.h"

#include "mail/postfix/MyNetworks.h"
#include "mail/postfix/PostfixError.h"
#include "tool/ToolHarness.h"

namespace {

using kelmo::mail::postfix::PostfixConfiguration;
using kelmo::mail::postfix::PostfixConfigurationError;
using tarnwick_test::MailConfig;
using tarnwick_test::inPrivateLocks;

// postconf honours MAIL_CONFIG, and the children inherit our environment.
class PostfixConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("MAIL_CONFIG", config_.dir().c_str(), 1); }
    void TearDown() override { unsetenv("MAIL_CONFIG"); }

    std::string defaultOf(const std::string& key) {
        tarnwick_test::Outcome o =
            tarnwick_test::run({"/usr/sbin/postconf", "-h", "-d", key}, {config_.env()});
        return o.out.substr(0, o.out.find('\n'));
    }

    MailConfig config_;
};

TEST_F(PostfixConfigurationTest, InstanceLocksTheConfiguredMainCf) {
    PostfixConfiguration& configuration = PostfixConfiguration::instance();
    EXPECT_EQ(configuration.mainCfPath, config_.dir() + "/main.cf");
    EXPECT_EQ(&PostfixConfiguration::instance(), &configuration);
}

TEST_F(PostfixConfigurationTest, ReadsValuesAndDefaults) {
    config_.setMainCf(
        "relay_domains = a,  b\tc\n"  // postconf prints it as "a, b c"
        "smtpd_client_restrictions =\n"
        "header_checks = regexp:/x\n"
        "  regexp:/y\n");
    struct Case {
        std::string key;
        bool useDefault;
        std::string value;
    };
    const Case cases[] = {
        {"relay_domains", false, "a, b c"},
        {"smtpd_client_restrictions", false, ""},
        {"header_checks", false, "regexp:/x regexp:/y"},
        {"relay_domains", true, defaultOf("relay_domains")},
        {"no_such_parameter", false, ""},  // postconf only warns
        {"", false, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PostfixConfiguration::getParameter(c.key, c.useDefault), c.value) << c.key;
    }
    EXPECT_FALSE(defaultOf("relay_domains").empty());
}

TEST_F(PostfixConfigurationTest, MynetworksDefaultIsReplacedByTheLocalNetworks) {
    const std::string local = kelmo::mail::postfix::localNetworks();
    const std::string builtIn = defaultOf("mynetworks");
    struct Case {
        std::string mainCf;
        std::string value;
    };
    const Case cases[] = {
        {"", local},
        {"mynetworks =\n", local},
        {"mynetworks = 198.51.100.0/24\n", "198.51.100.0/24"},
        {"mynetworks = " + builtIn + ", 203.0.113.0/24\n", local + ", 203.0.113.0/24"},
    };
    for (const Case& c : cases) {
        config_.setMainCf(c.mainCf);
        EXPECT_EQ(PostfixConfiguration::getParameter("mynetworks"), c.value) << c.mainCf;
    }
    EXPECT_EQ(PostfixConfiguration::getParameter("mynetworks", true), local);
}

TEST_F(PostfixConfigurationTest, FailedReadCarriesPostconfsDiagnosticsVerbatim) {
    setenv("MAIL_CONFIG", "/nonexistent-tarnwick-test", 1);
    try {
        PostfixConfiguration::getParameter("relay_domains");
        ADD_FAILURE() << "read of a missing configuration succeeded";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "/usr/sbin/postconf: fatal: open /nonexistent-tarnwick-test/main.cf: "
                  "No such file or directory\n");
    }
}

// removeValue and appendPairValue have no command line; they run here in a
// child with its own /var/lock, against real postconf.
TEST_F(PostfixConfigurationTest, ListEditsWriteThroughPostconf) {
    using Edit = std::function<void(PostfixConfiguration&)>;
    struct Case {
        std::string mainCf;
        std::string key;
        Edit edit;
        std::string value;  // afterwards; empty with written false: main.cf unchanged
        bool written;
    };
    const std::string rcpt = "smtpd_recipient_restrictions";
    const Case cases[] = {
        {"relay_domains = a, b a\tc\n", "relay_domains",
         [](auto& c) { c.removeValue("relay_domains", "a"); }, "b, c", true},
        {"relay_domains = a\n", "relay_domains",
         [](auto& c) { c.removeValue("relay_domains", "a"); }, "", true},
        {"relay_domains = a  b\n", "relay_domains",
         [](auto& c) { c.removeValue("relay_domains", "x"); }, "", false},
        {rcpt + " = permit_mynetworks ,, reject\n", rcpt,
         [&](auto& c) { c.appendPairValue(rcpt, "check_sender_access", "hash:/x"); },
         "permit_mynetworks, reject, check_sender_access hash:/x", true},
        {rcpt + " = a b,  c d\n", rcpt, [&](auto& c) { c.appendPairValue(rcpt, "c", "d"); }, "",
         false},
        {"", rcpt, [&](auto& c) { c.appendPairValue(rcpt, "a", "b"); }, "a b", true},
        {"relay_domains = a b\n", "relay_domains",
         [](auto& c) { c.appendValue("relay_domains", "c"); }, "a b, c", true},
        // present already, yet written: the implicit default becomes explicit
        {"", "mynetworks", [](auto& c) { c.appendValue("mynetworks", "127.0.0.0/8"); },
         kelmo::mail::postfix::localNetworks(), true},
    };
    for (const Case& c : cases) {
        config_.setMainCf(c.mainCf);
        const std::string before = config_.mainCf();
        EXPECT_EQ(inPrivateLocks(config_.lockRoot(), [&] { c.edit(PostfixConfiguration::instance()); }),
                  0)
            << c.mainCf;
        if (c.written) {
            EXPECT_EQ(config_.value(c.key), c.value) << c.mainCf;
            EXPECT_NE(config_.mainCf().find(c.key + " = "), std::string::npos) << config_.mainCf();
        } else {
            EXPECT_EQ(config_.mainCf(), before);
        }
    }
}

}  // namespace
