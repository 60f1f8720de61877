// Batches (-f FILE, "-" for stdin): lines of "append", "replace" or "remove KEY VALUE" or "unset
// KEY", comments and blank lines; a byte order mark and CRLF line ends are taken in stride.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

// -n and -v print what changed and what did not, --json one report for the whole batch.
TEST(TarnwickTest, BatchesApplyTheirLinesInTurn) {
    const std::string sr = "smtpd_recipient_restrictions", permit = sr + " = permit_mynetworks";
    const std::string policy = "check_policy_service inet:1:2";
    const std::string batch = "printf '%s\\n' 'append " + sr + " " + policy + "' 'replace "
                              "smtpd_banner hi there' '# c' '' 'append relay_domains b' |";
    const std::string crlf = "printf '\\357\\273\\277append relay_domains c\\r\\n\\r\\n\\t# x\\r\\n"
                             "replace smtpd_banner  hi \\r\\n' |";
    const std::string changed = "changed: " + permit + ", " + policy +
                                "\nchanged: smtpd_banner = hi there\nunchanged: relay_domains\n";
    MailConfig().check({
        {.set = rd("a, b") + permit + "\n", .pipe = batch, .args = {"-n", "-f", "-"},
         .out = changed},
        {.pipe = batch, .args = {"--json", "-nf", "-"},
         .out = json("true", {{sr, "permit_mynetworks", "permit_mynetworks, " + policy},
                              {"smtpd_banner", "$myhostname ESMTP $mail_name", "hi there"},
                              {"relay_domains", "a, b", "a, b"}})},
        {.pipe = batch, .args = {"--verbose", "--file", "-"}, .out = changed,
         .after = rd("a, b") + permit + ", " + policy + "\nsmtpd_banner = hi there\n"},
        {.pipe = batch, .args = {"-vf", "-"},
         .out = "unchanged: " + sr + "\nunchanged: smtpd_banner\nunchanged: relay_domains\n"},
        {.set = rd("a, b"), .pipe = crlf, .args = {"-vf", "-"},
         .out = "changed: " + rd("a, b, c") + "changed: smtpd_banner = hi\n",
         .after = rd("a, b, c") + "smtpd_banner = hi\n"},
        {.pipe = crlf, .args = {"-vf", "-"},
         .out = "unchanged: relay_domains\nunchanged: smtpd_banner\n"},
        // Read without -h as postconf prints it: " = " inside a value, an empty value, blanks.
        {.set = rd("inline:{ a = b }") + "smtpd_helo_restrictions =\nsmtpd_banner = a  b\n",
         .pipe = "printf 'append relay_domains c\\nunset smtpd_helo_restrictions\\nreplace "
         "smtpd_banner a b\\n' |", .args = {"--json", "-nf", "-"}, .out = json("true", {{"relay_"
         "domains", "inline:{ a = b }", "inline:{ a = b }, c"}, {"smtpd_helo_restrictions", "", {}},
         {"smtpd_banner", "a b", "a b"}})},
        {.set = "my_own = b\n", .pipe = "yes '# x' | head -n 100000 |", .args = {"-f", "-"}},
        {.set = rd("a, c"), .pipe = "echo 'append --before c,d relay_domains b' |",
         .args = {"-vf", "-"}, .fails = refused("\"c,d\" is not an element of relay_domains: "
                                                "nothing written")},
        {.pipe = "echo 'append --before c relay_domains b' |", .args = {"-vf", "-"},
         .out = "changed: " + rd("a, b, c"), .after = rd("a, b, c")},
    });
}

// A batch of two replacements whose postconf check run (-x -o k=v... -h k...) needs exactly room +
// extra bytes of the exec room left by an environment of MAIL_CONFIG alone under a 1 MiB stack
// limit (exec): 256 KiB.
const std::string exec = "ulimit -s 1024; exec env -i MAIL_CONFIG=\"$MAIL_CONFIG\" \"$0\" \"$@\"";
static std::string fullBatch(const MailConfig& config, int extra) {
    const std::size_t room = 262144 - 21 - config.dir.size() + extra, big = 131057;  // k=v: 131071
    return "replace relay_domains " + std::string(big, 'x') + "\nreplace mydestination " +
           std::string(room - 180 - big, 'y') + "\n";  // 180: path twice, options, keys, pointers
}

