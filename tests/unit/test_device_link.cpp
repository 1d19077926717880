// The command exchange, detection and block upload over a pseudo-terminal,
// with a scripted hub on the master side: what the host writes, how it reacts
// to each kind of reply, and how a block survives the port going away.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "functions.h"
#include "serial_test_support.h"
#include "timer.h"
#include "ufw.h"

namespace {

using namespace std::chrono_literals;
using serial_test::steady;

struct framed_command {
    int board = -1;
    std::string command;
    std::string tag; // ">" board counter
};

// "@BB00<command>|CC>tag\n" -> parts; board -1 for any other line.
framed_command parse_host_line(const std::string& line)
{
    static const std::regex frame(R"(@([0-9a-f]{2})00(.*)\|([0-9a-f]{2})(>[0-9a-f]+)\n)");
    std::smatch m;
    framed_command parsed;
    if (std::regex_match(line, m, frame)) {
        const std::string body = line.substr(0, line.find('|'));
        EXPECT_EQ(crc2c(body), std::stoi(m[3].str(), nullptr, 16)) << line;
        parsed.board = std::stoi(m[1].str(), nullptr, 16);
        parsed.command = m[2].str();
        parsed.tag = m[4].str();
    }
    return parsed;
}

uint32_t counter_of(const framed_command& c)
{
    return static_cast<uint32_t>(std::stoul(c.tag.substr(c.tag.size() - 8), nullptr, 16));
}

// A hub on the master side of a pseudo-terminal, reached through a symlink.
class fake_hub {
public:
    using responder = std::function<void(fake_hub&, const std::string& line)>;

    explicit fake_hub(responder respond, std::vector<int> announcing = {})
        : respond_(std::move(respond)), announcing_boards_(std::move(announcing))
    {
        link = dir_ / "hub";
        EXPECT_EQ(symlink(pty_.slave_path.c_str(), link.c_str()), 0);
        announcing_ = !announcing_boards_.empty();
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
        std::snprintf(head, sizeof head, "@00%02x", board);
        const std::string body = head + std::string(1, kind) + payload;
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
    std::vector<framed_command> commands()
    {
        std::vector<framed_command> found;
        for (const std::string& line : lines())
            if (framed_command c = parse_host_line(line); c.board >= 0)
                found.push_back(c);
        return found;
    }

    std::string link;

private:
    void announce()
    {
        for (int board : announcing_boards_)
            frame(board, '*', board == 1 ? "013110300101" "42" : "013110300201" "7");
    }

    void run()
    {
        std::string pending;
        auto next_announcement = steady::now();
        while (running_) {
            if (announcing_ && steady::now() >= next_announcement) {
                announce();
                next_announcement += 50ms;
            }
            pollfd pfd{pty_.master, POLLIN, 0};
            if (poll(&pfd, 1, 5) <= 0)
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
    std::vector<int> announcing_boards_;
    std::atomic<bool> announcing_{false};
    std::atomic<bool> running_{true};
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// A device record on the hub's port, without detection.
std::unique_ptr<device> open_device(const fake_hub& hub, std::initializer_list<uint16_t> types = {})
{
    auto dev = std::make_unique<device>();
    dev->port_name = hub.link;
    dev->link = std::make_unique<serial_port>();
    EXPECT_TRUE(serial_init(dev->link.get(), hub.link.c_str()));
    int32_t board = 0;
    for (uint16_t type : types) {
        dev->boards[static_cast<size_t>(++board)].present = true;
        dev->boards[static_cast<size_t>(board)].device_type = type;
    }
    dev->board_count = board;
    return dev;
}

// Acknowledges every framed command with its tag; answers CRC queries with `crc`.
fake_hub::responder acknowledging(uint16_t crc = 0)
{
    return [crc](fake_hub& hub, const std::string& line) {
        const framed_command c = parse_host_line(line);
        if (c.board < 0)
            return;
        if (c.command.rfind("!PART_CRC=", 0) == 0) {
            char report[16];
            std::snprintf(report, sizeof report, "CRC=%04X", crc);
            hub.frame(c.board, '-', report);
        } else if (c.command != "!REBOOT_BOOT") {
            hub.frame(c.board, '+', c.tag);
        }
    };
}

TEST(ExchangeOverPty, EveryAttemptTakesTheNextCounter)
{
    fake_hub hub([](fake_hub&, const std::string&) {});
    auto dev = open_device(hub);
    EXPECT_FALSE(device_send_command(dev.get(), 1, "!STOP_PING", false, 1000, true))
        << "a command that does not wait reports false";
    EXPECT_FALSE(device_send_command(dev.get(), 3, "!FINISH 0310", false, 1000, true));
    ASSERT_TRUE(serial_test::wait_until([&] { return hub.lines().size() == 2; }));
    const std::vector<framed_command> sent = hub.commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].board, 1);
    EXPECT_EQ(sent[0].command, "!STOP_PING");
    EXPECT_EQ(sent[0].tag.substr(0, 2), ">1");
    EXPECT_EQ(sent[1].board, 3);
    EXPECT_EQ(sent[1].tag.substr(0, 2), ">3");
    EXPECT_EQ(counter_of(sent[1]), counter_of(sent[0]) + 1);
    device_free(dev);
}

TEST(ExchangeOverPty, RefusalIsAnsweredWithBlankLineAndResend)
{
    std::atomic<int> seen{0};
    fake_hub hub([&](fake_hub& h, const std::string& line) {
        const framed_command c = parse_host_line(line);
        if (c.board < 0)
            return;
        if (seen++ == 0)
            h.frame(1, '?', "");
        else
            h.frame(1, '+', c.tag);
    });
    auto dev = open_device(hub);
    EXPECT_TRUE(device_send_command(dev.get(), 1, ";10004000050011", true, 2000, false));
    const std::vector<std::string> lines = hub.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "\r\n");
    const framed_command first = parse_host_line(lines[0]);
    const framed_command second = parse_host_line(lines[2]);
    EXPECT_EQ(second.command, first.command);
    EXPECT_EQ(counter_of(second), counter_of(first) + 1);
    device_free(dev);
}

TEST(ExchangeOverPty, ForeignBoardsAndEarlierTagsDoNotAcknowledge)
{
    std::atomic<int> seen{0};
    fake_hub hub([&](fake_hub& h, const std::string& line) {
        const framed_command c = parse_host_line(line);
        if (c.board < 0)
            return;
        if (seen++ == 0) {
            h.frame(2, '+', "");                 // another board
            h.frame(1, '+', ">1ffffffff");       // an attempt that is not this one
            h.frame(1, '*', "013110300101" "42"); // an announcement
            h.frame(1, '-', "CRC=1234");         // a report nobody asked for
        } else {
            h.frame(1, '+', "");
        }
    });
    auto dev = open_device(hub);
    const auto start = steady::now();
    EXPECT_TRUE(device_send_command(dev.get(), 1, "!STOP_PING", true, 300, true));
    EXPECT_GE(steady::now() - start, 300ms) << "the first attempt had to time out";
    EXPECT_EQ(hub.commands().size(), 2u);
    device_free(dev);
}

TEST(ExchangeOverPty, CrcReportFromAnyBoardAndGivingUpAfterTenAttempts)
{
    fake_hub hub([](fake_hub& h, const std::string& line) {
        const framed_command c = parse_host_line(line);
        if (c.command.rfind("!PART_CRC", 0) == 0)
            h.frame(3, '-', "CRC=2D4B");
    });
    auto dev = open_device(hub);
    EXPECT_TRUE(device_send_command(dev.get(), 1, "!PART_CRC=004000", true, 1000, true));
    EXPECT_FALSE(device_send_command(dev.get(), 1, "!STOP_PING", true, 30, true));
    // The blank line after the last attempt may still be on its way to the fake hub
    // when the call returns: wait for all 21 lines (11 commands, 10 blanks).
    ASSERT_TRUE(serial_test::wait_until([&] { return hub.lines().size() >= 21; }));
    int blanks = 0;
    for (const std::string& line : hub.lines())
        blanks += line == "\r\n";
    EXPECT_EQ(blanks, 10);
    EXPECT_EQ(hub.commands().size(), 11u);
    device_free(dev);
}

// One 64-byte block of a 0201 section: four upload lines.
struct one_block_image {
    ufw image;
    const ufw_dfw* section = nullptr;

