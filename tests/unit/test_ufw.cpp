#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "device.h"
#include "ufw-device.h"
#include "ufw.h"

// The next `allocations_until_failure` calls of operator new succeed, the one
// after throws; negative means never fail.
static long allocations_until_failure = -1;

void* operator new(std::size_t size)
{
    if (allocations_until_failure == 0) {
        allocations_until_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_until_failure > 0)
        --allocations_until_failure;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
// Both operators are replaced together, so free() does match; an optimising
// g++ cannot see that once the pair is inlined into the test framework.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

namespace fs = std::filesystem;

std::string example(const char* eol)
{
    std::string text;
    for (const char* line :
         {"___123", ">>>0201", ":020000040000FA", ":10400000000102030405060708090A0B0C0D0E0F38",
          ":00000001FF", "!!!!!!!!"})
        text += line + std::string(eol);
    return text;
}

ufw load(std::string_view text)
{
    ufw image;
    ufw_load_data(text, image);
    return image;
}

// Data records (type 00) and address records (type 04 unless told), checksums included.
std::string rec(uint16_t address, const std::string& data, unsigned type = 0)
{
    char head[16];
    std::snprintf(head, sizeof head, "%02X%04X%02X", unsigned(data.size() / 2), unsigned(address),
                  type);
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02X", unsigned(crc2cb(head + data)));
    return ":" + (head + data) + sum;
}
std::string upper(uint16_t value, unsigned type = 4)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned(value));
    return rec(0, text, type);
}
std::string section(const char* header, std::initializer_list<std::string> lines)
{
    std::string text = std::string(header) + "\n";
    for (const std::string& line : lines)
        text += line + "\n";
    return text + "!!!!!!!!\n";
}

const std::string bytes16 = "00112233445566778899AABBCCDDEEFF";
const std::string ff16(32, 'F');

// The flash image is whole upload blocks, 0xFF from `from` to `to` (its end by default).
bool erased(const ufw_dfw& dfw, size_t from = 0, size_t to = UFW_MEMORY_SIZE)
{
    to = std::min(to, dfw.memory.size());
    return dfw.memory.size() == size_t(dfw.block_count()) * dfw.block_size && from <= to
           && std::all_of(dfw.memory.begin() + from, dfw.memory.begin() + to,
                          [](uint8_t b) { return b == 0xFF; });
}

std::vector<std::string> block_texts(const ufw_dfw& dfw, int32_t index)
{
    std::vector<std::string> texts;
    for (const hex_line& line : ufw_get_block_lines(dfw, index))
        texts.push_back(line.text);
    return texts;
}

TEST(UfwLoad, WorkedExampleGivesItsFourUploadLines)
{
    const ufw image = load(example("\n"));
    ASSERT_TRUE(image.loaded);
    EXPECT_EQ(image.version, 123);
    ASSERT_EQ(image.firmware.size(), 1u);
    const ufw_dfw& dfw = image.firmware[0];
    EXPECT_EQ(dfw.line_count(), 3);
    ASSERT_EQ(dfw.block_count(), 1);
    for (uint8_t i = 0; i < 16; ++i)
        EXPECT_EQ(dfw.memory[i], i);
    EXPECT_TRUE(erased(dfw, 16));
    EXPECT_EQ(block_texts(dfw, 0),
              (std::vector<std::string>{";1000400005000102030405060708090A0B0C0D0E0F33",
                                        ";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB",
                                        ";1000402005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF9B",
                                        ";1000403005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF8B"}));
    EXPECT_EQ(ufw_get_block_lines(dfw, 0).at(3).address, 0x4030u);
    EXPECT_TRUE(ufw_get_block_lines(dfw, 1).empty() && ufw_get_block_lines(dfw, -1).empty());
    EXPECT_EQ(ufw_get_crc_for_firmware(dfw, 0), 0x2D4B);
}

