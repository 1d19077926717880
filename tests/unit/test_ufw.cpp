#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>

#include "device.h"
#include "ufw-device.h"
#include "ufw.h"

namespace {

namespace fs = std::filesystem;

const std::string example = "___123\n>>>0201\n:020000040000FA\n"
                            ":10400000000102030405060708090A0B0C0D0E0F38\n:00000001FF\n!!!!!!!!\n";

ufw load(std::string_view text, ufw_source source = ufw_source::file)
{
    ufw image;
    ufw_load_data(text, image, source);
    return image;
}

// A record of that type (data unless told) with its checksum.
std::string rec(uint16_t address, const std::string& data, unsigned type = 0)
{
    char head[16];
    std::snprintf(head, sizeof head, "%02X%04X%02X", unsigned(data.size() / 2), unsigned(address),
                  type);
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02X", unsigned(crc2cb(head + data)));
    return ":" + (head + data) + sum;
}
std::string section(const char* header, std::initializer_list<std::string> lines)
{
    std::string text = std::string(header) + "\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text + "!!!!!!!!\n";
}

const std::string bytes16 = "00112233445566778899AABBCCDDEEFF";

// The flash image is whole upload blocks, 0xFF from `from` to `to` (its end by default).
bool erased(const ufw_dfw& dfw, size_t from = 0, size_t to = UFW_MEMORY_SIZE)
{
    to = std::min(to, dfw.memory.size());
    return dfw.memory.size() == size_t(dfw.block_count()) * dfw.block_size && from <= to
           && std::all_of(dfw.memory.begin() + from, dfw.memory.begin() + to,
                          [](uint8_t b) { return b == 0xFF; });
}

// Nothing to upload is no image; the last version line counts, read like atoi, saturating.
TEST(UfwLoad, VersionLinesAndTextsWithNothingToUpload)
{
    const std::pair<const char*, int32_t> cases[] = {{"", 0},
                                                     {"<html>\x01\x02\n", 0},
                                                     {"___ 12\r\n", 12},
                                                     {"___x12\n", 0},
                                                     {"___12abc\n", 12},
                                                     {"___4294967396\n", INT32_MAX},
                                                     {"___-99999999999\n", INT32_MIN},
                                                     {"___5\n:01400000AA15\n", 5}};
    for (const auto& [text, version] : cases) {
        const ufw image = load(text);
        EXPECT_TRUE(!image.loaded && image.firmware.empty()) << text;
        EXPECT_EQ(image.version, version) << text;
    }
    EXPECT_EQ(load(">>>0201\n___9\n" + rec(0x4000, "AA") + "\n___10\n!!!!!!!!\n").version, 10);
}

TEST(UfwLoad, SectionBoundaries)
{
    // No end marker: a file may end so, a download was cut short.
    const std::string open = ">>>0201\n" + rec(0x4000, "AA") + "\n";
    const ufw cut = load(open, ufw_source::download);
    EXPECT_TRUE(load(open).loaded && !cut.loaded && cut.firmware.empty());
    EXPECT_TRUE(load(open + "!!!!!!!!", ufw_source::download).loaded);
    // End markers outside a section are free text; prefixes are enough.
    const ufw marked = load("!!!!!!!!\n>>>0202 main\n" + rec(0x4000, "AA") + "\n!!!!!!!!!!\n"
                            + rec(0x4000, "BB") + "\n");
    ASSERT_EQ(marked.firmware.size(), 1u);
    EXPECT_EQ(marked.firmware[0].device_type, 0x0202);
    EXPECT_EQ(marked.firmware[0].line_count(), 1);
    // At most 256 sections.
    std::string many = example;
    for (int i = 1; i < 256; ++i)
        many += ">>>0201\n!!!!!!!!\n";
    EXPECT_EQ(load(many).firmware.size(), 256u);
    EXPECT_FALSE(load(many + ">>>0201\n").loaded);
}

// Line numbers count every line, empty ones too. Line ends lose control bytes
// and bytes of 0x80 and above, but a trailing space stays part of the record.
TEST(UfwLoad, ABadRecordRefusesTheFileAndNamesItsLine)
{
    const std::pair<std::string, int32_t> cases[] = {
        {":01400000AA15", 0},         {"X01400000aa15", 0}, // start character unchecked
        {":01400000AA15\x80\x9f", 0}, {":01400000AA15 ", 4},
        {":01400000AX15", 4},         {":01400000AA16", 4}, // not hex; wrong checksum
        {":02400000AA14", 4},         {":0240", 4},         // sum 0 but short; no room for a count
        {":0400000400010000F7", 4},   {">>>0101", 4}, // address record of 4 bytes; no end marker
        {":01400000AA15\n\n:0240", 6}};
    for (const auto& [line, bad_line] : cases) {
        const ufw image =
            load("___1\n\n>>>0201\r\n" + line + "\r\n\r\n" + rec(0x4010, "BB") + "\n!!!!!!!!\n");
        EXPECT_EQ(image.bad_record_line, bad_line) << line;
        EXPECT_EQ(image.loaded, bad_line == 0) << line; // that none of it is kept: fuzz_ufw
    }
}

TEST(UfwPopulate, AddressesOutsideTheBoardsFlash)
{
    // Below 0x4000, no data, 05 records, unknown layouts: sections without blocks.
    const ufw none = load(section(">>>0201", {rec(0, "0001", 4), rec(0, "55")})
                          + section(">>>0201", {rec(0x3FF0, bytes16)}) + section(">>>0201", {})
                          + section(">>>0201", {rec(0, "0000", 4), rec(0x4000, "12345678", 5)})
                          + section(">>>0301", {rec(0x4000, "AA")}));
    EXPECT_FALSE(none.loaded);
    for (const ufw_dfw& dfw : none.firmware)
        EXPECT_TRUE(erased(dfw) && dfw.block_count() == 0);
    // A record straddling 0x4000 keeps its bytes from there; 03 records change nothing.
    const ufw straddle =
        load(section(">>>0201", {rec(0x4010, "12345678", 3), rec(0x3FF0, bytes16 + bytes16)}));
    EXPECT_EQ(ufw_get_block_lines(straddle.firmware.at(0), 0).at(0).text,
              build_hex_cmd(0x4000, 5, bytes16, 16).text);
    EXPECT_TRUE(erased(straddle.firmware[0], 16));
    // 02 counts in paragraphs: 0x1000 * 16 + 0 is 0x10000.
    const ufw large = load(section(">>>0101", {rec(0, "1000", 2), rec(0, "55")}));
    ASSERT_EQ(large.firmware.at(0).block_count(), 385); // (0x10080 - 0x4000) / 128
    EXPECT_EQ(large.firmware[0].memory[0xC000], 0x55);
    EXPECT_EQ(ufw_get_block_lines(large.firmware[0], 384).at(7).address, 0x10070u);
}

// Blocks run from 0x4000 to the one holding the highest stored byte, at most
// to the layout's end; bytes past it are dropped.
TEST(UfwPopulate, BlocksRunToTheHighestStoredByteWithinTheLayout)
{
    const ufw image =
        load(section(">>>0203", {rec(0x8000, bytes16)}) + section(">>>0201", {rec(0x7FF8, bytes16)})
             + section(">>>0204", {rec(0xFFF8, bytes16)})
             + section(">>>0102", {rec(0, "0001", 4), rec(0xFFF8, bytes16)}));
    ASSERT_EQ(image.firmware.size(), 4u);
    const ufw_dfw& gap = image.firmware[0];
    ASSERT_EQ(gap.block_count(), 257);
    EXPECT_TRUE(erased(gap, 0, 0x4000));
    EXPECT_EQ(ufw_get_block_lines(gap, 256).at(0).text, build_hex_cmd(0x8000, 5, bytes16, 16).text);
    const ufw_dfw& spill = image.firmware[1]; // its last 8 bytes open block 256
    ASSERT_EQ(spill.block_count(), 257);
    EXPECT_EQ(ufw_get_block_lines(spill, 256).at(0).text.substr(11, 32),
              bytes16.substr(16) + std::string(16, 'F'));
    ASSERT_EQ(image.firmware[2].block_count(), 768);
    EXPECT_EQ(image.firmware[2].memory.back(), 0x77);
    const ufw_dfw& top = image.firmware[3];
    ASSERT_EQ(top.block_count(), UFW_MAX_BLOCKS);
    EXPECT_EQ(top.memory.back(), 0x77);
    const uint32_t last = UFW_MEMORY_SIZE - 128;
    EXPECT_EQ(ufw_get_block_lines(top, UFW_MAX_BLOCKS - 1).back().address, 0x1FFF0u);
    EXPECT_EQ(ufw_get_crc_for_firmware(top, last), crc16_ccitt(top.memory.data() + last, 128));
}

// Named for this run: test runs of two build trees may share the directory.
const fs::path temp_file =
    fs::temp_directory_path() / ("hubflash-test-" + std::to_string(std::random_device{}()));

// Loads the file over an image loaded before, which is cleared first.
ufw load_file(const fs::path& path = temp_file)
{
    ufw image = load(example);
    ufw_load_file(path.string().c_str(), image);
    return image;
}
ufw load_as_file(const std::string& text)
{
    std::ofstream(temp_file, std::ios::binary) << text;
    return load_file();
}

// The worked example from a file (its version, line count and CRC, from a CR LF
// file, are checked end to end by --info).
TEST(UfwFile, WorkedExampleGivesItsFourUploadLines)
{
    const ufw image = load_as_file(example);
    ASSERT_TRUE(image.loaded);
    ASSERT_EQ(image.firmware.size(), 1u);
    const ufw_dfw& dfw = image.firmware[0];
    ASSERT_EQ(dfw.block_count(), 1);
    std::vector<std::string> texts;
    for (const hex_line& line : ufw_get_block_lines(dfw, 0))
        texts.push_back(line.text + " " + std::to_string(line.address));
    EXPECT_EQ(texts,
              (std::vector<std::string>{";1000400005000102030405060708090A0B0C0D0E0F33 16384",
                                        ";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB 16400",
                                        ";1000402005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF9B 16416",
                                        ";1000403005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF8B 16432"}));
    EXPECT_TRUE(ufw_get_block_lines(dfw, 1).empty() && ufw_get_block_lines(dfw, -1).empty());
    // Files up to 64 MiB load, NULs after the example included; nothing else does.
    fs::resize_file(temp_file, UFW_MAX_FILE_SIZE);
    EXPECT_EQ(load_file().version, 123);
    fs::resize_file(temp_file, UFW_MAX_FILE_SIZE + 1);
    for (const fs::path& path : {temp_file, temp_file / "missing", temp_file.parent_path()}) {
        const ufw refused = load_file(path);
        EXPECT_TRUE(!refused.loaded && refused.version == 0 && refused.firmware.empty()) << path;
    }
    fs::remove(temp_file);
}

// A file is read 64 KiB at a time. A free-text first line one character longer each round
// moves every read boundary across each place of the repeated record, CR LF and blank line:
// the file loads as its text does in one piece (a NUL in a later read, line numbers too).
TEST(UfwFile, ReadBoundariesCutNothing)
{
    constexpr int records = 3072; // 0x4000 to 0xFFFF, 141 KB: three reads
    std::string body = "___306\n>>>0101\n" + rec(0, "0000", 4) + "\r\n";
    for (int i = 0; i < records; ++i)
        body += rec(static_cast<uint16_t>(0x4000 + 16 * i), bytes16) + "\r\n\n";
    for (size_t shift = 0; shift < rec(0, bytes16).size() + 3; ++shift) {
        const std::string text = std::string(shift, 'x') + "\n" + body;
        const std::string cut = text + "!!!!!!!!\n" + '\0' + ">>>0201\n:01400000AA16\n";
        const ufw whole = load(cut);
        const ufw read = load_as_file(cut);
        ASSERT_TRUE(whole.loaded && read.loaded) << shift;
        EXPECT_EQ(read.firmware.at(0).memory, whole.firmware.at(0).memory) << shift;
        EXPECT_EQ(load_as_file(text + ":01400000AA16\n").bad_record_line, 4 + 2 * records + 1)
            << shift;
    }
    fs::remove(temp_file);
}

using boards = std::vector<std::pair<uint16_t, uint16_t>>; // type, version of boards 1, 2, ...

int status(const ufw& image, const boards& list, int32_t count)
{
    device dev;
    dev.boards[0].device_type = 0x0999; // no board: never looked at
    for (size_t n = 0; n < list.size(); ++n)
        dev.boards[n + 1] = {.device_type = list[n].first, .fw_version = list[n].second};
    dev.board_count = count;
    return ufw_check_device_status(image, dev);
}

// 0: a board's type has no section with blocks; 1: none is newer; 2: some is.
// Only boards 1 to the count (at most 7) are looked at.
TEST(UfwCheck, OnlyTheHubsBoardsAreCheckedAgainstSectionsWithBlocks)
{
    ufw image = load("___123\n" + section(">>>0201", {rec(0x4000, "AA")})
                     + section(">>>0102", {rec(0x3FF0, "AA")}));
    boards seven(6, {0x0201, 123});
    seven.push_back({0x0999, 1});
    const std::tuple<boards, int32_t, int> cases[] = {{{{0x0201, 123}, {0x0103, 200}}, 2, 0},
                                                      {{{0x0201, 123}, {0x0102, 200}}, 2, 0},
                                                      {{{0x0201, 123}, {0x0999, 1}}, 1, 1},
                                                      {{{0x0201, 122}}, -3, 1},
                                                      {seven, 100, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(status(image, std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << &c - cases;
    image.version = 70000; // signed 32-bit against the board's 16 bits
    EXPECT_EQ(status(image, {{0x0201, 65535}}, 1), 2);
}

} // namespace
