// The upload list (built from an image and the hub's boards, shuffled), the
// refusal of an image that lacks a board's firmware, and the progress texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "device.h"
#include "options.h"
#include "ufw.h"

namespace {

// An image with one section per (device type, data lines) pair; each data line
// holds 16 bytes that differ from line to line.
std::string image_text(int version, const std::vector<std::pair<unsigned, int>>& sections)
{
    std::string text = "___" + std::to_string(version) + "\n";
    for (const auto& [type, lines] : sections) {
        char header[16];
        std::snprintf(header, sizeof header, ">>>%04X\n", type);
        text += header;
        for (int i = 0; i < lines; ++i) {
            char record[64];
            std::snprintf(record, sizeof record, ":10%04X00", 0x4000 + 16 * i);
            std::string line = record;
            for (int b = 0; b < 16; ++b) {
                std::snprintf(record, sizeof record, "%02X",
                              (i * 7 + b + static_cast<int>(type)) & 0xFF);
                line += record;
            }
            std::snprintf(record, sizeof record, "%02X\n",
                          crc2cb(std::string_view(line).substr(1)));
            text += line + record;
        }
        text += "!!!!!!!!\n";
    }
    return text;
}

ufw loaded_image(const std::string& text)
{
    ufw image;
    ufw_load_data(text, image);
    EXPECT_TRUE(image.loaded);
    return image;
}

device hub_with_types(std::initializer_list<uint16_t> types)
{
    device dev;
    int32_t board = 1;
    for (uint16_t type : types) {
        dev.boards[static_cast<size_t>(board)].present = true;
        dev.boards[static_cast<size_t>(board)].device_type = type;
        ++board;
    }
    dev.board_count = board - 1;
    return dev;
}

TEST(UploadList, HoldsEveryBlockOfEveryBoard)
{
    // 0101: 8 lines per block, 24 lines -> 3 blocks; 0201: 4 lines per block, 20 lines -> 5 blocks.
    const ufw image = loaded_image(image_text(310, {{0x0101, 24}, {0x0201, 20}}));
    const device dev = hub_with_types({0x0101, 0x0201});
    int32_t count = -1;
    std::vector<firmware_block> list = device_build_firmware_blocks(&dev, image, &count);
    ASSERT_EQ(count, 8);
    ASSERT_EQ(list.size(), 8u);

    std::set<std::pair<int, uint32_t>> seen;
    for (const firmware_block& block : list) {
        EXPECT_FALSE(block.verified);
        ASSERT_TRUE(block.board == 1 || block.board == 2);
        const ufw_dfw* section = ufw_get_for_device_type(image, block.board == 1 ? 0x0101 : 0x0201);
        ASSERT_NE(section, nullptr);
        const uint32_t index = (block.lines.front().address - 0x4000) / section->block_size;
        ASSERT_LT(index, static_cast<uint32_t>(section->block_count()));
        const std::vector<hex_line> original =
            ufw_get_block_lines(*section, static_cast<int32_t>(index));
        ASSERT_EQ(block.lines.size(), original.size());
        for (size_t i = 0; i < original.size(); ++i) {
            EXPECT_EQ(block.lines[i].address, original[i].address);
            EXPECT_EQ(block.lines[i].text, original[i].text);
        }
        EXPECT_TRUE(seen.insert({block.board, index}).second) << "a block appears twice";
    }

    device_free_firmware_blocks(list);
    EXPECT_TRUE(list.empty());
}

// Every block stays in the list exactly once, whatever its length.
TEST(UploadList, ShuffleIsAPermutationForEverySize)
{
    for (size_t n : {0u, 1u, 2u, 3u, 7u, 100u, 2688u}) {
        std::vector<firmware_block> list(n);
        for (size_t i = 0; i < n; ++i)
            list[i].lines.push_back(hex_line{static_cast<uint32_t>(i), std::to_string(i)});
        shuffle_blocks(list);
        std::vector<uint32_t> order;
        for (const firmware_block& block : list)
            order.push_back(block.lines.front().address);
        std::sort(order.begin(), order.end());
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(order[i], i) << "n=" << n;
    }
}

TEST(UploadList, BoardsAreMixed)
{
    const ufw image = loaded_image(image_text(310, {{0x0201, 80}}));
    const device dev = hub_with_types({0x0201, 0x0201});
    int32_t count = 0;
    const std::vector<firmware_block> list = device_build_firmware_blocks(&dev, image, &count);
    ASSERT_EQ(count, 40);
    // Built board 2 first, then board 1; after shuffling neither half is one board.
    const auto board_one_in_first_half = std::count_if(
        list.begin(), list.begin() + 20, [](const firmware_block& b) { return b.board == 1; });
    EXPECT_GT(board_one_in_first_half, 0);
    EXPECT_LT(board_one_in_first_half, 20);
}

// A board without a section, or with a section that holds nothing to upload.
TEST(Upload, RefusesAHubWhoseBoardHasNoFirmwareInTheImage)
{
    const std::string first = image_text(310, {{0x0101, 8}});
    for (const std::string& text : {first, first + ">>>0201\n:020000040000FA\n!!!!!!!!\n"}) {
        const ufw image = loaded_image(text);
        device dev = hub_with_types({0x0101, 0x0201});
        // No link: anything sent would crash the test.
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(device_do_firmware_update(&dev, image, options_record{}), update_result::refused);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ERROR: The file does not contain the correct firmware for this hub\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

options_record style(bool no_status, bool basic_status, bool tx_rate = false)
{
    options_record opts;
    opts.no_status = no_status;
    opts.basic_status = basic_status;
    opts.tx_rate = tx_rate;
    return opts;
}

// The texts printed before each block of an upload where every block goes through at once.
std::vector<std::string> texts_before_blocks(int32_t blocks, const options_record& opts)
{
    upload_progress progress;
    progress.total_blocks = blocks;
    std::vector<std::string> texts;
    for (int32_t done = 0; done < blocks; ++done) {
        progress.done = done;
        progress_text text;
        device_progress_text(progress, 10, opts, text);
        texts.emplace_back(text);
    }
    return texts;
}

std::string percent(int value)
{
    return "\rUpdating, please wait   " + std::to_string(value) + "%";
}

TEST(Progress, BasicStatusShowsEachStepOfFiveOnce)
{
    std::vector<std::string> expected;
    for (int p = 0; p < 100; p += 5)
        expected.push_back(percent(p));
    EXPECT_EQ(texts_before_blocks(20, style(false, true)), expected);

    // 40 blocks (and --no-status beside it): each value once, 100% already
    // before the last block, and nothing before the other nineteen blocks.
    std::vector<std::string> printed;
    for (const std::string& text : texts_before_blocks(40, style(true, true)))
        if (!text.empty())
            printed.push_back(text);
    expected.push_back(percent(100));
    EXPECT_EQ(printed, expected);
}

TEST(Progress, NoStatusShowsExactValuesBeforeNearlyEveryBlock)
{
    EXPECT_EQ(texts_before_blocks(7, style(true, false)),
              (std::vector<std::string>{percent(0), percent(14), percent(28), percent(42),
                                        percent(57), percent(71), percent(85)}));
    // The exact value is compared with the rounded one, so 40 blocks redraw 40 times.
    const std::vector<std::string> forty = texts_before_blocks(40, style(true, false));
    for (size_t i = 0; i < forty.size(); ++i)
        EXPECT_EQ(forty[i], percent(static_cast<int>(i * 100 / 40))) << i;
}

TEST(Progress, CountersRateAndFinalTexts)
{
    upload_progress progress;
    progress.total_blocks = 120;
    progress_text text;
    device_progress_text(progress, 0, style(false, false, true), text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0000/0000/0120  |");
    progress.failures = 3;
    progress.done = 17;
    progress.spinner = 3;
    progress.sent_chars = 2250;
    progress.total_chars = 9000;
    device_progress_text(progress, 1000, style(false, false, true), text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0003/0017/0120  \\  2.25Kb/s 2250 of 9000");
    // The rate text has room for 29 characters.
    progress.sent_chars = progress.total_chars = 2257920;
    device_progress_text(progress, 1, style(false, false, true), text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0003/0017/0120  \\  2257920.00Kb/s 2257920 of 2");
    progress.spinner = 1;
    device_final_progress_text(progress, style(false, false, true), text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0003/0017/0120  /");
    for (const options_record& opts : {style(true, false), style(false, true)}) {
        device_final_progress_text(progress, opts, text);
        EXPECT_STREQ(text, "\rUpdating, please wait   100%");
    }
}

} // namespace