TEST(UfwLoad, VersionLines)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"", 0},
        {"notes\n!!!!!!!!\n", 0},
        {"___1\n___2\n", 2},
        {"___ 12\r\n", 12},
        {"___x12\n", 0},
        {"___12abc\n", 12},
        {"___-3\n", -3},
        {"___4294967396\n", INT32_MAX},
        {"___-99999999999\n", INT32_MIN}, // saturates, no wrap
        {"___5\n:01400000AA15\n", 5}};    // Intel HEX outside a section is free text
    for (const auto& [text, version] : cases) {
        const ufw image = load(text);
        EXPECT_TRUE(!image.loaded && image.firmware.empty()) << text; // nothing to upload
        EXPECT_EQ(image.version, version) << text;
    }
    const ufw inside = load(">>>0201\n___9\n" + rec(0x4000, "AA") + "\n___10\n!!!!!!!!\n");
    EXPECT_EQ(inside.version, 10);
    EXPECT_EQ(inside.firmware.at(0).line_count(), 1);
}

TEST(UfwLoad, SectionBoundaries)
{
    // No end marker: a file may end so, a download was cut short.
    const std::string open = ">>>0201\n" + rec(0x4000, "AA") + "\n";
    ufw cut, closed;
    ufw_load_data(open, cut, ufw_source::download);
    ufw_load_data(open + "!!!!!!!!", closed, ufw_source::download);
    EXPECT_TRUE(load(open).loaded && !cut.loaded && cut.firmware.empty() && closed.loaded);
    // End markers outside a section are free text; prefixes are enough.
    const ufw marked = load("!!!!!!!!\n>>>0202 main\n" + rec(0x4000, "AA") + "\n!!!!!!!!!!\n"
                            + rec(0x4000, "BB") + "\n");
    ASSERT_EQ(marked.firmware.size(), 1u);
    EXPECT_EQ(marked.firmware[0].device_type, 0x0202);
    EXPECT_EQ(marked.firmware[0].line_count(), 1);
    EXPECT_EQ(load(">>>12\r\n").firmware.at(0).device_type, 0x12);
    // Duplicate device types: both populated, the first is found.
    const ufw twice =
        load(section(">>>0201", {rec(0x4000, "01")}) + section(">>>0201", {rec(0x8000, "02")}));
    ASSERT_EQ(twice.firmware.size(), 2u);
    EXPECT_EQ(ufw_get_for_device_type(twice, 0x0201), &twice.firmware[0]);
    EXPECT_EQ(twice.firmware[1].block_count(), 257);
    EXPECT_EQ(ufw_get_for_device_type(twice, 0x0202), nullptr);
}

TEST(UfwLoad, AFileDeclaringMoreSectionsThanAnyImageHoldsIsRefused)
{
    std::string many = example("\n");
    for (int i = 1; i < 256; ++i)
        many += ">>>0201\n!!!!!!!!\n";
    ufw image;
    ufw_load_data(many, image);
    EXPECT_TRUE(image.loaded);
    EXPECT_EQ(image.firmware.size(), 256u);
    ufw_load_data(many + ">>>0201\n", image);
    EXPECT_FALSE(image.loaded);
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
        EXPECT_EQ(image.loaded, bad_line == 0) << line;
        EXPECT_EQ(image.firmware.empty(), bad_line != 0) << line; // nothing half laid is kept
    }
}

