#include <gtest/gtest.h>

#include "mail/postfix/PostfixConfiguration.h"

namespace {

using kelmo::mail::postfix::PostfixConfiguration;

struct DiagnosticsCase {
    std::string text;
    bool clean;
};

TEST(DiagnosticsTest, OnlyASeverityWordInTheSecondFieldIsAnError) {
    const DiagnosticsCase cases[] = {
        {"", true},
        {"postconf: warning: open /x/master.cf: No such file or directory\n", true},
        {"postconf: fatal: open /x/main.cf: No such file or directory\n", false},
        {"postconf: error: something\n", false},
        {"postconf: panic: something", false},  // last line without newline counts
        {"postconf:    fatal: several blanks\n", false},
        {"postconf: fatal:", false},            // ends right after the word
        {"postconf: fatal:\n", false},
        {"postconf: fatal\n", true},            // no colon after the word
        {"postconf: fatal but no colon\n", true},
        {"fatal: first field only\n", true},
        {"fatal: nothing after\n", true},
        {"postconf: Fatal: case matters\n", true},
        {"postconf:fatal: no blank needed\n", false},
        {"postconf:\tfatal: only the space is a blank\n", true},
        {"postconf: notice: x\npostconf: fatal: y\n", false},
        {"postconf: warning: a\npostconf: warning: b\n", true},
        {"postconf:\n", true},
        {"postconf: \n", true},
        {"postconf:  f\n", true},               // severity start is the line's last character
        {"postconf: fatal", true},
        {"x: y: fatal: z\n", true},             // third field does not count
        {"\n\n\n", true},
        {"a: fatal:\rb\n", false},
    };
    for (const DiagnosticsCase& c : cases) {
        EXPECT_EQ(PostfixConfiguration::isCleanDiagnostics(c.text), c.clean) << '"' << c.text << '"';
    }
}

}  // namespace
