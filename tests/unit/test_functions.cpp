#include <gtest/gtest.h>

#include <string>

#include "functions.h"

namespace {

TEST(HexFields, ReadLikeStrtoulWithinTheirWidthAndView)
{
    EXPECT_EQ(ascii_hex_to_uint8("e5") + ascii_hex_to_uint8("E5"), 2 * 0xE5);
    EXPECT_EQ(ascii_hex_to_uint16("123456"), 0x1234);
    EXPECT_EQ(ascii_hex_to_uint8("zz") + ascii_hex_to_uint8(""), 0);
    EXPECT_EQ(ascii_hex_to_uint16("7fzz"), 0x7F);
    EXPECT_EQ(ascii_hex_to_uint16("0x1F") + ascii_hex_to_uint16(" 12 "), 0x1F + 0x12);
    EXPECT_EQ(ascii_hex_to_uint16(std::string_view("1234").substr(0, 2)), 0x12);
}

TEST(Checksums, MakeTheCoveredBytesSumToZero)
{
    EXPECT_EQ(crc2c("\xF0"), 0x10); // bytes count as unsigned
    EXPECT_EQ(crc2c_len("@0100!STOP_PINGxyz", 15), crc2c("@0100!STOP_PING"));
    EXPECT_EQ(crc2c_len("@0100", -5), 0);
    EXPECT_EQ(crc2c_len(std::string_view("AB").substr(0, 1), 100), crc2c("A"));
    EXPECT_EQ(crc2cb("00000001"), 0xFF);
    EXPECT_EQ(crc2cb("e5"), crc2cb("E5"));
    EXPECT_EQ(crc2cb("01F"), 0xF0);        // a lone last digit is a one-character field
    const std::string check = "123456789"; // CRC-16/CCITT-FALSE's check value, then one byte less
    EXPECT_EQ(crc16_ccitt(reinterpret_cast<const uint8_t*>(check.data()), 9), 0x29B1);
    EXPECT_EQ(crc16_ccitt(reinterpret_cast<const uint8_t*>(check.data()), 8), 0xA12B);
}

} // namespace
