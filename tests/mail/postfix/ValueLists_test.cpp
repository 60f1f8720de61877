#include "mail/postfix/ValueLists.h"

#include <gtest/gtest.h>

namespace pf = kelmo::mail::postfix;

namespace {

struct ElementsCase {
    std::string value;
    std::vector<std::string> elements;
};

TEST(ValueListsTest, ElementsAreSeparatedByRunsOfBlankTabAndComma) {
    const ElementsCase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a, b", {"a", "b"}},
        {"a b\tc,d", {"a", "b", "c", "d"}},
        {"a ,\t, b", {"a", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {" ", {"", ""}},
        {"A;B", {"A;B"}},
        {"a\nb", {"a\nb"}},  // a newline is no separator
    };
    for (const ElementsCase& c : cases) {
        EXPECT_EQ(pf::listElements(c.value), c.elements) << '"' << c.value << '"';
    }
}

struct PlanCase {
    std::string key;
    std::string current;
    std::string value;
    bool write;
    std::string text;
};

TEST(ValueListsTest, AppendAddsAbsentElementsAndLeavesTheCurrentTextAsRead) {
    const PlanCase cases[] = {
        {"relay_domains", "", "a", true, "a"},
        {"relay_domains", "a, b", "b", false, ""},
        {"relay_domains", "a, b", "a", false, ""},
        {"relay_domains", "a, b", "B", true, "a, b, B"},
        {"relay_domains", "a, b", "c", true, "a, b, c"},
        {"relay_domains", "a b", "c", true, "a b, c"},
        {"relay_domains", "a,,b\tc", "d", true, "a,,b\tc, d"},
        // the value is never split: a list as value is one (absent) element
        {"relay_domains", "a, b", "a, b", true, "a, b, a, b"},
        {"relay_domains", "a, b", "a b", true, "a, b, a b"},
        // a leading separator makes an empty element, which an empty value matches
        {"relay_domains", ",a", "", false, ""},
        {"relay_domains", "a", "", true, "a, "},
        {"relay_domains", "", "", true, ""},
        {"relay_domains", "ab", "a", true, "ab, a"},
        // mynetworks is written back when present, to make the read value explicit
        {"mynetworks", "127.0.0.0/8, 192.0.2.1/32", "127.0.0.0/8", true,
         "127.0.0.0/8, 192.0.2.1/32"},
        {"mynetworks", "127.0.0.0/8", "198.51.100.0/24", true, "127.0.0.0/8, 198.51.100.0/24"},
        {"Mynetworks", "127.0.0.0/8", "127.0.0.0/8", false, ""},
    };
    for (const PlanCase& c : cases) {
        const pf::ListEdit edit = pf::planAppend(c.key, c.current, c.value);
        EXPECT_EQ(edit.write, c.write) << c.key << " \"" << c.current << "\" + \"" << c.value << '"';
        if (c.write) {
            EXPECT_EQ(edit.text, c.text) << c.key << " \"" << c.current << "\" + \"" << c.value << '"';
        }
    }
}

TEST(ValueListsTest, RemoveDropsEveryEqualElementAndRejoins) {
    const PlanCase cases[] = {
        {"", "a, b, a", "a", true, "b"},
        {"", "a", "a", true, ""},
        {"", "a b\tc", "b", true, "a, c"},
        {"", "a, b", "c", false, ""},
        {"", "a, b", "A", false, ""},
        {"", "", "a", false, ""},
        {"", "", "", false, ""},
        {"", ",a", "", true, "a"},
        {"", "a,,b", "b", true, "a"},
    };
    for (const PlanCase& c : cases) {
        const pf::ListEdit edit = pf::planRemove(c.current, c.value);
        EXPECT_EQ(edit.write, c.write) << '"' << c.current << "\" - \"" << c.value << '"';
        if (c.write) {
            EXPECT_EQ(edit.text, c.text) << '"' << c.current << "\" - \"" << c.value << '"';
        }
    }
}

struct PairCase {
    std::string current;
    std::string first;
    std::string second;
    bool write;
    std::string text;
};

TEST(ValueListsTest, AppendPairNormalisesCommaSeparatedElements) {
    const PairCase cases[] = {
        {"", "check_sender_access", "hash:/etc/x", true, "check_sender_access hash:/etc/x"},
        {"a b", "c", "d", true, "a b, c d"},
        {" a b ,, c d ,", "e", "f", true, "a b, c d, e f"},
        {"a b,  c d  ", "c", "d", false, ""},
        {"x,  c d", " c", "d ", false, ""},  // the new pair is compared trimmed...
        {"x", " c", "d ", true, "x,  c d "},   // ...and stored as given
        {"a b", "a", "B", true, "a b, a B"},
        {"a  b", "a", "b", true, "a  b, a b"},  // inner blanks count
        {",", "a", "b", true, "a b"},
    };
    for (const PairCase& c : cases) {
        const pf::ListEdit edit = pf::planAppendPair(c.current, c.first, c.second);
        EXPECT_EQ(edit.write, c.write) << '"' << c.current << "\" + \"" << c.first << ' ' << c.second << '"';
        if (c.write) {
            EXPECT_EQ(edit.text, c.text) << '"' << c.current << '"';
        }
    }
}

}  // namespace
