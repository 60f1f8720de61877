// Appends, removals and replacements of main.cf parameters one at a time, and their --json report.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

// An append adds what is missing, a removal takes out what is there, a value with a blank inside
// is found again; a dry run prints what the real run after it prints and changes nothing. A name
// Postfix does not use is edited with a warning: nothing refers to mua, so postconf -h prints
// nothing and -n says "unused parameter". A value past UTF-8 is reported with U+FFFD.
TEST(TarnwickTest, AppendReplaceAndRemove) {
    const std::string r = "relay_domains", ab = rd("a, b"), sc = "smtpd_client_restrictions = x\n";
    const std::string sr = "smtpd_recipient_restrictions", permit = sr + " = permit_mynetworks";
    const std::string policy = "check_policy_service inet:1:2", sasl = "permit_sasl_authenticated";
    const std::string rest = permit + "\nsmtpd_banner = hi there\n", removed = "changed: " + permit;
    const std::string mua = "mua_client_restrictions", hid = mua + " = " + sasl;
    const std::string warn = "tarnwick: warning: " + unused(mua) + "\n";
    const std::string pf = "mount --bind " + kStandins + "/postfix /usr/sbin/postfix; exec 3>&2";
    const std::string both = "postfix status pf\npostfix reload pf\n";
    const std::string slow = "postfix reload did not finish within 30 seconds";
    const auto failed = [](const std::string& why) {
        return fatal("kelmo::mail::postfix::PostfixReloadError", why + "\nthe changes above are "
                     "written");
    };
    MailConfig config;
    config.check({
        {.set = "", .args = {"smtpd_client_restrictions", "x"}, .after = sc},
        {.set = ab, .args = {r, "b"}},
        {.args = {r, "b, c"}, .after = rd("a, b, b, c")},
        {.set = rd("a b"), .args = {r, "b"}},
        {.set = ab, .args = {"-r", r, "k=v == w"}, .after = rd("k=v == w")},
        {.set = ab, .args = {"-r", "my_own", " v =w "}, .after = ab + "my_own = v =w\n"},
        {.set = ab, .args = {r, "c", "-r"}, .after = rd("c")},
        {.set = ab, .args = {"--rep", r, ""}, .after = rd("")},
        {.set = ab, .args = {"-r", "--", r, "-c"}, .after = rd("-c")},
        {.set = ab + permit + ", " + policy + "\nsmtpd_banner = hi there\n",
         .args = {"--dry-run", "-r", sr, "x"}, .out = "changed: " + sr + " = x\n"},
        {.args = {"-nd", sr, " " + policy}, .out = removed + "\n"},
        {.args = {"-v", "--remove", sr, policy}, .out = removed + "\n", .after = ab + rest},
        {.args = {"-d", r, "a"}, .after = rd("b") + rest},
        {.set = rd("a, b, c") + "smtpd_banner = hi\n", .args = {"-v", r, "c\r"},
         .out = "unchanged: relay_domains\n"},
        {.set = "my_own = a", .args = {"-r", "my_own", "b"}, .after = "my_own = b\n"},
        // postconf prints a run of blanks as one: the value as given is found again
        {.set = "smtpd_banner = b\n", .args = {"-vr", "smtpd_banner", "b  c"},
         .out = "changed: smtpd_banner = b  c\n", .after = "smtpd_banner = b  c\n"},
        {.args = {"-vr", "smtpd_banner", "b  c"}, .out = "unchanged: smtpd_banner\n"},
        {.set = rd("inline:{ a = b }"), .args = {"-v", r, "inline:{ a  = \t b }"},
         .out = "unchanged: relay_domains\n"},
        {.set = ab, .args = {"--strict", "-r", r, "a, b"}},
        {.set = hid + "\n", .args = {mua, "reject"}, .err = warn, .after = hid + ", reject\n"},
        {.args = {"-d", mua, "reject"}, .err = warn, .after = hid + "\n"},
        {.args = {"-vr", mua, "x"}, .out = "changed: " + mua + " = x\n", .err = warn,
         .after = mua + " = x\n"},
        {.set = hid + "\n", .pipe = "echo append " + mua + " x |", .args = {"-vf", "-"},
         .out = "changed: " + hid + ", x\n", .err = warn, .after = hid + ", x\n"},
        {.args = {"--json", "-n", mua, "y"},
         .out = json("true", {{mua, sasl + ", x", sasl + ", x, y", unused(mua)}}), .err = warn},
        {.set = ab, .args = {"--json", r, "c"}, .out = json("false", {{r, "a, b", "a, b, c"}}),
         .after = rd("a, b, c")},
        {.args = {"--json", r, "c"}, .out = json("false", {{r, "a, b, c", "a, b, c"}})},
        // placed where Postfix's order needs it; an anchor the list lacks, braces that leave the
        // rest of the list one element, are refused
        {.set = permit + ", reject\n", .args = {"-v", "--before", "reject", sr, sasl},
         .out = "changed: " + permit + ", " + sasl + ", reject\n",
         .after = permit + ", " + sasl + ", reject\n"},
        {.args = {"--after", "permit_mynetworks", sr, sasl}},
        {.args = {"--after", "reject", sr, "x"}, .err = "tarnwick: warning: " + sr + ": \"x\" "
         "follows \"reject\", where Postfix always stops: it is never reached; place it with "
         "--before reject\n", .after = permit + ", " + sasl + ", reject, x\n"},
        {.args = {"-n", "--after", "defer", sr, "y"},
         .fails = refused("\"defer\" is not an element of " + sr + ": nothing written")},
        {.args = {"-n", sr, "{y"},
         .fails = refused("value of \"" + sr + "\" has unbalanced braces")},
        {.set = rd("a, {b"), .args = {"-n", "-d", r, "a"}, .fails = refused(r + " has an unclosed "
         "\"{\": Postfix reads the rest of the list as one element; set it whole with --replace")},
        {.set = ab, .args = {"--json", "-r", r, "\xff"},
         .out = json("false", {{r, "a, b", "\xef\xbf\xbd"}}), .after = rd("\xff")},
        // --reload: postfix status, then reload where Postfix runs, after a write alone (the
        // stand-in tells on descriptor 3); a change of inet_interfaces needs a restart.
        {.set = ab, .args = {"--reload", "-v", r, "c"}, .prep = pf, .out = "changed: " +
         rd("a, b, c") + "reloaded: Postfix\n", .err = both, .after = rd("a, b, c")},
        {.args = {"--reload", "-v", r, "c"}, .prep = pf, .out = "unchanged: relay_domains\n"},
        {.args = {"--reload", "-n", r, "d"}, .prep = pf, .out = "changed: " + rd("a, b, c, d")},
        {.args = {"--reload", "--json", r, "d"}, .env = "STATUS_END=1", .prep = pf,
         .out = std::regex_replace(json("false", {{r, "a, b, c", "a, b, c, d"}}),
                                   std::regex("\\}\n$"), ",\"reloaded\":false}\n"),
         .err = "postfix status pf\n", .after = rd("a, b, c, d")},
        {.args = {"--reload", "-v", r, "e"}, .env = "RELOAD_ERR='p: fatal: no\\n' RELOAD_END=1",
         .prep = pf, .status = 1, .out = "changed: " + rd("a, b, c, d, e") + failed("p: fatal: no"),
         .err = both + failed("p: fatal: no"), .after = rd("a, b, c, d, e")},
        {.args = {"--reload", r, "f"}, .env = "RELOAD_SLEEP=60", .prep = pf, .status = 1,
         .out = failed(slow), .err = both + failed(slow), .after = rd("a, b, c, d, e, f")},
        {.args = {"--strict", "-r", "inet_interfaces", "loopback-only"},
         .err = "tarnwick: warning: Postfix applies inet_interfaces only when it starts: run "
         "\"postfix stop\" and \"postfix start\"\n",
         .after = rd("a, b, c, d, e, f") + "inet_interfaces = loopback-only\n"},
    });
    EXPECT_EQ(config.locks(), std::vector{config.md5(config.mainCfPath)});  // the one lock
}

