// What a firmware image holds, as the upload would send it: the same loader,
// the same blocks and the same CRCs the boards are asked to confirm, so a
// technician can compare them with what a board reports.
#include "action-info.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "action-events.h"
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
