// The framed line format, the reply rules of a waiting command, and what the
// host reads from identity lines and board announcements.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device.h"
#include "functions.h"

namespace {

// A reply line with a correct checksum: "@" dest source kind payload "|" checksum.
std::string reply(const std::string& body, bool upper = false)
{
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, upper ? "%02X" : "%02x", crc2c(body));
    return body + "|" + checksum;
}

bootloader_line parsed(const std::string& text)
{
    bootloader_line line;
    EXPECT_TRUE(device_is_bootloader_line(text, &line)) << text;
    return line;
}

bool accepted(const std::string& text)
{
    bootloader_line line;
    return device_is_bootloader_line(text, &line);
}

TEST(BootloaderLine, ParsesAcknowledgementAndCrcReport)
{
    bootloader_line ack = parsed("@0001+>100000000|e5");
    EXPECT_EQ(ack.destination, 0);
    EXPECT_EQ(ack.source, 1);
    EXPECT_EQ(ack.kind, '+');
    EXPECT_STREQ(ack.payload, ">100000000");

    bootloader_line report = parsed("@0001-CRC=2D4B|d1");
    EXPECT_EQ(report.kind, '-');
    EXPECT_STREQ(report.payload, "CRC=2D4B");

    bootloader_line announce = parsed(reply("@0703*0131103001011234"));
    EXPECT_EQ(announce.destination, 7);
    EXPECT_EQ(announce.source, 3);
    EXPECT_EQ(announce.kind, '*');
    EXPECT_STREQ(announce.payload, "0131103001011234");
}

TEST(BootloaderLine, ChecksumDigitsInEitherCaseButExact)
{
    EXPECT_TRUE(accepted(reply("@0001-CRC=2D4B", true)));
    EXPECT_TRUE(accepted("@0001-CRC=2D4B|D1"));
    EXPECT_FALSE(accepted("@0001-CRC=2D4B|d0"));
    EXPECT_FALSE(accepted("@0001-CRC=2D4B|d2"));
    EXPECT_FALSE(accepted("@0001+>100000000|e4"));
    EXPECT_FALSE(accepted("@0001+>100000001|e5")); // one changed character
}

TEST(BootloaderLine, RefusesWhatIsNotFramed)
{
    bootloader_line line;
    line.kind = 'x';
    line.payload[0] = 'y';
    EXPECT_FALSE(device_is_bootloader_line("@|00", &line));
    EXPECT_EQ(line.kind, 0) << "the result is zeroed even when refused";
    EXPECT_EQ(line.payload[0], 0);
    EXPECT_FALSE(accepted(""));
    EXPECT_FALSE(accepted("@"));
    EXPECT_FALSE(accepted("0001+|00"));
    EXPECT_FALSE(accepted(reply("#0001+")));
    EXPECT_FALSE(accepted("@0001+00")); // no bar third from the end
    EXPECT_FALSE(accepted("@0001+|0")); // bar second from the end
    EXPECT_FALSE(accepted("mfr:Corvane,sn:1030.1234,hwid:1030,fw:3.05"));
}

// Frames too short for their fields: the fields read only what precedes the bar.
TEST(BootloaderLine, ShortFramesLeaveMissingFieldsEmpty)
{
    bootloader_line line = parsed(reply("@0"));
    EXPECT_EQ(line.source, 0);
    EXPECT_EQ(line.kind, 0);
    EXPECT_STREQ(line.payload, "");

    line = parsed(reply("@0002"));
    EXPECT_EQ(line.source, 2);
    EXPECT_EQ(line.kind, 0);

    line = parsed(reply("@0002+"));
    EXPECT_EQ(line.kind, '+');
    EXPECT_STREQ(line.payload, "");
}

TEST(BootloaderLine, LongPayloadIsCutTo255)
{
    const std::string payload(300, 'p');
    bootloader_line line = parsed(reply("@0001+" + payload));
    EXPECT_EQ(std::string(line.payload), std::string(255, 'p'));
    EXPECT_EQ(line.payload[255], '\0');
}

TEST(CommandLine, FramesCommandWithChecksumAndTag)
{
    command_line line;
    device_build_command_line(1, "!STOP_PING", 0, line);
    EXPECT_STREQ(line.text, "@0100!STOP_PING|0b>100000000\n");
    EXPECT_STREQ(line.tag, ">100000000");
    EXPECT_EQ(line.length, std::string(line.text).size());

    device_build_command_line(10, "!PART_CRC=004000", 0xFFFFFFFF, line);
    const std::string text = line.text;
    EXPECT_EQ(text.substr(0, 21), "@0a00!PART_CRC=004000");
    EXPECT_EQ(text.substr(21, 1), "|");
    EXPECT_EQ(crc2c(text.substr(0, 21)), ascii_hex_to_uint8(text.substr(22, 2)));
    EXPECT_EQ(text.substr(24), ">affffffff\n");
}

