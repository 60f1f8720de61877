// A written parameter is logged (LOG_MAIL, LOG_NOTICE: <21>) with the value read, "set to" where
// nothing was read, "(unset)" where it is removed; dry runs, values already present and failed
// writes (a read-only directory) log nothing. /dev/log is log_receiver's socket in a private /dev.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

TEST(TarnwickTest, WrittenParametersAreLogged) {
    MailConfig config(rd("a"));
    const std::string r = "relay_domains", b = "smtpd_banner", dev = config.root + "/dev";
    const std::string at = "<21>tarnwick: " + config.mainCfPath + ": ", got = config.root + "/got";
    const std::string sub = "<21>tarnwick: " + config.dir + "/master.cf: submission/inet/" + b;
    const std::string prep = "touch " + dev + "/null; mount --bind /dev/null " + dev + "/null; "
                             "mount --rbind " + dev + " /dev\n";
    config.sh("mkdir " + dev + "; cd " + config.root + "; printf 'append " + r + " c\nreplace " +
              b + " x\n' >batch; printf 'append " + r + " d\nreplace submission/inet/" + b +
              " y\n' >both");
    config.set("submission inet n - y - - smtpd\n", "master.cf");
    const struct Case {
        std::vector<std::string> args = {};
        std::string env = "", prep = "";
        int status = 0;
        std::string logged = "";
    } cases[] = {
        {.args = {r, "b"}, .logged = at + r + ": \"a\" -> \"a, b\" (uid 0)\n"},
        {.args = {r, "b"}},
        {.args = {"-n", r, "c"}},
        {.args = {"-r", b, "x"}, .env = "SUDO_UID=1000",
         .logged = at + b + " set to \"x\" (uid 0 sudo_uid 1000)\n"},
        {.args = {r, "z"}, .prep = "mount --bind " + config.dir + " " + config.dir +
         "; mount -o remount,bind,ro " + config.dir, .status = 1},
        {.args = {"--json", "-f", config.root + "/batch"}, .env = "SUDO_UID=1x",
         .logged = at + r + ": \"a, b\" -> \"a, b, c\" (uid 0)\n"},
        {.args = {"-u", b}, .logged = at + b + ": \"x\" -> (unset) (uid 0)\n"},
        {.args = {"-r", "submission/inet/" + b, "x"}, .logged = sub + " set to \"x\" (uid 0)\n"},
        // The stand-in fails the master.cf write after the main.cf write: that one is logged.
        {.args = {"-f", config.root + "/both"},
         .env = "STANDIN_REAL=" + config.root + "/real STANDIN_FAIL='-P s*=*' READ_END=1",
         .prep = config.standin(), .status = 1,
         .logged = at + r + ": \"a, b, c\" -> \"a, b, c, d\" (uid 0)\n"},
    };
    for (const Case& c : cases) {
        config.set(config.mainCf());
        const std::string run = config.command(c.args, prep + c.prep, c.env);
        const Outcome o =
            config.sh(HELPER_LOG_RECEIVER " " + dev + "/log " + got + " sh -c " + quote(run));
        EXPECT_EQ(o.status, c.status) << c.args[1] << o.err;
        EXPECT_EQ(config.sh("sed -E 's/^(<[0-9]+>).{16}/\\1/' " + got).out, c.logged) << c.args[1];
    }
}
