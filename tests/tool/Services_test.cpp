// Service settings: "service/type/name" stands for the service's "-o name=value" in master.cf.

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

// A setting the service lacks starts from main.cf's value and is joined with "," alone; postconf
// -P rewrites the service's entry (below the comment). -u removes what is set (a value Postfix
// hides too) and leaves alone what is not; a dry run leaves both files byte for byte. Refused: a
// commented-out service, a blank or an inner carriage return (postconf -P trims one at the end),
// '*' (it matches several services), with --strict a name Postfix does not use; an edit of a
// service master.cf lacks, also one that would change nothing.
TEST(TarnwickTest, ServiceSettingsAndUnset) {
    const std::string sr = "smtpd_recipient_restrictions", s = "submission/inet/" + sr;
    const std::string smtps = "#smtps inet n - y - - smtpd\n", r = "relay_domains";
    const std::string sasl = "permit_sasl_authenticated", ur = "reject_unauth_destination";
    const std::string main = sr + " = permit_mynetworks, " + ur + "\n", kept = ur + "," + sasl;
    const std::string sub =
        smtps + "submission inet  n       -       y       -       -       smtpd\n";
    const std::string o = sub + "    -o " + sr + "=", added = "permit_mynetworks," + kept;
    const std::string no = refused("master.cf has no service \"smtps/inet\"");
    const std::string blank = "a master.cf service setting cannot hold blanks: \"b";
    const std::string define = "\"; define it as a main.cf parameter and refer to it as $name";
    const std::string expr = "$mydestination, x";  // relay_domains below level 2
    const std::string start = main + "smtpd_banner = hi\n", done = sr + " = " + ur;
    const std::string cr = "smtpd_client_restrictions=$mua", un = "unchanged: submission/inet";
    const std::string mua = sub + "    -o " + cr + "\n", s2 = "submission/inet/" + cr.substr(0, 25);
    const std::string edited = mua + "    -o " + sr + "=" + ur + ",y\n";
    const std::string batch = "printf '%s\\n' 'append " + r + " x' 'remove " + sr +
                              " permit_mynetworks' 'unset smtpd_banner' 'append " + s + " y' |";
    const std::string e = "smtps      inet  n       -       y       -       -       smtpd";
    const std::string n = smtps + "submission inet  n       -       n       -       -       smtpd\n"
        "    -o " + cr + ",x\n";
    const std::string fold = "printf '%s\\n' 'replace submission/inet submission inet n - y - - "
        "smtpd -o " + cr + "' 'replace submission/inet/chroot n' 'append " + s2 + " x' |";
    MailConfig config;
    const std::string rep = config.root + "/report";
    config.set(smtps + "submission inet n - y - - smtpd\n", "master.cf");
    config.check({
        {.set = rd("a"), .args = {"-r", "smtps/inet/" + r, "b"}, .fails = no},
        {.args = {"-n", "-r", "smtps/inet/" + r, "b \r"}, .fails = no},
        {.args = {"-vu", "smtps/inet/" + r}, .fails = no},
        {.args = {"-n", "-d", "smtps/inet/" + r, "b"}, .fails = no},
        {.args = {"smtp/inet/" + r, "b c"}, .fails = refused(blank + " c" + define)},
        {.args = {"-n", "-r", "smtp/inet/" + r, "b\rc"}, .fails = refused(blank + "\rc" + define)},
        {.args = {"-n", "-r", "*/inet/" + r, "b"},
         .fails = refused("invalid parameter name: \"*/inet/relay_domains\"")},
        {.args = {"--strict", "-n", "smtps/inet/relay_domain", "b"},
         .fails = refused(unused("relay_domain"))},
        {.set = main + rd("a"), .args = {"-v", s, sasl}, .out = "changed: " + s + " = " + added +
         "\n", .master = o + added + "\n"},
        {.args = {s, sasl}},
        {.args = {"-d", s, "permit_mynetworks"}, .master = o + kept + "\n"},
        {.pipe = "printf '%s\\n' 'unset relay_domains' 'append " + s + " x' |",
         .args = {"-nf", "-"},
         .out = "changed: relay_domains (unset)\nchanged: " + s + " = " + kept + ",x\n"},
        {.args = {"-r", s, "reject"}, .master = o + "reject\n"},
        {.args = {"-r", s, "$(x"}, .fails = unreadable(s, "macro processing error")},
        {.args = {"--unset", "-v", s}, .out = "changed: " + s + " (unset)\n", .master = sub},
        {.args = {"-vu", s}, .out = "unchanged: " + s + "\n"},
        // Not set: no value of its own before, none after unless written.
        {.args = {"--json", "-n", s, "permit_mynetworks"}, .out = json("true", {{s, {}, {}}})},
        {.args = {"--json", "-n", s, "x"},
         .out = json("true", {{s, {}, "permit_mynetworks,reject_unauth_destination,x"}})},
        {.pipe = "printf '%s\\n' 'replace " + sr + " reject' 'append " + s + " x' |",
         .args = {"-nf", "-"},
         .out = "changed: " + sr + " = reject\nchanged: " + s + " = reject,x\n",
         .err = "tarnwick: warning: " + s + ": \"x\" follows \"reject\", where Postfix always "
                "stops: it is never reached; place it with --before reject\n"},
        {.args = {"--json", "-nu", r}, .out = json("true", {{r, "a", {}}})},
        {.args = {"--un", r}, .after = main},
        {.args = {"-vu", r}, .out = "unchanged: relay_domains\n"},
        {.set = main + rd("a") + "mua = x\n", .args = {"-vu", "mua"},
         .out = "changed: mua (unset)\n", .err = "tarnwick: warning: " + unused("mua") + "\n",
         .after = main + rd("a")},
        // A name a setting refers to is used, though not set: no warning, --strict accepts it.
        {.args = {"-r", "submission/inet/smtpd_client_restrictions", "$mua"},
         .master = sub + "    -o smtpd_client_restrictions=$mua\n"},
        {.args = {"--strict", "mua", "x"}, .after = main + rd("a") + "mua = x\n"},
        {.set = main + "smtpd_restriction_classes = cls\n", .args = {"--strict", "cls", "x"},
         .after = main + "smtpd_restriction_classes = cls\ncls = x\n"},
        // SERVICE/TYPE is the entry as postconf -M prints it, -o settings and all; postconf -M -e
        // adds a new one after a commented one, -M# comments it out. SERVICE/TYPE/FIELD is a field.
        {.args = {"-vr", "submission/inet", sub.substr(28, 62) + " -o " + cr}, .out = un + "\n"},
        {.args = {"-r", "smtps/inet/chroot", "n"}, .fails = no},
        {.args = {"-r", "smtps/inet", "smtps inet n - y - - smtpd"}, .master = mua + e + "\n"},
        {.pipe = fold, .args = {"-vf", "-"}, .out = "changed: submission/inet = submission inet n -"
         " n - - smtpd -o " + cr + ",x\nchanged: submission/inet/chroot = n\nchanged: " + s2 + " = "
         "$mua,x\n", .master = n + e + "\n"},
        {.pipe = fold, .args = {"-vf", "-"}, .out = un + "\nunchanged: submission/inet/chroot\n"
         "unchanged: " + s2 + "\n"},
        {.args = {"--json", "-u", "smtps/inet"}, .out = json("false", {{"smtps/inet",
         "smtps inet n - y - - smtpd", {}}}), .master = n + "#" + e + "\n"},
        {.args = {"-vu", "smtps/inet"}, .out = "unchanged: smtps/inet\n"},
        {.args = {"-n", "smtps/inet", "x"},
         .fails = refused("a master.cf service entry is set whole: use --replace")},
        {.args = {"-nd", "smtps/inet/chroot", "n"}, .fails = refused("a master.cf service field is "
         "set with --replace alone (\"-\" for its default)")},
        {.args = {"-nr", "smtps/inet/command", "smtpd"}, .fails = refused("\"smtps/inet/command\": "
         "the service, type and command are set with the whole entry: use --replace smtps/inet")},
        {.args = {"-nr", "smtps/inet", "smtps inet n - y - -"}, .fails = refused("the entry of \""
         "smtps/inet\" needs at least eight fields: SERVICE TYPE PRIVATE UNPRIV CHROOT WAKEUP "
         "MAXPROC COMMAND [ARGS]")},
        {.args = {"-nr", "smtps/inet", "smtp inet n - y - - smtpd"}, .fails = refused("the entry "
         "of \"smtps/inet\" must begin with \"smtps inet\", not \"smtp inet\"")},
        {.args = {"-nr", "smtps/inet/chroot", ""}, .fails = refused("the chroot field of \"smtps/"
         "inet\" takes y, n or -, not \"\"")},
        {.pipe = "printf 'replace smtps/inet/chroot n\\nunset smtps/inet\\n' |",
         .args = {"-nf", "-"}, .fails = refused("\"replace smtps/inet/chroot n\" and then \"unset "
         "smtps/inet\" in one batch: a service's fields and settings follow the replacement of its "
         "entry, never its unset; make them two runs")},
    });
    config.set(mua, "master.cf");
    config.check({
        // Undone from its --json report, a batch leaves both files as they were (relay_domains not
        // set, not set to its default); that undo undone (-c naming the directory), as the batch
        // left them; nothing undone where a parameter has changed since.
        {.set = start, .pipe = batch, .args = {"--json", "-f", "-"}, .prep = "exec >" + rep + "1",
         .after = done + "\n" + rd(expr), .master = edited},
        {.args = {"--json", "--undo", rep + "1"}, .prep = "exec >" + rep + "2", .after = start,
         .master = mua},
        {.args = {"-vc", config.dir, "--undo", rep + "2"}, .env = "MAIL_CONFIG=" + config.root,
         .out = "changed: " + rd(expr) + "changed: " + done + "\nchanged: smtpd_banner (unset)\n"
         "changed: " + s + " = " + ur + ",y\n", .after = done + "\n" + rd(expr),
         .master = edited},
        {.set = done + "\nsmtpd_banner = hey\n", .args = {"--undo", rep + "1"},
         .fails = refused("changed since the report, nothing undone: " + r + " (\"" + expr +
         "\" is now (not set)), smtpd_banner ((not set) is now \"hey\")")},
    });
    EXPECT_EQ(config.locks(), std::vector{config.md5(config.mainCfPath)});  // the one lock
}