// A bad line, a NUL byte, a batch past 16 MiB or 100000 lines (read no further) or too large for
// one postconf run, with --strict a name Postfix does not use, a list edit of mynetworks after its
// unset (Postfix's value then is not known before the write), a value postconf cannot read beside
// a good one: nothing changes. The largest batch
// one postconf run takes is written.
TEST(TarnwickTest, BadBatchesChangeNothing) {
    MailConfig config(rd("a"));
    const std::string batch = config.root + "/batch", bf = "tarnwick::BatchFileError";
    const std::string endless = ": batch larger than 16 MiB or 100000 lines", t = "timeout 5";
    const std::string largest = fullBatch(config, 0);
    const std::size_t d = config.dir.size();
    config.sh("cd " + config.root + "; printf 'append relay_domains b\\nappend relay_domain c\\n' "
              ">batch; printf '# c\\nappend k v\\nappend k\\n' >batch3; printf 'append k\\0x v\\n' "
              ">batch4; printf 'append k v\\0w' >batch5");
    std::ofstream(batch + "6") << fullBatch(config, 1);
    std::ofstream(batch + "8") << largest;
    config.check({
        {.args = {"-f", batch + "3"}, .fails = fatal(bf, batch + "3:3: expected \"append KEY "
         "VALUE\", \"replace KEY VALUE\", \"remove KEY VALUE\" or \"unset KEY\"")},
        {.pipe = "echo 'append --after a,b k a b' |", .args = {"-f", "-"},
         .fails = fatal(bf, "-:1: a value cannot be placed before or after itself")},
        {.args = {"-f", batch + "4"},
         .fails = fatal(bf, batch + "4:1: invalid parameter name: \"k\\0x\"")},
        {.args = {"-f", batch + "5"},
         .fails = fatal(bf, batch + "5:1: value of \"k\" holds a NUL byte")},
        {.args = {"-f", "/dev/zero"}, .env = t, .fails = fatal(bf, "/dev/zero" + endless)},
        {.pipe = "yes '# x' | head -n 100001 |", .args = {"-f", "-"}, .env = t,
         .fails = fatal(bf, "-" + endless)},
        {.args = {"-f", batch, "--strict"}, .fails = refused(unused("relay_domain"))},
        {.pipe = "printf 'replace relay_domains b\\nappend compatibility_level 9\\n' |",
         .args = {"-f", "-"},
         .fails = unreadable("relay_domains, compatibility_level", "macro processing error")},
        {.pipe = "printf 'replace relay_domains b\\nappend inet_interfaces 192.0.2.1\\n' |",
         .args = {"-f", "-"}, .fails = unreadable("inet_interfaces", "config variable "
         "inet_interfaces: host not found: all")},
        {.pipe = "printf 'unset mynetworks\\nappend submission/inet/mynetworks x\\n' |",
         .args = {"-nf", "-"}, .fails = refused("\"unset mynetworks\" and then \"append "
         "submission/inet/mynetworks x\" in one batch: what Postfix uses for mynetworks once it "
         "is unset is known only after the unset is written; make them two runs")},
        {.args = {"-n", "-f", batch + "6"}, .prep = exec,
         .fails = refused("the batch is too large for one postconf run (" +
                          std::to_string(262124 - d) + " bytes of arguments, the limit is " +
                          std::to_string(262123 - d) + "): split it")},
        {.args = {"-f", batch + "8"}, .prep = exec, .after = rd(std::string(131057, 'x')) +
         "mydestination = " + largest.substr(largest.rfind(' ') + 1)},
    });
}