TEST(UfwPopulate, AddressesOutsideTheBoardsFlash)
{
    const ufw small = load(section(">>>0201", {upper(1), rec(0, "55")})
                           + section(">>>0201", {rec(0x3FF0, bytes16)}) + section(">>>0201", {})
                           + section(">>>0201", {upper(0), ":0400000512345678E3"}));
    EXPECT_FALSE(small.loaded);
    for (const ufw_dfw& dfw : small.firmware)
        EXPECT_TRUE(erased(dfw) && dfw.block_count() == 0);
    const ufw straddle = load(section(">>>0201", {rec(0x3FF0, bytes16 + bytes16)}));
    EXPECT_EQ(block_texts(straddle.firmware.at(0), 0).at(0),
              build_hex_cmd(0x4000, 5, bytes16, 16).text);
    EXPECT_TRUE(erased(straddle.firmware[0], 16));

    const ufw large = load(section(">>>0101", {upper(0x1000, 2), rec(0, "55")})); // 0x1000 * 16
    ASSERT_EQ(large.firmware.at(0).block_count(), 385); // (0x10080 - 0x4000) / 128
    EXPECT_EQ(large.firmware[0].memory[0xC000], 0x55);
    EXPECT_EQ(ufw_get_block_lines(large.firmware[0], 384).at(7).address, 0x10070u);
}

TEST(UfwPopulate, BlocksRunFromTheFlashStartToTheHighestStoredByte)
{
    const ufw image = load(section(">>>0203", {rec(0x8000, bytes16)})
                           + section(">>>0201", {rec(0x7FF8, bytes16)}));
    const ufw_dfw& gap = image.firmware.at(0);
    ASSERT_EQ(gap.block_count(), 257);
    for (int j = 0; j < 256; ++j)
        for (const std::string& text : block_texts(gap, j))
            ASSERT_EQ(text.substr(11, 32), ff16) << j;
    EXPECT_EQ(block_texts(gap, 256).at(0), build_hex_cmd(0x8000, 5, bytes16, 16).text);

    const ufw_dfw& spill = image.firmware.at(1); // its last 8 bytes open block 256
    ASSERT_EQ(spill.block_count(), 257);
    EXPECT_EQ(block_texts(spill, 255).at(3).substr(11, 32),
              ff16.substr(16) + bytes16.substr(0, 16));
    EXPECT_EQ(block_texts(spill, 256).at(0).substr(11, 32), bytes16.substr(16) + ff16.substr(16));
}

TEST(UfwPopulate, EdgesOfEachLayout)
{
    const ufw image =
        load(section(">>>0204", {rec(0xFFF8, bytes16)}) + section(">>>0201", {rec(0xFFFF, "5A")})
             + section(">>>0102", {upper(1), rec(0xFFF8, bytes16)})
             + section(">>>0301", {rec(0x4000, "AA")}));
    ASSERT_EQ(image.firmware.size(), 4u);
    ASSERT_EQ(image.firmware[0].block_count(), 768);
    ASSERT_EQ(image.firmware[0].memory.size(), 0x10000 - UFW_FLASH_START); // past the end: dropped
    EXPECT_EQ(image.firmware[0].memory.back(), 0x77);
    ASSERT_EQ(image.firmware[1].block_count(), 768);
    EXPECT_EQ(image.firmware[1].memory[0xFFFF - UFW_FLASH_START], 0x5A);
    ASSERT_EQ(image.firmware[2].block_count(), UFW_MAX_BLOCKS);
    EXPECT_EQ(image.firmware[2].memory[UFW_MEMORY_SIZE - 1], 0x77); // the rest dropped
    EXPECT_EQ(ufw_get_block_lines(image.firmware[2], UFW_MAX_BLOCKS - 1).back().address, 0x1FFF0u);
    const ufw_dfw& unknown = image.firmware[3];
    EXPECT_TRUE(erased(unknown) && unknown.block_count() == 0 && unknown.block_size == 0
                && unknown.end_address == 0);
    EXPECT_EQ(ufw_get_crc_for_firmware(unknown, 0), 0xFFFF);
}

