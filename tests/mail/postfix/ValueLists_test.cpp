#include "mail/postfix/ValueLists.h"

#include <gtest/gtest.h>

namespace pf = kelmo::mail::postfix;

namespace {

const std::string kExpr = "${{$compatibility_level} <level {2} ? {$mydestination} : {}}";

// op 'a': planAppend(current, x); 'r': planRemove(current, x);
// 'p': planAppendPair(current, x + " " + y); 'b', 'f': planPlace(current, x, y) before, after.
// text "-" means nothing is written, "?" that the anchor y is not there.
TEST(ValueListsTest, AppendRemoveAndPairPlans) {
    // clang-format off
    const struct { char op; std::string current, x, y, text; } cases[] = {
        {'a', "", "a", "", "a"}, {'a', "a, b", "b", "", "-"}, {'a', "a, b", "B", "", "a, b, B"}, {'a', "ab", "a", "", "ab, a"},
        {'a', "a,,b\tc", "d", "", "a,,b\tc, d"},  // the current text stays as read
        // a value with separators is present as a consecutive run of its non-empty elements
        {'a', "x, a b", "a b", "", "-"}, {'a', "b, a", "a b", "", "b, a, a b"}, {'a', "a", " a,", "", "-"}, {'a', "a", ", ", "", "-"},
        {'r', "a, b c, d, b c", "b c", "", "a, d"}, {'r', "a b a b a", "a b a", "", "b, a"}, {'r', "b a c", "a b", "", "-"},
        {'r', "a, b", " b,", "", "a"}, {'r', "a, b, a", "a", "", "b"}, {'r', "a", "a", "", ""}, {'r', "a, b", "A", "", "-"},
        // separators inside balanced braces do not split; an unclosed '{' runs to the end
        {'r', kExpr + ", example.org", "example.org", "", kExpr}, {'r', "inline:{ a, b }, c", "b", "", "-"},
        {'r', "p, c inline:{ { a@b = REJECT x } }", "p", "", "c, inline:{ { a@b = REJECT x } }"},
        {'a', "c inline:{ { 192.0.2.1 = reject } }", "reject", "", "c inline:{ { 192.0.2.1 = reject } }, reject"},
        {'r', "a} b, {c, d", "a}", "", "b, {c, d"}, {'r', "a, {b, c", "c", "", "-"}, {'p', "x, c {a, b}", "c", "{a, b}", "-"},
        {'p', "", "check", "hash:/x", "check hash:/x"}, {'p', " a b ,, c d ,", "e", "f", "a b, c d, e f"},
        {'p', "x,  c d", " c", "d ", "-"}, {'p', "x", " c", "d ", "x,  c d "},  // compared trimmed, stored as given
        // placed: the rest stays as read; a value that stands elsewhere moves, once
        {'b', "p, r", "s", "r", "p, s, r"}, {'b', "a, x, b", "x", "b", "-"},
        {'b', "a, b, x", "x", "b", "a, x, b"}, {'f', "c h:/x, r", "d", "c,h:/x", "c h:/x, d, r"},
        {'f', "x, a", "x", "a", "a, x"}, {'f', "a, x", "x", "a", "-"},
        {'b', "a", "x", "z", "?"}, {'b', "a,,b", "x", "", "?"},
    };
    // clang-format on
    for (const auto& c : cases) {
        bool found = true;
        const pf::Place place = c.op == 'b' ? pf::Place::Before : pf::Place::After;
        const pf::ListEdit edit = c.op == 'b' || c.op == 'f'
                                      ? pf::planPlace(c.current, c.x, c.y, place, found)
                                  : c.op == 'p' ? pf::planAppendPair(c.current, c.x + " " + c.y)
                                  : c.op == 'r' ? pf::planRemove(c.current, c.x)
                                                : pf::planAppend(c.current, c.x);
        EXPECT_EQ(!found ? "?" : edit.write ? edit.text : "-", c.text) << c.op << " '" << c.current << "' " << c.x;
    }
}

// A default that depends on compatibility_level, as postconf prints it, and levels compared as
// Postfix compares them.
TEST(ValueListsTest, CompatibilityDefaultsAndLevels) {
    const std::string start = "${{$compatibility_level} <level {1} ? {} : ";
    const auto expr = pf::compatibilityDefault(start + "{a, {b c}}}");
    ASSERT_TRUE(expr);
    EXPECT_EQ(expr->level + "|" + expr->below + "|" + expr->otherwise, "1||a, {b c}");
    EXPECT_FALSE(pf::compatibilityDefault(start + "{a}}, b"));
    const struct { std::string configured, level; bool below; } levels[] = {
        {"3.6", "3.10", true}, {"3.10", "3.6", false}, {"2", "2.0", false}, {"1.9", "2", true}};
    for (const auto& l : levels) EXPECT_EQ(pf::levelBelow(l.configured, l.level), l.below) << l.level;
}

}  // namespace