// Unset relay_domains and smtpd_relay_restrictions read as defaults that depend on
// compatibility_level; an edit works on the branch in force, as Postfix evaluates the list, and
// main.cf never holds the expression.
TEST(TarnwickTest, CompatibilityDefaultsAreEditedInTheBranchInForce) {
    const std::string rr = "smtpd_relay_restrictions", s = "submission/inet/" + rr;
    const std::string sasl = "permit_sasl_authenticated", defer = "defer_unauth_destination";
    for (const std::string level : {"0", "1", "2", "3.6"}) {
        const std::string cl = "compatibility_level = " + level + "\n", d = "$mydestination, ";
        const bool zero = level == "0", belowTwo = zero || level == "1";
        const std::string kept = "permit_mynetworks, " + sasl, rrs = rr + " = " + kept;
        MailConfig config(cl);
        config.set("submission inet n - y - - smtpd\n", "master.cf");
        config.check({
            {.args = {"relay_domains", "example.org"},
             .after = cl + rd((belowTwo ? d : "") + "example.org")},
            {.set = cl, .args = {"-v", s, sasl}, .out = zero ? "changed: " + s + " = " + sasl +
             "\n" : "unchanged: " + s + "\n", .master = zero ? "submission inet  n       -       "
             "y       -       -       smtpd\n    -o " + rr + "=" + sasl + "\n" : "="},
            {.args = {"-v", rr, sasl}, .out = zero ? "changed: " + rr + " = " + sasl + "\n" :
             "unchanged: " + rr + "\n", .after = zero ? cl + rr + " = " + sasl + "\n" : "="},
            {.args = {"-v", "-d", rr, defer}, .out = zero ? "unchanged: " + rr + "\n" :
             "changed: " + rrs + "\n", .after = zero ? "=" : cl + rrs + "\n"},
        });
    }
}

