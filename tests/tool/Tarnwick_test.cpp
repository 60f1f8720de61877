// tarnwick end to end with real postconf on throw-away configurations.

#include "tool/ToolHarness.h"

namespace {

using namespace tarnwick_test;

const std::string kConfigError = "kelmo::mail::postfix::PostfixConfigurationError";
const std::string kOperandError = std::string("you should specify key and value to set\n") + kUsage;

void expectQuietSuccess(const Outcome& o, const std::string& what) {
    EXPECT_EQ(o.exitCode, 0) << what;
    EXPECT_EQ(o.out, "") << what;
    EXPECT_EQ(o.err, "") << what;
}

struct EditCase {
    std::string mainCf;
    std::vector<std::string> args;
    std::string key;
    std::string value;  // postconf -h afterwards
    bool unchanged;     // main.cf byte for byte as before
};

TEST(TarnwickTest, AppendAddsAbsentValuesOnly) {
    const EditCase cases[] = {
        {"smtpd_client_restrictions =\n", {"smtpd_client_restrictions", "a"},
         "smtpd_client_restrictions", "a", false},
        {"", {"smtpd_client_restrictions", "permit_mynetworks"}, "smtpd_client_restrictions",
         "permit_mynetworks", false},
        {"relay_domains = a, b\n", {"relay_domains", "b"}, "relay_domains", "a, b", true},
        {"relay_domains = a, b\n", {"relay_domains", "a"}, "relay_domains", "a, b", true},
        {"relay_domains = a, b\n", {"relay_domains", "c"}, "relay_domains", "a, b, c", false},
        {"relay_domains = a, b\n", {"relay_domains", "B"}, "relay_domains", "a, b, B", false},
        {"relay_domains = a b\n", {"relay_domains", "c"}, "relay_domains", "a b, c", false},
        {"relay_domains = a b\n", {"relay_domains", "b"}, "relay_domains", "a b", true},
        {"relay_domains = a, b\n", {"relay_domains", "b, c"}, "relay_domains", "a, b, b, c", false},
        {"relay_domains = ,a\n", {"relay_domains", ""}, "relay_domains", ",a", true},
        // an empty value is passed on: the parameter is written, empty
        {"", {"smtpd_client_restrictions", ""}, "smtpd_client_restrictions", "", false},
        {"", {"--", "smtpd_client_restrictions", "-x"}, "smtpd_client_restrictions", "-x", false},
    };
    for (const EditCase& c : cases) {
        MailConfig config(c.mainCf);
        const Outcome o = tarnwick(config, c.args);
        expectQuietSuccess(o, c.mainCf + " + " + c.args.back());
        EXPECT_EQ(config.value(c.key), c.value) << c.mainCf << " + " << c.args.back();
        if (c.unchanged) {
            EXPECT_EQ(config.mainCf(), c.mainCf);
        } else {
            EXPECT_NE(config.mainCf().find(c.key + " ="), std::string::npos) << config.mainCf();
        }
    }
}

TEST(TarnwickTest, ReplaceWritesTheValueAsOneArgument) {
    const EditCase cases[] = {
        {"relay_domains = a, b\n", {"--replace", "relay_domains", "c d  e"}, "relay_domains",
         "c d e", false},  // postconf itself folds the blanks when printing
        {"relay_domains = a, b\n", {"--replace", "relay_domains", "x,y, z"}, "relay_domains",
         "x,y, z", false},
        {"relay_domains = a, b\n", {"--replace", "relay_domains", "k=v == w"}, "relay_domains",
         "k=v == w", false},
        {"relay_domains = a, b\n", {"--replace", "relay_domains", "b"}, "relay_domains", "b", false},
        {"relay_domains = a, b\n", {"--replace", "relay_domains", ""}, "relay_domains", "", false},
    };
    for (const EditCase& c : cases) {
        MailConfig config(c.mainCf);
        const Outcome o = tarnwick(config, c.args);
        expectQuietSuccess(o, c.args.back());
        EXPECT_EQ(config.value(c.key), c.value) << c.args.back();
    }
    // main.cf shows that key and value arrived as one "key=value" argument
    MailConfig config("relay_domains = a\n");
    expectQuietSuccess(tarnwick(config, {"-r", "relay_domains", "x=y"}), "x=y");
    config.backdate();
    expectQuietSuccess(tarnwick(config, {"-r", "my_own_parameter", " v =w "}), "own");
    EXPECT_EQ(config.mainCf(), "relay_domains = x=y\nmy_own_parameter = v =w\n");
}

TEST(TarnwickTest, OptionsAndOperandsInAnyOrder) {
    struct Case {
        std::vector<std::string> args;
        std::string value;
    };
    const Case cases[] = {
        {{"relay_domains", "b"}, "a, b"},
        {{"--replace", "relay_domains", "b"}, "b"},
        {{"relay_domains", "--replace", "b"}, "b"},
        {{"relay_domains", "b", "--replace"}, "b"},
        {{"-r", "relay_domains", "b"}, "b"},
        {{"relay_domains", "b", "-r"}, "b"},
        {{"-r", "-r", "relay_domains", "b"}, "b"},
        {{"-rr", "relay_domains", "b"}, "b"},
        {{"--rep", "relay_domains", "b"}, "b"},
        {{"relay_domains", "--", "b"}, "a, b"},
        {{"-r", "--", "relay_domains", "-b"}, "-b"},
    };
    for (const Case& c : cases) {
        MailConfig config("relay_domains = a\n");
        const Outcome o = tarnwick(config, c.args);
        expectQuietSuccess(o, c.args.front());
        EXPECT_EQ(config.value("relay_domains"), c.value) << c.args.front() << " " << c.args.back();
    }
    // after "--" an option is an operand: three of them
    MailConfig config("relay_domains = a\n");
    const Outcome o = tarnwick(config, {"--", "relay_domains", "b", "-r"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, kOperandError);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(config.mainCf(), "relay_domains = a\n");
}

TEST(TarnwickTest, UsageAndHelp) {
    const std::string me = TARNWICK_BINARY;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"-h"}, 0, kUsage, ""},
        {{"--help"}, 0, kUsage, ""},
        {{"--he"}, 0, kUsage, ""},
        {{"key", "value", "-h"}, 0, kUsage, ""},
        {{"onlyone", "-h"}, 0, kUsage, ""},
        {{"a", "b", "c", "--help"}, 0, kUsage, ""},
        {{"-h", "--bogus"}, 0, kUsage, ""},
        {{"-rh"}, 0, kUsage, ""},
        {{"--bogus", "-h"}, 1, "", me + ": unrecognized option '--bogus'\n" + kUsage},
        {{"-x", "k", "v"}, 1, "", me + ": invalid option -- 'x'\n" + kUsage},
        {{"k", "-v"}, 1, "", me + ": invalid option -- 'v'\n" + kUsage},
        {{"--replace=yes", "k", "v"}, 1, "",
         me + ": option '--replace' doesn't allow an argument\n" + kUsage},
        {{}, 1, "", kOperandError},
        {{"onlyone"}, 1, "", kOperandError},
        {{"-r", "onlyone"}, 1, "", kOperandError},
        {{"a", "b", "c"}, 1, "", kOperandError},
        {{"--replace"}, 1, "", kOperandError},
        {{"--"}, 1, "", kOperandError},
    };
    for (const Case& c : cases) {
        MailConfig config("relay_domains = a\n");
        const Outcome o = tarnwick(config, c.args);
        const std::string line = c.args.empty() ? "(none)" : c.args.front();
        EXPECT_EQ(o.exitCode, c.exitCode) << line;
        EXPECT_EQ(o.out, c.out) << line;
        EXPECT_EQ(o.err, c.err) << line;
        EXPECT_EQ(config.mainCf(), "relay_domains = a\n") << line;
        EXPECT_TRUE(std::filesystem::is_empty(config.lockRoot() + "/files")) << line;
    }
}

