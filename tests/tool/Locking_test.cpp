// Every run locks the file in /var/lock/files named after main.cf's path.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

// -w bounds the wait for a lock held elsewhere (hold; timeout 5 exits 124 where nothing bounds
// it); a lock directory others may write to is refused.
TEST(TarnwickTest, LocksHeldElsewhereAndUnsafeLockDirectories) {
    MailConfig config(rd("a"));
    const std::string r = "relay_domains", batch = config.root + "/batch", t = "timeout 5";
    std::ofstream(batch) << "append relay_domains b\nappend relay_domain c\n";
    const std::string held = "the lock on " + config.mainCfPath + " is held by another process: "
                             "gave up after waiting ", timedOut = "kelmo::LockTimeoutError";
    const std::string hold =
        "exec 9>>/var/lock/files/" + config.md5(config.mainCfPath) + "; flock 9";
    const std::string shared = "mount -t tmpfs tmpfs /var/lock; mkdir -m 775 /var/lock/files";
    const std::string eperm = "Operation not permitted", failed = "lock() failed: " + eperm;
    const std::string unsafe = "Refusing lock directory \"/var/lock/files\": it must be a "
        "directory owned by root or by this user and writable by no one else.\nSystem error 1: " +
        eperm + "\n" + fatal("kelmo::ExSystemError<1>", failed);
    config.check({
        {.args = {"-w", "0", r, "b"}, .env = t, .prep = hold,
         .fails = fatal(timedOut, held + "0 seconds")},
        {.args = {"--wait", "1", "-r", r, "b"}, .env = t, .prep = hold,
         .fails = fatal(timedOut, held + "1 second")},
        {.args = {"-f", batch, "--wait=1"}, .env = t, .prep = hold,
         .fails = fatal(timedOut, held + "1 second")},
        {.args = {"-r", r, "b"}, .prep = shared, .fails = unsafe},
        {.args = {"--json", "-r", r, "b"}, .prep = shared, .status = 1,
         .out = "{\"error\":{\"type\":\"kelmo::ExSystemError<1>\",\"message\":\"" + failed +
                "\"}}\n", .err = unsafe},
    });
}

// Appends and a batch read, decide and write under the lock, so none is lost. Real postconf
// re-reads a main.cf modified in the last seconds until it settles: each run takes one to two
// seconds.
TEST(TarnwickTest, SimultaneousAppendsKeepEveryValue) {
    MailConfig config(rd("base"));
    const std::string each = config.command({"relay_domains"}) + " v$i || echo failed";
    const std::string batch = "seq -f 'append relay_domains b%g' 4 | " +
                              config.command({"-f", "-"}) + " || echo failed";
    const Outcome o = config.sh("for i in $(seq 16); do (" + each + ") & [ $i = 8 ] && (" +
                                batch + ") & done; wait");
    EXPECT_EQ(o.out + o.err, "");
    config.set(config.mainCf());
    EXPECT_EQ(config.sh("postconf -h relay_domains | tr -s ', ' '\\n' | sort").out,
              config.sh("{ echo base; seq -f v%g 16; seq -f b%g 4; } | sort").out);
}
