// The framed line format, the reply rules of a waiting command, and what the
// host reads from identity lines and board announcements.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

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

TEST(BootloaderLine, FieldsAreReadOnlyAsFarAsTheFrameGoes)
{
    const std::tuple<std::string, int, int, char, std::string> cases[] = {
        {"@0001+>100000000|e5", 0, 1, '+', ">100000000"},
        {reply("@0703*0131103001011234", true), 7, 3, '*', "0131103001011234"},
        {reply("@0"), 0, 0, 0, ""},
        {reply("@0002"), 0, 2, 0, ""},
        {reply("@0001+" + std::string(300, 'p')), 0, 1, '+', std::string(255, 'p')},
    };
    for (const auto& [text, destination, source, kind, payload] : cases) {
        const bootloader_line line = parsed(text);
        EXPECT_EQ(std::tuple(line.destination, line.source, line.kind, std::string(line.payload)),
                  std::tuple(destination, source, kind, payload))
            << text;
    }
    bootloader_line line; // zeroed when refused: the fuzz target checks that on every input
    const std::string refused[] = {
        "@0001-CRC=2D4B|d0", "@0001-CRC=2D4B|d2", "@|00",     "",        "@",
        "0001+|00",          reply("#0001+"),     "@0001+00", "@0001+|0"};
    for (const std::string& text : refused)
        EXPECT_FALSE(device_is_bootloader_line(text, &line)) << text;
}

TEST(CommandLine, FramesCommandWithChecksumAndTagAndCutsItToFit)
{
    command_line line;
    device_build_command_line(1, "!STOP_PING", 0, line);
    EXPECT_STREQ(line.text, "@0100!STOP_PING|0b>100000000\n");
    device_build_command_line(0xFF, std::string(400, 'c'), 7, line);
    const std::string text = line.text;
    EXPECT_EQ(text.substr(0, 241), "@ff00" + std::string(236, 'c'));
    EXPECT_EQ(text.substr(241, 1) + text.substr(244), "|>ff00000007\n");
}

// Waiting for the tag ">100000005" from board 1.
TEST(Reply, AcknowledgementAndCrcReportRules)
{
    const auto judge = [](const char* body, bool crc_query) {
        return device_judge_reply(parsed(reply(body)), 1, crc_query, ">100000005");
    };
    for (const char* body : {"@0001+", "@0001+OK", "@0001+>100000005"})
        EXPECT_EQ(judge(body, false), reply_verdict::accept) << body;
    EXPECT_EQ(judge("@0001?", false), reply_verdict::resend);
    // An earlier attempt's tag, another board, any other kind of line.
    for (const char* body : {"@0001+>100000004", "@0001+>1000000050", "@0002+", "@0002?",
                             "@0001-CRC=1234", "@0001*0131103001011234"})
        EXPECT_EQ(judge(body, false), reply_verdict::skip) << body;
    EXPECT_EQ(judge("@0003-CRC=2D4B", true), reply_verdict::accept) << "a report from any board";
    for (const char* body : {"@0001-CRC", "@0001-crc=2D4B", "@0001+>100000005", "@0001?"})
        EXPECT_EQ(judge(body, true), reply_verdict::skip) << body;
}

TEST(Identity, FieldsAndVersionForms)
{
    device dev;
    device_read_identity_line(&dev, "mfr:x,sn:0123456789abcdefghijKLMN,nocolon,hwid:1050,fw:3.5");
    EXPECT_EQ(dev.serial, "0123456789abcdefghi");
    ASSERT_NE(dev.system, nullptr);
    EXPECT_EQ(dev.system->name, "Halbern-24");
    EXPECT_EQ(dev.fw_version, 305);
    device_read_identity_line(&dev, "mfr:x,hwid:1234,sn:");
    EXPECT_EQ(dev.system, nullptr) << "an unknown code drops the earlier descriptor";
    EXPECT_EQ(dev.serial, "");
    const std::pair<const char*, int> versions[] = {{"fw:3.05", 305}, {"fw:2.10", 210},
                                                    {"fw:3", 300},    {"fw:12.", 1200},
                                                    {"fw:.7", 7},     {"fw:", 0}};
    for (const auto& [line, version] : versions) {
        device_read_identity_line(&dev, line);
        EXPECT_EQ(dev.fw_version, version) << line;
    }
}

device announced(std::initializer_list<const char*> bodies)
{
    device dev;
    for (const char* body : bodies)
        device_read_announcement(&dev, parsed(reply(body)));
    return dev;
}

TEST(Announcement, FillsTheBoardEntryOnceAndOnlyInsideTheTable)
{
    device dev;
    for (const char* body : {"@0008*0131103001010042", "@0001+0131103001010042"})
        EXPECT_FALSE(device_read_announcement(&dev, parsed(reply(body)))) << body;
    EXPECT_FALSE(dev.detected);
    dev = announced({"@0000*0131103001010042", "@0001*0131103001010042", "@0001*0200105002019999",
                     "@0002*01311"});
    EXPECT_TRUE(dev.in_bootloader);
    EXPECT_EQ(dev.board_count, 2) << "board numbers start at 1";
    const auto entry = [&](size_t b) {
        const board_entry& e = dev.boards[b];
        return std::tuple{e.present, e.fw_version, e.hwid, e.device_type, e.serial_number};
    };
    EXPECT_EQ(entry(1), (std::tuple{true, 0x0131, 0x1030, 0x0101, 42}))
        << "a repeat changes nothing";
    EXPECT_EQ(entry(2), (std::tuple{true, 0x0131, 0x1, 0, 0})) << "only what is there is read";
}

} // namespace