// The namespace's first listed address is 198.51.100.7; mynetworks' default (def) is read there
// and written narrowed.
TEST(TarnwickTest, MynetworksIsReadAtItsDefaultAndWrittenNarrowed) {
    const std::string prep =
        "ip link add v0 type veth peer name v1; ip addr add 198.51.100.7/24 dev v0";
    MailConfig config;
    std::string def = config.sh(config.command({}, prep + "; postconf -h -d mynetworks; exit")).out;
    ASSERT_NE(def.find("[::1]/128"), std::string::npos) << def;
    def.pop_back();
    const std::string local = "127.0.0.0/8, 198.51.100.7/32, [::1]/128", mn = "mynetworks = ";
    const std::string c36 = "compatibility_level = 3.6\n", more = "203.0.113.0/24";
    config.check({
        {.set = "", .args = {"mynetworks", "127.0.0.0/8"}, .after = mn + local + "\n"},
        {.set = "", .args = {"--json", "mynetworks", more},
         .out = json("false", {{"mynetworks", def, local + ", " + more, "", false}}),
         .after = mn + local + ", " + more + "\n"},
        {.set = mn + "203.0.113.0/25, " + def + ", 192.0.2.0/24\n",
         .args = {"mynetworks", "127.0.0.0/8"},
         .after = mn + "203.0.113.0/25, " + local + ", 192.0.2.0/24\n"},
        {.set = "", .args = {"-r", "mynetworks", def}, .after = mn + def + "\n"},
        {.set = c36, .args = {"mynetworks", more},
         .after = c36 + mn + "127.0.0.1/32 [::1]/128, " + more + "\n"},
    }, prep);
}