TEST(UfwPopulate, ShortDataLinesStoreOnlyTheirCompleteBytes)
{
    // The loader refuses them; laid directly they are read no further than their
    // end. Count 0x10 with three bytes and a lone digit; ":024010" has an empty
    // type field (0): a data record at 0x4010 without bytes; ":02401000AABBCC" stores two.
    ufw_dfw dfw;
    ufw_dfw_begin(dfw, 0x0201);
    for (const char* line : {":104000000001020", ":0240", ":", ":024010", ":02401000AABBCC"})
        ufw_dfw_add_record(dfw, line);
    EXPECT_EQ(dfw.line_count(), 5);
    ASSERT_EQ(dfw.block_count(), 1);
    EXPECT_EQ(dfw.memory[2], 0x02);
    EXPECT_EQ(dfw.memory[0x11], 0xBB);
    EXPECT_TRUE(erased(dfw, 3, 0x10) && erased(dfw, 0x12));
}

TEST(UfwCrc, CoversOneBlockAndNothingOutsideMemory)
{
    const ufw image = load(section(">>>0101", {upper(1), rec(0xFF80, bytes16)}));
    const ufw_dfw& dfw = image.firmware.at(0);
    ASSERT_EQ(dfw.block_count(), 896); // up to 0x1FF8F in blocks of 128
    const uint32_t last =
        ufw_get_block_lines(dfw, dfw.block_count() - 1).at(0).address - UFW_FLASH_START;
    EXPECT_EQ(ufw_get_crc_for_firmware(dfw, last), crc16_ccitt(dfw.memory.data() + last, 128));
    EXPECT_NE(ufw_get_crc_for_firmware(dfw, last), ufw_get_crc_for_firmware(dfw, last - 128));
    EXPECT_EQ(ufw_get_crc_for_firmware(dfw, UFW_MEMORY_SIZE - 16),
              crc16_ccitt(dfw.memory.data() + UFW_MEMORY_SIZE - 16, 16));
    EXPECT_EQ(ufw_get_crc_for_firmware(dfw, 0xFFFFFFF0u), 0xFFFF);
}

TEST(UfwLoad, RunningOutOfMemoryIsReportedAndLeavesTheImageNotLoaded)
{
    // Sections of both layouts, each growing its flash image twice: many allocations to fail.
    std::string text = example("\n");
    for (const char* header : {">>>0101", ">>>0102", ">>>0103", ">>>0202", ">>>0203", ">>>0204"})
        text += section(header, {rec(0x4000, "AA"), rec(0xC000, "BB")});
    int failures = 0;
    for (long n = 0; n < 10000; ++n) {
        ufw image;
        testing::internal::CaptureStderr();
        allocations_until_failure = n;
        ufw_load_data(text, image);
        const bool failed = allocations_until_failure == -1;
        allocations_until_failure = -1;
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(image.loaded, !failed) << n;
        EXPECT_EQ(printed, failed ? "ERROR: Unable to allocate memory\n" : "") << n;
        ufw_free(image);
        if (!failed)
            break;
        ++failures;
    }
    EXPECT_GT(failures, 10);
}

TEST(UfwFile, LoadsWholeFilesUpTo64MiBAndNothingElse)
{
    const fs::path dir = fs::temp_directory_path() / "hubflash-test-ufw";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string file = (dir / "image.ufw").string();
    std::ofstream(file, std::ios::binary) << example("\r\n");
    auto load_over_old = [](const std::string& path) {
        ufw image = load(example("\n"));
        testing::internal::CaptureStderr();
        ufw_load_file(path.c_str(), image);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << path;
        return image;
    };
    EXPECT_EQ(ufw_get_crc_for_firmware(load_over_old(file).firmware.at(0), 0), 0x2D4B);
    fs::resize_file(file, UFW_MAX_FILE_SIZE); // NULs after the example, sparse where possible
    EXPECT_EQ(load_over_old(file).version, 123);
    fs::resize_file(file, UFW_MAX_FILE_SIZE + 1);
    for (const std::string& path : {file, (dir / "missing").string(), dir.string()}) {
        const ufw image = load_over_old(path); // the old image is cleared first
        EXPECT_TRUE(!image.loaded && image.version == 0 && image.firmware.empty()) << path;
    }
    fs::remove_all(dir);
}

