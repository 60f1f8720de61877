// How tarnwick runs postconf. standins/postconf (its knobs listed there) plays postconf where the
// real one cannot be made to fail, logging each call; with STANDIN_REAL it runs the real one for
// each call but those matching STANDIN_FAIL.

#include <algorithm>
#include <numeric>

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

// After the config_directory lookup the reads come in an order of no consequence, sorted here,
// but all before the first write (-e, -X, -P without -h); the writes keep theirs.
static std::string readsSorted(const std::string& calls) {
    const std::regex line("[^\n]*\n"), write("^-[eX] |^-P (?!-h)");
    std::vector<std::string> lines(std::sregex_token_iterator(calls.begin(), calls.end(), line),
                                   {});
    const auto reads = lines.begin() + !lines.empty();
    std::sort(reads, std::find_if(reads, lines.end(),
                                  [&](const std::string& l) { return regex_search(l, write); }));
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

// A batch, an undo too, reads under the lock each kind of value (as set, -P, hidden, defaults,
// -M...) in one postconf run for all its parameters and writes each kind of change in one run; a
// failed write leaves main.cf as it was. postconf's stderr reports its failure; a name postconf
// would misread never reaches it; the configuration directory is postconf's.
TEST(TarnwickTest, PostconfCallsDiagnosticsAndConfigDirectory) {
    const std::string ss = "smtpd_sender_restrictions", sh = "smtpd_helo_restrictions";
    const std::string start = rd("a, b") + "mynetworks = 127.0.0.0/8\n" + ss + " = x\n";
    MailConfig config;
    const std::string log = config.root + "/calls", kv = "-x -o k=v -h k\n-e k=v\n";
    const std::vector<std::string> add{"k", "v"}, batch{"-f", config.root + "/batch"};
    const std::vector<std::string> mixed{"-f", config.root + "/mixed"};
    const std::string bad = "invalid parameter name: \"", dd = "-h -d config_directory\n";
    const std::string real = "STANDIN_REAL=" + config.root + "/real";
    const std::string smtp = "smtp inet n - y - - a";
    config.sh("ln -s pf " + config.root + "/link; printf 'append k v\\nremove k\\t v\\n' >" +
              config.root + "/bad");
    std::ofstream(batch[1]) << "append relay_domains c\nremove " + ss + " x\nappend mynetworks "
        "10.0.0.0/8\nappend relay_domains a\nreplace " + sh + " one two\nappend " + ss + " y z\n"
        "# comment\n\nappend mynetworks 127.0.0.0/8\nremove relay_domains b\nappend " + sh +
        " three\nappend " + ss + " y,z\n";
    std::ofstream(mixed[1]) << "replace smtp/inet " + smtp + "\nappend relay_domains c\nunset "
        "mynetworks\nreplace smtp/inet/chroot n\nappend submission/inet/" +
        ss + " y\nunset submission/inet/syslog_name\nunset " + sh + "\nappend " + sh + " x\nremove "
        "my_a x\nunset my_b\n";
    const std::string rdc = "relay_domains=a, c", sr = ss + "=y z", sn = sh + "=one two, three";
    const std::string mn = "mynetworks=127.0.0.0/8, 10.0.0.0/8", keys = ss + " mynetworks " + sh;
    const std::string batched = "relay_domains " + keys + "\n-h -d mynetworks\n-x -o " + rdc +
        " -o " + sr + " -o " + mn + " -o " + sn + " -h relay_domains " + keys + "\n-e " + rdc +
        " " + sr + " " + mn + " " + sn + "\n";
    const std::string mixedCalls = "relay_domains " + ss + " syslog_name my_a\n-n mynetworks " +
        sh + " my_b\n-P submission/inet/" + ss + " submission/inet/syslog_name\n-M smtp/inet\n-F "
        "smtp/inet/chroot\n-o tarnwick_reference_1=$my_a -o tarnwick_reference_2=$my_b my_a "
        "my_b\n-d mynetworks " + sh + "\n-M submission/inet\n-x -o relay_domains=a, b, c -o "
        "tarnwick_reference0=x,y -o " + sh + "=x -o tarnwick_reference=$tarnwick_reference0 -h "
        "relay_domains tarnwick_reference0 " + sh + "\n-e relay_domains=a, b, c " + sh + "=x\n-X "
        "mynetworks\n-M -e smtp/inet=smtp inet n - n - - a\n-F -e smtp/inet/chroot=n\n-P "
        "submission/inet/" + ss + "=x,y\n";
    const std::string mixedAfter = rd("a, b, c") + ss + " = x\n" + sh + " = x\n";
    const std::vector<std::string> undo{"--undo", config.root + "/report"};
    std::ofstream(undo[1]) << R"({"dry_run":false,"config_directory":")" + config.dir + R"(","par)"
        R"(ameters":[{"name":"relay_domains","before":"a","before_set":true,"after":"a, b","chang)"
        R"(ed":true},{"name":"mynetworks","before":null,"before_set":false,"after":"127.0.0.0/8",)"
        R"("changed":true},{"name":"submission/inet/syslog_name","before":"y","before_set":true,)"
        R"("after":"x","changed":true}]})";
    // env: the stand-in's knobs (closing streams, too); args: -r k v unless given; error: the
    // report's text ("": none); calls: the stand-in's after "-h config_directory"; lock: whose
    // main.cf names the lock ("": none, @DIR: the configuration directory's); after: main.cf's
    // text after the run ("": start); warn: the warnings on standard error.
    const struct Case {
        std::string env = "";
        std::vector<std::string> args = {"-r", "k", "v"};
        std::string error = "", calls = "", lock = "@DIR", after = "", warn = "";
    } cases[] = {
        {.env = real, .args = batch, .calls = batched, .after = "relay_domains = a, c\nmynetworks ="
         " 127.0.0.0/8, 10.0.0.0/8\n" + ss + " = y z\n" + sh + " = one two, three\n"},
        {.env = real + " STANDIN_FAIL='-e *" + sh + "=*' WRITE_ERR='p: fatal: no\\n' WRITE_END=1",
         .args = batch, .error = "p: fatal: no\n", .calls = batched},
        {.env = real, .args = mixed, .calls = mixedCalls + "-P -X submission/inet/syslog_name\n",
         .after = mixedAfter, .warn = "tarnwick: warning: " + unused("my_a") + "\ntarnwick: "
         "warning: " + unused("my_b") + "\n"},
        {.env = real + " STANDIN_FAIL='-P sub*=*' READ_ERR='p: fatal: no\\n' READ_END=1",
         .args = mixed, .error = "p: fatal: no\nwritten before this failure: relay_domains, " + sh +
         ", mynetworks (unset), smtp/inet, smtp/inet/chroot", .calls = mixedCalls,
         .after = mixedAfter},
        {.env = real, .args = {"-r", "smtp/inet", smtp}, .calls = "-M smtp/inet\n-M -e smtp/inet=" +
         smtp + "\n"},
        {.env = real, .args = {"-r", "submission/inet/chroot", "n"}, .calls = "-F -h submission/"
         "inet/chroot\n-M submission/inet\n-F -e submission/inet/chroot=n\n"},
        {.env = real, .args = undo, .calls = "-n relay_domains mynetworks\nsyslog_name\n-P submis"
         "sion/inet/syslog_name\n-d mynetworks\n-M submission/inet\n-x -o relay_domains=a -o tarnw"
         "ick_reference0=y -o tarnwick_reference=$tarnwick_reference0 -h relay_domains tarnwick_re"
         "ference0\n-e relay_domains=a\n-X mynetworks\n-P submission/inet/syslog_name=y\n",
         .after = rd("a") + ss + " = x\n"},
        {.env = "READ_ERR='p: error: e\\n'", .args = batch, .error = "p: error: e\n",
         .calls = "relay_domains " + ss + " mynetworks " + sh + "\n"},
        {.env = "READ_ERR='dying\\n' READ_END=KILL", .args = add, .error = "dying\n",
         .calls = "-h k\n"},
        {.env = "READ_END=1", .args = add, .error = "unknown error", .calls = "-h k\n"},
        {.env = "READ_ERR='p: warning: w\\np: fatal: bad'", .args = add,
         .error = "p: warning: w\np: fatal: bad", .calls = "-h k\n"},
        {.env = "READ_ERR='p: error: e\\n'", .args = add, .error = "p: error: e\n",
         .calls = "-h k\n"},
        {.env = "READ_ERR='p: Fatal: f\\n'", .args = add, .calls = "-h k\n" + kv},
        {.env = "READ_OUT='a\\n' READ_ERR='p: fatal: ignored\\n'", .args = add,
         .calls = "-h k\n-x -o k=a, v -h k\n-e k=a, v\n"},
        {.env = "READ_OUT=' \\t a,  b\\tc \\n\\n'", .args = {"k", "d"},
         .calls = "-h k\n-x -o k=a,  b\tc, d -h k\n-e k=a,  b\tc, d\n"},
        {.env = "WRITE_ERR='p: fatal: no\\nx\\n' WRITE_END=3", .error = "p: fatal: no\nx\n",
         .calls = kv},
        {.env = "WRITE_ERR='p: fatal: what\\n'", .calls = kv},
        {.env = "WRITE_OUT='to stdout\\n' <&- >&- 2>&-", .calls = kv},
        {.env = "CONFDIR_END=1 DEFDIR_OUT='/srv/d\\n' DEFDIR_ERR='p: warning: x\\n'",
         .calls = dd + kv, .lock = "/srv/d"},
        {.env = "CONFDIR_END=1 CONFDIR_ERR='x\\n' DEFDIR_ERR='p: fatal: d\\n' DEFDIR_END=TERM",
         .error = "p: fatal: d\n", .calls = dd, .lock = ""},
        {.env = "CONFDIR_OUT=' \\n'",
         .error = "unable to determine Postfix config_directory parameter", .lock = ""},
        {.env = "CONFDIR_OUT='" + config.dir + "/\\n'", .calls = kv},
        {.env = "CONFDIR_OUT='" + config.root + "/link\\n'", .calls = kv},
        {.args = {"k ", "v"}, .error = bad + "k \"", .lock = ""},
        {.args = {"-r", "relayhost=evil.example", "x"}, .error = bad + "relayhost=evil.example\"",
         .lock = ""},
        {.args = {"--", "-x", "v"}, .error = bad + "-x\"", .lock = ""},
        {.args = {"k\x7f", "v"}, .error = bad + "k\x7f\"", .lock = ""},
        {.args = {"s//x", "v"}, .error = bad + "s//x\"", .lock = ""},
        {.args = {"-u", "s/t/-x"}, .error = bad + "s/t/-x\"", .lock = ""},
        {.args = {"-f", config.root + "/bad"}, .error = bad + "k\t\"", .lock = ""},
    };
    const std::string prep = config.standin();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env + " tarnwick " + c.args.back());
        config.set(start);
        config.set("submission inet n - y - - smtpd\n  -o syslog_name=x\n", "master.cf");
        const std::string env = "STANDIN_LOG=" + log + " " + c.env;
        const Outcome o = config.sh("rm -f " + log + " " + config.root + "/lock/files/*\n" +
                                    config.command(c.args, prep, env));
        const std::string report = c.error.empty() ? "" : refused(c.error);
        EXPECT_EQ(o.status, c.error.empty() ? 0 : 1);
        EXPECT_EQ(o.err, report + c.warn);
        EXPECT_EQ(o.out, report);
        EXPECT_EQ(readsSorted(slurp(log)), readsSorted("-h config_directory\n" + c.calls));
        const std::string lockDir = std::regex_replace(c.lock, std::regex("@DIR"), config.dir);
        const std::vector<std::string> lock{config.md5(lockDir + "/main.cf")};
        EXPECT_EQ(config.locks(), c.lock.empty() ? std::vector<std::string>() : lock);
        for (const std::string& name : config.locks())
            EXPECT_EQ(slurp(config.root + "/lock/files/" + name), "");
        EXPECT_EQ(config.mainCf(), c.after.empty() ? start : c.after);
    }
}

// Real postconf's own failure; a missing postconf, never looked for on PATH (where the stand-in
// is); SIGCHLD blocked by tarnwick's parent.
TEST(TarnwickTest, PostconfFailingMissingOrWaitedForWithSigchldBlocked) {
    MailConfig config(rd("a"));
    const std::string none = config.root + "/none";
    config.check({
        {.args = {"relay_domains", "b"}, .env = "MAIL_CONFIG=" + none, .fails = refused(
         "/usr/sbin/postconf: fatal: open " + none + "/main.cf: No such file or directory\n")},
        {.args = {"k", "v"}, .env = "PATH=" + kStandins + ":$PATH", .prep = "mount -t tmpfs tmpfs "
         "/usr/sbin", .fails = fatal("kelmo::SystemError", "execv: No such file or directory: No "
         "such file or directory")},
        {.args = {"-n", "relay_domains", "b"}, .env = "timeout 5", .prep = "exec perl -MPOSIX -e "
         "'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGCHLD)); exec @ARGV' \"$0\" \"$@\"",
         .out = "changed: relay_domains = a, b\n"},
    });
}
