// tarnwick end to end: with real postconf, with a scripted stand-in for what real postconf
// cannot be made to do (standins/postconf lists its knobs), and many runs at once.

#include <regex>

#include "tool/ToolHarness.h"

namespace {

using namespace tarnwick_test;

const std::string kConfigError = "kelmo::mail::postfix::PostfixConfigurationError";
const std::string kStandins = TESTS_SOURCE_DIR "/tool/standins";

// Each step sets main.cf first (unless "="), runs tarnwick after pipe and must succeed printing
// out and err alone and leave main.cf as after and master.cf as master ("=": unchanged). Every
// run locks the file named after it.
struct Step {
    std::string set, pipe; std::vector<std::string> args; std::string out, after, err = "", master = "=";
};

void runSteps(const std::vector<Step>& steps, const std::string& prep = "", const std::string& master = "") {
    MailConfig config;
    config.set(master, "master.cf");
    for (const Step& step : steps) {
        if (step.set != "=") config.set(step.set);
        const std::string before = config.mainCf(), what = before + " <- " + step.args.back();
        const std::string masterBefore = slurp(config.dir + "/master.cf");
        const Outcome o = config.sh(step.pipe + config.command(step.args, prep));
        EXPECT_EQ(o.status, 0) << what;
        EXPECT_EQ(o.err, step.err) << what;
        EXPECT_EQ(o.out, std::regex_replace(step.out, std::regex("@DIR"), config.dir)) << what;
        EXPECT_EQ(config.mainCf(), step.after == "=" ? before : step.after) << what;
        EXPECT_EQ(slurp(config.dir + "/master.cf"), step.master == "=" ? masterBefore : step.master) << what;
        config.set(config.mainCf());
        config.set(slurp(config.dir + "/master.cf"), "master.cf");
    }
    EXPECT_EQ(config.locks(), std::vector<std::string>{config.md5(config.mainCfPath)});
}

std::string rd(const std::string& value) { return "relay_domains = " + value + "\n"; }
std::string unused(const std::string& key) {
    return "Postfix does not use parameter \"" + key +
           "\": the name is unknown to it and nothing refers to $" + key;
}

// A batch of two replacements whose postconf -e run needs exactly room + extra bytes of the exec
// room left by an environment of MAIL_CONFIG alone under a 1 MiB stack limit (exec): 256 KiB.
const std::string exec = "ulimit -s 1024; exec env -i MAIL_CONFIG=\"$MAIL_CONFIG\" \"$0\" \"$@\"";
std::string fullBatch(const MailConfig& config, int extra) {
    const std::size_t room = 262144 - 21 - config.dir.size() + extra, big = 131057;  // k=v: 131071
    return "replace relay_domains " + std::string(big, 'x') + "\nreplace mydestination " +
           std::string(room - 103 - big, 'y') + "\n";  // 103: path twice, -e, keys, pointers
}

// --json's report of {name, before, after[, warning]} each (changed where they differ), @DIR its
// directory.
std::string json(const char* dry, const std::vector<std::array<std::string, 4>>& parameters) {
    std::string any = "false", list;
    for (const auto& [name, before, after, warning] : parameters) {
        const std::string changed = before == after ? "false" : (any = "true");
        const std::string warnings = warning.empty() ? "" : "\"" + std::regex_replace(warning, std::regex("\""), "\\\"") + "\"";
        list += std::string(list.empty() ? "" : ",") + "{\"name\":\"" + name + "\",\"before\":\"" + before +
                "\",\"after\":\"" + after + "\",\"changed\":" + changed + ",\"warnings\":[" + warnings + "]}";
    }
    return "{\"changed\":" + any + ",\"dry_run\":" + dry + ",\"config_directory\":\"@DIR\",\"parameters\":[" + list + "]}\n";
}

// Option errors, -h, operand counts and failed runs (a batch with a bad line among good ones
// too; --strict and a name Postfix does not use, a batch's too) leave main.cf alone. A failure's
// report goes to both streams. -w bounds the wait for a lock held elsewhere (hold); a
// commented-out service and a service setting with a blank are refused; a missing postconf is the
// child start-up's SystemError, never a PATH search that would find the stand-in.
TEST(TarnwickTest, UsageAndFailuresLeaveMainCfAlone) {
    MailConfig config(rd("a"));
    const std::string me = TARNWICK_BINARY, none = "MAIL_CONFIG=" + config.root + "/none";
    const std::string use =
        "Appends a given value to the specified Postfix configuration parameter\n"
        "if the given value is already set nothing is done\n"
        "usage: tarnwick [--replace] <key> <value>\n"
        "If used with --replace completely override current value instead of append\n";
    const std::string r = "relay_domains", ops = "you should specify key and value to set\n" + use;
    const std::string held = "the lock on " + config.mainCfPath + " is held by another process: ";
    const std::string batch = config.root + "/batch", t = "timeout 5";  // 124: no bound
    config.sh("printf 'append relay_domains b\\nappend relay_domain c\\n' >" + batch + "; printf '# c\\nappend k v\\nappend k\\n' >" + batch + "3; printf "
              "'append k\\0x v\\n' >" + batch + "4; printf 'append k v\\0w' >" + batch + "5; mkfifo " + config.root + "/fifo");
    std::ofstream(batch + "6") << fullBatch(config, 1);
    std::ofstream(batch + "7") << std::string(131058, 'x');  // too long for the sh -c line
    const MailConfig unended("smtpd_helo_restrictions =\nrelay_domains = a");
    unended.set("submission inet n - y - - smtpd\n#c", "master.cf");
    config.set("#smtps inet n - y - - smtpd\n", "master.cf");
    // clang-format off
    const std::string noCfg = fatal(kConfigError, "/usr/sbin/postconf: fatal: open " + config.root + "/none/main.cf: No such file or directory\n");
    const std::string multi = fatal(kConfigError, "value of \"relay_domains\" holds a line break"), cf = kConfigError;
    const std::string tooBig = fatal(cf, "value of \"relay_domains\" is 131058 bytes; one postconf argument holds at most 131071");
    const std::string tooMany = fatal(cf, "the batch is too large for one postconf run (" + std::to_string(262124 - config.dir.size()) +
        " bytes of arguments, the limit is " + std::to_string(262123 - config.dir.size()) + "): split it");
    const std::string unendedCf = fatal(cf, "main.cf does not end with a newline; postconf would join the new setting onto its last line: add one first");
    const std::string unendedMaster = fatal(cf, "master.cf does not end with a newline; postconf would join the service's entry onto its last line: add one first");
    const std::string full = "exec >/dev/full", lost = "tarnwick: write error: No space left on device\n", bf = "tarnwick::BatchFileError";
    const std::string endless = ": batch larger than 16 MiB or 100000 lines", nulKey = fatal(bf, batch + "4:1: invalid parameter name: \"k\\0x\"");
    const std::string nulValue = fatal(bf, batch + "5:1: value of \"k\" holds a NUL byte");
    const std::string blockChld = "exec perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGCHLD)); exec @ARGV' \"$0\" \"$@\"";
    const std::string unsafe = "Refusing lock directory \"/var/lock/files\": it must be a directory owned by root or by this user and writable "
        "by no one else.\nSystem error 1: Operation not permitted\n" + fatal("kelmo::ExSystemError<1>", "lock() failed: Operation not permitted");
    const std::string shared = "mount -t tmpfs tmpfs /var/lock; mkdir -m 775 /var/lock/files";
    const std::string hold = "exec 9>>/var/lock/files/" + config.md5(config.mainCfPath) + "; flock 9";
    const std::string waited0 = fatal("kelmo::LockTimeoutError", held + "gave up after waiting 0 seconds");
    const std::string waited1 = fatal("kelmo::LockTimeoutError", held + "gave up after waiting 1 second");
    const std::string line3 = fatal("tarnwick::BatchFileError", batch + "3:3: expected \"append KEY VALUE\", \"replace KEY VALUE\", \"remove KEY VALUE\" or \"unset KEY\"");
    const std::string noSmtps = fatal(kConfigError, "master.cf has no service \"smtps/inet\"");
    const std::string blank = fatal(kConfigError, "a master.cf service setting cannot hold blanks: \"b c\"; define it as a main.cf parameter and refer to it as $name");
    const std::string strict = fatal(kConfigError, unused("relay_domain"));
    const std::string blankCr = fatal(kConfigError, "a master.cf service setting cannot hold blanks: \"b\rc\"; define it as a main.cf parameter and refer to it as $name");
    const std::string wild = fatal(cf, "invalid parameter name: \"*/inet/relay_domains\""), ascii = fatal(cf, "invalid parameter name: \"caf\xe9\"");
    const std::string noExec = fatal("kelmo::SystemError", "execv: No such file or directory: No such file or directory");
    const struct { std::vector<std::string> args; int status; std::string out, err, env = "", prep = ""; } cases[] = {
        {{"a", "b", "c", "--help"}, 0, use, ""}, {{"--bogus", "-h"}, 1, "", me + ": unrecognized option '--bogus'\n" + use},
        {{"--version", "-x"}, 0, "tarnwick " TARNWICK_VERSION "\n", ""}, {{"-n", r}, 1, "", ops},
        {{"-r", "-d", r, "b"}, 1, "", "you should not combine --replace and --remove\n" + use},
        {{"-u", "-d", r}, 1, "", "you should not combine --unset with --replace or --remove\n" + use},
        {{"-u", r, "b"}, 1, "", "you should specify the key to unset, and no value\n" + use},
        {{"-r", "smtps/inet/" + r, "b"}, 1, noSmtps, noSmtps}, {{"smtp/inet/" + r, "b c"}, 1, blank, blank},
        {{"-f", "-", r}, 1, "", "you should give no key, value, --replace or --remove with --file\n" + use},
        {{}, 1, "", ops}, {{"--", r, "b", "-r"}, 1, "", ops},
        {{r, "b"}, 1, noCfg, noCfg, none}, {{"-n", "-r", r, "b\nc"}, 1, multi, multi}, {{"-r", r, "b\nc"}, 1, "", multi + lost, "", full},
        {{"-n", "", "v"}, 1, fatal(cf, "invalid parameter name: \"\""), fatal(cf, "invalid parameter name: \"\"")},
        {{"-n", "#k", "v"}, 1, fatal(cf, "invalid parameter name: \"#k\""), fatal(cf, "invalid parameter name: \"#k\"")},
        {{}, 1, tooBig, tooBig, "", "exec \"$0\" -nr " + r + " \"$(cat " + batch + "7)\""}, {{"-n", "-f", batch + "6"}, 1, tooMany, tooMany, "", exec},
        {{"-n", "mynetworks", "10.0.0.0/8"}, 1, unendedCf, unendedCf, "MAIL_CONFIG=" + unended.dir},
        {{"-n", "submission/inet/k", "v"}, 1, unendedMaster, unendedMaster, "MAIL_CONFIG=" + unended.dir},
        {{"-n", "smtpd_helo_restrictions", "x"}, 0, "changed: smtpd_helo_restrictions = x\n", "", "MAIL_CONFIG=" + unended.dir},
        // postconf -P refuses a carriage return inside, trims one at the end; '*' would match several services
        {{"-n", "-r", "smtp/inet/" + r, "b\rc"}, 1, blankCr, blankCr}, {{"-n", "-r", "smtps/inet/" + r, "b \r"}, 1, noSmtps, noSmtps},
        {{"-n", "-r", "*/inet/" + r, "b"}, 1, wild, wild}, {{"-n", "caf\xe9", "b"}, 1, ascii, ascii},
        {{"--strict", "-n", "smtps/inet/relay_domain", "b"}, 1, strict, strict},
        {{"-n", r, "b"}, 0, "changed: relay_domains = a, b\n", "", t, blockChld}, {{"-n", r, "b"}, 1, "", lost, "", full},
        {{"--help"}, 1, "", lost, "", full}, {{"--version"}, 1, "", lost, "", full},
        {{"-n", r, "b"}, 1, "", "tarnwick: write error: Broken pipe\n", "", "trap '' PIPE; exec 3<>" + config.root + "/fifo >" + config.root + "/fifo 3<&-"},
        {{"-f", "/dev/zero"}, 1, fatal(bf, "/dev/zero" + endless), fatal(bf, "/dev/zero" + endless), t},
        {{"-f", "-"}, 1, fatal(bf, "-" + endless), fatal(bf, "-" + endless), "yes '# x' | head -n 100001 | " + t},
        {{"-f", batch + "4"}, 1, nulKey, nulKey}, {{"-f", batch + "5"}, 1, nulValue, nulValue},
        {{"-r", r, "b"}, 1, unsafe, unsafe, "", shared},
        {{"-w", "1s", r, "b"}, 1, "", "invalid number of seconds to wait: \"1s\"\n" + use},
        {{"-w", "0", r, "b"}, 1, waited0, waited0, t, hold}, {{"--wait", "1", "-r", r, "b"}, 1, waited1, waited1, t, hold},
        {{"-f", batch, "--wait=1"}, 1, waited1, waited1, t, hold}, {{"-f", batch + "3"}, 1, line3, line3},
        {{"--strict", "-r", "relay_domain", "b"}, 1, strict, strict}, {{"-f", batch, "--strict"}, 1, strict, strict},
        {{"k", "v"}, 1, noExec, noExec, "PATH=" + kStandins + ":$PATH", "mount -t tmpfs tmpfs /usr/sbin"},
        {{"--json", r}, 1, "", ops}, {{"--json", "-r", r, "b"}, 1, "{\"error\":{\"type\":\"kelmo::ExSystemError<1>\",\"message\":"
            "\"lock() failed: Operation not permitted\"}}\n", unsafe, "", shared},
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
    EXPECT_EQ(unended.mainCf(), "smtpd_helo_restrictions =\nrelay_domains = a");
    // The largest argument and the largest batch that the refusals above let through: real postconf runs.
    const std::string largest = fullBatch(config, 0);
    std::ofstream(batch + "8") << largest;
    EXPECT_EQ(config.sh(config.command({"-f", batch + "8"}, exec)).status, 0);
    EXPECT_EQ(config.mainCf(), rd(std::string(131057, 'x')) + "mydestination = " + largest.substr(largest.rfind(' ') + 1));
}

// A batch reads each parameter once under the lock and writes every change in one postconf -e
// run, after every read; a failed write leaves main.cf as it was. With STANDIN_REAL the stand-in
// runs the real postconf for each call but those matching STANDIN_FAIL.
TEST(TarnwickTest, StandinFailuresDiagnosticsBatchesAndConfigDirectoryLookups) {
    const std::string ss = "smtpd_sender_restrictions", sh = "smtpd_helo_restrictions";
    const std::string start = rd("a, b") + "mynetworks = 127.0.0.0/8\n" + ss + " = x\n";
    MailConfig config;
    const std::string log = config.root + "/calls", d = config.dir, dd = "-h -d config_directory\n";
    const std::vector<std::string> add{"k", "v"}, set{"-r", "k", "v"};
    const std::vector<std::string> batch{"-f", config.root + "/batch"};
    const std::string bad = "invalid parameter name: ", out = "WRITE_OUT='to stdout\\n' ";
    config.sh("ln -s pf " + config.root + "/link; printf 'append k v\\nremove k\\t v\\n' >" +
              config.root + "/bad");
    // error: PostfixConfigurationError's text ("" for success); calls: the stand-in's after "-h
    // config_directory"; lockDir: whose main.cf names the lock ("" no lock); knobs may close streams;
    // after: main.cf after the run ("" unchanged).
    // clang-format off
    std::ofstream(batch[1]) << "append relay_domains c\nremove " + ss + " x\nappend mynetworks 10.0.0.0/8\n" +
        "append relay_domains a\nreplace " + sh + " one two\nappend " + ss + " y z\n# comment\n\n" +
        "append mynetworks 127.0.0.0/8\nremove relay_domains b\nappend " + sh + " three\nappend " + ss + " y,z\n";
    std::ofstream(config.root + "/mixed") << "append relay_domains c\nunset mynetworks\nappend submission/inet/" + ss +
        " y\nunset submission/inet/syslog_name\n";
    const std::vector<std::string> mixed{"-f", config.root + "/mixed"};
    const std::string mixedCalls = "-h relay_domains\n-n -h mynetworks\n-P -h submission/inet/" + ss + "\n-h " + ss +
        "\n-P -h submission/inet/syslog_name\n-h syslog_name\n-M submission/inet\n-e relay_domains=a, b, c\n-X mynetworks\n";
    const std::string real = "STANDIN_REAL=" + config.root + "/real", batched =
        "-h relay_domains\n-h " + ss + "\n-h mynetworks\n-h -d mynetworks\n-h " + sh + "\n-e relay_domains=a, c " +
        ss + "=y z mynetworks=127.0.0.0/8, 10.0.0.0/8 " + sh + "=one two, three\n";
    const struct { std::string knobs; std::vector<std::string> args; std::string error, calls, lockDir, after = ""; } cases[] = {
        {real, batch, "", batched, d, "relay_domains = a, c\nmynetworks = 127.0.0.0/8, 10.0.0.0/8\n" + ss + " = y z\n" + sh + " = one two, three\n"},
        {real + " STANDIN_FAIL='-e *" + sh + "=*' WRITE_ERR='p: fatal: no\\n' WRITE_END=1", batch, "p: fatal: no\n", batched, d},
        {real, mixed, "", mixedCalls + "-P submission/inet/" + ss + "=x,y\n-P -X submission/inet/syslog_name\n", d, rd("a, b, c") + ss + " = x\n"},
        {real + " STANDIN_FAIL='-P sub*' READ_ERR='p: fatal: no\\n' READ_END=1", mixed, "p: fatal: no\nwritten before this failure: relay_domains, mynetworks (unset)",
         mixedCalls + "-P submission/inet/" + ss + "=x,y\n", d, rd("a, b, c") + ss + " = x\n"},
        {"READ_ERR='dying\\n' READ_END=KILL", add, "dying\n", "-h k\n", d},
        {"READ_END=1", add, "unknown error", "-h k\n", d},
        {"READ_ERR='p: warning: w\\np: fatal: bad'", add, "p: warning: w\np: fatal: bad", "-h k\n", d},
        {"READ_ERR='p: error: e\\n'", add, "p: error: e\n", "-h k\n", d}, {"READ_ERR='p: Fatal: f\\n'", add, "", "-h k\n-e k=v\n", d},
        {"READ_OUT='a\\n' READ_ERR='p: fatal: ignored\\n'", add, "", "-h k\n-e k=a, v\n", d},
        {"READ_OUT=' \\t a,  b\\tc \\n\\n'", {"k", "d"}, "", "-h k\n-e k=a,  b\tc, d\n", d},
        {"WRITE_ERR='p: fatal: no\\nx\\n' WRITE_END=3", set, "p: fatal: no\nx\n", "-e k=v\n", d},
        {"WRITE_ERR='p: fatal: what\\n'", set, "", "-e k=v\n", d},
        {"CONFDIR_END=1 DEFDIR_OUT='/srv/d\\n' DEFDIR_ERR='p: warning: x\\n'", set, "",
         dd + "-e k=v\n", "/srv/d"},
        {"CONFDIR_END=1 CONFDIR_ERR='x\\n' DEFDIR_ERR='p: fatal: d\\n' DEFDIR_END=TERM", set,
         "p: fatal: d\n", dd, ""},
        {"CONFDIR_OUT=' \\n'", set, "unable to determine Postfix config_directory parameter", "", ""},
        {"CONFDIR_OUT='" + d + "/\\n'", set, "", "-e k=v\n", d},
        {"CONFDIR_OUT='" + config.root + "/link\\n'", set, "", "-e k=v\n", d},
        {"", {"k ", "v"}, bad + "\"k \"", "", ""}, {"", {"-r", "relayhost=evil.example", "x"}, bad + "\"relayhost=evil.example\"", "", ""},
        {"", {"--", "-x", "v"}, bad + "\"-x\"", "", ""}, {"", {"k\x7f", "v"}, bad + "\"k\x7f\"", "", ""},
        {"", {"s//x", "v"}, bad + "\"s//x\"", "", ""}, {"", {"-u", "s/t/-x"}, bad + "\"s/t/-x\"", "", ""},
        {"", {"-f", config.root + "/bad"}, bad + "\"k\t\"", "", ""},
        {out + "<&- >&- 2>&-", set, "", "-e k=v\n", d},
    };
    // clang-format on
    const std::string prep = "mount --bind /usr/sbin/postconf " + config.root + "/real; mount --bind " +
                             kStandins + "/postconf /usr/sbin/postconf";
    config.sh("touch " + config.root + "/real");
    for (const auto& c : cases) {
        config.set(start);
        config.set("submission inet n - y - - smtpd\n  -o syslog_name=x\n", "master.cf");
        const Outcome o = config.sh("rm -f " + log + " " + config.root + "/lock/files/*\n" +
                                    config.command(c.args, prep, "STANDIN_LOG=" + log + " " + c.knobs));
        const std::string report = c.error.empty() ? "" : fatal(kConfigError, c.error);
        EXPECT_EQ(o.status, c.error.empty() ? 0 : 1) << c.knobs;
        EXPECT_EQ(o.err, report) << c.knobs;
        EXPECT_EQ(o.out, report) << c.knobs;
        EXPECT_EQ(slurp(log), "-h config_directory\n" + c.calls) << c.knobs;
        const std::vector<std::string> lock{config.md5(c.lockDir + "/main.cf")};
        EXPECT_EQ(config.locks(), c.lockDir.empty() ? std::vector<std::string>() : lock) << c.knobs;
        for (const std::string& name : config.locks())
            EXPECT_EQ(slurp(config.root + "/lock/files/" + name), "") << c.knobs;
        EXPECT_EQ(config.mainCf(), c.after.empty() ? start : c.after) << c.knobs;
    }
}

// Appends, replaces, removes and batches in turn on one main.cf. A dry run prints what the real
// run after it prints and leaves main.cf byte for byte; a value with a blank inside is found again.
// mynetworks: the namespace's first listed address is 198.51.100.7, postconf's default (def) is
// read there and written narrowed.
TEST(TarnwickTest, AppendReplaceRemoveVerboseDryRunBatchAndMynetworksSteps) {
    const std::string prep =
        "ip link add v0 type veth peer name v1; ip addr add 198.51.100.7/24 dev v0";
    MailConfig probe;
    std::string def = probe.sh(probe.command({}, prep + "; postconf -h -d mynetworks; exit")).out;
    ASSERT_NE(def.find("[::1]/128"), std::string::npos) << def;
    def.pop_back();
    const std::string local = "127.0.0.0/8, 198.51.100.7/32, [::1]/128", mn = "mynetworks = ";
    const std::string sr = "smtpd_recipient_restrictions", policy = "check_policy_service inet:1:2";
    const std::string banner = "smtpd_banner = hi there\n", permit = " = permit_mynetworks";
    const std::string r = "relay_domains", batch = "printf '%s\\n' 'append " + sr + " " + policy +
                                                   "' 'replace smtpd_banner hi there' '# c' '' " +
                                                   "'append relay_domains b' |";
    const std::string start = rd("a, b") + sr + permit + "\n", rest = sr + permit + "\n" + banner;
    const std::string changed = "changed: " + sr + permit + ", " + policy + "\nchanged: " + banner +
                                "unchanged: relay_domains\n";
    const std::string removed = "changed: " + sr + permit + "\n", ab = rd("a, b");
    const std::string crlf = "printf '\\357\\273\\277append relay_domains c\\r\\n\\r\\n\\t# x\\r\\nreplace smtpd_banner  hi \\r\\n' |";
    // Nothing refers to mua: postconf -h prints nothing, -n says "unused parameter".
    const std::string mua = "mua_client_restrictions", hid = mua + " = permit_sasl_authenticated";
    const std::string warn = "tarnwick: warning: " + unused(mua) + "\n", c36 = "compatibility_level = 3.6\n";
    // Unset relay_domains reads as its default, an expression whose braces hold blanks; it must
    // stay whole for postconf -x to expand it after an add and its undo.
    const std::string expr = "${{$compatibility_level} <level {2} ? {$mydestination} : {}}";
    const std::string sc = "smtpd_client_restrictions = x\n";
    // clang-format off
    runSteps({
        {"", "", {"smtpd_client_restrictions", "x"}, "", sc}, {"=", "", {r, "example.org"}, "", sc + rd(expr + ", example.org")},
        {"=", "", {"-d", r, "example.org"}, "", sc + rd(expr)}, {"=", "postconf -xh " + r + " >/dev/null &&", {"-d", r, "example.org"}, "", "="},
        {ab, "", {r, "b"}, "", "="},
        {"=", "", {r, "b, c"}, "", rd("a, b, b, c")}, {rd("a b"), "", {r, "b"}, "", "="},
        {ab, "", {"-r", r, "k=v == w"}, "", rd("k=v == w")}, {ab, "", {"-r", "my_own", " v =w "}, "", ab + "my_own = v =w\n"},
        {ab, "", {"--json", r, "c"}, json("false", {{r, "a, b", "a, b, c"}}), rd("a, b, c")},
        {"=", "", {"--json", r, "c"}, json("false", {{r, "a, b, c", "a, b, c"}}), "="},
        {ab, "", {"--json", "-r", r, "\xff"}, json("false", {{r, "a, b", "\xef\xbf\xbd"}}), rd("\xff")},
        {ab, "", {r, "c", "-r"}, "", rd("c")}, {ab, "", {"--rep", r, ""}, "", rd("")}, {ab, "", {"-r", "--", r, "-c"}, "", rd("-c")},
        {start, batch, {"-n", "-f", "-"}, changed, "="}, {"=", batch, {"--json", "-nf", "-"}, json("true", {{sr, "permit_mynetworks",
            "permit_mynetworks, " + policy}, {"smtpd_banner", "$myhostname ESMTP $mail_name", "hi there"}, {r, "a, b", "a, b"}}), "="},
        {"=", batch, {"--verbose", "--file", "-"}, changed, ab + sr + permit + ", " + policy + "\n" + banner},
        {"=", batch, {"-vf", "-"}, "unchanged: " + sr + "\nunchanged: smtpd_banner\nunchanged: relay_domains\n", "="},
        {"=", "", {"--dry-run", "-r", sr, "x"}, "changed: " + sr + " = x\n", "="},
        {"=", "", {"-nd", sr, " " + policy}, removed, "="}, {"=", "", {"-v", "--remove", sr, policy}, removed, ab + rest},
        {"=", "", {"-d", "relay_domains", "a"}, "", rd("b") + rest},
        {ab, crlf, {"-vf", "-"}, "changed: " + rd("a, b, c") + "changed: smtpd_banner = hi\n", rd("a, b, c") + "smtpd_banner = hi\n"},
        {"=", crlf, {"-vf", "-"}, "unchanged: relay_domains\nunchanged: smtpd_banner\n", "="},
        {"=", "", {"-v", r, "c\r"}, "unchanged: relay_domains\n", "="}, {"my_own = a", "", {"-r", "my_own", "b"}, "", "my_own = b\n"},
        {"=", "yes '# x' | head -n 100000 |", {"-f", "-"}, "", "="},
        {"", "", {"mynetworks", "127.0.0.0/8"}, "", mn + local + "\n"},
        {"", "", {"--json", "mynetworks", "203.0.113.0/24"}, json("false", {{"mynetworks", def, local + ", 203.0.113.0/24"}}),
         mn + local + ", 203.0.113.0/24\n"},
        {mn + "203.0.113.0/25, " + def + ", 192.0.2.0/24\n", "", {"mynetworks", "127.0.0.0/8"}, "",
         mn + "203.0.113.0/25, " + local + ", 192.0.2.0/24\n"},
        {"", "", {"-r", "mynetworks", def}, "", mn + def + "\n"},
        {c36, "", {"mynetworks", "203.0.113.0/24"}, "", c36 + mn + "127.0.0.1/32 [::1]/128, 203.0.113.0/24\n"},
        {ab, "", {"--strict", "-r", r, "a, b"}, "", "="}, {hid + "\n", "", {mua, "reject"}, "", hid + ", reject\n", warn},
        {"=", "", {"-d", mua, "reject"}, "", hid + "\n", warn}, {"=", "", {"-vr", mua, "x"}, "changed: " + mua + " = x\n", mua + " = x\n", warn},
        {hid + "\n", "echo append " + mua + " x |", {"-vf", "-"}, "changed: " + hid + ", x\n", hid + ", x\n", warn},
        {"=", "", {"--json", "-n", mua, "y"}, json("true", {{mua, "permit_sasl_authenticated, x", "permit_sasl_authenticated, x, y",
            unused(mua)}}), "=", warn},
    }, prep);
    // clang-format on
}

// A service setting the service lacks starts from main.cf's value and is joined with "," alone;
// postconf -P rewrites the service's entry (below the comment). -u removes what is set (a value
// Postfix hides too) and leaves alone what is not; a dry run leaves both files byte for byte.
TEST(TarnwickTest, ServiceSettingAndUnsetSteps) {
    const std::string sub = "submission inet  n       -       y       -       -       smtpd\n";
    const std::string master = "#smtps inet n - y - - smtpd\nsubmission inet n - y - - smtpd\n";
    const std::string sr = "smtpd_recipient_restrictions", s = "submission/inet/" + sr, o = "    -o " + sr + "=";
    const std::string main = sr + " = permit_mynetworks, reject_unauth_destination\n" + rd("a");
    const std::string added = "permit_mynetworks,reject_unauth_destination,permit_sasl_authenticated";
    const std::string batch = "printf '%s\\n' 'unset relay_domains' 'append " + s + " x' |";
    // clang-format off
    runSteps({
        {main, "", {"-v", s, "permit_sasl_authenticated"}, "changed: " + s + " = " + added + "\n", "=", "", "#smtps inet n - y - - smtpd\n" + sub + o + added + "\n"},
        {"=", "", {s, "permit_sasl_authenticated"}, "", "="}, {"=", "", {"-d", s, "permit_mynetworks"}, "", "=", "", "#smtps inet n - y - - smtpd\n" + sub + o + "reject_unauth_destination,permit_sasl_authenticated\n"},
        {"=", batch, {"-nf", "-"}, "changed: relay_domains (unset)\nchanged: " + s + " = reject_unauth_destination,permit_sasl_authenticated,x\n", "="},
        {"=", "", {"-r", s, "reject"}, "", "=", "", "#smtps inet n - y - - smtpd\n" + sub + o + "reject\n"},
        {"=", "", {"--unset", "-v", s}, "changed: " + s + " (unset)\n", "=", "", "#smtps inet n - y - - smtpd\n" + sub},
        {"=", "", {"-vu", s}, "unchanged: " + s + "\n", "="},
        // not set: no value of its own before, none after unless written
        {"=", "", {"--json", "-n", s, "permit_mynetworks"}, "{\"changed\":false,\"dry_run\":true,\"config_directory\":\"@DIR\",\"parameters\":[{\"name\":\"" + s +
            "\",\"before\":null,\"after\":null,\"changed\":false,\"warnings\":[]}]}\n", "="},
        {"=", "", {"--json", "-n", s, "x"}, "{\"changed\":true,\"dry_run\":true,\"config_directory\":\"@DIR\",\"parameters\":[{\"name\":\"" + s +
            "\",\"before\":null,\"after\":\"permit_mynetworks,reject_unauth_destination,x\",\"changed\":true,\"warnings\":[]}]}\n", "="},
        {"=", "printf '%s\\n' 'replace " + sr + " reject' 'append " + s + " x' |", {"-nf", "-"}, "changed: " + sr + " = reject\nchanged: " + s + " = reject,x\n", "="},
        {"=", "", {"--json", "-nu", "relay_domains"}, "{\"changed\":true,\"dry_run\":true,"
            "\"config_directory\":\"@DIR\",\"parameters\":[{\"name\":\"relay_domains\",\"before\":\"a\",\"after\":null,\"changed\":true,\"warnings\":[]}]}\n", "="},
        {"=", "", {"-u", "relay_domains"}, "", sr + " = permit_mynetworks, reject_unauth_destination\n"},
        {"=", "", {"-vu", "relay_domains"}, "unchanged: relay_domains\n", "="},
        {main + "mua = x\n", "", {"-vu", "mua"}, "changed: mua (unset)\n", main, "tarnwick: warning: " + unused("mua") + "\n"},
    }, "", master);
    // clang-format on
}

// A written parameter is logged (LOG_MAIL, LOG_NOTICE: <21>) with the value read, "set to" where
// nothing was read, "(unset)" where it is removed; dry runs, values already present and failed
// writes (a read-only directory) log nothing. /dev/log is log_receiver's socket in a private /dev.
TEST(TarnwickTest, WrittenParametersAreLogged) {
    MailConfig config(rd("a"));
    const std::string r = "relay_domains", dev = config.root + "/dev", got = config.root + "/logged";
    const std::string at = "<21>tarnwick: " + config.mainCfPath + ": ", b = "smtpd_banner";
    const std::string prep = "touch " + dev + "/null; mount --bind /dev/null " + dev + "/null; mount --rbind " + dev + " /dev";
    config.sh("mkdir " + dev + "; touch " + config.root + "/real; printf 'append " + r + " c\nreplace " + b + " x\n' >" + config.root + "/batch; " +
              "printf 'append " + r + " d\nreplace submission/inet/" + b + " y\n' >" + config.root + "/both");
    config.set("submission inet n - y - - smtpd\n", "master.cf");
    const std::string sub = "<21>tarnwick: " + config.dir + "/master.cf: submission/inet/" + b;
    // The stand-in fails the master.cf write after the main.cf write has landed: that one is logged.
    const std::string failP = " STANDIN_REAL=" + config.root + "/real STANDIN_FAIL='-P s*' READ_END=1", real =
        "; mount --bind /usr/sbin/postconf " + config.root + "/real; mount --bind " + kStandins + "/postconf /usr/sbin/postconf";
    const std::string ro = "; mount --bind " + config.dir + " " + config.dir + "; mount -o remount,bind,ro " + config.dir;
    const struct { std::vector<std::string> args; int status; std::string logged, env = "", prep = ""; } cases[] = {
        {{r, "b"}, 0, at + r + ": \"a\" -> \"a, b\" (uid 0)\n"}, {{r, "b"}, 0, ""}, {{"-n", r, "c"}, 0, ""},
        {{"-r", b, "x"}, 0, at + b + " set to \"x\" (uid 0 sudo_uid 1000)\n", "SUDO_UID=1000"}, {{r, "z"}, 1, "", "", ro},
        {{"--json", "-f", config.root + "/batch"}, 0, at + r + ": \"a, b\" -> \"a, b, c\" (uid 0)\n", "SUDO_UID=1x"},
        {{"-u", b}, 0, at + b + ": \"x\" -> (unset) (uid 0)\n"},
        {{"-r", "submission/inet/" + b, "x"}, 0, sub + " set to \"x\" (uid 0)\n"},
        {{"-f", config.root + "/both"}, 1, at + r + ": \"a, b, c\" -> \"a, b, c, d\" (uid 0)\n", failP, real},
    };
    for (const auto& c : cases) {
        config.set(config.mainCf());
        const Outcome o = config.sh(std::string(HELPER_LOG_RECEIVER " ") + dev + "/log " + got + " sh -c " +
                                    quote(config.command(c.args, prep + c.prep, c.env)));
        EXPECT_EQ(o.status, c.status) << c.args[1] << o.err;
        EXPECT_EQ(config.sh("sed -E 's/^(<[0-9]+>).{16}/\\1/' " + got).out, c.logged) << c.args[1];
    }
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

}  // namespace
