// The command exchange, detection, the block upload and its recovery over a pseudo-terminal,
// a scripted hub on its master side. The program's clock is wrapped at link time
// (-Wl,--wrap), so long waits can pass faster than real time; the exchange stays real.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "functions.h"
#include "options.h"
#include "serial_test_support.h"
#include "timer.h"
#include "ufw.h"

namespace {

using namespace std::chrono_literals;
using serial_test::steady;

namespace fast {
std::mutex lock; // for the base; the scale alone may be read without it
std::atomic<int64_t> scale{1};
steady::time_point real_base = steady::now();
int64_t base_us = 0;
std::function<void()> on_line_pause; // runs at each pause after an acknowledged upload line

int64_t since_base_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - real_base).count();
}
int64_t now_us()
{
    std::lock_guard guard(lock);
    return base_us + since_base_us() * scale;
}
void set_scale(int64_t k)
{
    std::lock_guard guard(lock);
    base_us += since_base_us() * scale;
    real_base = steady::now();
    scale = k;
}
void sleep_until_us(int64_t deadline)
{
    for (int64_t left; (left = deadline - now_us()) > 0;)
        std::this_thread::sleep_for(std::chrono::microseconds(std::max<int64_t>(left / scale, 1)));
}
// Restores real time and drops the hook when a test ends.
struct speed {
    explicit speed(int64_t k) { set_scale(k); }
    ~speed()
    {
        set_scale(1);
        on_line_pause = nullptr;
    }
};
} // namespace fast

} // namespace

extern "C" {
int32_t __wrap__Z17get_absolute_timev()
{
    return static_cast<int32_t>(static_cast<uint32_t>(fast::now_us() / 1000));
}
void __wrap__Z7wait_msi(int32_t ms)
{
    fast::sleep_until_us(fast::now_us() + int64_t{ms} * 1000);
}
int64_t __wrap__Z11get_time_usv()
{
    return fast::now_us();
}
void __wrap__Z13wait_until_usl(int64_t deadline_us)
{
    if (fast::on_line_pause)
        fast::on_line_pause();
    fast::sleep_until_us(deadline_us);
}
}

namespace {

// What boards 1 (serial 42) and 2 (serial 7) of a Halbern-16 announce.
const std::string board1_announcement = "01311030010142";
const std::string board2_announcement = "0131103002017";

struct framed_command {
    int board = -1;
    std::string command;
    std::string tag; // ">" board counter
};

// "@BB00<command>|CC>tag\n" -> parts (the framing itself is checked in
// test_device.cpp); board -1 for any other line.
framed_command parse_host_line(const std::string& line)
{
    const size_t bar = line.rfind('|');
    if (line[0] != '@' || bar == std::string::npos || line.back() != '\n')
        return {};
    return {std::stoi(line.substr(1, 2), nullptr, 16), line.substr(5, bar - 5),
            line.substr(bar + 3, line.size() - bar - 4)};
}

// A hub on the master side of a pseudo-terminal, reached through a symlink;
// the announcing boards announce in the order given, every 50 ms.
class fake_hub {
public:
    using responder = std::function<void(fake_hub&, const std::string& line)>;

    explicit fake_hub(responder respond, std::vector<int> announcing = {})
        : respond_(std::move(respond)), announcing_(std::move(announcing))
    {
        link = dir_ / "hub";
        replug();
        thread_ = std::thread([this] { run(); });
    }
    ~fake_hub()
    {
        running_ = false;
        thread_.join();
    }

    void frame(int board, char kind, const std::string& payload)
    {
        char head[8];
        std::snprintf(head, sizeof head, "@00%02x%c", board, kind);
        const std::string body = head + payload;
        char tail[8];
        std::snprintf(tail, sizeof tail, "|%02x\r\n", crc2c(body));
        pty_.send(body + tail);
    }
    void text(const std::string& line) { pty_.send(line + "\r\n"); }
    // The port's name goes away and comes back, as when the hub's USB device restarts.
    void unplug() { EXPECT_EQ(unlink(link.c_str()), 0); }
    void replug() { EXPECT_EQ(symlink(pty_.slave_path.c_str(), link.c_str()), 0); }

    std::vector<std::string> lines()
    {
        std::lock_guard guard(lock_);
        return lines_;
    }
    // Board and command of each framed line the host sent.
    std::vector<std::pair<int, std::string>> commands()
    {
        std::vector<std::pair<int, std::string>> found;
        for (const std::string& line : lines())
            if (framed_command c = parse_host_line(line); c.board >= 0)
                found.emplace_back(c.board, c.command);
        return found;
    }
    int count(const std::string& line)
    {
        const std::vector<std::string> all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), line));
    }

    std::string link;
    // While set, board 7 announces itself every millisecond: each stray line
    // wakes the host's read, so a wait for a reply ends on its (faster) clock.
    std::atomic<bool> chatter{false};

