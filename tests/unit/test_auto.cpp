// The automatic update's pure parts: the two server lists, the release chosen
// by rule, version texts and the reading of a choice from standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "action-auto.h"

namespace {

// ---- Manifest ----

TEST(Manifest, FieldsAreReadInLineOrder)
{
    const auto m = auto_parse_manifest("215,hub-2.15.ufw,120000,Stable release\n"
                                       "  +7,a,  42x,x\n"
                                       "-3,b,-9,\n");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].version, 215);
    EXPECT_EQ(m[0].file, "hub-2.15.ufw");
    EXPECT_EQ(m[0].size, 120000);
    EXPECT_EQ(m[0].label, "Stable release");
    EXPECT_EQ(m[1].version, 7);
    EXPECT_EQ(m[1].size, 42);
    EXPECT_EQ(m[2].version, -3);
    EXPECT_EQ(m[2].size, -9);
    EXPECT_EQ(m[2].label, "");
}

TEST(Manifest, LinesWithoutThreeCommasAreSkipped)
{
    const auto m = auto_parse_manifest("\r\n100,a.ufw,10,one\n\n\n200,b.ufw,20\r\n"
                                       "no commas\n300,c.ufw,30,three\n400,d.ufw,");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].file, "a.ufw");
    EXPECT_EQ(m[1].version, 300);
    EXPECT_EQ(m[1].file, "c.ufw");
}

// The comma that ends a field is searched from the field's second character.
TEST(Manifest, AnEmptyFieldTakesTheNextComma)
{
    auto m = auto_parse_manifest("215,,100,label,more\n");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].file, ",100");
    EXPECT_EQ(m[0].size, 0); // "label" read as a number
    EXPECT_EQ(m[0].label, "more");
    m = auto_parse_manifest("1,f,,x,tail\n");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].size, 0);
    EXPECT_EQ(m[0].label, "tail");
    EXPECT_TRUE(auto_parse_manifest("215,,100\n").empty());
    EXPECT_TRUE(auto_parse_manifest("215,\n").empty());
    EXPECT_TRUE(auto_parse_manifest("215,a,\n").empty());
}

TEST(Manifest, LongFieldsAreCut)
{
    const std::string label40(40, 'L');
    const std::string file80(80, 'f');
    const auto m = auto_parse_manifest("1," + file80 + ",9," + label40 + "\n");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].file, file80.substr(0, 63));
    EXPECT_EQ(m[0].label, label40.substr(0, 31));
}

// A label is shown in the release list: no control character may reach the terminal.
TEST(Manifest, LabelsLoseOneLineEndCrAndShowControlCharactersAsQuestionMarks)
{
    const struct {
        const char* line;
        const char* label;
    } cases[] = {{"1,a,2,Beta\r\n", "Beta"},
                 {"1,a,2,\x1b[2J\x7f\tok\n", "?[2J??ok"},
                 {"1,a,2,x\r\r\n", "x?"},
                 {"1,a,2,caf\xc3\xa9\n", "caf\xc3\xa9"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto m = auto_parse_manifest(c.line);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0].label, c.label);
    }
}

TEST(Manifest, TextEndsAtItsFirstNul)
{
    const std::string text("1,a,2,x\n3,b,4,y\0" "5,c,6,z\n", 24);
    EXPECT_EQ(auto_parse_manifest(text).size(), 2u);
}

TEST(Manifest, NumbersPastThe32BitRangeStopAtItsEnds)
{
    const auto m = auto_parse_manifest("4294967297,a,99999999999999999999,x\n"
                                       "-99999999999,b,-4294967295,y\n");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].version, INT32_MAX);
    EXPECT_EQ(m[0].size, INT32_MAX);
    EXPECT_EQ(m[1].version, INT32_MIN);
    EXPECT_EQ(m[1].size, INT32_MIN);
}

// ---- Stable list ----

TEST(StableList, EveryNonEmptyLineMakesAnEntry)
{
    const auto s = auto_parse_stable_list("1030,215\n\r\n  0X1a2B,7\r\nnot hex\n1050\n"
                                          "0x,5\n1050,x\n,9\n\n");
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(s[0].hwid, 0x1030);
    EXPECT_EQ(s[0].version, 215);
    EXPECT_EQ(s[1].hwid, 0x1A2B);
    EXPECT_EQ(s[1].version, 7);
    EXPECT_EQ(s[2].hwid, 0);     // no hex number: nothing read
    EXPECT_EQ(s[2].version, 0);
    EXPECT_EQ(s[3].hwid, 0x1050); // no comma: no version
    EXPECT_EQ(s[3].version, 0);
    EXPECT_EQ(s[4].hwid, 0);      // "0x" reads as 0, then the comma matches
    EXPECT_EQ(s[4].version, 5);
    EXPECT_EQ(s[5].version, 0);
    EXPECT_EQ(s[6].hwid, 0);
    EXPECT_EQ(s[6].version, 0);
}

