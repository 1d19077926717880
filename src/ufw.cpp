// Firmware image loader: read the file, split it into lines, classify each
// line, check each data record and lay it straight into its section's flash
// image, which grows block by block as far as the data reaches. Upload lines
// are made from that image when the upload asks for a block, so the loader's
// work and memory follow the data, not the size of the flash layout. A single
// bad record refuses the whole file: the board's CRC would only confirm the
// wrong bytes. Record types other than 00, 02 and 04 are counted without effect.
#include "ufw.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "output.h"

namespace {

// ---- Classifying lines ----

enum class line_kind { version, section_header, end_marker, data, free_text };

line_kind ufw_classify_line(std::string_view line, bool in_section)
{
    if (line.starts_with("___"))
        return line_kind::version;
    if (!in_section)
        return line.starts_with(">>>") ? line_kind::section_header : line_kind::free_text;
    return line.starts_with("!!!!!!!!") ? line_kind::end_marker : line_kind::data;
}

// Decimal number after the underscores, read like atoi: leading blanks, a sign,
// digits up to the first other character. Values beyond 32 bits saturate
// instead of wrapping, so a corrupt line cannot turn into a small version.
int32_t ufw_parse_version(std::string_view digits)
{
    const int64_t value = read_decimal(digits, int64_t{INT32_MAX} + 1);
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Control bytes and bytes of 0x80 and above at the end of a line go (this takes
// the CR of CR LF line ends); a trailing space stays.
std::string_view ufw_strip_line_end(std::string_view line)
{
    while (!line.empty()) {
        const auto last = static_cast<unsigned char>(line.back());
        if (last >= 0x20 && last < 0x80)
            break;
        line.remove_suffix(1);
    }
    return line;
}

// A hub has at most seven boards; each section costs a flash image of its own,
// so a file that declares sections by the million is refused, not allowed to
// exhaust the machine's memory before the allocator could even report it.
constexpr size_t UFW_MAX_SECTIONS = 256;

// False when the text declares more sections than any image may hold.
bool ufw_open_section(ufw& image, std::string_view header)
{
    if (image.firmware.size() == UFW_MAX_SECTIONS)
        return false;
    ufw_dfw_begin(image.firmware.emplace_back(), ascii_hex_to_uint16(header.substr(3)));
    return true;
}

// ---- Reading a record's hex fields ----

// Fields sit at fixed positions; one that starts past the end of a short line
// reads as empty (0), one that runs past it reads only the characters there.
std::string_view record_field(std::string_view line, size_t position)
{
    return position < line.size() ? line.substr(position) : std::string_view{};
}

// The byte that two hex digits at `position` stand for, or -1 when the line
// has no two hex digits there.
int hex_pair(std::string_view line, size_t position)
{
    if (position + 1 >= line.size())
        return -1;
    const int high = digit_value(line[position]);
    const int low = digit_value(line[position + 1]);
    return high < 0 || low < 0 ? -1 : high << 4 | low;
}

// The 8- or 16-bit field at `position`. Anything but plain hex digits is read
// as ascii_hex_to_uint8/16 read it, so a short line stays a short line.
uint8_t record_byte(std::string_view line, size_t position)
{
    const int value = hex_pair(line, position);
    if (value < 0)
        return ascii_hex_to_uint8(record_field(line, position));
    return static_cast<uint8_t>(value);
}

uint16_t record_word(std::string_view line, size_t position)
{
    const int high = hex_pair(line, position);
    const int low = hex_pair(line, position + 2);
    if (high < 0 || low < 0)
        return ascii_hex_to_uint16(record_field(line, position));
    return static_cast<uint16_t>(high << 8 | low);
}

// One pass over a record of odd length: whether every character after the
// start character is a hex digit and the bytes they stand for, the checksum
// included, sum to 0 modulo 256.
bool record_digits_sum_to_zero(std::string_view record)
{
    unsigned sum = 0;
    bool digits_only = true;
    for (size_t position = 1; position + 1 < record.size(); position += 2) {
        const int value = hex_pair(record, position);
        digits_only &= value >= 0;
        sum += static_cast<unsigned>(value);
    }
    return digits_only && (sum & 0xFF) == 0;
}

// An Intel HEX record: any start character, then only hex digits, as many as
// its byte count announces (11 + 2 * count), and bytes that sum to 0 modulo 256.
// Address records (02, 04) carry exactly their two address bytes. A record
// with any other character fails the last check, whatever its fields read as.
bool ufw_record_is_sound(std::string_view record)
{
    if (record.size() < 11)
        return false;
    const uint8_t count = record_byte(record, 1);
    const uint8_t type = record_byte(record, 7);
    if ((type == 0x02 || type == 0x04) && count != 2)
        return false;
    return record.size() == 11 + 2 * size_t{count} && record_digits_sum_to_zero(record);
}

// A line that is blank once its line end is gone (CR LF files) is no record.
// False, with the line's number noted, for a record that is not sound.
bool ufw_store_data_line(ufw& image, std::string_view line, int32_t number)
{
    const std::string_view record = ufw_strip_line_end(line);
    if (record.empty())
        return true;
    if (!ufw_record_is_sound(record)) {
        image.bad_record_line = number;
        return false;
    }
    ufw_dfw_add_record(image.firmware.back(), record);
    return true;
}

// ---- Parsing a text, a piece at a time ----

// The parse of one image text, which may come in pieces: a line cut at the end
// of a piece waits in the splitter for its rest, so no piece needs to hold whole lines.
struct text_parser {
    ufw& image;
    line_splitter lines{};
    int32_t number = 0; // of the last line taken; every line counts, empty ones too
    bool in_section = false;
    bool refused = false; // a bad record, or one section more than any image may hold
};

// Lines are numbered from 1, empty ones included, so that a number matches what
// an editor shows; an empty line is then passed over.
void ufw_take_line(text_parser& parser, std::string_view line)
{
    ++parser.number;
    if (line.empty())
        return;
    ufw& image = parser.image;
    switch (ufw_classify_line(line, parser.in_section)) {
    case line_kind::version:
        image.version = ufw_parse_version(line.substr(3));
        break;
    case line_kind::section_header:
        parser.in_section = true;
        parser.refused = !ufw_open_section(image, line);
        break;
    case line_kind::end_marker:
        parser.in_section = false;
        break;
    case line_kind::data:
        parser.refused = !ufw_store_data_line(image, line, parser.number);
        break;
    case line_kind::free_text:
        break;
    }
}

// Takes every line the piece completes; nothing more once the text is refused.
void ufw_feed(text_parser& parser, std::string_view piece)
{
    if (parser.refused)
        return;
    parser.lines.feed(piece, [&](std::string_view line) {
        ufw_take_line(parser, line);
        return !parser.refused;
    });
}

// The text's last line, when no line feed ends it.
void ufw_feed_end(text_parser& parser)
{
    if (!parser.refused)
        parser.lines.finish([&](std::string_view line) { ufw_take_line(parser, line); });
}

bool ufw_has_upload_blocks(const ufw_dfw* section)
{
    return section != nullptr && section->block_count() > 0;
}

// An image with nothing to upload (an error page, plain Intel HEX, records
// all below flash) is no image: the upload would report success for nothing.
// Sections are laid as they are read, so a text refused or cut short on the
// way drops them all: not even a caller that forgets `loaded` finds a block.
void ufw_conclude(ufw& image, const text_parser& parser, ufw_source source)
{
    if (parser.refused || (parser.in_section && source == ufw_source::download)) {
        image.firmware.clear();
        return;
    }
    image.loaded =
        std::any_of(image.firmware.begin(), image.firmware.end(),
                    [](const ufw_dfw& section) { return ufw_has_upload_blocks(&section); });
}

// Parses what `feed` hands the parser, then judges the image. `feed` returns
// false when the text could not be had whole, which leaves no image at all.
template <typename Feed> void ufw_parse(ufw& image, ufw_source source, Feed feed)
{
    image.loaded = false;
    image.bad_record_line = 0;
    image.firmware.clear();
    try {
        text_parser parser{image};
        if (!feed(parser)) {
            ufw_free(image);
            image.version = 0;
            return;
        }
        ufw_feed_end(parser);
        ufw_conclude(image, parser, source);
    } catch (const std::bad_alloc&) {
        image.firmware.clear();
        output_out_of_memory();
    }
}

// ---- Reading the file ----

// Read a piece at a time, a file costs the loader one piece and the lines cut
// at its ends, not its whole text.
constexpr std::streamsize UFW_READ_PIECE = std::streamsize{64} * 1024;

// Nothing is printed here: the caller reports an unusable file in its own words.
// Only regular files qualify: a directory has no text, and opening a FIFO would
// wait for a writer that may never come.
bool ufw_open_file(const char* path, std::ifstream& file, std::streamoff& length)
{
    std::error_code ec;
    if (path == nullptr || !std::filesystem::is_regular_file(path, ec))
        return false;
    file.open(path, std::ios::binary);
    if (!file)
        return false;
    file.seekg(0, std::ios::end);
    length = file.tellg();
    if (!file || length < 0 || length > UFW_MAX_FILE_SIZE)
        return false;
    file.seekg(0, std::ios::beg);
    return static_cast<bool>(file);
}

// The text ends at its first NUL, but the file must still read to its end:
// one that cannot be read whole is no image. False when a read falls short.
bool ufw_read_pieces(std::ifstream& file, std::streamoff length, text_parser& parser)
{
    std::string piece(static_cast<size_t>(UFW_READ_PIECE), '\0');
    bool text_ended = false;
    for (std::streamoff left = length; left > 0;) {
        const auto wanted =
            static_cast<std::streamsize>(std::min<std::streamoff>(left, UFW_READ_PIECE));
        file.read(piece.data(), wanted);
        if (file.gcount() != wanted)
            return false;
        left -= wanted;
        if (text_ended)
            continue;
        const std::string_view text(piece.data(), static_cast<size_t>(wanted));
        const size_t nul = text.find('\0');
        text_ended = nul != std::string_view::npos;
        ufw_feed(parser, text.substr(0, nul));
    }
    return true;
}

// ---- Laying records into a section's flash image ----

struct flash_layout {
    uint16_t first_type;
    uint16_t last_type;
    uint32_t end_address;
    uint8_t block_size;
};

constexpr std::array<flash_layout, 2> flash_layouts{{
    {0x0101, 0x0103, 0x1FFFF, 128},
    {0x0201, 0x0204, 0xFFFF, 64},
}};

// A flash image is whole blocks up to the layout's end, so no block is ever cut
// short and none lies past UFW_MAX_BLOCKS or UFW_MEMORY_SIZE.
constexpr bool ufw_layouts_fit()
{
    for (const flash_layout& layout : flash_layouts) {
        const uint32_t span = layout.end_address + 1 - UFW_FLASH_START;
        if (layout.end_address > UFW_FLASH_TOP || layout.block_size % UFW_LINE_BYTES != 0
            || span % layout.block_size != 0 || span / layout.block_size > UFW_MAX_BLOCKS)
            return false;
    }
    return true;
}
static_assert(ufw_layouts_fit());

const flash_layout* ufw_find_layout(uint16_t device_type)
{
    for (const flash_layout& layout : flash_layouts)
        if (device_type >= layout.first_type && device_type <= layout.last_type)
            return &layout;
    return nullptr;
}

// The image grows a whole block at a time, 0xFF-filled, to hold `address`.
void ufw_reach_address(ufw_dfw& section, uint32_t address)
{
    const size_t offset = address - UFW_FLASH_START;
    const size_t block_end = (offset / section.block_size + 1) * section.block_size;
    if (section.memory.size() < block_end)
        section.memory.resize(block_end, 0xFF);
}

// A data record stores those bytes of its line that are complete (both digits
// present), at most as many as its byte count announces, and that lie in
// 0x4000..end_address: a record reaching into flash from below keeps its part
// in flash. Addresses are 64-bit here, so a record near 4 GiB cannot wrap.
void ufw_store_data_record(ufw_dfw& section, std::string_view line, uint64_t start)
{
    const size_t present = line.size() > 9 ? (line.size() - 9) / 2 : 0;
    const size_t count = std::min<size_t>(record_byte(line, 1), present);
    const uint64_t first = std::max<uint64_t>(start, UFW_FLASH_START);
    const uint64_t end = std::min<uint64_t>(start + count, uint64_t{section.end_address} + 1);
    if (first >= end)
        return;
    ufw_reach_address(section, static_cast<uint32_t>(end - 1));
    for (uint64_t address = first; address < end; ++address)
        section.memory[address - UFW_FLASH_START] = record_byte(line, 9 + 2 * (address - start));
}

// The upper address bits an address record sets: a segment (02) counts in
// 16-byte paragraphs, a linear address (04) gives bits 16 to 31.
uint32_t ufw_upper_address(uint8_t type, uint16_t value)
{
    return type == 0x02 ? uint32_t{value} * 16 : uint32_t{value} << 16;
}

// One upload line: the 16 bytes of the image at `line_start`, as build_hex_cmd writes them.
hex_line ufw_upload_line(const ufw_dfw& section, uint32_t line_start)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    char hex[2 * UFW_LINE_BYTES];
    for (size_t i = 0; i < UFW_LINE_BYTES; ++i) {
        const uint8_t byte = section.memory[line_start - UFW_FLASH_START + i];
        hex[2 * i] = digits[byte >> 4];
        hex[2 * i + 1] = digits[byte & 0x0F];
    }
    return build_hex_cmd(line_start, 5, std::string_view(hex, sizeof hex),
                         static_cast<uint8_t>(UFW_LINE_BYTES));
}

} // namespace

void ufw_load_file(const char* path, ufw& image)
{
    image.version = 0;
    std::ifstream file;
    std::streamoff length = 0;
    if (!ufw_open_file(path, file, length)) {
        ufw_free(image);
        return;
    }
    ufw_parse(image, ufw_source::file,
              [&](text_parser& parser) { return ufw_read_pieces(file, length, parser); });
}

void ufw_load_data(std::string_view text, ufw& image, ufw_source source)
{
    ufw_parse(image, source, [text](text_parser& parser) {
        ufw_feed(parser, text.substr(0, text.find('\0')));
        return true;
    });
}

// A device type in neither row of the layout table gets no flash image and no
// blocks: nothing is known about where its flash ends.
void ufw_dfw_begin(ufw_dfw& section, uint16_t device_type)
{
    const flash_layout* layout = ufw_find_layout(device_type);
    section = ufw_dfw{};
    section.device_type = device_type;
    section.end_address = layout ? layout->end_address : 0;
    section.block_size = layout ? layout->block_size : 0;
}

void ufw_dfw_add_record(ufw_dfw& section, std::string_view record)
{
    ++section.data_lines;
    if (section.block_size == 0)
        return;
    const uint8_t type = record_byte(record, 7);
    if (type == 0x02 || type == 0x04) {
        const uint16_t value = record_word(record, 9);
        section.upper_address = ufw_upper_address(type, value);
    } else if (type == 0x00) {
        const uint16_t offset = record_word(record, 3);
        ufw_store_data_record(section, record, uint64_t{section.upper_address} + offset);
    }
}

std::vector<hex_line> ufw_get_block_lines(const ufw_dfw& section, int32_t index)
{
    std::vector<hex_line> lines;
    if (index < 0 || index >= section.block_count())
        return lines;
    const uint32_t block_start =
        UFW_FLASH_START + static_cast<uint32_t>(index) * section.block_size;
    lines.reserve(section.block_size / UFW_LINE_BYTES);
    for (uint32_t offset = 0; offset < section.block_size; offset += UFW_LINE_BYTES)
        lines.push_back(ufw_upload_line(section, block_start + offset));
    return lines;
}

const ufw_dfw* ufw_get_for_device_type(const ufw& image, uint16_t device_type)
{
    for (const ufw_dfw& section : image.firmware)
        if (section.device_type == device_type)
            return &section;
    return nullptr;
}

// Only bytes inside memory are covered: a block reaching past its end is taken
// as far as it goes, and an offset past the end or a block size of 0 gives the
// CRC over nothing (0xFFFF).
uint16_t ufw_get_crc_for_firmware(const ufw_dfw& section, uint32_t offset)
{
    if (offset >= section.memory.size())
        return crc16_ccitt(nullptr, 0);
    const size_t length = std::min<size_t>(section.block_size, section.memory.size() - offset);
    return crc16_ccitt(section.memory.data() + offset, length);
}

void ufw_free(ufw& image)
{
    image.loaded = false;
    image.bad_record_line = 0;
    std::vector<ufw_dfw>().swap(image.firmware);
}