// A main.cf or master.cf without a final newline is refused where postconf would join a new line
// onto its last; a parameter already there, set to nothing even, is edited in place. Nor is what
// postconf cannot read written, a dry run foreseeing it: a list where Postfix wants one value, a
// broken macro, an unset name that mynetworks_style refers to. A configuration it cannot read
// already gets a hint, where postconf names the parameter, and a replacement mends it.
TEST(TarnwickTest, UnendedFilesAndUnreadableValuesAreRefused) {
    MailConfig config("smtpd_helo_restrictions =\nrelay_domains = a");
    config.set("submission inet n - y - - smtpd\n#c", "master.cf");
    const std::string join = " does not end with a newline; postconf would join ";
    const std::string ii = "inet_interfaces", host = "config variable " + ii + ": host not found: ";
    const std::string mend = refused("/usr/sbin/postconf: fatal: " + host + "all; repair " + ii +
                                     " with tarnwick -r " + ii + " VALUE or by hand");
    const std::string r = "relay_domains", ms = "mynetworks_style", one = "; specify exactly one";
    const std::string style = "bad " + ms + " value: ";
    config.check({
        {.args = {"-n", "mynetworks", "10.0.0.0/8"}, .fails = refused("main.cf" + join +
         "the new setting onto its last line: add one first")},
        {.args = {"-n", "submission/inet/k", "v"}, .fails = refused("master.cf" + join +
         "the service's entry onto its last line: add one first")},
        {.args = {"-n", "smtpd_helo_restrictions", "x"},
         .out = "changed: smtpd_helo_restrictions = x\n"},
        {.set = "", .args = {ii, "192.0.2.1"}, .fails = unreadable(ii, host + "all")},
        {.set = ms + " = host\n", .args = {"-n", ms, "subnet"},
         .fails = unreadable(ms, style + "host, subnet" + one + " value")},
        {.args = {"-r", r, "${{$compatibility_level} <foo {2} ? {a} : {b}}"},
         .fails = unreadable(r, "macro processing error")},
        {.args = {"-n", "-r", r, "$(name"}, .fails = unreadable(r, "macro processing error")},
        {.set = "mynetworks_style = $s\ns = host\n", .args = {"-u", "s"},
         .fails = unreadable("s (unset)", style + one + " value")},
        {.set = ms + " = host\n", .args = {"-u", ms}, .after = ""},
        {.set = ii + " = all, 192.0.2.1\n", .args = {"-r", r, "x"}, .fails = mend},
        {.args = {"-d", ii, "all"}, .fails = mend},
        {.args = {"-r", ii, "127.0.0.1"}, .err = "tarnwick: warning: Postfix applies " + ii +
         " only when it starts: run \"postfix stop\" and \"postfix start\"\n",
         .after = ii + " = 127.0.0.1\n"},
    });
}

// postconf writes main.cf and master.cf anew, 0644 and owned by root: each write puts back the
// mode and owner the file had. A main.cf that is no regular file after a write is refused: the
// stand-in writes nothing and leaves a symbolic link there, which a real write replaces.
TEST(TarnwickTest, WritesKeepModeAndOwner) {
    MailConfig config(rd("a"));
    const std::string r = "relay_domains", master = config.dir + "/master.cf";
    const std::string modes = "stat -Lc '%a %U:%G' " + config.mainCfPath + " " + master + " >&2";
    const std::string kept = "640 root:nogroup\n600 root:root\n", service = "submission/inet/" + r;
    config.set("submission inet n - y - - smtpd\n", "master.cf");
    config.sh("chown root:nogroup " + config.mainCfPath + "; chmod 640 " + config.mainCfPath +
              "; chmod 600 " + master + "; mv " + config.mainCfPath + " " + config.dir + "/m");
    config.check({
        {.args = {r, "b"}, .env = "STANDIN_REAL=" + config.root + "/real STANDIN_FAIL='-e*'",
         .prep = config.standin() + "ln -s m " + config.mainCfPath, .fails = refused(
         "could not put back mode 0640 and owner 0:65534 on " + config.mainCfPath + " after the "
         "write: open: Too many levels of symbolic links\nwritten before this failure: " + r),
         .after = rd("a")},
        {.args = {r, "b"}, .prep = modes, .err = kept, .after = rd("a, b")},
        {.args = {"-r", service, "x"}, .prep = modes, .err = kept,
         .master = "submission inet  n       -       y       -       -       smtpd\n    -o " +
         r + "=x\n"},
        {.args = {"-r", "submission/inet/chroot", "n"}, .prep = modes, .err = kept, .master =
         "submission inet  n       -       n       -       -       smtpd\n    -o " + r + "=x\n"},
        {.args = {"-u", r}, .prep = modes, .err = kept, .after = ""},
    });
    EXPECT_EQ(config.sh(modes).err, kept);
}