private:
    void run()
    {
        std::string pending;
        auto next_announcement = steady::now();
        while (running_) {
            if (!announcing_.empty() && steady::now() >= next_announcement) {
                for (int board : announcing_)
                    frame(board, '*', board == 1 ? board1_announcement : board2_announcement);
                next_announcement += 50ms;
            }
            if (chatter)
                frame(7, '*', board2_announcement);
            pollfd pfd{pty_.master, POLLIN, 0};
            if (poll(&pfd, 1, chatter ? 1 : 5) <= 0)
                continue;
            char buf[512];
            const ssize_t n = read(pty_.master, buf, sizeof buf);
            if (n <= 0) {
                std::this_thread::sleep_for(5ms); // nobody has the port open
                continue;
            }
            pending.append(buf, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                {
                    std::lock_guard guard(lock_);
                    lines_.push_back(line);
                }
                respond_(*this, line);
            }
        }
    }

    serial_test::pty_pair pty_;
    serial_test::temp_dir dir_;
    responder respond_;
    std::vector<int> announcing_;
    std::atomic<bool> running_{true};
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// A device record on the port `link`, without detection.
std::unique_ptr<device> open_device(const std::string& link,
                                    std::initializer_list<uint16_t> types = {})
{
    auto dev = std::make_unique<device>();
    dev->port_name = link;
    dev->link = std::make_unique<serial_port>();
    EXPECT_TRUE(serial_init(dev->link.get(), link.c_str()));
    for (uint16_t type : types) {
        board_entry& board = dev->boards[static_cast<size_t>(++dev->board_count)];
        board.present = true;
        board.device_type = type;
    }
    return dev;
}

// Acknowledges every framed command with its tag and answers CRC queries with
// `crc`, but leaves the first `ignored` frames of `deaf_to` unanswered. While
// deaf, the clock runs 50 times faster and the hub chatters, so each try ends
// soon after its 500 ms; from the last ignored frame on the clock is real again.
fake_hub::responder acknowledging(uint16_t crc = 0, const std::string& deaf_to = "",
                                  int ignored = 0)
{
    auto left = std::make_shared<std::atomic<int>>(ignored);
    return [=](fake_hub& hub, const std::string& line) {
        const framed_command c = parse_host_line(line);
        if (c.board < 0)
            return;
        if (c.command == deaf_to && *left > 0) {
            const int now_left = --*left;
            if (now_left == ignored - 1 || now_left == 0)
                fast::set_scale(now_left == 0 ? 1 : 50);
            hub.chatter = now_left > 0;
            return;
        }
        if (c.command.rfind("!PART_CRC=", 0) == 0) {
            char report[16];
            std::snprintf(report, sizeof report, "CRC=%04X", crc);
            hub.frame(c.board, '-', report);
        } else if (c.command != "!REBOOT_BOOT") {
            hub.frame(c.board, '+', c.tag);
        }
    };
}

using sent_list = std::vector<std::pair<int, std::string>>;

// Board 1 refuses its first line once; board 2 never answers.
TEST(ExchangeOverPty, ARefusalIsResentAfterABlankLineAndTenTriesAreTheLimit)
{
    std::atomic<int> seen{0};
    fake_hub hub([&](fake_hub& h, const std::string& line) {
        if (const framed_command c = parse_host_line(line); c.board == 1)
            h.frame(1, ++seen == 1 ? '?' : '+', seen == 1 ? "" : c.tag);
    });
    auto dev = open_device(hub.link);
    EXPECT_TRUE(device_send_command(dev.get(), 1, ";10004000050011", true, 2000, false));
    EXPECT_FALSE(device_send_command(dev.get(), 2, "!STOP_PING", true, 30, true));
    // The blank line after the last try may still be on its way.
    ASSERT_TRUE(serial_test::wait_until([&] { return hub.lines().size() >= 2 + 1 + 2 * 10; }));
    EXPECT_EQ(hub.lines()[1], "\r\n") << "a refusal is answered with a blank line";
    EXPECT_EQ(hub.count("\r\n"), 1 + 10);
    sent_list expected(2, {1, ";10004000050011"});
    expected.resize(2 + 10, {2, "!STOP_PING"});
    EXPECT_EQ(hub.commands(), expected);
    device_free(dev);
}

// One 64-byte block of a 0201 section: four upload lines.
struct one_block_image {
    ufw image;
    const ufw_dfw* section = nullptr;

