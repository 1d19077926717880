// Hex fields, checksums, CRC-16 and record lines. Every reader here works on a
// view and never looks past its end: received lines and image data lines may
// be shorter than the fields they are supposed to carry.
#include "functions.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// A field of hex digits only, the usual case, is read directly. Anything else
// goes to strtoul, which needs a terminated text: the field may be the last
// characters of a line, so it is copied into a scratch buffer of its own.
unsigned long read_hex_field(std::string_view text, size_t width)
{
    const size_t n = std::min(text.size(), width);
    unsigned long value = 0;
    for (size_t i = 0; i < n; ++i) {
        const int digit = digit_value(text[i]);
        if (digit < 0) {
            char scratch[8] = {};
            std::copy_n(text.data(), n, scratch);
            return std::strtoul(scratch, nullptr, 16);
        }
        value = value * 16 + static_cast<unsigned long>(digit);
    }
    return value;
}

uint8_t twos_complement(unsigned sum)
{
    return static_cast<uint8_t>(-sum);
}

// The CRC of each byte value, one bit at a time: the upload checks a block per
// board per CRC report, and --info prints every block's, so bytes go a table step each.
constexpr std::array<uint16_t, 256> make_crc16_table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned crc = value << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[value] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc16_table = make_crc16_table();

} // namespace

int64_t read_decimal(std::string_view text, int64_t limit)
{
    size_t i = 0;
    while (i < text.size() && is_blank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && is_decimal_digit(text[i]); ++i)
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), limit);
    return negative ? -value : value;
}

std::string format_version(int32_t version)
{
    const long long magnitude = std::llabs(static_cast<long long>(version));
    char text[32];
    std::snprintf(text, sizeof text, "v%s%lld.%02lld", version < 0 ? "-" : "", magnitude / 100,
                  magnitude % 100);
    return text;
}

uint8_t ascii_hex_to_uint8(std::string_view text)
{
    return static_cast<uint8_t>(read_hex_field(text, 2));
}

uint16_t ascii_hex_to_uint16(std::string_view text)
{
    return static_cast<uint16_t>(read_hex_field(text, 4));
}

uint8_t crc2c(std::string_view text)
{
    unsigned sum = 0;
    for (const char c : text)
        sum += static_cast<unsigned char>(c);
    return twos_complement(sum);
}

uint8_t crc2c_len(std::string_view text, int32_t count)
{
    if (count <= 0)
        return 0;
    return crc2c(text.substr(0, static_cast<size_t>(count)));
}

uint8_t crc2cb(std::string_view hex_text)
{
    unsigned sum = 0;
    // A lone last digit is read as a field of one character.
    for (size_t i = 0; i < hex_text.size(); i += 2)
        sum += ascii_hex_to_uint8(hex_text.substr(i, 2));
    return twos_complement(sum);
}

uint16_t crc16_ccitt(const uint8_t* data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ crc16_table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

// An address wider than its field is written in full rather than cut, so a
// caller's mistake shows as a longer line instead of a wrong address.
hex_line build_hex_cmd(uint32_t address, uint8_t type, std::string_view data, uint8_t count)
{
    char head[32];
    if (type == 5)
        std::snprintf(head, sizeof head, ";%02X%06X%02X", static_cast<unsigned>(count),
                      static_cast<unsigned>(address), static_cast<unsigned>(type));
    else
        std::snprintf(head, sizeof head, ":%02X%04X%02X", static_cast<unsigned>(count),
                      static_cast<unsigned>(address), static_cast<unsigned>(type));

    hex_line line;
    line.address = address;
    line.text = head;
    if (count != 0)
        line.text += data;

    char checksum[4];
    std::snprintf(checksum, sizeof checksum, "%02X",
                  static_cast<unsigned>(crc2cb(std::string_view(line.text).substr(1))));
    line.text += checksum;
    return line;
}
