// Hex fields, 8-bit checksums, CRC-16 and record-line building shared by the
// hub protocol and the firmware image loader, and the small text readers that
// every module shares. Pure functions: no state, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// One text line with the flash address of its first data byte: a data line of
// an image section (address unused) or an upload line ready to send to a board.
struct hex_line {
    uint32_t address = 0;
    std::string text;
};

// ---- Characters ----

// The blanks of C's isspace: space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool is_decimal_digit(char c)
{
    return c >= '0' && c <= '9';
}
// Every character of an image passes here, so it is a table: digits of random
// data would defeat a branch predictor's guesses at "0-9" or "A-F". 0xFF marks
// a character that is no digit.
inline constexpr std::array<uint8_t, 256> hex_digit_values = [] {
    std::array<uint8_t, 256> values{};
    values.fill(0xFF);
    constexpr std::string_view lower = "0123456789abcdef";
    constexpr std::string_view upper = "ABCDEF";
    for (size_t i = 0; i < lower.size(); ++i)
        values[static_cast<unsigned char>(lower[i])] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < upper.size(); ++i)
        values[static_cast<unsigned char>(upper[i])] = static_cast<uint8_t>(10 + i);
    return values;
}();
// The value of a digit in base 10 or 16 (either case), or -1.
constexpr int digit_value(char c, int base = 16)
{
    const int value = hex_digit_values[static_cast<unsigned char>(c)];
    return value < base ? value : -1;
}
// 0-9, a-f or A-F.
constexpr bool is_hex_digit(char c)
{
    return digit_value(c) >= 0;
}

// ---- Numbers and versions in text ----

// A decimal number read the way atoi reads one (blanks, a sign, digits up to
// the first other character), its magnitude held at `limit` instead of
// overflowing; no digits read as 0.
int64_t read_decimal(std::string_view text, int64_t limit);
// "v2.15" of 215 (major * 100 + minor); a negative version keeps its sign in
// front ("v-2.15"), where a corrupt file or list may show one.
std::string format_version(int32_t version);

// ---- Lines ----

// Splits text that may come in pieces into its lines at each line feed (the
// line feed is not part of the line); the text's last line needs none.
class line_splitter {
public:
    // Calls `take(line)` for every line the piece completes, while it returns true.
    template <typename Take> bool feed(std::string_view piece, Take take)
    {
        for (size_t end; (end = piece.find('\n')) != std::string_view::npos;
             piece.remove_prefix(end + 1)) {
            if (!carry_.empty()) {
                carry_.append(piece.substr(0, end));
                const bool go_on = take(std::string_view(carry_));
                carry_.clear();
                if (!go_on)
                    return false;
            } else if (!take(piece.substr(0, end))) {
                return false;
            }
        }
        carry_.append(piece);
        return true;
    }
    // The last line, when no line feed ended it.
    template <typename Take> void finish(Take take)
    {
        if (!carry_.empty())
            take(std::string_view(carry_));
        carry_.clear();
    }

private:
    std::string carry_;
};

// ---- Hex fields and checksums ----

// Read the first 2 (or 4) characters as a base-16 number the way strtoul does:
// either case, leading blanks, a sign and 0x accepted, stops at the first
// non-digit. A view shorter than the field is read as far as it goes.
uint8_t ascii_hex_to_uint8(std::string_view text);
uint16_t ascii_hex_to_uint16(std::string_view text);

// Two's complement of the 8-bit sum of the characters, so that the covered
// bytes plus the checksum sum to 0 modulo 256.
uint8_t crc2c(std::string_view text);
// The same over the first `count` characters (none when count <= 0; never past the end).
uint8_t crc2c_len(std::string_view text, int32_t count);
// The same over the bytes that pairs of hex digits stand for.
uint8_t crc2cb(std::string_view hex_text);

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, not reflected, no final XOR.
uint16_t crc16_ccitt(const uint8_t* data, size_t length);

// Build a record line: ":CCAAAATT<data>SS" for record types other than 5,
// ";CCAAAAAATT<data>SS" (24-bit address) for type 5, hex digits upper case.
hex_line build_hex_cmd(uint32_t address, uint8_t type, std::string_view data, uint8_t count);
