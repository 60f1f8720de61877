// tarnwick end to end: with real postconf, with a scripted stand-in for what real postconf
// cannot be made to do (standins/postconf lists its knobs), and many runs at once.

#include "tool/ToolHarness.h"

namespace {

using namespace tarnwick_test;

const std::string kConfigError = "kelmo::mail::postfix::PostfixConfigurationError";
const std::string kStandins = TESTS_SOURCE_DIR "/tool/standins";

struct Edit {
    std::string before;
    std::vector<std::string> args;
    std::string after;  // main.cf; "=" for unchanged
};

// Each edit succeeds silently, leaves main.cf as given and locks the file named after it.
void expectEdits(const std::vector<Edit>& cases, const std::string& prep = "") {
    for (const Edit& c : cases) {
        MailConfig config(c.before);
        const Outcome o = config.sh(config.command(c.args, prep));
        const std::string what = c.before + " <- " + c.args.back();
        EXPECT_EQ(o.status, 0) << what;
        EXPECT_EQ(o.out + o.err, "") << what;
        EXPECT_EQ(config.mainCf(), c.after == "=" ? c.before : c.after) << what;
        EXPECT_EQ(config.locks(), std::vector<std::string>{config.md5(config.mainCfPath)});
    }
}

std::string rd(const std::string& value) { return "relay_domains = " + value + "\n"; }

TEST(TarnwickTest, AppendsAbsentValuesOrReplacesTheValue) {
    const std::string r = "relay_domains", ab = rd("a, b"), sc = "smtpd_client_restrictions";
    // clang-format off
    expectEdits({
        {"", {sc, "x"}, sc + " = x\n"}, {"", {sc, ""}, sc + " = \n"}, {rd(""), {r, "x"}, rd("x")},
        {ab, {r, "b"}, "="}, {ab, {r, "a"}, "="}, {ab, {r, "c"}, rd("a, b, c")}, {ab, {r, "B"}, rd("a, b, B")},
        {ab, {r, "b, c"}, rd("a, b, b, c")}, {rd(",a"), {r, ""}, "="}, {rd("a b"), {r, "c"}, rd("a b, c")},
        {rd("a b"), {r, "b"}, "="}, {ab, {"--replace", r, ""}, rd("")}, {ab, {"-r", r, "c d  e"}, rd("c d  e")},
        {ab, {"-r", r, "x,y, z"}, rd("x,y, z")}, {ab, {"-r", r, "k=v == w"}, rd("k=v == w")},
        {ab, {"-r", "my_own", " v =w "}, ab + "my_own = v =w\n"}, {ab, {"--replace", r, "b"}, rd("b")},
        {ab, {r, "--replace", "c"}, rd("c")}, {ab, {r, "c", "--replace"}, rd("c")}, {ab, {r, "c", "-r"}, rd("c")},
        {ab, {"-rr", r, "c"}, rd("c")}, {ab, {"--rep", r, "c"}, rd("c")}, {ab, {r, "--", "c"}, rd("a, b, c")},
        {ab, {"-r", "--", r, "-c"}, rd("-c")}, {ab, {"--", r, "-c"}, rd("a, b, -c")},
    });
    // clang-format on
}

// Option errors, -h, operand counts and failed runs leave main.cf alone. A failure's report
// goes to both streams.
TEST(TarnwickTest, UsageAndFailuresLeaveMainCfAlone) {
    MailConfig config(rd("a"));
    const std::string me = TARNWICK_BINARY, none = "MAIL_CONFIG=" + config.root + "/none";
    const std::string use =
        "Appends a given value to the specified Postfix configuration parameter\n"
        "if the given value is already set nothing is done\n"
        "usage: tarnwick [--replace] <key> <value>\n"
        "If used with --replace completely override current value instead of append\n";
    const std::string ops = "you should specify key and value to set\n" + use;
    const std::string batchOps =
        "you should give no key, value, --replace or --remove with --file\n" + use;
    const std::string open = "/usr/sbin/postconf: fatal: open " + config.root + "/none/main.cf";
    const std::string noCfg = fatal(kConfigError, open + ": No such file or directory\n");
    const std::string noTmp = fatal(kConfigError, open + ".tmp: No such file or directory\n");
    const std::string multi = fatal(
        kConfigError, "/usr/sbin/postconf: fatal: -e, -X, or -# accepts no multi-line input\n");
    const std::string noLock =
        "Unable to open file \"/var/lock/files/" + config.md5(config.mainCfPath) +
        "\": No such file or directory.\nSystem error 2: No such file or directory\n" +
        fatal("kelmo::ExSystemError<2>", "lock() failed: No such file or directory");
    const std::string hide = "mount -t tmpfs tmpfs /var/lock", r = "relay_domains";
    // clang-format off
    const struct { std::vector<std::string> args; int status; std::string out, err, env = "", prep = ""; } cases[] = {
        {{"-h"}, 0, use, ""}, {{"--he"}, 0, use, ""}, {{"-rh"}, 0, use, ""}, {{"onlyone", "-h"}, 0, use, ""},
        {{"a", "b", "c", "--help"}, 0, use, ""}, {{"-h", "--bogus"}, 0, use, ""},
        {{"--bogus", "-h"}, 1, "", me + ": unrecognized option '--bogus'\n" + use},
        {{"k", "-x"}, 1, "", me + ": invalid option -- 'x'\n" + use},
        {{"--version", "-x"}, 0, "tarnwick " TARNWICK_VERSION "\n", ""}, {{"-n", r}, 1, "", ops},
        {{"-r", "-d", r, "b"}, 1, "", "you should not combine --replace and --remove\n" + use},
        {{"-f", "-", r}, 1, "", batchOps}, {{"--file=-", "-d"}, 1, "", batchOps},
        {{"--replace=yes", "k", "v"}, 1, "", me + ": option '--replace' doesn't allow an argument\n" + use},
        {{}, 1, "", ops}, {{"onlyone"}, 1, "", ops}, {{"-r", "onlyone"}, 1, "", ops},
        {{"a", "b", "c"}, 1, "", ops}, {{"--", r, "b", "-r"}, 1, "", ops},
        {{r, "b"}, 1, noCfg, noCfg, none}, {{"-r", r, "b"}, 1, noTmp, noTmp, none},
        {{r, "b\nc"}, 1, multi, multi}, {{"-r", r, "b\nc"}, 1, multi, multi},
        {{r, "b"}, 1, noLock, noLock, "", hide}, {{"-r", r, "b"}, 1, noLock, noLock, "", hide},
        {{r, "a"}, 1, noLock, noLock, "", hide},
    };
    // clang-format on
    for (const auto& c : cases) {
        const Outcome o = config.sh(config.command(c.args, c.prep, c.env));
        const std::string what = (c.args.empty() ? "" : c.args[0]) + " " + c.env + c.prep;
        EXPECT_EQ(o.status, c.status) << what;
        EXPECT_EQ(o.out, c.out) << what;
        EXPECT_EQ(o.err, c.err) << what;
        EXPECT_EQ(config.mainCf(), rd("a")) << what;
    }
}

// The namespace's first listed address is 198.51.100.7; postconf's default (def) is read there.
TEST(TarnwickTest, MynetworksDefaultIsWrittenNarrowed) {
    const std::string prep =
        "ip link add v0 type veth peer name v1; ip addr add 198.51.100.7/24 dev v0";
    MailConfig probe;
    std::string def = probe.sh(probe.command({}, prep + "; postconf -h -d mynetworks; exit")).out;
    ASSERT_NE(def, "");
    def.pop_back();
    const std::string local = "127.0.0.0/8, 198.51.100.7/32", mn = "mynetworks = ";
    const std::string lo = "127.0.0.0/8", mine = "198.51.100.0/24";
    // clang-format off
    expectEdits({
        {"", {"mynetworks", lo}, mn + local + "\n"},
        {"", {"mynetworks", "203.0.113.0/24"}, mn + local + ", 203.0.113.0/24\n"},
        {mn + mine + "\n", {"mynetworks", lo}, mn + mine + ", " + lo + "\n"},
        {mn + "203.0.113.0/25, " + def + ", " + mine + "\n", {"mynetworks", lo},
         mn + "203.0.113.0/25, " + local + ", " + mine + "\n"},
        {"", {"-r", "mynetworks", def}, mn + def + "\n"},
    }, prep);
    // clang-format on
}

TEST(TarnwickTest, StandinFailuresDiagnosticsAndConfigDirectoryLookups) {
    MailConfig config;
    const std::string log = config.root + "/calls", d = config.dir, dd = "-h -d config_directory\n";
    const std::vector<std::string> add{"k", "v"}, set{"-r", "k", "v"};
    // error: PostfixConfigurationError's text, empty for success; calls: the stand-in's after
    // "-h config_directory"; lockDir: whose main.cf the lock is named after, empty for no lock.
    // clang-format off
    const struct { std::string knobs; std::vector<std::string> args; std::string error, calls, lockDir; } cases[] = {
        {"READ_END=TERM", add, "unknown error", "-h k\n", d},
        {"READ_ERR='dying\\n' READ_END=KILL", add, "dying\n", "-h k\n", d},
        {"READ_END=1", add, "unknown error", "-h k\n", d},
        {"READ_ERR='p: warning: w\\np: fatal: bad'", add, "p: warning: w\np: fatal: bad", "-h k\n", d},
        {"READ_OUT='a\\n' READ_ERR='p: fatal: ignored\\n'", add, "", "-h k\n-e k=a, v\n", d},
        {"READ_ERR='p: warning: w1\\np: warning: w2\\n'", add, "", "-h k\n-e k=v\n", d},
        {"READ_OUT=' \\t a,  b\\tc \\n\\n'", {"k", "d"}, "", "-h k\n-e k=a,  b\tc, d\n", d},
        {"READ_OUT='a\\n' WRITE_END=2", add, "unknown error", "-h k\n-e k=a, v\n", d},
        {"WRITE_END=TERM", set, "unknown error", "-e k=v\n", d},
        {"WRITE_ERR='p: fatal: no\\nx\\n' WRITE_END=3", set, "p: fatal: no\nx\n", "-e k=v\n", d},
        {"WRITE_ERR='p: fatal: what\\n'", set, "", "-e k=v\n", d},
        {"CONFDIR_OUT='/srv/pf/\\n'", set, "", "-e k=v\n", "/srv/pf/"},
        {"CONFDIR_OUT='  /srv/pf\\n\\n'", set, "", "-e k=v\n", "/srv/pf"},
        {"CONFDIR_END=1 DEFDIR_OUT='/srv/d\\n' DEFDIR_ERR='p: warning: x\\n'", set, "",
         dd + "-e k=v\n", "/srv/d"},
        {"CONFDIR_OUT= CONFDIR_ERR='p: fatal: x\\n' DEFDIR_OUT='/srv/d\\n'", set, "",
         dd + "-e k=v\n", "/srv/d"},
        {"CONFDIR_END=1 CONFDIR_ERR='x\\n' DEFDIR_ERR='p: fatal: d\\n' DEFDIR_END=TERM", set,
         "p: fatal: d\n", dd, ""},
        {"CONFDIR_OUT=' \\n'", set, "unable to determine Postfix config_directory parameter", "", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        const Outcome o = config.sh(
            "rm -f " + log + " " + config.root + "/lock/files/*\n" +
            config.command(c.args, "mount --bind " + kStandins + "/postconf /usr/sbin/postconf",
                           "STANDIN_LOG=" + log + " " + c.knobs));
        const std::string report = c.error.empty() ? "" : fatal(kConfigError, c.error);
        EXPECT_EQ(o.status, c.error.empty() ? 0 : 1) << c.knobs;
        EXPECT_EQ(o.err, report) << c.knobs;
        EXPECT_EQ(o.out, report) << c.knobs;
        EXPECT_EQ(slurp(log), "-h config_directory\n" + c.calls) << c.knobs;
        const std::vector<std::string> lock{config.md5(c.lockDir + "/main.cf")};
        EXPECT_EQ(config.locks(), c.lockDir.empty() ? std::vector<std::string>() : lock) << c.knobs;
    }
}

// Each step runs on the main.cf the one before left. A dry run prints what the real run after it
// prints and leaves main.cf byte for byte; a value with a blank inside is found again.
TEST(TarnwickTest, VerboseDryRunRemoveAndBatchSteps) {
    const std::string sr = "smtpd_recipient_restrictions", policy = "check_policy_service inet:1:2";
    const std::string banner = "smtpd_banner = hi there\n", permit = " = permit_mynetworks";
    MailConfig config(rd("a, b") + sr + permit + "\n");
    const std::string batch = "printf '%s\\n' 'append " + sr + " " + policy +
                              "' 'replace smtpd_banner hi there' '# c' '' " +
                              "'append relay_domains b' |";
    const std::string added = rd("a, b") + sr + permit + ", " + policy + "\n" + banner;
    const std::string changed = "changed: " + sr + permit + ", " + policy + "\nchanged: " + banner +
                                "unchanged: relay_domains\n";
    const std::string unchanged =
        "unchanged: " + sr + "\nunchanged: smtpd_banner\nunchanged: relay_domains\n";
    const std::string removed = "changed: " + sr + permit + "\n";
    const std::string rest = sr + permit + "\n" + banner;
    // clang-format off
    const struct { std::string pipe; std::vector<std::string> args; std::string out, mainCf; } steps[] = {
        {batch, {"-n", "-f", "-"}, changed, "="}, {batch, {"--verbose", "--file", "-"}, changed, added},
        {batch, {"-vf", "-"}, unchanged, "="}, {"", {sr, policy}, "", "="},
        {"", {"--dry-run", "-r", sr, "x"}, "changed: " + sr + " = x\n", "="},
        {"", {"-v", "-r", "smtpd_banner", "hi there"}, "unchanged: smtpd_banner\n", "="},
        {"", {"-nd", sr, " " + policy}, removed, "="}, {"", {"-v", "--remove", sr, policy}, removed, rd("a, b") + rest},
        {"", {"-d", "relay_domains", "a"}, "", rd("b") + rest},
    };
    // clang-format on
    for (const auto& step : steps) {
        const std::string before = config.mainCf();
        const Outcome o = config.sh(step.pipe + config.command(step.args));
        EXPECT_EQ(o.status, 0) << step.args[0];
        EXPECT_EQ(o.out, step.out) << step.args[0];
        EXPECT_EQ(o.err, "") << step.args[0];
        EXPECT_EQ(config.mainCf(), step.mainCf == "=" ? before : step.mainCf) << step.args[0];
        config.set(config.mainCf());
    }
}

// A batch reads each parameter once under the lock and writes every change in one postconf -e
// run, after every read; a failure before or in that run leaves main.cf as it was. The stand-in
// logs each call and runs the real postconf (calls matching STANDIN_FAIL as scripted).
TEST(TarnwickTest, BatchIsOneTransaction) {
    const std::string ss = "smtpd_sender_restrictions", sh = "smtpd_helo_restrictions";
    const std::string start = rd("a, b") + "mynetworks = 127.0.0.0/8\n" + ss + " = x\n";
    MailConfig config(start);
    const std::string log = config.root + "/calls", file = config.root + "/batch";
    const std::string batch =
        "append relay_domains c\nremove " + ss + " x\nappend mynetworks 10.0.0.0/8\n" +
        "append relay_domains a\nreplace " + sh + " one two\nappend " + ss + " y z\n# comment\n\n" +
        "append mynetworks 127.0.0.0/8\nremove relay_domains b\nappend " + sh + " three\n" +
        "append " + ss + " y,z\n";
    const std::string reads = "-h config_directory\n-h relay_domains\n-h " + ss +
                              "\n-h mynetworks\n-h -d mynetworks\n-h " + sh + "\n";
    const std::string write = "-e relay_domains=a, c " + ss + "=y z mynetworks=127.0.0.0/8, " +
                              "10.0.0.0/8 " + sh + "=one two, three\n";
    const std::string after = "relay_domains = a, c\nmynetworks = 127.0.0.0/8, 10.0.0.0/8\n" + ss +
                              " = y z\n" + sh + " = one two, three\n";
    const std::string noWrite = reads.substr(0, reads.find("\n-h my") + 1);
    const std::string line3 =
        fatal("tarnwick::BatchFileError", file + ":3: expected \"append KEY VALUE\", " +
                                              "\"replace KEY VALUE\" or \"remove KEY VALUE\"");
    const std::string fails = fatal(kConfigError, "p: fatal: no\n");
    // clang-format off
    const struct { std::string batch, knobs; int status; std::string report, calls, mainCf; } cases[] = {
        {batch, "", 0, "", reads + write, after},
        {batch, "STANDIN_FAIL='-e *" + sh + "=*' WRITE_ERR='p: fatal: no\\n' WRITE_END=1", 1, fails, reads + write, start},
        {batch, "STANDIN_FAIL='-h " + sh + "' READ_ERR='p: fatal: no\\n' READ_END=1", 1, fails, reads, start},
        {"append relay_domains b\nreplace " + ss + " x\n", "", 0, "", noWrite, start},
        {"# c\nappend k v\nappend k\nappend k v\n", "", 1, line3, "", start},
    };
    // clang-format on
    const std::string prep = "touch " + config.root + "/real; mount --bind /usr/sbin/postconf " +
                             config.root + "/real; mount --bind " + kStandins +
                             "/postconf /usr/sbin/postconf";
    for (const auto& c : cases) {
        config.set(start);
        std::ofstream(file) << c.batch;
        const std::string env = "STANDIN_LOG=" + log + " STANDIN_REAL=" + config.root + "/real ";
        const Outcome o = config.sh("rm -f " + log + "; touch " + log + "\n" +
                                    config.command({"-f", file}, prep, env + c.knobs));
        EXPECT_EQ(o.status, c.status) << c.knobs;
        EXPECT_EQ(o.err, c.report) << c.knobs;
        EXPECT_EQ(o.out, c.report) << c.knobs;
        EXPECT_EQ(slurp(log), c.calls) << c.knobs;
        EXPECT_EQ(config.mainCf(), c.mainCf) << c.knobs;
    }
}

// The child start-up's failure comes back as its SystemError: no PATH search finds the
// stand-in there, and no fallback read is tried.
TEST(TarnwickTest, MissingPostconfIsTheChildsSystemError) {
    MailConfig config;
    const std::string log = config.root + "/log";
    const Outcome o = config.sh(config.command({"k", "v"}, "mount -t tmpfs tmpfs /usr/sbin",
                                               "PATH=" + kStandins + ":$PATH STANDIN_LOG=" + log));
    const std::string report = fatal("kelmo::SystemError",
                                     "execv: No such file or directory: No such file or directory");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, report);
    EXPECT_EQ(o.out, report);
    EXPECT_FALSE(fs::exists(log));
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

// The stand-in logs "start <ns>" and "end <ns>" around each write: under the lock they
// alternate, and no stamp is earlier than the one before.
TEST(TarnwickTest, SimultaneousReplacesNeverOverlap) {
    MailConfig config;
    const std::string log = config.root + "/writes";
    const std::string each = config.command(
        {"-r", "relay_domains"}, "mount --bind " + kStandins + "/postconf-timed /usr/sbin/postconf",
        "STANDIN_LOG=" + log);
    const Outcome o = config.sh("for i in $(seq 32); do (" + each + " $i || echo x) & done; wait");
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(config.sh("awk '$1 == (NR % 2 ? \"start\" : \"end\") && $2 >= last "
                        "{ last = $2; n++ } END { print n, NR }' " + log).out,
              "64 64\n");
}

}  // namespace
