// Feeds arbitrary bytes to the image parser and checks the shape of what it
// builds: sizes within the flash, whole blocks of complete upload lines, every
// stored byte inside a block, and nothing loaded that has nothing to upload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ufw.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void check_section(const ufw_dfw& section) {
    require(section.memory.size() == UFW_MEMORY_SIZE);
    require(section.block_count() <= UFW_MAX_BLOCKS);
    require(section.block_size == 0 || section.block_size == 64 || section.block_size == 128);
    uint32_t expected_start = UFW_FLASH_START;
    for (const auto& block : section.blocks) {
        require(block.size() == section.block_size / UFW_LINE_BYTES);
        for (const hex_line& line : block) {
            require(line.text.size() == 45 && line.text[0] == ';');
            require(line.address == expected_start);
            expected_start += UFW_LINE_BYTES;
        }
        ufw_get_crc_for_firmware(section, block.front().address - UFW_FLASH_START);
    }
    require(expected_start <= section.end_address + 1 || section.blocks.empty());
    const size_t sent = section.blocks.size() * section.block_size;
    require(std::all_of(section.memory.begin() + static_cast<std::ptrdiff_t>(sent),
                        section.memory.end(), [](uint8_t byte) { return byte == 0xFF; }));
}

// Hex fields must read exactly as strtoul reads the same characters.
void check_hex_field(std::string_view text) {
    char scratch[5] = {};
    std::copy_n(text.data(), std::min<size_t>(text.size(), 4), scratch);
    require(ascii_hex_to_uint16(text) == static_cast<uint16_t>(std::strtoul(scratch, nullptr, 16)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_hex_field(text);
    ufw image;
    ufw downloaded;
    ufw_load_data(text, image);
    ufw_load_data(text, downloaded, ufw_source::download);
    require(!downloaded.loaded || image.loaded);
    require(image.bad_record_line == 0 || !image.loaded);
    require(image.loaded == std::any_of(image.firmware.begin(), image.firmware.end(),
                                        [](const ufw_dfw& dfw) { return dfw.block_count() > 0; }));
    for (const ufw_dfw& section : image.firmware) {
        if (image.loaded) check_section(section); // a refused text's sections are not populated
        require(ufw_get_for_device_type(image, section.device_type) != nullptr);
    }
    ufw_free(image);
    return 0;
}
