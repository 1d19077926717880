// Feeds arbitrary bytes to the image parser and checks the shape of what it
// builds: a flash image of whole blocks within the layout, upload lines that
// carry its bytes, and nothing loaded that has nothing to upload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ufw.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// A block's lines carry exactly the image's bytes at consecutive addresses;
// its CRC covers the whole block.
void check_block(const ufw_dfw& section, int32_t index)
{
    const uint32_t start = static_cast<uint32_t>(index) * section.block_size;
    require(ufw_get_crc_for_firmware(section, start)
            == crc16_ccitt(section.memory.data() + start, section.block_size));
    uint32_t offset = start;
    for (const hex_line& line : ufw_get_block_lines(section, index)) {
        require(line.text.size() == 45 && line.address == UFW_FLASH_START + offset);
        for (uint32_t i = 0; i < UFW_LINE_BYTES; ++i, ++offset)
            require(ascii_hex_to_uint8(line.text.substr(11 + 2 * i, 2)) == section.memory[offset]);
    }
    require(offset == start + section.block_size);
}

// Whole blocks inside the layout, nothing read outside them. Only the first
// and last blocks are checked line by line: one code makes every block.
void check_section(const ufw_dfw& section)
{
    require(section.memory.size() == size_t(section.block_count()) * section.block_size);
    require(section.memory.empty()
            || section.memory.size() <= section.end_address + 1 - UFW_FLASH_START);
    if (section.block_count() > 0) {
        check_block(section, 0);
        check_block(section, section.block_count() - 1);
    }
    require(ufw_get_block_lines(section, section.block_count()).empty());
    require(ufw_get_crc_for_firmware(section, uint32_t(section.memory.size())) == 0xFFFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ufw image;
    ufw downloaded;
    ufw_load_data(text, image);
    ufw_load_data(text, downloaded, ufw_source::download);
    require(!downloaded.loaded || image.loaded);
    require(image.bad_record_line == 0 || (!image.loaded && image.firmware.empty()));
    require(image.loaded
            == std::any_of(image.firmware.begin(), image.firmware.end(),
                           [](const ufw_dfw& dfw) { return dfw.block_count() > 0; }));
    for (const ufw_dfw& section : image.firmware)
        check_section(section);
    return 0;
}