TEST(TarnwickTest, PostconfFailuresAreReportedVerbatim) {
    MailConfig config("relay_domains = a\n");
    const std::string missing = config.scratch("no-such-directory");
    const std::string fatalOpen =
        "/usr/sbin/postconf: fatal: open " + missing + "/main.cf: No such file or directory\n";
    const std::string fatalOpenTemporary =
        "/usr/sbin/postconf: fatal: open " + missing + "/main.cf.tmp: No such file or directory\n";
    const std::string multiLine = "/usr/sbin/postconf: fatal: -e, -X, or -# accepts no multi-line input\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string message;
    };
    const Case cases[] = {
        {{"relay_domains", "b"}, {"MAIL_CONFIG=" + missing}, fatalOpen},
        {{"-r", "relay_domains", "b"}, {"MAIL_CONFIG=" + missing}, fatalOpenTemporary},
        {{"-r", "relay_domains", "b\nc"}, {}, multiLine},
        {{"relay_domains", "b\nc"}, {}, multiLine},
    };
    for (const Case& c : cases) {
        const Outcome o = tarnwick(config, c.args, Namespace(), c.env);
        const std::string report = fatalLine(kConfigError, c.message);
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.err, report);
        EXPECT_EQ(o.out, report);
        EXPECT_EQ(config.mainCf(), "relay_domains = a\n");
    }
}

