// What a firmware image holds, as the upload would send it: the same loader,
// the same blocks and the same CRCs the boards are asked to confirm, so a
// technician can compare them with what a board reports.
#include "action-info.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "functions.h"
#include "options.h"
#include "output.h"
#include "ufw.h"

namespace {

// A corrupt version line may carry a sign; it stays visible in both forms.
void print_version(int32_t version)
{
    std::printf("Firmware version: %d (%s)\n", static_cast<int>(version),
                format_version(version).c_str());
}

// A device type without a known layout gets no blocks: the upload would send it nothing.
void print_layout(const ufw_dfw& section)
{
    if (section.block_size == 0) {
        std::fputs("Flash layout: unknown device type\n", stdout);
        return;
    }
    std::printf("Flash layout: highest address 0x%04X, block size %u bytes\n",
                static_cast<unsigned>(section.end_address),
                static_cast<unsigned>(section.block_size));
}

void print_upload_range(const ufw_dfw& section)
{
    if (section.block_count() == 0) {
        std::fputs("Upload range: none\n", stdout);
        return;
    }
    const uint32_t end =
        UFW_FLASH_START + static_cast<uint32_t>(section.block_count()) * section.block_size - 1;
    std::printf("Upload range: 0x%04X-0x%04X\n", static_cast<unsigned>(UFW_FLASH_START),
                static_cast<unsigned>(end));
}

void print_block_crcs(const ufw_dfw& section)
{
    for (int32_t i = 0; i < section.block_count(); ++i) {
        const uint32_t offset = static_cast<uint32_t>(i) * section.block_size;
        std::printf("0x%04X %04X\n", static_cast<unsigned>(UFW_FLASH_START + offset),
                    static_cast<unsigned>(ufw_get_crc_for_firmware(section, offset)));
    }
}

void print_section(const ufw_dfw& section, size_t number)
{
    std::printf("Section %u: device type %04X\n", static_cast<unsigned>(number),
                static_cast<unsigned>(section.device_type));
    print_layout(section);
    std::printf("Data lines: %d\n", static_cast<int>(section.line_count()));
    print_upload_range(section);
    std::printf("Blocks: %d\n", static_cast<int>(section.block_count()));
    print_block_crcs(section);
}

void print_image(const ufw& image)
{
    print_version(image.version);
    std::printf("Sections: %u\n", static_cast<unsigned>(image.firmware.size()));
    for (size_t i = 0; i < image.firmware.size(); ++i)
        print_section(image.firmware[i], i + 1);
    std::fflush(stdout);
}

std::string hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

using json = nlohmann::ordered_json;

json number_or_null(bool known, uint32_t value)
{
    return known ? json(value) : json();
}

// The fields of the text; addresses as numbers, what does not exist as null.
json section_json(const ufw_dfw& section)
{
    const bool layout = section.block_size != 0;
    const int32_t blocks = section.block_count();
    json crcs = json::array();
    for (int32_t i = 0; i < blocks; ++i) {
        const uint32_t offset = static_cast<uint32_t>(i) * section.block_size;
        crcs.push_back(hex4(ufw_get_crc_for_firmware(section, offset)));
    }
    const uint32_t upload_end =
        UFW_FLASH_START + static_cast<uint32_t>(blocks) * section.block_size - 1;
    return {{"device_type", hex4(section.device_type)},
            {"highest_address", number_or_null(layout, section.end_address)},
            {"block_size", number_or_null(layout, section.block_size)},
            {"data_lines", section.line_count()},
            {"upload_start", number_or_null(blocks > 0, UFW_FLASH_START)},
            {"upload_end", number_or_null(blocks > 0, upload_end)},
            {"blocks", blocks},
            {"crcs", crcs}};
}

void image_event(const ufw& image)
{
    output_event([&] {
        json sections = json::array();
        for (const ufw_dfw& section : image.firmware)
            sections.push_back(section_json(section));
        return json{{"event", "image"}, {"version", image.version}, {"sections", sections}};
    });
}

} // namespace

int action_info()
{
    ufw image;
    ufw_load_file(options.fw_path, image);
    if (!image.loaded) {
        if (image.bad_record_line > 0)
            std::fprintf(stderr, "ERROR: Invalid record on line %d\n",
                         static_cast<int>(image.bad_record_line));
        std::fputs("ERROR: Invalid firmware file\n", stderr);
        ufw_free(image);
        return -1;
    }
    if (output_json())
        image_event(image);
    else
        print_image(image);
    ufw_free(image);
    return 0;
}
