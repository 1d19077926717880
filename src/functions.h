// Hex fields, 8-bit checksums, CRC-16 and record-line building shared by the
// hub protocol and the firmware image loader. Pure functions: no state, no I/O.
#pragma once

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

// 0-9, a-f or A-F.
bool is_hex_digit(char c);

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