    one_block_image()
    {
        ufw_load_data("___310\n>>>0201\n:10400000000102030405060708090A0B0C0D0E0F38\n!!!!!!!!\n", image);
        section = ufw_get_for_device_type(image, 0x0201);
    }
    std::vector<hex_line> lines() const { return ufw_get_block_lines(*section, 0); }
    uint16_t crc() const { return ufw_get_crc_for_firmware(*section, 0); }
};

std::vector<std::string> commands_to(fake_hub& hub, int board)
{
    std::vector<std::string> found;
    for (const framed_command& c : hub.commands())
        if (c.board == board)
            found.push_back(c.command);
    return found;
}

TEST(BlockOverPty, VerifiedOnlyWhenTheReportedCrcMatches)
{
    one_block_image block;
    ASSERT_EQ(block.lines().size(), 4u);
    for (const bool matching : {true, false}) {
        fake_hub hub(acknowledging(matching ? block.crc() : static_cast<uint16_t>(block.crc() ^ 1)));
        auto dev = open_device(hub, {0x0201});
        EXPECT_EQ(device_send_firmware_line_block(dev.get(), 1, block.image, block.lines()), matching);
        std::vector<std::string> expected;
        for (const hex_line& line : block.lines())
            expected.push_back(line.text);
        expected.push_back("!PART_CRC=004000");
        EXPECT_EQ(commands_to(hub, 1), expected);
        device_free(dev);
    }
}

// The restart is a failed send of its own: the block goes out afresh on the upload's next send.
TEST(BlockOverPty, PortGoneAtTheStartOfALineRestartsTheBlockOnceItIsBack)
{
    one_block_image block;
    fake_hub hub(acknowledging(block.crc()));
    auto dev = open_device(hub, {0x0201, 0x0201});
    hub.unplug();
    ASSERT_TRUE(serial_test::wait_until([&] { return !serial_available(dev->link.get()); }));
    std::thread replug([&] {
        std::this_thread::sleep_for(300ms);
        hub.replug();
    });
    testing::internal::CaptureStdout();
    const bool restarted = device_send_firmware_line_block(dev.get(), 1, block.image, block.lines());
    const std::string out = testing::internal::GetCapturedStdout();
    replug.join();
    EXPECT_FALSE(restarted);
    EXPECT_TRUE(device_send_firmware_line_block(dev.get(), 1, block.image, block.lines()));
    EXPECT_EQ(out, "\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n"
                   "Restarting upload for board\r\n");
    // Four rounds of STOP_PING to boards 2 and 1 before the block goes out from its first line.
    std::vector<std::pair<int, std::string>> expected;
    for (int round = 0; round < 4; ++round)
        for (int board : {2, 1})
            expected.emplace_back(board, "!STOP_PING");
    for (const hex_line& line : block.lines())
        expected.emplace_back(1, line.text);
    expected.emplace_back(1, "!PART_CRC=004000");
    std::vector<std::pair<int, std::string>> sent;
    for (const framed_command& c : hub.commands())
        sent.emplace_back(c.board, c.command);
    EXPECT_EQ(sent, expected);
    device_free(dev);
}

fake_hub::responder identity_on_id(const std::string& identity, bool announce_first = false)
{
    return [=](fake_hub& h, const std::string& line) {
        if (line != "id\r\n")
            return;
        if (announce_first)
            h.frame(2, '*', "013110300201" "7");
        h.text(identity);
    };
}

TEST(DetectionOverPty, IdentityLineMeansNormalFirmware)
{
    fake_hub hub(identity_on_id("mfr:Corvane,sn:AB12,hwid:1030,fw:3.5"));
    const auto start = steady::now();
    auto dev = device_create_from_port(hub.link.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_LT(steady::now() - start, 2s) << "the identity line ends detection at once";
    EXPECT_TRUE(dev->detected);
    EXPECT_FALSE(dev->in_bootloader);
    EXPECT_FALSE(device_is_bootloader_ready(dev.get()));
    EXPECT_EQ(dev->hwid, 0x1030);
    EXPECT_EQ(dev->fw_version, 305);
    EXPECT_EQ(dev->serial, "AB12");
    const std::vector<std::string> lines = hub.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Dverify\r\n");
    EXPECT_EQ(lines[1], "id\r\n");
    device_free(dev);
}

TEST(DetectionOverPty, IdentityAfterAnAnnouncementLeavesTheHubNotReady)
{
    fake_hub hub(identity_on_id("mfr:Corvane,sn:AB12,hwid:1030,fw:3.5", true));
    auto dev = device_create_from_port(hub.link.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(dev->in_bootloader);
    EXPECT_FALSE(dev->bootloader_ready);
    EXPECT_FALSE(device_is_bootloader_ready(dev.get()));
    device_free(dev);
}

TEST(DetectionOverPty, ThirdAnnouncementFromBoardOneEndsTheWindow)
{
    fake_hub hub(acknowledging(), {2, 1});
    const auto start = steady::now();
    auto dev = device_create_from_port(hub.link.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_LT(steady::now() - start, 2s);
    EXPECT_TRUE(device_is_bootloader_ready(dev.get()));
    EXPECT_EQ(dev->board_count, 2);
    EXPECT_EQ(dev->serial, "1030.0042");
    EXPECT_EQ(dev->fw_version, 305);
    EXPECT_EQ(dev->boards[2].device_type, 0x0201);
    EXPECT_TRUE(hub.commands().empty());
    device_free(dev);
}

TEST(DetectionOverPty, NoSecondSearchForMissingBoards)
{
    fake_hub hub(acknowledging(), {1});
    auto dev = open_device(hub);
    dev->board_search_done = true;
    const auto start = steady::now();
    EXPECT_FALSE(device_detect_attached(dev.get()));
    EXPECT_LT(steady::now() - start, 2s);
    EXPECT_TRUE(dev->in_bootloader);
    EXPECT_FALSE(dev->bootloader_ready);
    EXPECT_TRUE(hub.commands().empty()) << "no !REBOOT_BOOT the second time";
    device_free(dev);
}

TEST(DetectionOverPty, WithoutBoardOneTheWholeWindowPassesInVain)
{
    fake_hub hub(acknowledging(), {2});
    auto dev = open_device(hub);
    const auto start = steady::now();
    EXPECT_FALSE(device_detect_attached(dev.get()));
    // The clock counts whole milliseconds, so the window may end a fraction early.
    EXPECT_GE(steady::now() - start, 6990ms);
    EXPECT_LT(steady::now() - start, 8s);
    EXPECT_TRUE(dev->in_bootloader);
    int dverify = 0;
    int id = 0;
    for (const std::string& line : hub.lines()) {
        dverify += line == "Dverify\r\n";
        id += line == "id\r\n";
    }
    EXPECT_EQ(dverify, 3);
    EXPECT_EQ(id, 4) << "at 0, 2, 4 and 6 s";
    device_free(dev);
}

} // namespace
