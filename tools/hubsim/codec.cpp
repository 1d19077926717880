#include "codec.h"

#include <array>
#include <cstdio>

namespace hubsim {

namespace {

std::string hex_text(const char* format, unsigned value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::array<uint32_t, 256> make_crc32_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

struct PlainLine {
    std::string_view text;
    PlainKind kind;
};

constexpr PlainLine plain_lines[] = {
    {"id\r\n", PlainKind::id},
    {"Dverify\r\n", PlainKind::dverify},
    {"boot_mode enabled\r\n", PlainKind::boot_mode},
    {"\r\n", PlainKind::blank},
};

void parse_plain(std::string_view line, HostLine& out)
{
    for (const PlainLine& p : plain_lines) {
        if (line == p.text) {
            out.plain = p.kind;
            return;
        }
    }
    out.problems.push_back("unexpected plain line");
}

// The tag is ">" + destination in hex without leading zeros + 8-digit counter.
void check_tag(HostLine& out)
{
    const std::string& tag = out.tag;
    if (tag.empty()) {
        out.problems.push_back("no sequence tag");
        return;
    }
    if (tag[0] != '>' || tag.size() < 10 || !is_lower_hex(std::string_view(tag).substr(1))) {
        out.problems.push_back("malformed sequence tag");
        return;
    }
    out.counter = hex_field(std::string_view(tag).substr(tag.size() - 8));
    std::string_view board = std::string_view(tag).substr(1, tag.size() - 9);
    if (board != hex_text("%x", static_cast<unsigned>(out.destination)))
        out.problems.push_back("tag board " + std::string(board) + " is not the destination "
                               + hex_text("%x", static_cast<unsigned>(out.destination)));
}

void check_checksum(std::string_view body, size_t bar, std::string_view checksum_text,
                    bool source_ok, HostLine& out)
{
    std::optional<uint32_t> given = hex_field(checksum_text);
    if (!given) {
        out.problems.push_back("checksum not hex");
        return;
    }
    if (!is_lower_hex(checksum_text))
        out.problems.push_back("checksum not lower-case hex");
    const unsigned expected = sum_checksum(body.substr(0, bar));
    if (*given != expected) {
        out.problems.push_back("checksum " + std::string(checksum_text) + ", expected "
                               + hex_text("%02x", expected));
        return;
    }
    out.intact = source_ok;
}

void parse_framed(std::string_view line, HostLine& out)
{
    out.framed = true;
    std::string_view body = line;
    if (!body.empty() && body.back() == '\n')
        body.remove_suffix(1);
    if (!body.empty() && body.back() == '\r') {
        out.problems.push_back("framed line ends with CR LF");
        body.remove_suffix(1);
    }
    if (body.size() < 5) {
        out.problems.push_back("framed line too short");
        return;
    }
    std::optional<uint32_t> destination = hex_field(body.substr(1, 2));
    if (!destination) {
        out.problems.push_back("destination not hex");
        return;
    }
    out.destination = static_cast<int>(*destination);
    out.addressed = true;
    if (!is_lower_hex(body.substr(1, 2)))
        out.problems.push_back("destination not lower-case hex");
    const bool source_ok = body.substr(3, 2) == "00";
    if (!source_ok)
        out.problems.push_back("source is not 00");
    const size_t bar = body.find('|', 5);
    if (bar == std::string_view::npos) {
        out.problems.push_back("no '|' after the command");
        return;
    }
    out.command = std::string(body.substr(5, bar - 5));
    std::string_view after = body.substr(bar + 1);
    if (after.size() < 2) {
        out.problems.push_back("no checksum");
        return;
    }
    check_checksum(body, bar, after.substr(0, 2), source_ok, out);
    out.tag = std::string(after.substr(2));
    check_tag(out);
}

uint8_t record_sum(uint8_t count, uint32_t address, uint8_t type, const std::vector<uint8_t>& data)
{
    unsigned sum =
        count + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    for (uint8_t byte : data)
        sum += byte;
    return static_cast<uint8_t>(-sum);
}

} // namespace

uint8_t sum_checksum(std::string_view text)
{
    unsigned sum = 0;
    for (char c : text)
        sum += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(-sum);
}

uint16_t crc16_ccitt_false(const uint8_t* data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint32_t crc32_zlib(const uint8_t* data, size_t length)
{
    static const std::array<uint32_t, 256> table = make_crc32_table();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::optional<uint32_t> hex_field(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        const int digit = hex_digit(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

bool is_lower_hex(std::string_view text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool is_upper_hex(std::string_view text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

std::string escape_bytes(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (byte < 0x20 || byte >= 0x7F)
            out += hex_text("\\x%02X", byte);
        else
            out += c;
    }
    return out;
}

HostLine parse_host_line(std::string_view line)
{
    HostLine out;
    if (line.empty() || line.back() != '\n')
        out.problems.push_back("line without line feed");
    if (!line.empty() && line[0] == '@')
        parse_framed(line, out);
    else
        parse_plain(line, out);
    return out;
}

std::string frame_reply(int board, char kind, std::string_view payload, const ReplyStyle& style,
                        bool corrupt_checksum)
{
    std::string body = "@00" + hex_text("%02x", static_cast<unsigned>(board) & 0xFF);
    body += kind;
    body += payload;
    uint8_t checksum = sum_checksum(body);
    if (corrupt_checksum)
        checksum = static_cast<uint8_t>(checksum + 1);
    std::string line = style.prefix ? ">>" : "";
    line += body;
    line += '|';
    line += hex_text(style.upper_checksum ? "%02X" : "%02x", checksum);
    line += style.lf_only ? "\n" : "\r\n";
    return line;
}

std::optional<UploadRecord> parse_upload_record(std::string_view command, std::string& problem)
{
    problem.clear();
    if (command.size() < 13 || command[0] != ';') {
        problem = "record too short";
        return std::nullopt;
    }
    const std::optional<uint32_t> count = hex_field(command.substr(1, 2));
    const std::optional<uint32_t> address = hex_field(command.substr(3, 6));
    const std::optional<uint32_t> type = hex_field(command.substr(9, 2));
    if (!count || !address || !type) {
        problem = "record fields not hex";
        return std::nullopt;
    }
    if (command.size() != 13 + 2 * size_t{*count}) {
        problem = "record length does not match its byte count " + std::to_string(*count);
        return std::nullopt;
    }
    if (*type != 5) {
        problem = "record type " + hex_text("%02X", *type) + ", expected 05";
        return std::nullopt;
    }
    UploadRecord record;
    record.address = *address;
    for (size_t i = 0; i < *count; ++i) {
        const std::optional<uint32_t> byte = hex_field(command.substr(11 + 2 * i, 2));
        if (!byte) {
            problem = "record data not hex";
            return std::nullopt;
        }
        record.data.push_back(static_cast<uint8_t>(*byte));
    }
    const std::optional<uint32_t> checksum = hex_field(command.substr(command.size() - 2));
    const uint8_t expected = record_sum(static_cast<uint8_t>(*count), *address, 5, record.data);
    if (!checksum || *checksum != expected) {
        problem = "record checksum " + std::string(command.substr(command.size() - 2))
                  + ", expected " + hex_text("%02X", expected);
        return std::nullopt;
    }
    if (!is_upper_hex(command.substr(1)))
        problem = "record not in upper-case hex";
    return record;
}

} // namespace hubsim
