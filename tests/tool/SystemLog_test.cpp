// A written parameter is logged (LOG_MAIL, LOG_NOTICE: <21>) with the value read, "set to" where
// nothing was read, "(unset)" where it is removed; dry runs, values already present and failed
// writes (a read-only directory) log nothing. Values are escaped and cut at 1024 bytes. /dev/log
// is log_receiver's socket in a private /dev; it reads only once the run is over.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

TEST(TarnwickTest, WrittenParametersAreLogged) {
    MailConfig config(rd("a"));
    const std::string r = "relay_domains", b = "smtpd_banner", dev = config.root + "/dev";
    const std::string at = "<21>tarnwick: " + config.mainCfPath + ": ", got = config.root + "/got";
    const std::string sub = "<21>tarnwick: " + config.dir + "/master.cf: submission/inet/" + b;
    const std::string prep = "touch " + dev + "/null; mount --bind /dev/null " + dev + "/null; "
                             "mount --rbind " + dev + " /dev\n";
    const std::string forged = "x\" (uid 0)\\\x1b\x7f", escaped = R"("x\" (uid 0)\\\x1b\x7f")";
    const std::string y(1024, 'y'), cut = "\"" + y + "\"...(1025 bytes)";
    config.sh("mkdir " + dev + "; cd " + config.root + "; printf 'append " + r + " c\nreplace " +
              b + " " + y + "y\n' >batch; printf 'append " + r + " d\nreplace submission/inet/" +
              b + " y\n' >both");
    // The socket's queue full (max_dgram_qlen and one more) stalls the run's logging; a dry run
    // still gets the lock once the write has landed, then ends the run (TERM; KILL if it failed).
    const int queue = std::stoi(slurp("/proc/sys/net/unix/max_dgram_qlen"));
    std::string fill;
    for (int i = 0; i <= queue; ++i) fill += "<13>fill: x\n";
    const std::string stall = "for i in $(seq 0 " + std::to_string(queue) + "); do logger -u "
        "/dev/log -t fill x; done; (until grep -q stalled " + config.mainCfPath + " || ! kill -0 "
        "$$; do sleep 0.1; done; " TARNWICK_BINARY " -w 2 -n " + r + " q >/dev/null && kill $$ || "
        "kill -9 $$) &";
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
        {.args = {"-r", b, forged}, .env = "SUDO_UID=1000",
         .logged = at + b + " set to " + escaped + " (uid 0 sudo_uid 1000)\n"},
        {.args = {r, "z"}, .prep = "mount --bind " + config.dir + " " + config.dir +
         "; mount -o remount,bind,ro " + config.dir, .status = 1},
        {.args = {"--json", "-f", config.root + "/batch"}, .env = "SUDO_UID=1x",
         .logged = at + r + ": \"a, b\" -> \"a, b, c\" (uid 0)\n" + at + b + ": " + escaped +
                   " -> " + cut + " (uid 0)\n"},
        {.args = {"-u", b}, .logged = at + b + ": " + cut + " -> (unset) (uid 0)\n"},
        {.args = {"-r", "submission/inet/" + b, "x"}, .logged = sub + " set to \"x\" (uid 0)\n"},
        {.args = {"-r", "submission/inet/chroot", "n"},
         .logged = sub.substr(0, sub.size() - b.size()) + "chroot: \"y\" -> \"n\" (uid 0)\n"},
        // The stand-in fails the master.cf write after the main.cf write: that one is logged.
        {.args = {"-f", config.root + "/both"},
         .env = "STANDIN_REAL=" + config.root + "/real STANDIN_FAIL='-P s*=*' READ_END=1",
         .prep = config.standin(), .status = 1,
         .logged = at + r + ": \"a, b, c\" -> \"a, b, c, d\" (uid 0)\n"},
        {.args = {"-r", b, "stalled"}, .prep = stall, .status = 143, .logged = fill},
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
