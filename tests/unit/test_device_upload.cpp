// The upload list (built from an image and the hub's boards, shuffled), the
// refusal of an image that lacks a board's firmware, and the progress texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "device.h"
#include "functions.h"
#include "options.h"
#include "ufw.h"

namespace {

// An image with one section per (device type, data lines) pair.
ufw image_of(const std::vector<std::pair<std::string, int>>& sections, const std::string& tail = "")
{
    std::string text = "___310\n";
    for (const auto& [type, lines] : sections) {
        text += ">>>" + type + "\n";
        for (int i = 0; i < lines; ++i)
            text += build_hex_cmd(0x4000 + 16 * i, 0, std::string(32, 'A' + i % 6), 16).text + "\n";
        text += "!!!!!!!!\n";
    }
    ufw image;
    ufw_load_data(text + tail, image);
    EXPECT_TRUE(image.loaded);
    return image;
}

device hub_with_types(std::initializer_list<uint16_t> types)
{
    device dev;
    for (uint16_t type : types) {
        board_entry& board = dev.boards[static_cast<size_t>(++dev.board_count)];
        board.present = true;
        board.device_type = type;
    }
    return dev;
}

// 0101 blocks hold 8 lines, 0201 blocks 4.
TEST(UploadList, HoldsEveryBlockOfEveryBoardOnceInAMixedOrder)
{
    const ufw image = image_of({{"0101", 24}, {"0201", 80}});
    const device dev = hub_with_types({0x0101, 0x0201});
    int32_t count = -1;
    const std::vector<firmware_block> list = device_build_firmware_blocks(&dev, image, &count);
    ASSERT_EQ(count, 3 + 20);
    ASSERT_EQ(list.size(), 23u);
    std::set<std::tuple<int, uint32_t, size_t>> blocks, expected;
    for (const firmware_block& block : list)
        blocks.insert({block.board, block.lines.front().address, block.lines.size()});
    for (uint32_t i = 0; i < 20; ++i) {
        if (i < 3)
            expected.insert({1, 0x4000 + 128 * i, 8});
        expected.insert({2, 0x4000 + 64 * i, 4});
    }
    EXPECT_EQ(blocks, expected);
    // Built from the last board down; once shuffled, board 1 is not all at the end.
    EXPECT_GT(std::count_if(list.begin(), list.begin() + 20,
                            [](const firmware_block& b) { return b.board == 1; }),
              0);
    // The shuffle keeps every block, whatever the list's size.
    for (uint32_t n : {0u, 1u, 2u, 3u, 2688u}) {
        std::vector<firmware_block> sized(n);
        for (uint32_t i = 0; i < n; ++i)
            sized[i].lines.push_back(hex_line{i, ""});
        shuffle_blocks(sized);
        std::set<uint32_t> order;
        for (const firmware_block& block : sized)
            order.insert(block.lines.front().address);
        EXPECT_EQ(order.size(), n);
    }
}

// A board whose section holds nothing to upload (one without a section is
// refused end to end, where the texts and what the hub received are checked).
TEST(Upload, RefusesAHubWhoseBoardHasNoFirmwareInTheImage)
{
    const ufw image = image_of({{"0101", 8}}, ">>>0201\n:020000040000FA\n!!!!!!!!\n");
    device dev = hub_with_types({0x0101, 0x0201}); // no link: anything sent would crash
    testing::internal::CaptureStderr();
    EXPECT_EQ(device_do_firmware_update(&dev, image, options_record{}), update_result::refused);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: The file does not contain the correct firmware for this hub\n");
}

// With --basic-status (--no-status beside it changes nothing) each step of
// five shows once; the rate, in characters per millisecond, is cut to its room.
TEST(Progress, BasicStepsShowOnceAndTheRateIsCutToItsRoom)
{
    options_record opts;
    opts.no_status = opts.basic_status = true;
    upload_progress progress{.total_blocks = 40};
    progress_text text;
    std::string shown, expected;
    for (; progress.done < 40; ++progress.done) {
        device_progress_text(progress, 10, opts, text);
        shown += text;
    }
    for (int p = 0; p <= 100; p += 5)
        expected += "\rUpdating, please wait   " + std::to_string(p) + "%";
    EXPECT_EQ(shown, expected) << "100% already before the last of 40 blocks";

    // --no-status alone remembers the exact percentage but compares the rounded one.
    opts = options_record{};
    opts.no_status = true;
    progress = {.total_blocks = 7};
    for (shown.clear(); progress.done < 7; ++progress.done) {
        device_progress_text(progress, 10, opts, text);
        shown += text;
    }
    expected.clear();
    for (int p : {0, 14, 28, 42, 57, 71, 85})
        expected += "\rUpdating, please wait   " + std::to_string(p) + "%";
    EXPECT_EQ(shown, expected);

    opts = options_record{};
    opts.tx_rate = true;
    progress = {.total_blocks = 120, .done = 17, .failures = 3, .spinner = 3};
    progress.sent_chars = progress.total_chars = 2257920;
    device_progress_text(progress, 0, opts, text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0003/0017/0120  \\") << "none before time passed";
    device_progress_text(progress, 2, opts, text);
    EXPECT_STREQ(text, "\rUpdating, please wait   0003/0017/0120  \\  1128960.00Kb/s 2257920 of 2");
}

} // namespace
