// Firmware image loader: read the file, split it into lines, classify each
// line, store a section's data lines, then populate every section (lay its
// records into a flash image and cut that into upload blocks). Record
// checksums are not checked and record types other than 00 and 04 are kept
// without effect: the boards verify every block by CRC anyway.
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

// Calls `take` for each non-empty LF-separated line of the text before its first NUL.
template <typename Fn> void ufw_for_each_line(std::string_view text, Fn take) {
    text = text.substr(0, text.find('\0'));
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        if (end > 0) take(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
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
bool ufw_parse_lines(std::string_view text, ufw& image) {
    bool in_section = false;
    bool too_many = false;
    ufw_for_each_line(text, [&](std::string_view line) {
        if (too_many) return;
        switch (ufw_classify_line(line, in_section)) {
        case line_kind::version:
            image.version = ufw_parse_version(line.substr(3));
            break;
        case line_kind::section_header:
            if (image.firmware.size() == UFW_MAX_SECTIONS) {
                too_many = true;
                break;
            }
            image.firmware.emplace_back().device_type = ascii_hex_to_uint16(line.substr(3));
            in_section = true;
            break;
        case line_kind::end_marker:
            in_section = false;
            break;
        case line_kind::data:
            image.firmware.back().lines.push_back(
                hex_line{0, std::string(ufw_strip_line_end(line))});
            break;
        case line_kind::free_text:
            break;
        }
    });
    return !too_many;
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

// A data record stores the bytes of its line that are complete (both digits
// present), at most as many as its byte count announces. A record whose start
// lies outside 0x4000..end_address is skipped whole; bytes above the top of
// flash are dropped. Returns whether the record counts for the upload range.
bool ufw_store_data_record(ufw_dfw& section, std::string_view line, uint32_t start) {
    if (start < UFW_FLASH_START || start > section.end_address) return false;
    const size_t present = line.size() > 9 ? (line.size() - 9) / 2 : 0;
    const size_t count = std::min<size_t>(ascii_hex_to_uint8(record_field(line, 1)), present);
    for (size_t i = 0; i < count && start + i <= UFW_FLASH_TOP; ++i)
        section.memory[start - UFW_FLASH_START + i] = ascii_hex_to_uint8(line.substr(9 + 2 * i, 2));
    return true;
}

// Lays the records into memory; returns the highest start address of a stored
// data record, 0 when there is none.
uint32_t ufw_lay_records(ufw_dfw& section) {
    uint32_t upper = 0;
    uint32_t highest_start = 0;
    for (const hex_line& data_line : section.lines) {
        const std::string_view line = data_line.text;
        const uint8_t type = ascii_hex_to_uint8(record_field(line, 7));
        if (type == 0x04) {
            upper = static_cast<uint32_t>(ascii_hex_to_uint16(record_field(line, 9))) << 16;
        } else if (type == 0x00) {
            const uint32_t start = upper + ascii_hex_to_uint16(record_field(line, 3));
            if (ufw_store_data_record(section, line, start))
                highest_start = std::max(highest_start, start);
        }
    }
    return highest_start;
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
// highest start address; the data bytes of a record reaching past that block
// stay in memory but are never sent.
void ufw_cut_blocks(ufw_dfw& section, uint32_t highest_start) {
    const uint32_t size = section.block_size;
    const uint32_t range_end = std::min(highest_start / size * size + size, UFW_FLASH_TOP + 1);
    for (uint32_t start = UFW_FLASH_START;
         start < range_end && section.block_count() < UFW_MAX_BLOCKS; start += size)
        section.blocks.push_back(ufw_cut_block(section, start));
}

} // namespace

void ufw_load_file(const char* path, ufw& image) {
    image.loaded = false;
    image.version = 0;
    image.firmware.clear();
    std::string text;
    if (ufw_read_file(path, text)) ufw_load_data(text, image);
}

void ufw_load_data(std::string_view text, ufw& image) {
    image.loaded = false;
    image.firmware.clear();
    try {
        if (!ufw_parse_lines(text, image)) return;
        for (ufw_dfw& section : image.firmware)
            ufw_dfw_populate(section);
        image.loaded = true;
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
    std::vector<ufw_dfw>().swap(image.firmware);
}

int ufw_check_device_status(const ufw& image, const device& dev) {
    const int32_t last_board = std::clamp<int32_t>(dev.board_count, 0, 7);
    bool missing = false;
    bool newer = false;
    for (int32_t n = 1; n <= last_board; ++n) {
        const board_entry& board = dev.boards[static_cast<size_t>(n)];
        if (ufw_get_for_device_type(image, board.device_type) == nullptr) missing = true;
        if (image.version > static_cast<int32_t>(board.fw_version)) newer = true;
    }
    if (missing) return 0;
    return newer ? 2 : 1;
}
