// The actions' JSON events. nlohmann's ordered_json is heavy to compile, so
// every event that needs more than output.h's shared ones is built here.
#include "action-events.h"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "device.h"
#include "output.h"
#include "ufw.h"

namespace {

using json = nlohmann::ordered_json;

std::string hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

json number_or_null(bool known, uint32_t value)
{
    return known ? json(value) : json();
}

// The boards that announced themselves, as the "boards" array of a hub event.
json board_array(const device& dev)
{
    json boards = json::array();
    for (size_t n = 1; dev.in_bootloader && n < dev.boards.size(); ++n) {
        const board_entry& board = dev.boards[n];
        if (board.present)
            boards.push_back({{"board", n},
                              {"device_type", hex4(board.device_type)},
                              {"fw_version", board.fw_version}});
    }
    return boards;
}

// The fields of --info's text; addresses as numbers, what does not exist as null.
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

} // namespace

void hub_event(const device& dev, const char* port)
{
    output_event([&] {
        // An unknown hub type has no name: null rather than a made-up one.
        const json name = dev.system ? json(dev.system->name) : json();
        return json{{"event", "hub"},
                    {"port", port},
                    {"hwid", hex4(dev.hwid)},
                    {"name", name},
                    {"mode", dev.in_bootloader ? "bootloader" : "normal"},
                    {"serial", dev.serial},
                    {"fw_version", dev.fw_version},
                    {"boards", board_array(dev)}};
    });
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

void summary_event(int updated, int total)
{
    output_event([&] {
        return json{{"event", "summary"}, {"updated", updated}, {"total", total}};
    });
}