// A file is read 64 KiB at a time. A free-text first line one character longer
// each round moves every read boundary across each place of the repeated
// record, CR LF and blank line: the file must load as its text does in one
// piece, a NUL in a later read included, with the same line numbers.
TEST(UfwFile, ReadBoundariesCutNothing)
{
    constexpr int records = 3072; // 0x4000 to 0xFFFF, 141 KB: three reads
    std::string body = "___306\n>>>0101\n" + upper(0) + "\r\n";
    for (int i = 0; i < records; ++i)
        body += rec(static_cast<uint16_t>(0x4000 + 16 * i), bytes16) + "\r\n\n";
    const size_t period = rec(0, bytes16).size() + 3;
    const fs::path path = fs::temp_directory_path() / "hubflash-test-ufw-pieces.ufw";
    auto load_as_file = [&](const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
        ufw image;
        ufw_load_file(path.string().c_str(), image);
        return image;
    };
    for (size_t shift = 0; shift < period; ++shift) {
        const std::string text = std::string(shift, 'x') + "\n" + body;
        const std::string cut = text + "!!!!!!!!\n" + '\0' + ">>>0201\n:01400000AA16\n";
        const ufw whole = load(cut);
        const ufw read = load_as_file(cut);
        ASSERT_TRUE(whole.loaded && read.loaded) << shift;
        EXPECT_EQ(read.firmware.at(0).line_count(), whole.firmware.at(0).line_count()) << shift;
        EXPECT_EQ(read.firmware[0].memory, whole.firmware[0].memory) << shift;
        EXPECT_EQ(load_as_file(text + ":01400000AA16\n").bad_record_line, 4 + 2 * records + 1)
            << shift;
    }
    fs::remove(path);
}

device hub_with(std::initializer_list<std::pair<uint16_t, uint16_t>> boards)
{
    device dev;
    for (const auto& [type, version] : boards) {
        ++dev.board_count;
        dev.boards[dev.board_count].device_type = type;
        dev.boards[dev.board_count].fw_version = version;
    }
    return dev;
}

TEST(UfwCheck, MissingThenNewerThenNotNewer)
{
    // A section without upload blocks (nothing in flash, no layout) counts as missing.
    ufw image =
        load("___123\n" + section(">>>0201", {rec(0x4000, "AA")})
             + section(">>>0101", {rec(0x4000, "AA")}) + section(">>>0102", {rec(0x3FF0, "AA")})
             + section(">>>0301", {rec(0x4000, "AA")}));
    for (uint16_t type : {0x0103, 0x0102, 0x0301})
        EXPECT_EQ(ufw_check_device_status(image, hub_with({{0x0201, 122}, {type, 100}})), 0)
            << type;
    EXPECT_EQ(ufw_check_device_status(image, hub_with({{0x0201, 123}, {0x0101, 200}})), 1);
    EXPECT_EQ(ufw_check_device_status(image, hub_with({{0x0201, 123}, {0x0101, 122}})), 2);
    EXPECT_EQ(ufw_check_device_status(image, hub_with({})), 1);
    image.version = 70000; // signed 32-bit against the board's 16 bits
    EXPECT_EQ(ufw_check_device_status(image, hub_with({{0x0201, 65535}})), 2);

    device dev = hub_with({{0x0201, 123}});
    dev.boards[0].device_type = dev.boards[2].device_type = 0x0999; // no board / beyond the count
    EXPECT_EQ(ufw_check_device_status(image, dev), 2);
    dev.board_count = -3;
    EXPECT_EQ(ufw_check_device_status(image, dev), 1);
    device full = hub_with({{0x0201, 9},
                            {0x0201, 9},
                            {0x0201, 9},
                            {0x0201, 9},
                            {0x0201, 9},
                            {0x0201, 9},
                            {0x0201, 9}});
    full.board_count = 100; // only boards 1 to 7 exist
    EXPECT_EQ(ufw_check_device_status(image, full), 2);
}

} // namespace