    one_block_image()
    {
        ufw_load_data("___310\n>>>0201\n:10400000000102030405060708090A0B0C0D0E0F38\n!!!!!!!!\n",
                      image);
        section = ufw_get_for_device_type(image, 0x0201);
    }
    std::vector<hex_line> lines() const { return ufw_get_block_lines(*section, 0); }
    uint16_t crc() const { return ufw_get_crc_for_firmware(*section, 0); }
    std::string line(size_t i) const { return lines()[i].text; }
    bool send(device* dev) const { return device_send_firmware_line_block(dev, 1, image, lines()); }
};

// The whole block from its first line, and its CRC query.
void add_block(sent_list& expected, const one_block_image& block)
{
    for (const hex_line& line : block.lines())
        expected.emplace_back(1, line.text);
    expected.emplace_back(1, "!PART_CRC=004000");
}

// A line that needs a second to fifth attempt restarts the block (the board may
// have lost its place), one that needs a sixth fails it, and after 50 attempts
// the line is given up. Each attempt is ten tries.
TEST(BlockOverPty, LineThroughAtItsFifthAttemptRestartsTheBlockAtItsSixthFailsIt)
{
    const fast::speed speed(1);
    one_block_image block;
    ASSERT_EQ(block.lines().size(), 4u);
    for (const int attempts : {2, 5, 6, 51}) {
        SCOPED_TRACE(attempts);
        fake_hub hub(acknowledging(block.crc(), block.line(2), 10 * (attempts - 1)));
        auto dev = open_device(hub.link, {0x0201});
        testing::internal::CaptureStdout();
        EXPECT_FALSE(block.send(dev.get()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(block.send(dev.get()));
        const bool restart = attempts <= 5;
        EXPECT_EQ(out,
                  serial_test::repeated("Error sending command\r\n", std::min(attempts - 1, 50))
                      + (restart ? "Restarting upload for board\r\n" : ""));
        // The third line's tries before the one that went through: within the attempt named
        // (a late acknowledgement may cost a try of it), or all 500 when given up.
        sent_list sent = hub.commands();
        const auto failed = std::count(sent.begin(), sent.end(), std::pair{1, block.line(2)}) - 1;
        EXPECT_EQ((failed - 1) / 10, std::min(attempts - 1, 49)) << failed;
        // Which lines went out, repeats of a line in a row taken as one.
        sent.erase(std::unique(sent.begin(), sent.end()), sent.end());
        sent_list expected{{1, block.line(0)}, {1, block.line(1)}, {1, block.line(2)}};
        if (restart)
            expected.emplace_back(1, "!STOP_PING");
        add_block(expected, block); // the next send, from the first line
        EXPECT_EQ(sent, expected);
        device_free(dev);
    }
}

// The port goes away before the block's first line, or in the pause after its
// second line was acknowledged: once it is back, the pings are stopped four
// times over and the block is written afresh on the next send.
TEST(BlockOverPty, PortLostBeforeOrWithinABlockRestartsItOnceItIsBack)
{
    const fast::speed speed(1);
    one_block_image block;
    for (const int lost_after : {0, 2}) {
        SCOPED_TRACE(lost_after);
        fake_hub hub(acknowledging(block.crc()));
        auto dev = open_device(hub.link, {0x0201, 0x0201});
        std::thread replug;
        auto lose_port = [&] {
            hub.unplug();
            ASSERT_TRUE(
                serial_test::wait_until([&] { return !serial_available(dev->link.get()); }));
            replug = std::thread([&] {
                std::this_thread::sleep_for(300ms);
                hub.replug();
            });
        };
        int pauses = 0;
        fast::on_line_pause = [&] {
            if (++pauses == lost_after)
                lose_port();
        };
        if (lost_after == 0)
            lose_port();
        testing::internal::CaptureStdout();
        const bool verified = block.send(dev.get());
        const std::string out = testing::internal::GetCapturedStdout();
        fast::on_line_pause = nullptr;
        replug.join();
        EXPECT_FALSE(verified);
        EXPECT_TRUE(block.send(dev.get()));
        EXPECT_EQ(out, "\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n"
                       "Restarting upload for board\r\n");
        sent_list expected;
        for (int i = 0; i < lost_after; ++i)
            expected.emplace_back(1, block.line(static_cast<size_t>(i)));
        for (int round = 0; round < 4; ++round)
            for (int board : {2, 1})
                expected.emplace_back(board, "!STOP_PING");
        add_block(expected, block);
        // A command acknowledged later than its 500 ms on a loaded machine (seen
        // under the thread sanitizer) is sent again at once: that is the exchange's
        // retry, tested above, not a round or a line of the block; repeats in a row
        // count once.
        sent_list sent = hub.commands();
        sent.erase(std::unique(sent.begin(), sent.end()), sent.end());
        EXPECT_EQ(sent, expected);
        device_free(dev);
    }
}

// The hub's end of the link is gone while its name stays, so every write is refused: the
// upload's first command (a ping stop, its writes repeated) gives up 10 s after the first
// refusal and the upload fails. Should it never give up, the name goes at 30 s.
TEST(UploadOverPty, WritesRefusedForTenSecondsGiveTheUploadUp)
{
    const fast::speed speed(4);
    const one_block_image block;
    serial_test::pty_pair pty;
    const serial_test::temp_dir dir;
    const std::string link = dir / "hub";
    ASSERT_EQ(symlink(pty.slave_path.c_str(), link.c_str()), 0);
    auto dev = open_device(link, {0x0201});
    ASSERT_TRUE(serial_available(dev->link.get()));
    close(pty.master);
    pty.master = -1;
    const int64_t start = fast::now_us();
    std::atomic<bool> ended{false};
    std::thread safety_net([&] {
        while (!ended && fast::now_us() - start < 30000000)
            std::this_thread::sleep_for(1ms);
        if (!ended)
            unlink(link.c_str());
    });
    testing::internal::CaptureStdout();
    const update_result result =
        device_do_firmware_update(dev.get(), block.image, options_record{});
    const std::string out = testing::internal::GetCapturedStdout();
    const int64_t elapsed_us = fast::now_us() - start;
    ended = true;
    safety_net.join();
    EXPECT_EQ(result, update_result::failed);
    EXPECT_TRUE(dev->link_lost);
    EXPECT_EQ(out, "Failed to update the Corvane hub. Please power cycle the hub and run hubflash "
                   "again.\r\n");
    // The program's clock counts whole milliseconds; the ping stop's 250 ms pause
    // follows, and a loaded machine may add a little.
    EXPECT_GE(elapsed_us, 10249000);
    EXPECT_LT(elapsed_us, 13000000);
    device_free(dev);
}

// A hub that stays in its normal firmware is asked five times to switch, and
// never again in the same run.
TEST(SwitchOverPty, HubThatIgnoresTheSwitchIsAskedFiveTimes)
{
    const fast::speed speed(50);
    fake_hub hub([](fake_hub& h, const std::string& line) { // in its normal firmware
        if (line == "id\r\n")
            h.text("mfr:Corvane,sn:AB12,hwid:1030,fw:3.5");
    });
    auto dev = open_device(hub.link);
    testing::internal::CaptureStdout();
    device_switch_to_bootloader(dev.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Switching to bootloader\n");
    EXPECT_FALSE(dev->in_bootloader);
    EXPECT_EQ(hub.count("boot_mode enabled\r\n"), 5);
    device_switch_to_bootloader(dev.get());
    EXPECT_EQ(hub.count("boot_mode enabled\r\n"), 6) << "later hubs of the run get one attempt";
    device_free(dev);
}

// Board 1 announces before board 2 in every round, so a window that ended at
// board 1's first announcement would miss board 2 and search for it.
TEST(DetectionOverPty, ThirdAnnouncementFromBoardOneEndsTheWindow)
{
    fake_hub hub(acknowledging(), {1, 2});
    const int64_t start = fast::now_us();
    auto dev = device_create_from_port(hub.link.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_LT(fast::now_us() - start, 2000000);
    EXPECT_TRUE(device_is_bootloader_ready(dev.get()));
    EXPECT_TRUE(hub.commands().empty()) << "no board was searched for";
    device_free(dev);
}

// Real time: the schedule of the queries is counted against the host's own loop.
TEST(DetectionOverPty, WithoutBoardOneTheWholeWindowPassesAndTheSearchIsOnce)
{
    fake_hub hub(acknowledging(), {2});
    auto dev = open_device(hub.link);
    const int64_t start = fast::now_us();
    EXPECT_FALSE(device_detect_attached(dev.get()));
    // The program's clock counts whole milliseconds: the window may end within one of 7 s.
    EXPECT_GE(fast::now_us() - start, 6999000);
    EXPECT_TRUE(dev->in_bootloader);
    EXPECT_EQ(hub.count("Dverify\r\n"), 3);
    // The last query may still be on its way to the hub when the window ends.
    serial_test::wait_until([&] { return hub.count("id\r\n") >= 4; }, 500ms);
    EXPECT_EQ(hub.count("id\r\n"), 4) << "at 0, 2, 4 and 6 s";
    device_free(dev);

    fake_hub lonely(acknowledging(), {1});
    dev = open_device(lonely.link);
    dev->board_search_done = true;
    EXPECT_FALSE(device_detect_attached(dev.get()));
    EXPECT_FALSE(dev->bootloader_ready);
    EXPECT_TRUE(lonely.commands().empty()) << "no !REBOOT_BOOT the second time";
    device_free(dev);
}

} // namespace
