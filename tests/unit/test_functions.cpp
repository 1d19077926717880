#include <gtest/gtest.h>

#include <string>

#include "functions.h"

namespace {

uint16_t crc_of(std::string_view bytes)
{
    return crc16_ccitt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(HexFields, ReadLikeStrtoulWithinTheirWidthAndView)
{
    EXPECT_EQ(ascii_hex_to_uint16("1030"), 0x1030);
    EXPECT_EQ(ascii_hex_to_uint8("e5"), 229);
    EXPECT_EQ(ascii_hex_to_uint8("E5"), 229);
    EXPECT_EQ(ascii_hex_to_uint16("123456"), 0x1234);
    EXPECT_EQ(ascii_hex_to_uint8("zz"), 0);
    EXPECT_EQ(ascii_hex_to_uint16("7fzz"), 0x7F);
    EXPECT_EQ(ascii_hex_to_uint16("0x1F"), 0x1F);
    EXPECT_EQ(ascii_hex_to_uint16(" 12 "), 0x12);
    EXPECT_EQ(ascii_hex_to_uint8(""), 0);
    EXPECT_EQ(ascii_hex_to_uint16(std::string_view("1234").substr(0, 2)), 0x12);
}

TEST(Checksums, MakeTheCoveredBytesSumToZero)
{
    EXPECT_EQ(crc2c("@0100!STOP_PING"), 0x0B);
    EXPECT_EQ(crc2c(""), 0);
    EXPECT_EQ(crc2c("\xF0"), 0x10); // bytes count as unsigned
    EXPECT_EQ(crc2c_len("@0100!STOP_PINGxyz", 15), 0x0B);
    EXPECT_EQ(crc2c_len("@0100", 0), 0);
    EXPECT_EQ(crc2c_len("@0100", -5), 0);
    EXPECT_EQ(crc2c_len(std::string_view("AB").substr(0, 1), 100), crc2c("A"));
    EXPECT_EQ(crc2cb("00000001"), 0xFF);
    EXPECT_EQ(crc2cb("E5"), 0x1B);
    EXPECT_EQ(crc2cb("e5"), 0x1B);
    EXPECT_EQ(crc2cb("01F"), 0xF0); // a lone last digit is a one-character field
}

TEST(Crc16, IsCcittFalseOverExactlyTheLength)
{
    EXPECT_EQ(crc_of("123456789"), 0x29B1);
    EXPECT_EQ(crc_of("abc"), 0x514A);
    EXPECT_EQ(crc_of("A"), 0xB915);
    EXPECT_EQ(crc16_ccitt(nullptr, 0), 0xFFFF);
    const std::string erased(64, '\xFF');
    EXPECT_NE(crc_of(erased), crc_of(std::string_view(erased).substr(1)));
}

TEST(RecordLines, BothFormsWithTheirChecksums)
{
    const hex_line eof = build_hex_cmd(0, 1, "DEADBEEF", 0); // count 0: data ignored
    EXPECT_EQ(eof.text, ":00000001FF");
    EXPECT_EQ(build_hex_cmd(0x4000, 0, "000102030405060708090A0B0C0D0E0F", 16).text,
              ":10400000000102030405060708090A0B0C0D0E0F38");
    const hex_line upload = build_hex_cmd(0x4000, 5, "000102030405060708090A0B0C0D0E0F", 16);
    EXPECT_EQ(upload.text, ";1000400005000102030405060708090A0B0C0D0E0F33");
    EXPECT_EQ(upload.address, 0x4000u);
    EXPECT_EQ(build_hex_cmd(0x4010, 5, std::string(32, 'F'), 16).text,
              ";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB");
    const hex_line lower = build_hex_cmd(0x01ABCD, 5, "00FF7e", 3); // data copied unchanged
    EXPECT_EQ(lower.text.substr(0, 17), ";0301ABCD0500FF7e");
    EXPECT_EQ(crc2cb(std::string_view(lower.text).substr(1)), 0);
    // An address wider than its field is written in full, not cut.
    EXPECT_EQ(build_hex_cmd(0x12345, 0, "", 0).text.substr(0, 10), ":001234500");
}

} // namespace