TEST(CommandLine, OverlongCommandIsCutToFitTheLine)
{
    command_line line;
    device_build_command_line(0xFF, std::string(400, 'c'), 7, line);
    const std::string text = line.text;
    EXPECT_EQ(text, "@ff00" + std::string(236, 'c') + text.substr(241));
    EXPECT_EQ(text.substr(241, 1), "|");
    EXPECT_EQ(text.substr(244), ">ff00000007\n");
    EXPECT_LT(text.size(), sizeof line.text);
}

TEST(Reply, AcknowledgementRules)
{
    const std::string tag = ">100000005";
    auto judge = [&](const std::string& text, uint8_t board) {
        return device_judge_reply(parsed(text), board, false, tag);
    };
    EXPECT_EQ(judge(reply("@0001+"), 1), reply_verdict::accept);
    EXPECT_EQ(judge(reply("@0001+OK"), 1), reply_verdict::accept);
    EXPECT_EQ(judge(reply("@0001+>100000005"), 1), reply_verdict::accept);
    EXPECT_EQ(judge(reply("@0001+>100000004"), 1), reply_verdict::skip) << "an earlier attempt's tag";
    EXPECT_EQ(judge(reply("@0001+>1000000050"), 1), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0002+"), 1), reply_verdict::skip) << "another board";
    EXPECT_EQ(judge(reply("@0002?"), 1), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0001?"), 1), reply_verdict::resend);
    EXPECT_EQ(judge(reply("@0001-CRC=1234"), 1), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0001*0131103001011234"), 1), reply_verdict::skip);
}

TEST(Reply, CrcReportFromAnyBoardAnswersACrcQuery)
{
    auto judge = [](const std::string& text) {
        return device_judge_reply(parsed(text), 1, true, ">100000000");
    };
    EXPECT_EQ(judge(reply("@0001-CRC=2D4B")), reply_verdict::accept);
    EXPECT_EQ(judge(reply("@0003-CRC=2D4B")), reply_verdict::accept);
    EXPECT_EQ(judge(reply("@0001-CRC")), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0001-crc=2D4B")), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0001+")), reply_verdict::skip);
    EXPECT_EQ(judge(reply("@0001?")), reply_verdict::skip) << "a CRC query does not resend on '?'";
}

TEST(Identity, ReadsSerialHwidAndVersion)
{
    device dev;
    device_read_identity_line(&dev, "mfr:x,sn:AB12,hwid:1030,fw:3.5");
    EXPECT_EQ(dev.hwid, 0x1030);
    EXPECT_EQ(dev.fw_version, 305);
    EXPECT_EQ(dev.serial, "AB12");
    ASSERT_NE(dev.system, nullptr);
    EXPECT_EQ(dev.system->name, "Halbern-16");
    EXPECT_FALSE(dev.in_bootloader);
}

TEST(Identity, VersionForms)
{
    const std::pair<const char*, uint16_t> cases[] = {
        {"mfr:x,fw:3.05", 305}, {"mfr:x,fw:2.10", 210}, {"mfr:x,fw:3", 300},
        {"mfr:x,fw:0.99", 99},  {"mfr:x,fw:12.", 1200}, {"mfr:x,fw:.7", 7},
        {"mfr:x,fw:", 0},
    };
    for (const auto& [line, version] : cases) {
        device dev;
        dev.fw_version = 4242;
        device_read_identity_line(&dev, line);
        EXPECT_EQ(dev.fw_version, version) << line;
    }
}

TEST(Identity, LongSerialIsCutTo19AndUnknownKeysAreSkipped)
{
    device dev;
    device_read_identity_line(&dev, "mfr:x,sn:0123456789abcdefghijKLMN,color:red,nocolon,hwid:1050");
    EXPECT_EQ(dev.serial, "0123456789abcdefghi");
    EXPECT_EQ(dev.hwid, 0x1050);
    ASSERT_NE(dev.system, nullptr);
    EXPECT_EQ(dev.system->board_count, 3);
}

TEST(Identity, UnknownHwidDropsEarlierDescriptor)
{
    device dev;
    device_read_identity_line(&dev, "mfr:x,hwid:1030");
    ASSERT_NE(dev.system, nullptr);
    device_read_identity_line(&dev, "mfr:x,hwid:1234,sn:");
    EXPECT_EQ(dev.hwid, 0x1234);
    EXPECT_EQ(dev.system, nullptr);
    EXPECT_EQ(dev.serial, "");
}

TEST(Announcement, FillsTheBoardEntryOnce)
{
    device dev;
    ASSERT_TRUE(device_read_announcement(&dev, parsed(reply("@0001*0131103001010042"))));
    EXPECT_TRUE(dev.detected);
    EXPECT_TRUE(dev.in_bootloader);
    EXPECT_EQ(dev.board_count, 1);
    const board_entry& board = dev.boards[1];
    EXPECT_TRUE(board.present);
    EXPECT_EQ(board.fw_version, 0x0131);
    EXPECT_EQ(board.hwid, 0x1030);
    EXPECT_EQ(board.device_type, 0x0101);
    EXPECT_EQ(board.serial_number, 42);

    // A repeat from a board already present changes nothing.
    EXPECT_TRUE(device_read_announcement(&dev, parsed(reply("@0001*0200105002019999"))));
    EXPECT_EQ(dev.board_count, 1);
    EXPECT_EQ(dev.boards[1].fw_version, 0x0131);
    EXPECT_EQ(dev.boards[1].serial_number, 42);
}

TEST(Announcement, ShortPayloadReadsOnlyWhatIsThere)
{
    device dev;
    ASSERT_TRUE(device_read_announcement(&dev, parsed(reply("@0002*01311"))));
    const board_entry& board = dev.boards[2];
    EXPECT_TRUE(board.present);
    EXPECT_EQ(board.fw_version, 0x0131);
    EXPECT_EQ(board.hwid, 0x1);
    EXPECT_EQ(board.device_type, 0);
    EXPECT_EQ(board.serial_number, 0);
}

TEST(Announcement, BoardNumbersOutsideTheTable)
{
    device dev;
    EXPECT_FALSE(device_read_announcement(&dev, parsed(reply("@0008*0131103001010042"))));
    EXPECT_FALSE(device_read_announcement(&dev, parsed(reply("@00ff*0131103001010042"))));
    EXPECT_FALSE(dev.detected);
    EXPECT_EQ(dev.board_count, 0);

    EXPECT_TRUE(device_read_announcement(&dev, parsed(reply("@0000*0131103001010042"))));
    EXPECT_TRUE(dev.in_bootloader);
    EXPECT_EQ(dev.board_count, 0) << "board numbers start at 1";
    EXPECT_FALSE(dev.boards[0].present);

    EXPECT_FALSE(device_read_announcement(&dev, parsed(reply("@0001+0131103001010042"))));
    EXPECT_EQ(dev.board_count, 0);
}

device announced(std::initializer_list<const char*> bodies)
{
    device dev;
    for (const char* body : bodies)
        device_read_announcement(&dev, parsed(reply(body)));
    return dev;
}

TEST(BoardCheck, CompleteHubTakesIdentityFromMainBoard)
{
    device dev = announced({"@0002*0100103002020007", "@0001*0131103001010042"});
    dev.serial = "old";
    ASSERT_EQ(device_check_boards(&dev), board_check::complete);
    EXPECT_EQ(dev.serial, "1030.0042");
    EXPECT_EQ(dev.hwid, 0x1030);
    EXPECT_EQ(dev.fw_version, 305);
    EXPECT_TRUE(dev.bootloader_ready);
    EXPECT_TRUE(device_is_bootloader_ready(&dev));
    ASSERT_NE(dev.system, nullptr);
    EXPECT_EQ(dev.system->name, "Halbern-16");
}

TEST(BoardCheck, MissingBoardOfTheHubType)
{
    device dev = announced({"@0001*0131105001011234", "@0002*0131105001011234"});
    EXPECT_EQ(device_check_boards(&dev), board_check::missing_boards);
    EXPECT_FALSE(dev.bootloader_ready);
    EXPECT_FALSE(device_is_bootloader_ready(&dev));
}

TEST(BoardCheck, UnknownHubType)
{
    device dev = announced({"@0001*0131123401011234", "@0002*0131123401011234"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(device_check_boards(&dev), board_check::unknown_type);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Unknown Corvane hub type\n");
    EXPECT_FALSE(dev.bootloader_ready);
}

TEST(HubTypes, Table)
{
    const struct {
        uint16_t code;
        const char* name;
        int32_t boards;
    } types[] = {
        {0x1010, "Halbern-8", 2},  {0x1011, "Halbern-8T", 2}, {0x1020, "Halbern-10", 2},
        {0x1030, "Halbern-16", 2}, {0x1050, "Halbern-24", 3}, {0x1080, "Halbern-20", 4},
        {0x1131, "Halbern Tray-16T", 2},
    };
    for (const auto& type : types) {
        auto system = device_get_system_from_code(type.code);
        ASSERT_NE(system, nullptr) << type.code;
        EXPECT_EQ(system->code, type.code);
        EXPECT_EQ(system->name, type.name);
        EXPECT_EQ(system->board_count, type.boards);
    }
    for (uint16_t code : {0x0000, 0x1234, 0x1031, 0x1130, 0xFFFF})
        EXPECT_EQ(device_get_system_from_code(code), nullptr) << code;
}

} // namespace
