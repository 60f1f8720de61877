// What tarnwick refuses before it changes anything, and output it cannot write: main.cf stays.

#include <sstream>

#include "tool/ToolHarness.h"

using namespace tarnwick_test;

const std::string r = "relay_domains";
const std::string multi = refused("value of \"relay_domains\" holds a line break");

// --help and --version win over anything else; an option error or a wrong operand count prints
// its reason and the usage: four lines scripts know, README's synopsis, a pointer to the manual.
// --help names every option the parser accepts: each letter getopt does not call invalid, each
// name it lists for the prefix "" (every long option matches it).
TEST(TarnwickTest, OptionErrorsPrintTheUsage) {
    std::smatch synopsis;
    const std::string readme = slurp(TESTS_SOURCE_DIR "/../README.md");
    ASSERT_TRUE(std::regex_search(readme, synopsis, std::regex("## Usage\n\n((    .*\n)+)")));
    const std::string use =
        "Appends a given value to the specified Postfix configuration parameter\n"
        "if the given value is already set nothing is done\n"
        "usage: tarnwick [--replace] <key> <value>\n"
        "If used with --replace completely override current value instead of append\n" +
        std::regex_replace(synopsis[1].str(), std::regex("(^|\n)    "), "$1") +
        "See tarnwick(8) for every option.\n";
    const std::string ops = "you should specify key and value to set\n" + use;
    MailConfig(rd("a")).check({
        {.args = {"a", "b", "c", "--help"}, .out = use},
        {.args = {"--version", "-x"}, .out = "tarnwick " TARNWICK_VERSION "\n"},
        {.args = {"--bogus", "-h"}, .status = 1,
         .err = TARNWICK_BINARY ": unrecognized option '--bogus'\n" + use},
        {.args = {}, .status = 1, .err = ops},
        {.args = {"-n", r}, .status = 1, .err = ops},
        {.args = {"--", r, "b", "-r"}, .status = 1, .err = ops},
        {.args = {"--json", r}, .status = 1, .err = ops},
        {.args = {"-r", "-d", r, "b"}, .status = 1,
         .err = "you should not combine --replace and --remove\n" + use},
        {.args = {"-u", "-d", r}, .status = 1,
         .err = "you should not combine --unset with --replace or --remove\n" + use},
        {.args = {"-u", r, "b"}, .status = 1,
         .err = "you should specify the key to unset, and no value\n" + use},
        {.args = {"-f", "-", r}, .status = 1,
         .err = "you should give no key, value, --replace or --remove with --file\n" + use},
        {.args = {"-r", "--before", "a", r, "b"}, .status = 1,
         .err = "you should give --before or --after with an append only\n" + use},
        {.args = {"--after", "a", "--before", "b", r, "c"}, .status = 1,
         .err = "you should give one --before or --after\n" + use},
        {.args = {"--after", "a,b", r, "a b"}, .status = 1,
         .err = "you should not place a value before or after itself\n" + use},
        {.args = {"-w", "1s", r, "b"}, .status = 1,
         .err = "invalid number of seconds to wait: \"1s\"\n" + use},
    });
    const Outcome accepted = MailConfig().sh(
        "for c in $(echo abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 | fold -w1)"
        "; do " TARNWICK_BINARY " -$c 2>&1 | grep -q 'invalid option' || echo ' -'$c; done; "
        TARNWICK_BINARY " --= 2>&1 | grep -o \"'--[a-z-]*'\" | tr \"'\" ' '");
    const std::string help = " " + std::regex_replace(use, std::regex("[\\[\\]|\n]"), " ") + " ";
    ASSERT_NE(accepted.out.find(" --replace "), std::string::npos) << accepted.out;
    std::istringstream names(accepted.out);
    for (std::string name; names >> name;)
        EXPECT_NE(help.find(" " + name + " "), std::string::npos) << name;
}

// Refused, the report on both streams: names postconf would misread or past ASCII, with --strict
// a name Postfix does not use, a value with a line break or longer than a postconf argument holds.
TEST(TarnwickTest, NamesAndValuesPostfixWouldMisreadAreRefused) {
    const std::string name = "invalid parameter name: \"";
    MailConfig config(rd("a"));
    std::ofstream(config.root + "/long") << std::string(131058, 'x');  // too long for sh -c's line
    config.check({
        {.args = {"-n", "", "v"}, .fails = refused(name + "\"")},
        {.args = {"-n", "#k", "v"}, .fails = refused(name + "#k\"")},
        {.args = {"-n", "caf\xe9", "b"}, .fails = refused(name + "caf\xe9\"")},
        {.args = {"tarnwick_reference", "v"}, .fails = refused(name + "tarnwick_reference\"")},
        {.args = {"--strict", "-r", "relay_domain", "b"}, .fails = refused(unused("relay_domain"))},
        {.args = {"-n", "-r", r, "b\nc"}, .fails = multi},
        {.prep = "exec \"$0\" -nr " + r + " \"$(cat " + config.root + "/long)\"",
         .fails = refused("value of \"relay_domains\" is 131058 bytes; one postconf argument holds "
                          "at most 131071")},
    });
}

// Output lost to a full device or a closed pipe fails the run, which says so on stderr; a report
// asked for with standard output closed, before anything runs.
TEST(TarnwickTest, OutputThatCannotBeWrittenFailsTheRun) {
    MailConfig config(rd("a"));
    const std::string full = "exec >/dev/full", fifo = config.root + "/fifo";
    const std::string lost = "tarnwick: write error: No space left on device\n";
    const std::string closed = "tarnwick: standard output is closed; the report would be lost\n";
    config.sh("mkfifo " + fifo);
    config.check({
        {.args = {"-n", r, "b"}, .prep = full, .status = 1, .err = lost},
        {.args = {"--help"}, .prep = full, .status = 1, .err = lost},
        {.args = {"--version"}, .prep = full, .status = 1, .err = lost},
        {.args = {"-r", r, "b\nc"}, .prep = full, .status = 1, .err = multi + lost},
        {.args = {"-n", r, "b"}, .prep = "trap '' PIPE; exec 3<>" + fifo + " >" + fifo + " 3<&-",
         .status = 1, .err = "tarnwick: write error: Broken pipe\n"},
        {.args = {"-v", r, "b"}, .prep = "exec >&-", .status = 1, .err = closed},
        {.args = {"-n", r, "b"}, .prep = "exec >&-", .status = 1, .err = closed},
        {.args = {"--json", r, "b"}, .prep = "exec >&-", .status = 1, .err = closed},
    });
}
