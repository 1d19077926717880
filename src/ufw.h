// Firmware images: the image file format, its in-memory form (a flash image per
// board device type, as long as its upload blocks), the upload lines of a block,
// lookups and block CRCs.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "functions.h"

constexpr uint32_t UFW_FLASH_START = 0x4000;  // nothing below is taken from a file or sent
constexpr uint32_t UFW_FLASH_TOP = 0x1FFFF;   // highest address any board has
constexpr uint32_t UFW_MEMORY_SIZE = 0x1C000; // the most flash a section holds, to UFW_FLASH_TOP
constexpr int32_t UFW_MAX_BLOCKS = 896;
constexpr uint32_t UFW_LINE_BYTES = 16; // data bytes per upload line
constexpr long long UFW_MAX_FILE_SIZE = 64LL * 1024 * 1024;

// One section of an image: the firmware for one board device type. Its flash
// image reaches from 0x4000 to the end of the block holding the highest stored
// byte, so a section costs what its data spans, never the whole layout.
struct ufw_dfw {
    uint16_t device_type = 0;
    int32_t data_lines = 0;      // data records in the section
    uint32_t end_address = 0;    // highest address data may be written to; 0 for unknown types
    uint32_t upper_address = 0;  // set by the last 02/04 record; added to the records after it
    std::vector<uint8_t> memory; // whole upload blocks of flash from 0x4000; 0xFF where unwritten
    uint8_t block_size = 0;      // bytes per upload block; 0 for unknown types

    int32_t line_count() const { return data_lines; }
    int32_t block_count() const
    {
        return block_size == 0 ? 0 : static_cast<int32_t>(memory.size() / block_size);
    }
};

struct ufw {
    bool loaded = false;           // parsed to its end, every record sound, something to upload
    int32_t version = 0;           // major * 100 + minor, from the last version line
    int32_t bad_record_line = 0;   // first bad record's line (from 1, every line counted); 0: none
    std::vector<ufw_dfw> firmware; // sections in file order
};

// Where an image text comes from: a download that ends inside a section was cut
// short, while a local file may leave its last section without the end marker.
enum class ufw_source { file, download };

// Clear the image, then read the file to its end, a piece at a time, and parse
// it. A missing, unreadable or oversized file (or a directory) leaves the image
// not loaded; nothing is printed except on running out of memory.
void ufw_load_file(const char* path, ufw& image);
// Parse an image text; the text ends at its first NUL if it holds one. The image
// is loaded only when every record is sound and at least one section has an
// upload block; a refused text, or a download cut short, keeps no section.
// Nothing is printed except on running out of memory.
void ufw_load_data(std::string_view text, ufw& image, ufw_source source = ufw_source::file);
// Make the section an empty one for that device type, whose flash layout it takes.
void ufw_dfw_begin(ufw_dfw& section, uint16_t device_type);
// Count one data record (line end stripped) and lay it into the section's flash
// image, which grows to the end of the block holding each stored byte. A record
// shorter than its fields is read only as far as it goes; a section without a
// known layout stores nothing.
void ufw_dfw_add_record(ufw_dfw& section, std::string_view record);
// The upload lines that write block `index` (0 is the block at 0x4000), made
// from the flash image in address order; none for an index outside the blocks.
std::vector<hex_line> ufw_get_block_lines(const ufw_dfw& section, int32_t index);
// First section in file order with that device type, or null.
const ufw_dfw* ufw_get_for_device_type(const ufw& image, uint16_t device_type);
// CRC-16 of the block_size bytes of memory at `offset` (a block start minus 0x4000).
uint16_t ufw_get_crc_for_firmware(const ufw_dfw& section, uint32_t offset);
// Release every section; the record stays with the caller, not loaded.
void ufw_free(ufw& image);
