// tarnwick against scripted stand-ins for /usr/sbin/postconf: the failures
// that real postconf cannot be made to show.

#include "tool/ToolHarness.h"

namespace {

using namespace tarnwick_test;

const std::string kConfigError = "kelmo::mail::postfix::PostfixConfigurationError";

struct StandinCase {
    std::string name;
    std::vector<std::string> env;  // the stand-in's knobs
    std::vector<std::string> args;
    int exitCode;
    std::string report;  // on both streams
    std::string calls;   // the stand-in's log: one line of arguments per call
};

class StandinTest : public ::testing::Test {
protected:
    Outcome runCase(const std::vector<std::string>& knobs, const std::vector<std::string>& args) {
        std::vector<std::string> env{"STANDIN_LOG=" + log()};
        env.insert(env.end(), knobs.begin(), knobs.end());
        Namespace ns;
        ns.postconf = standin("postconf");
        return tarnwick(config_, args, ns, env);
    }
    std::string log() const { return config_.scratch("calls"); }

    MailConfig config_;
};

TEST_F(StandinTest, PostconfFailuresAndDiagnostics) {
    const std::string confdir = "-h config_directory\n";
    const StandinCase cases[] = {
        {"read killed by a signal", {"READ_END=TERM"}, {"k", "v"}, 1,
         fatalLine(kConfigError, "unknown error"), confdir + "-h k\n"},
        {"read killed after a diagnostic", {"READ_ERR=dying\\n", "READ_END=KILL"}, {"k", "v"}, 1,
         fatalLine(kConfigError, "dying\n"), confdir + "-h k\n"},
        {"read exits 1 silently", {"READ_END=1"}, {"k", "v"}, 1,
         fatalLine(kConfigError, "unknown error"), confdir + "-h k\n"},
        {"read exits 0 with fatal and no output",
         {"READ_ERR=postconf: warning: w\\npostconf: fatal: bad thing\\n"}, {"k", "v"}, 1,
         fatalLine(kConfigError, "postconf: warning: w\npostconf: fatal: bad thing\n"),
         confdir + "-h k\n"},
        {"read exits 0 with error without trailing newline", {"READ_ERR=postconf: error: x"},
         {"k", "v"}, 1, fatalLine(kConfigError, "postconf: error: x"), confdir + "-h k\n"},
        {"read with fatal but some output is a value",
         {"READ_OUT=a\\n", "READ_ERR=postconf: fatal: ignored\\n"}, {"k", "v"}, 0, "",
         confdir + "-h k\n-e k=a, v\n"},
        {"read with warnings only is an empty value",
         {"READ_ERR=postconf: warning: w1\\npostconf: warning: w2\\n"}, {"k", "v"}, 0, "",
         confdir + "-h k\n-e k=v\n"},
        {"read value is trimmed, inner blanks kept", {"READ_OUT= \\t a,  b\\tc \\n\\n"},
         {"k", "d"}, 0, "", confdir + "-h k\n-e k=a,  b\tc, d\n"},
        {"present value writes nothing", {"READ_OUT=a,  b\\tc\\n"}, {"k", "b"}, 0, "",
         confdir + "-h k\n"},
        {"write killed by a signal", {"WRITE_END=TERM"}, {"-r", "k", "v"}, 1,
         fatalLine(kConfigError, "unknown error"), confdir + "-e k=v\n"},
        {"write exits 1 silently", {"WRITE_END=1"}, {"--replace", "k", "v"}, 1,
         fatalLine(kConfigError, "unknown error"), confdir + "-e k=v\n"},
        {"write failure text", {"WRITE_ERR=postconf: fatal: no\\nsecond line\\n", "WRITE_END=3"},
         {"-r", "k", "v"}, 1, fatalLine(kConfigError, "postconf: fatal: no\nsecond line\n"),
         confdir + "-e k=v\n"},
        {"successful write's diagnostics are dropped", {"WRITE_ERR=postconf: fatal: what\\n"},
         {"-r", "k", "v"}, 0, "", confdir + "-e k=v\n"},
        {"append's write fails", {"READ_OUT=a\\n", "WRITE_END=2"}, {"k", "v"}, 1,
         fatalLine(kConfigError, "unknown error"), confdir + "-h k\n-e k=a, v\n"},
        {"config_directory falls back to its default",
         {"CONFDIR_END=1", "DEFDIR_OUT=/etc/postfix\\n", "DEFDIR_ERR=postconf: warning: x\\n"},
         {"-r", "k", "v"}, 0, "", confdir + "-h -d config_directory\n-e k=v\n"},
        {"config_directory unreadable even as default",
         {"CONFDIR_END=1", "CONFDIR_ERR=first\\n", "DEFDIR_ERR=postconf: fatal: d\\n",
          "DEFDIR_END=TERM"},
         {"-r", "k", "v"}, 1, fatalLine(kConfigError, "postconf: fatal: d\n"),
         confdir + "-h -d config_directory\n"},
        {"empty config_directory", {"CONFDIR_OUT= \\n"}, {"-r", "k", "v"}, 1,
         fatalLine(kConfigError, "unable to determine Postfix config_directory parameter"), confdir},
        {"config_directory read with fatal and no output falls back",
         {"CONFDIR_OUT=", "CONFDIR_ERR=postconf: fatal: x\\n", "DEFDIR_OUT=/etc/postfix\\n"}, {"-r", "k", "v"}, 0, "",
         confdir + "-h -d config_directory\n-e k=v\n"},
    };
    for (const StandinCase& c : cases) {
        std::filesystem::remove(log());
        const Outcome o = runCase(c.env, c.args);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.err, c.report) << c.name;
        EXPECT_EQ(o.out, c.report) << c.name;
        EXPECT_EQ(slurp(log()), c.calls) << c.name;
    }
}