TEST(StableList, NumbersWrapToSixteenBits)
{
    const auto s = auto_parse_stable_list("11030,70000\n-1,+5\n1030 ,5\n1030, -1\n"
                                          "fffffffffffffffffffff,1\n");
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0].hwid, 0x1030);
    EXPECT_EQ(s[0].version, 70000 - 65536);
    EXPECT_EQ(s[1].hwid, 0xFFFF);
    EXPECT_EQ(s[1].version, 5);
    EXPECT_EQ(s[2].version, 0); // a blank before the comma stops the line
    EXPECT_EQ(s[3].version, 0xFFFF);
    EXPECT_EQ(s[4].hwid, 0xFFFF);
}

// ---- The release chosen without asking ----

std::vector<auto_manifest_entry> releases(std::initializer_list<int32_t> versions)
{
    std::vector<auto_manifest_entry> m;
    for (int32_t v : versions) {
        m.emplace_back();
        m.back().version = v;
        m.back().file = "fw" + std::to_string(v);
    }
    return m;
}

// Each hub gets the release named for its own id, or none.
TEST(ReleaseByRule, TheStableVersionOfTheHubsIdOrNone)
{
    const auto m = releases({300, 215, 210, 215});
    const auto s = auto_parse_stable_list("1020,300\n1030,215\n1030,210\n1050,0\n1080,999\n");
    const struct {
        uint16_t hwid;
        int expected; // index into m, -1 for none
    } cases[] = {{0x1030, 1},   // first line and first entry count
                 {0x1020, 0},
                 {0x1011, -1},  // no line for the id
                 {0x1050, -1},  // version 0
                 {0x1080, -1}}; // a version no release carries
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hwid);
        EXPECT_EQ(auto_choose_release(m, s, c.hwid), c.expected < 0 ? nullptr : &m[c.expected]);
    }
    EXPECT_EQ(auto_choose_release(m, {}, 0x1030), nullptr);
    EXPECT_EQ(auto_choose_release({}, s, 0x1030), nullptr);
}

TEST(VersionText, MajorAndTwoMinorDigits)
{
    EXPECT_EQ(auto_format_version(215), "v2.15");
    EXPECT_EQ(auto_format_version(1000), "v10.00");
    EXPECT_EQ(auto_format_version(5), "v0.05");
    EXPECT_EQ(auto_format_version(0), "v0.00");
    EXPECT_EQ(auto_format_version(-215), "v-2.15") << "a corrupt list's sign stays in front";
}

// ---- Reading a choice ----

struct choice_result {
    int32_t choice = -1;
    std::string prompts; // what was printed
    std::string rest;    // input left unread
};

choice_result read_choice(const std::string& input, int32_t upper)
{
    choice_result r;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::tmpfile(), std::fclose);
    if (!in)
        return r;
    std::fwrite(input.data(), 1, input.size(), in.get());
    std::rewind(in.get());
    ::testing::internal::CaptureStdout();
    r.choice = auto_read_choice(in.get(), "Pick: ", upper);
    r.prompts = ::testing::internal::GetCapturedStdout();
    for (int c = std::getc(in.get()); c != EOF; c = std::getc(in.get()))
        r.rest += static_cast<char>(c);
    return r;
}

std::string prompts(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "Pick: ";
    return text;
}

TEST(Choice, RefusedNumbersRepromptAndKeepTheLine)
{
    auto r = read_choice("0 4 -1 2 3\n", 3);
    EXPECT_EQ(r.choice, 2);
    EXPECT_EQ(r.prompts, prompts(4));
    EXPECT_EQ(r.rest, " 3\n");
    r = read_choice("99999999999 4294967298\n3\n", 3);
    EXPECT_EQ(r.choice, 3);
    EXPECT_EQ(r.prompts, prompts(3));
}

TEST(Choice, AWordDiscardsTheRestOfItsLine)
{
    auto r = read_choice("abc 2\n-x 2\n+ 1\n3x\n", 3);
    EXPECT_EQ(r.choice, 3);
    EXPECT_EQ(r.prompts, prompts(4));
    EXPECT_EQ(r.rest, "x\n");
    r = read_choice("two\n+2\n", 3);
    EXPECT_EQ(r.choice, 2);
    EXPECT_EQ(r.prompts, prompts(2));
}

TEST(Choice, BlankLinesArePassedOverWithoutAPrompt)
{
    const auto r = read_choice("\n\n   \n\t 1\n", 1);
    EXPECT_EQ(r.choice, 1);
    EXPECT_EQ(r.prompts, prompts(1));
}

TEST(Choice, TheEndOfInputEndsTheQuestion)
{
    for (const char* input : {"", "0\n", "word", "5 7\n\n", "x\n9"}) {
        SCOPED_TRACE(input);
        EXPECT_EQ(read_choice(input, 3).choice, 0);
    }
    EXPECT_EQ(read_choice("1\n", 0).choice, 0); // nothing to choose from
    EXPECT_EQ(read_choice("2", 3).choice, 2);   // a number at the very end still counts
}

} // namespace
