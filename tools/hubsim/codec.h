// Text and checksum rules of the hub's serial protocol, as the hub sees them.
// Kept apart from hubflash's own helpers on purpose: the simulator must not
// share a fault with the program it checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hubsim {

// Two's complement of the 8-bit sum of the bytes.
uint8_t sum_checksum(std::string_view text);
// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, no reflection, no final XOR.
uint16_t crc16_ccitt_false(const uint8_t* data, size_t length);
// CRC-32 as zlib computes it (reflected 0xEDB88320, init and final XOR ~0).
uint32_t crc32_zlib(const uint8_t* data, size_t length);

// Value of a hex field of exactly `text.size()` digits (either case), or none.
std::optional<uint32_t> hex_field(std::string_view text);
bool is_lower_hex(std::string_view text);
bool is_upper_hex(std::string_view text);

// Printable form of received bytes for violation texts: \r, \n, \xNN.
std::string escape_bytes(std::string_view bytes);

enum class PlainKind { id, dverify, boot_mode, blank };

// One line from the host, terminator included, checked against the format
// the host must use.
struct HostLine {
    bool framed = false;
    std::optional<PlainKind> plain; // set for one of the four legal plain lines
    // Framed lines: whether a board can tell that it is addressed and that the
    // line arrived intact (checksum right); the command is then carried out even
    // when the line breaks a formatting rule.
    bool addressed = false; // destination readable
    bool intact = false;    // source "00" and checksum correct
    int destination = -1;
    std::string command;
    std::string tag;                   // everything after the checksum digits
    std::optional<uint32_t> counter;   // from a well-formed tag
    std::vector<std::string> problems; // rule breaches, without the line text
};

HostLine parse_host_line(std::string_view line);

struct ReplyStyle {
    bool prefix = false;         // ">>" before the line
    bool lf_only = false;        // LF instead of CR LF
    bool upper_checksum = false; // checksum digits in upper case
};

// "@00" + board + kind + payload + "|" + checksum + line end.
std::string frame_reply(int board, char kind, std::string_view payload, const ReplyStyle& style,
                        bool corrupt_checksum = false);

// A ';' upload record: count, 24-bit address, type 05, data, checksum.
struct UploadRecord {
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// Parses a record; on failure returns none and says why in `problem`.
// `problem` is also set (with a record returned) for a record that is sound
// but not written as the host must write it (lower-case digits).
std::optional<UploadRecord> parse_upload_record(std::string_view command, std::string& problem);

} // namespace hubsim
