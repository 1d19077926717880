// The two server lists of the automatic update, read to their edges. How a
// release is chosen and how the prompts read their answers is checked end to
// end (tests/e2e/test_auto.py).
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "action-auto.h"

namespace {

struct entry {
    int32_t version, size;
    std::string file, label;
};

void expect_manifest(const std::string& text, const std::vector<entry>& expected)
{
    const auto m = auto_parse_manifest(text);
    ASSERT_EQ(m.size(), expected.size()) << text;
    for (size_t i = 0; i < m.size(); ++i) {
        EXPECT_EQ(m[i].version, expected[i].version) << text;
        EXPECT_EQ(m[i].size, expected[i].size) << text;
        EXPECT_EQ(m[i].file, expected[i].file) << text;
        EXPECT_EQ(m[i].label, expected[i].label) << text;
    }
}

TEST(Manifest, LinesFieldsAndTheirLimits)
{
    expect_manifest(
        "215,hub-2.15.ufw,120000,Stable release\n  +7,a,  42x,x\n-3,b,-9,\n",
        {{215, 120000, "hub-2.15.ufw", "Stable release"}, {7, 42, "a", "x"}, {-3, -9, "b", ""}});
    // Lines without three commas are skipped.
    expect_manifest(
        "\r\n100,a.ufw,10,one\n\n\n200,b.ufw,20\r\nno commas\n300,c.ufw,30,three\n400,d.ufw,",
        {{100, 10, "a.ufw", "one"}, {300, 30, "c.ufw", "three"}});
    // The comma that ends a field is searched from the field's second character.
    expect_manifest("215,,100,label,more\n", {{215, 0, ",100", "more"}});
    expect_manifest("1,f,,x,tail\n", {{1, 0, "f", "tail"}});
    for (const char* text : {"215,,100\n", "215,\n", "215,a,\n"})
        expect_manifest(text, {});
    expect_manifest("1," + std::string(80, 'f') + ",9," + std::string(40, 'L') + "\n",
                    {{1, 9, std::string(63, 'f'), std::string(31, 'L')}});
    expect_manifest(std::string("1,a,2,x\n3,b,4,y\0"
                                "5,c,6,z\n",
                                24),
                    {{1, 2, "a", "x"}, {3, 4, "b", "y"}});
    expect_manifest("4294967297,a,99999999999999999999,x\n-99999999999,b,-4294967295,y\n",
                    {{INT32_MAX, INT32_MAX, "a", "x"}, {INT32_MIN, INT32_MIN, "b", "y"}});
}

// A label is shown in the release list: no control character may reach the terminal.
TEST(Manifest, LabelsLoseOneLineEndCrAndShowControlCharactersAsQuestionMarks)
{
    expect_manifest("1,a,2,Beta\r\n", {{1, 2, "a", "Beta"}});
    expect_manifest("1,a,2,\x1b[2J\x7f\tok\n", {{1, 2, "a", "?[2J??ok"}});
    expect_manifest("1,a,2,x\r\r\n", {{1, 2, "a", "x?"}});
    expect_manifest("1,a,2,caf\xc3\xa9\n", {{1, 2, "a", "caf\xc3\xa9"}});
}

TEST(StableList, EveryNonEmptyLineMakesAnEntryOfSixteenBitNumbers)
{
    const auto s =
        auto_parse_stable_list("1030,215\n\r\n  0X1a2B,7\r\nnot hex\n1050\n0x,5\n1050,x\n,9\n\n"
                               "11030,70000\n-1,+5\n1030 ,5\n1030, -1\nfffffffffffffffffffff,1\n");
    const std::pair<uint16_t, uint16_t> expected[] = {
        {0x1030, 215},
        {0x1A2B, 7},
        {0, 0},
        {0x1050, 0}, // no hex number; no comma
        {0, 5},
        {0x1050, 0},
        {0, 0}, // "0x" reads as 0, then the comma matches
        {0x1030, 70000 - 65536},
        {0xFFFF, 5},
        {0x1030, 0}, // a blank before the comma stops the line
        {0x1030, 0xFFFF},
        {0xFFFF, 1},
    };
    ASSERT_EQ(s.size(), std::size(expected));
    for (size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i].hwid, expected[i].first) << i;
        EXPECT_EQ(s[i].version, expected[i].second) << i;
    }
}

} // namespace
