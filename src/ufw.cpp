// Firmware image loader: read the file, split it into lines, classify each
// line, check and store a section's data lines, then populate every section
// (lay its records into a flash image and cut that into upload blocks). A
// single bad record refuses the whole file: the board's CRC would only confirm
// the wrong bytes. Record types other than 00, 02 and 04 are kept without effect.
#include "ufw.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "device.h"

namespace {

// ---- Reading the file ----

// Nothing is printed here: the caller reports an unusable file in its own words.
// Only regular files qualify: a directory has no text, and opening a FIFO would
// wait for a writer that may never come.
bool ufw_read_file(const char* path, std::string& text) {
    std::error_code ec;
    if (path == nullptr || !std::filesystem::is_regular_file(path, ec)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    if (!file || length < 0 || length > UFW_MAX_FILE_SIZE) return false;
    file.seekg(0, std::ios::beg);
    try {
        text.assign(static_cast<size_t>(length), '\0');
    } catch (const std::bad_alloc&) {
        return false;
    }
    file.read(text.data(), length);
    return file.gcount() == length;
}

// ---- Splitting and classifying lines ----

// Calls `take(line, number)` for each non-empty LF-separated line of the text
// before its first NUL, until it returns false; numbers count every line from 1,
// empty ones included, so that they match what an editor shows. Returns whether
// every line was taken.
template <typename Fn> bool ufw_for_each_line(std::string_view text, Fn take) {
    text = text.substr(0, text.find('\0'));
    for (int32_t number = 1; !text.empty(); ++number) {
        const size_t end = std::min(text.find('\n'), text.size());
        if (end > 0 && !take(text.substr(0, end), number)) return false;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return true;
}

enum class line_kind { version, section_header, end_marker, data, free_text };

line_kind ufw_classify_line(std::string_view line, bool in_section) {
    if (line.starts_with("___")) return line_kind::version;
    if (!in_section)
        return line.starts_with(">>>") ? line_kind::section_header : line_kind::free_text;
    return line.starts_with("!!!!!!!!") ? line_kind::end_marker : line_kind::data;
}

bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal number after the underscores, read like atoi: leading blanks, a sign,
// digits up to the first other character. Values beyond 32 bits saturate
// instead of wrapping, so a corrupt line cannot turn into a small version.
int32_t ufw_parse_version(std::string_view digits) {
    size_t i = 0;
    while (i < digits.size() && is_c_space(digits[i]))
        ++i;
    bool negative = false;
    if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
    int64_t value = 0;
    for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i)
        value = std::min<int64_t>(value * 10 + (digits[i] - '0'), int64_t{INT32_MAX} + 1);
    if (negative) return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

// Control bytes and bytes of 0x80 and above at the end of a line go (this takes
// the CR of CR LF line ends); a trailing space stays.
std::string_view ufw_strip_line_end(std::string_view line) {
    while (!line.empty()) {
        const auto last = static_cast<unsigned char>(line.back());
        if (last >= 0x20 && last < 0x80) break;
        line.remove_suffix(1);
    }
    return line;
}

// A hub has at most seven boards; each section costs a flash image of its own,
// so a file that declares sections by the million is refused, not allowed to
// exhaust the machine's memory before the allocator could even report it.
constexpr size_t UFW_MAX_SECTIONS = 256;

// False when the text declares more sections than any image may hold.
bool ufw_open_section(ufw& image, std::string_view header) {
    if (image.firmware.size() == UFW_MAX_SECTIONS) return false;
    image.firmware.emplace_back().device_type = ascii_hex_to_uint16(header.substr(3));
    return true;
}

// An Intel HEX record: any start character, then only hex digits, as many as
// its byte count announces (11 + 2 * count), and bytes that sum to 0 modulo 256.
// Address records (02, 04) carry exactly their two address bytes.
bool ufw_record_is_sound(std::string_view record) {
    if (record.size() < 11 || !std::all_of(record.begin() + 1, record.end(), is_hex_digit))
        return false;
    const uint8_t count = ascii_hex_to_uint8(record.substr(1));
    const uint8_t type = ascii_hex_to_uint8(record.substr(7));
    if ((type == 0x02 || type == 0x04) && count != 2) return false;
    return record.size() == 11 + 2 * size_t{count} && crc2cb(record.substr(1)) == 0;
}

// A line that is blank once its line end is gone (CR LF files) is no record.
// False, with the line's number noted, for a record that is not sound.
bool ufw_store_data_line(ufw& image, std::string_view line, int32_t number) {
    const std::string_view record = ufw_strip_line_end(line);
    if (record.empty()) return true;
    if (!ufw_record_is_sound(record)) {
        image.bad_record_line = number;
        return false;
    }
    image.firmware.back().lines.push_back(hex_line{0, std::string(record)});
    return true;
}

enum class parse_end { closed, open_section, refused };

// Stops at the first line that makes the text unusable: a bad record or one
// section more than any image may hold.
parse_end ufw_parse_lines(std::string_view text, ufw& image) {
    bool in_section = false;
    const bool whole = ufw_for_each_line(text, [&](std::string_view line, int32_t number) {
        switch (ufw_classify_line(line, in_section)) {
        case line_kind::version:
            image.version = ufw_parse_version(line.substr(3));
            return true;
        case line_kind::section_header:
            in_section = true;
            return ufw_open_section(image, line);
        case line_kind::end_marker:
            in_section = false;
            return true;
        case line_kind::data:
            return ufw_store_data_line(image, line, number);
        case line_kind::free_text:
            return true;
        }
        return true;
    });
    if (!whole) return parse_end::refused;
    return in_section ? parse_end::open_section : parse_end::closed;
}

// ---- Populating a section ----

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

const flash_layout* ufw_find_layout(uint16_t device_type) {
    for (const flash_layout& layout : flash_layouts)
        if (device_type >= layout.first_type && device_type <= layout.last_type) return &layout;
    return nullptr;
}

// Fields sit at fixed positions; one that starts past the end of a short line
// reads as empty (0), one that runs past it reads only the characters there.
std::string_view record_field(std::string_view line, size_t position) {
    return position < line.size() ? line.substr(position) : std::string_view{};
}

// A data record stores those bytes of its line that are complete (both digits
// present), at most as many as its byte count announces, and that lie in
// 0x4000..end_address: a record reaching into flash from below keeps its part
// in flash. Returns the highest address stored, 0 when none.
uint32_t ufw_store_data_record(ufw_dfw& section, std::string_view line, uint32_t start) {
    const size_t present = line.size() > 9 ? (line.size() - 9) / 2 : 0;
    const size_t count = std::min<size_t>(ascii_hex_to_uint8(record_field(line, 1)), present);
    uint32_t highest = 0;
    // The loop ends at the first address past the flash, long before one could wrap.
    for (size_t i = 0; i < count && start + i <= section.end_address; ++i) {
        if (start + i < UFW_FLASH_START) continue;
        highest = static_cast<uint32_t>(start + i);
        section.memory[highest - UFW_FLASH_START] = ascii_hex_to_uint8(line.substr(9 + 2 * i, 2));
    }
    return highest;
}

// The upper address bits an address record sets: a segment (02) counts in
// 16-byte paragraphs, a linear address (04) gives bits 16 to 31.
uint32_t ufw_upper_address(uint8_t type, uint16_t value) {
    return type == 0x02 ? uint32_t{value} * 16 : uint32_t{value} << 16;
}

// Lays the records into memory; returns the highest address a data record
// stored a byte at, 0 when there is none.
uint32_t ufw_lay_records(ufw_dfw& section) {
    uint32_t upper = 0;
    uint32_t highest = 0;
    for (const hex_line& data_line : section.lines) {
        const std::string_view line = data_line.text;
        const uint8_t type = ascii_hex_to_uint8(record_field(line, 7));
        if (type == 0x02 || type == 0x04) {
            upper = ufw_upper_address(type, ascii_hex_to_uint16(record_field(line, 9)));
        } else if (type == 0x00) {
            const uint32_t start = upper + ascii_hex_to_uint16(record_field(line, 3));
            highest = std::max(highest, ufw_store_data_record(section, line, start));
        }
    }
    return highest;
}

std::vector<hex_line> ufw_cut_block(const ufw_dfw& section, uint32_t block_start) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::vector<hex_line> block;
    block.reserve(section.block_size / UFW_LINE_BYTES);
    for (uint32_t line_start = block_start; line_start < block_start + section.block_size;
         line_start += UFW_LINE_BYTES) {
        char hex[2 * UFW_LINE_BYTES];
        for (uint32_t i = 0; i < UFW_LINE_BYTES; ++i) {
            const uint8_t byte = section.memory[line_start - UFW_FLASH_START + i];
            hex[2 * i] = digits[byte >> 4];
            hex[2 * i + 1] = digits[byte & 0x0F];
        }
        block.push_back(build_hex_cmd(line_start, 5, std::string_view(hex, sizeof hex),
                                      static_cast<uint8_t>(UFW_LINE_BYTES)));
    }
    return block;
}

// Blocks run without gaps from 0x4000 to the end of the block that holds the
// highest stored byte, so every stored byte is sent; none when nothing was stored.
void ufw_cut_blocks(ufw_dfw& section, uint32_t highest_stored) {
    if (highest_stored < UFW_FLASH_START) return;
    const uint32_t size = section.block_size;
    const uint32_t range_end =
        std::min(highest_stored / size * size + size, section.end_address + 1);
    for (uint32_t start = UFW_FLASH_START;
         start < range_end && section.block_count() < UFW_MAX_BLOCKS; start += size)
        section.blocks.push_back(ufw_cut_block(section, start));
}

bool ufw_has_upload_blocks(const ufw_dfw* section) {
    return section != nullptr && section->block_count() > 0;
}

} // namespace

void ufw_load_file(const char* path, ufw& image) {
    image.loaded = false;
    image.version = 0;
    image.bad_record_line = 0;
    image.firmware.clear();
    std::string text;
    if (ufw_read_file(path, text)) ufw_load_data(text, image);
}

// An image with nothing to upload (an error page, plain Intel HEX, records
// all below flash) is no image: the upload would report success for nothing.
void ufw_load_data(std::string_view text, ufw& image, ufw_source source) {
    image.loaded = false;
    image.bad_record_line = 0;
    image.firmware.clear();
    try {
        const parse_end end = ufw_parse_lines(text, image);
        if (end == parse_end::refused) return;
        if (end == parse_end::open_section && source == ufw_source::download) return;
        for (ufw_dfw& section : image.firmware)
            ufw_dfw_populate(section);
        image.loaded =
            std::any_of(image.firmware.begin(), image.firmware.end(),
                        [](const ufw_dfw& section) { return ufw_has_upload_blocks(&section); });
    } catch (const std::bad_alloc&) {
        std::fputs("ERROR: Unable to allocate memory\n", stderr);
    }
}

// A device type in neither row of the layout table gets a blank flash image
// and no blocks: nothing is known about where its flash ends.
void ufw_dfw_populate(ufw_dfw& section) {
    section.memory.assign(UFW_MEMORY_SIZE, 0xFF);
    section.blocks.clear();
    const flash_layout* layout = ufw_find_layout(section.device_type);
    section.end_address = layout ? layout->end_address : 0;
    section.block_size = layout ? layout->block_size : 0;
    if (!layout) return;
    ufw_cut_blocks(section, ufw_lay_records(section));
}

const ufw_dfw* ufw_get_for_device_type(const ufw& image, uint16_t device_type) {
    for (const ufw_dfw& section : image.firmware)
        if (section.device_type == device_type) return &section;
    return nullptr;
}

// Only bytes inside memory are covered: a block reaching past its end is taken
// as far as it goes, and an offset past the end or a block size of 0 gives the
// CRC over nothing (0xFFFF).
uint16_t ufw_get_crc_for_firmware(const ufw_dfw& section, uint32_t offset) {
    if (offset >= section.memory.size()) return crc16_ccitt(nullptr, 0);
    const size_t length = std::min<size_t>(section.block_size, section.memory.size() - offset);
    return crc16_ccitt(section.memory.data() + offset, length);
}

void ufw_free(ufw& image) {
    image.loaded = false;
    image.bad_record_line = 0;
    std::vector<ufw_dfw>().swap(image.firmware);
}

int ufw_check_device_status(const ufw& image, const device& dev) {
    const int32_t last_board = std::clamp<int32_t>(dev.board_count, 0, 7);
    bool missing = false;
    bool newer = false;
    for (int32_t n = 1; n <= last_board; ++n) {
        const board_entry& board = dev.boards[static_cast<size_t>(n)];
        if (!ufw_has_upload_blocks(ufw_get_for_device_type(image, board.device_type)))
            missing = true;
        if (image.version > static_cast<int32_t>(board.fw_version)) newer = true;
    }
    if (missing) return 0;
    return newer ? 2 : 1;
}