// With config_directory unreadable, the lock is named after the built-in
// default's main.cf (which postconf then fails to open, so nothing is written).
TEST(TarnwickTest, MissingConfigurationFallsBackToTheDefaultDirectoryForTheLock) {
    MailConfig config;
    const std::string defaultDir = [] {
        Outcome o = run({"/usr/sbin/postconf", "-h", "-d", "config_directory"});
        return o.out.substr(0, o.out.find('\n'));
    }();
    const Outcome o = tarnwick(config, {"-r", "relay_domains", "b"}, Namespace(),
                               {"MAIL_CONFIG=" + config.scratch("none")});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_TRUE(std::filesystem::exists(config.lockRoot() + "/files/" + md5Hex(defaultDir + "/main.cf")))
        << defaultDir;
}

TEST(TarnwickTest, LockFileIsTheDigestOfTheMainCfPath) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"relay_domains", "b"}, std::vector<std::string>{"-r", "relay_domains", "b"},
          std::vector<std::string>{"relay_domains", "a"}}) {
        MailConfig config("relay_domains = a\n");
        expectQuietSuccess(tarnwick(config, args), args.back());
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(config.lockRoot() + "/files")) {
            names.push_back(entry.path().filename());
            EXPECT_EQ(entry.file_size(), 0u);
        }
        EXPECT_EQ(names, std::vector<std::string>{md5Hex(config.mainCfPath())});
        struct stat st;
        ASSERT_EQ(stat(config.lockFile().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777 & ~0022, 0644 & ~0022);
    }
}

TEST(TarnwickTest, MissingLockDirectoryFailsTheWrite) {
    Namespace hidden;
    hidden.locks = Namespace::HiddenLockDir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"relay_domains", "b"}, std::vector<std::string>{"-r", "relay_domains", "b"},
          std::vector<std::string>{"relay_domains", "a"}}) {
        MailConfig config("relay_domains = a\n");
        const Outcome o = tarnwick(config, args, hidden);
        const std::string report = "Unable to open file \"/var/lock/files/" + md5Hex(config.mainCfPath()) +
                                   "\": No such file or directory.\n"
                                   "System error 2: No such file or directory\n" +
                                   fatalLine("kelmo::ExSystemError<2>", "lock() failed: No such file or directory");
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.err, report);
        EXPECT_EQ(o.out, report);
        EXPECT_EQ(config.mainCf(), "relay_domains = a\n");
    }
}

}  // namespace
