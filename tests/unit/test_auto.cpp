// The manifest of the automatic update, read to its edges. The stable list is
// checked against the C library's "%hx,%hu" by the fuzz target fuzz_lists;
// the choice of a release and the prompts are checked end to end.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "action-auto.h"

namespace {

using entry = std::tuple<int32_t, int32_t, std::string, std::string>; // version, size, file, label

std::vector<entry> manifest(const std::string& text)
{
    std::vector<entry> entries;
    for (const auto_manifest_entry& e : auto_parse_manifest(text))
        entries.emplace_back(e.version, e.size, e.file, e.label);
    return entries;
}

TEST(Manifest, LinesFieldsAndTheirLimits)
{
    const std::pair<std::string, std::vector<entry>> cases[] = {
        {"215,hub-2.15.ufw,120000,Stable release\n  +7,a,  42x,x\n-3,b,-9,\n",
         {{215, 120000, "hub-2.15.ufw", "Stable release"}, {7, 42, "a", "x"}, {-3, -9, "b", ""}}},
        // Lines without three commas are skipped.
        {"\r\n100,a.ufw,10,one\n\n\n200,b.ufw,20\r\nno commas\n300,c.ufw,30,three\n400,d.ufw,",
         {{100, 10, "a.ufw", "one"}, {300, 30, "c.ufw", "three"}}},
        // The comma that ends a field is searched from the field's second character.
        {"215,,100,label,more\n", {{215, 0, ",100", "more"}}},
        {"1,f,,x,tail\n", {{1, 0, "f", "tail"}}},
        {"215,,100\n215,\n215,a,\n", {}},
        {"1," + std::string(80, 'f') + ",9," + std::string(40, 'L') + "\n",
         {{1, 9, std::string(63, 'f'), std::string(31, 'L')}}},
        {std::string("1,a,2,x\n3,b,4,y\0"
                     "5,c,6,z\n",
                     24),
         {{1, 2, "a", "x"}, {3, 4, "b", "y"}}},
        {"4294967297,a,99999999999999999999,x\n-99999999999,b,-4294967295,y\n",
         {{INT32_MAX, INT32_MAX, "a", "x"}, {INT32_MIN, INT32_MIN, "b", "y"}}},
        // A label is shown in the release list: no control character may reach the terminal.
        {"1,a,2,Beta\r\n1,a,2,x\r\r\n1,a,2,\x1b[2J\x7f\tok\n1,a,2,caf\xc3\xa9\n",
         {{1, 2, "a", "Beta"},
          {1, 2, "a", "x?"},
          {1, 2, "a", "?[2J??ok"},
          {1, 2, "a", "caf\xc3\xa9"}}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(manifest(text), expected) << text;
}

} // namespace