// The lock is named after config_directory + "/main.cf" as postconf gave it,
// so it shows which lookup was used.
TEST_F(StandinTest, LockNameFollowsTheConfigDirectoryLookup) {
    struct Case {
        std::vector<std::string> env;
        std::string mainCf;
    };
    const Case cases[] = {
        {{}, config_.dir() + "/main.cf"},
        {{"CONFDIR_OUT=/srv/pf/\\n"}, "/srv/pf//main.cf"},
        {{"CONFDIR_OUT=  /srv/pf\\n\\n"}, "/srv/pf/main.cf"},
        {{"CONFDIR_END=1", "DEFDIR_OUT=/srv/default\\n"}, "/srv/default/main.cf"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(config_.lockRoot() + "/files");
        std::filesystem::create_directory(config_.lockRoot() + "/files");
        const Outcome o = runCase(c.env, {"-r", "k", "v"});
        EXPECT_EQ(o.exitCode, 0) << o.err;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(config_.lockRoot() + "/files")) {
            names.push_back(entry.path().filename());
        }
        EXPECT_EQ(names, std::vector<std::string>{md5Hex(c.mainCf)}) << c.mainCf;
    }
}

// The child start-up's failure comes back as the SystemError it reported; no
// PATH search finds another postconf, and no fallback read is tried.
TEST_F(StandinTest, MissingPostconfIsTheChildsSystemError) {
    const std::string bin = config_.scratch("bin");
    std::filesystem::create_directory(bin);
    std::filesystem::copy_file(standin("postconf"), bin + "/postconf");
    Namespace ns;
    ns.noSbin = true;
    const std::string report = fatalLine(
        "kelmo::SystemError", "execv: No such file or directory: No such file or directory");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"k", "v"}, std::vector<std::string>{"-r", "k", "v"}}) {
        const Outcome o = tarnwick(config_, args, ns,
                                   {"PATH=" + bin + ":/usr/bin:/bin", "STANDIN_LOG=" + log()});
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.err, report);
        EXPECT_EQ(o.out, report);
        EXPECT_FALSE(std::filesystem::exists(log()));
    }
}

}  // namespace
