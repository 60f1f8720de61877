#include "mail/postfix/ValueLists.h"

#include <gtest/gtest.h>

namespace pf = kelmo::mail::postfix;

namespace {

TEST(ValueListsTest, ElementsAreSeparatedByRunsOfBlankTabAndComma) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}}, {"a", {"a"}}, {"a b\tc,d", {"a", "b", "c", "d"}}, {"a ,\t, b", {"a", "b"}},
        {",a", {"", "a"}}, {"a,", {"a", ""}}, {" ", {"", ""}}, {"A;B", {"A;B"}}, {"a\nb", {"a\nb"}},
    };
    for (const auto& [value, elements] : cases)
        EXPECT_EQ(pf::listElements(value), elements) << value;
}

// op 'a': planAppend(key, current, x); 'r': planRemove(current, x);
// 'p': planAppendPair(current, x, y). text "-" means nothing is written.
TEST(ValueListsTest, AppendRemoveAndPairPlans) {
    // clang-format off
    const struct { char op; std::string current, x, y, text, key = "relay_domains"; } cases[] = {
        {'a', "", "a", "", "a"}, {'a', "a, b", "b", "", "-"}, {'a', "a, b", "B", "", "a, b, B"},
        {'a', "a,,b\tc", "d", "", "a,,b\tc, d"},  // the current text stays as read
        // a value with separators is present as a consecutive run of its non-empty elements
        {'a', "x, a b", "a b", "", "-"}, {'a', "b, a", "a b", "", "b, a, a b"}, {'a', "a x b", "a,b", "", "a x b, a,b"},
        {'a', "a", " a,", "", "-"}, {'a', "a", ", ", "", "-"}, {'a', "p q, r", "q\tr", "", "-"},
        {'r', "a, b c, d, b c", "b c", "", "a, d"}, {'r', "a b a b a", "a b a", "", "b, a"},
        {'r', "b a c", "a b", "", "-"}, {'r', "a, b", ", ", "", "-"}, {'r', "a, b", " b,", "", "a"},
        {'a', ",a", "", "", "-"}, {'a', "a", "", "", "a, "}, {'a', "", "", "", ""}, {'a', "ab", "a", "", "ab, a"},
        // mynetworks is written back when present, making the value read explicit
        {'a', "127.0.0.0/8, 192.0.2.1/32", "127.0.0.0/8", "", "127.0.0.0/8, 192.0.2.1/32", "mynetworks"},
        {'a', "127.0.0.0/8", "192.0.2.0/24", "", "127.0.0.0/8, 192.0.2.0/24", "mynetworks"},
        {'a', "127.0.0.0/8", "127.0.0.0/8", "", "-", "Mynetworks"},
        {'r', "a, b, a", "a", "", "b"}, {'r', "a", "a", "", ""}, {'r', "a b\tc", "b", "", "a, c"},
        {'r', "a, b", "A", "", "-"}, {'r', "", "", "", "-"}, {'r', ",a", "", "", "a"}, {'r', "a,,b", "b", "", "a"},
        {'p', "", "check", "hash:/x", "check hash:/x"}, {'p', " a b ,, c d ,", "e", "f", "a b, c d, e f"},
        {'p', "a b,  c d  ", "c", "d", "-"}, {'p', "x,  c d", " c", "d ", "-"},  // compared trimmed,
        {'p', "x", " c", "d ", "x,  c d "},  // stored as given
        {'p', "a b", "a", "B", "a b, a B"}, {'p', "a  b", "a", "b", "a  b, a b"}, {'p', ",", "a", "b", "a b"},
    };
    // clang-format on
    for (const auto& c : cases) {
        const pf::ListEdit edit = c.op == 'p'   ? pf::planAppendPair(c.current, c.x, c.y)
                                  : c.op == 'r' ? pf::planRemove(c.current, c.x)
                                                : pf::planAppend(c.key, c.current, c.x);
        EXPECT_EQ(edit.write ? edit.text : "-", c.text) << c.op << " '" << c.current << "' " << c.x;
        EXPECT_TRUE(edit.write || edit.text.empty());
    }
}

// A batch applies each edit to the result of the one before; with compare a parameter is written
// only when its final text differs from the value read.
TEST(ValueListsTest, BatchPlansInOrderOfFirstMention) {
    using E = pf::ValueEdit;
    const std::vector<E> batch{{E::Append, "k", "x"}, {E::Remove, "j", "z"}, {E::Replace, "m", "v"},
                               {E::Append, "k", "y z"}, {E::Append, "j", "w"}, {E::Remove, "k", "a"}};
    const std::vector<E> undone{{E::Append, "k", "x"}, {E::Remove, "k", "x"}};
    const std::vector<E> lo{{E::Append, "mynetworks", "127.0.0.0/8"}};
    const pf::Readings kjm{{{"k", "a"}, {"j", "z, w"}, {"m", "v"}}, "", ""}, ab{{{"k", "a, b"}}, "", ""};
    const pf::Readings implicit{{{"mynetworks", "127.0.0.0/8 10.0.0.0/8"}}, "127.0.0.0/8 10.0.0.0/8", "127.0.0.0/8"};
    const pf::Readings explicitLo{{{"mynetworks", "127.0.0.0/8"}}, "127.0.0.0/8 10.0.0.0/8", "127.0.0.0/8"};
    // plans: "key=text" when written, "key" when not
    // clang-format off
    const struct { std::vector<E> edits; pf::Readings readings; bool compare; std::vector<std::string> plans; } cases[] = {
        {batch, kjm, true, {"k=x, y, z", "j=w", "m"}}, {batch, kjm, false, {"k=x, y, z", "j=w", "m=v"}},
        {undone, ab, true, {"k"}}, {undone, ab, false, {"k=a, b"}},
        {lo, implicit, true, {"mynetworks=127.0.0.0/8"}}, {lo, explicitLo, true, {"mynetworks"}},
        {lo, explicitLo, false, {"mynetworks=127.0.0.0/8"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::vector<std::string> plans;
        for (const pf::ParameterPlan& plan : pf::planEdits(c.edits, c.readings, c.compare))
            plans.push_back(plan.write ? plan.key + "=" + plan.text : plan.key);
        EXPECT_EQ(plans, c.plans) << c.plans[0] << " " << c.compare;
    }
    EXPECT_EQ(pf::keysToRead(batch, false), (std::vector<std::string>{"k", "j"}));
    EXPECT_EQ(pf::keysToRead(batch, true), (std::vector<std::string>{"k", "j", "m"}));
}

}  // namespace
