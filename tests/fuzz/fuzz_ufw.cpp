// Feeds arbitrary bytes to the image parser and checks the shape of what it
// builds: a flash image of whole blocks within the layout, upload lines that
// carry its bytes, and nothing loaded that has nothing to upload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "ufw.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// A block's lines: complete upload lines at consecutive addresses, carrying
// exactly the image's bytes there; its CRC covers the whole block.
void check_block(const ufw_dfw& section, int32_t index)
{
    const std::vector<hex_line> lines = ufw_get_block_lines(section, index);
    require(lines.size() == section.block_size / UFW_LINE_BYTES);
    const uint32_t start = static_cast<uint32_t>(index) * section.block_size;
    require(ufw_get_crc_for_firmware(section, start)
            == crc16_ccitt(section.memory.data() + start, section.block_size));
    uint32_t offset = start;
    for (const hex_line& line : lines) {
        require(line.text.size() == 45 && line.text[0] == ';');
        require(line.address == UFW_FLASH_START + offset);
        for (uint32_t i = 0; i < UFW_LINE_BYTES; ++i) {
            const uint8_t sent = ascii_hex_to_uint8(line.text.substr(11 + 2 * i, 2));
            require(sent == section.memory[offset + i]);
        }
        offset += UFW_LINE_BYTES;
    }
}

// The flash image is whole blocks inside the layout, and nothing outside it is
// read. Only its first and last blocks are checked line by line: one code makes
// every block, and checking all would cost one input up to 7,168 lines.
void check_section(const ufw_dfw& section)
{
    require(section.block_size == 0 || section.block_size == 64 || section.block_size == 128);
    require(section.block_count() <= UFW_MAX_BLOCKS);
    require(section.memory.size() == size_t(section.block_count()) * section.block_size);
    require(section.memory.empty()
            || section.memory.size() <= section.end_address + 1 - UFW_FLASH_START);
    if (section.block_count() > 0) {
        check_block(section, 0);
        check_block(section, section.block_count() - 1);
    }
    require(ufw_get_block_lines(section, section.block_count()).empty());
    const auto past_end = static_cast<uint32_t>(section.memory.size());
    require(ufw_get_crc_for_firmware(section, past_end) == 0xFFFF);
    require(ufw_get_crc_for_firmware(section, UINT32_MAX) == 0xFFFF);
}

// Hex fields must read exactly as strtoul reads the same characters.
void check_hex_field(std::string_view text)
{
    char scratch[5] = {};
    std::copy_n(text.data(), std::min<size_t>(text.size(), 4), scratch);
    require(ascii_hex_to_uint16(text) == static_cast<uint16_t>(std::strtoul(scratch, nullptr, 16)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_hex_field(text);
    ufw image;
    ufw downloaded;
    ufw_load_data(text, image);
    ufw_load_data(text, downloaded, ufw_source::download);
    require(!downloaded.loaded || image.loaded);
    require(image.bad_record_line == 0 || (!image.loaded && image.firmware.empty()));
    require(image.loaded
            == std::any_of(image.firmware.begin(), image.firmware.end(),
                           [](const ufw_dfw& dfw) { return dfw.block_count() > 0; }));
    for (const ufw_dfw& section : image.firmware) {
        check_section(section);
        require(ufw_get_for_device_type(image, section.device_type) != nullptr);
    }
    ufw_free(image);
    return 0;
}
