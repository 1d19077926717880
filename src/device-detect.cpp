// Finding out what is on a port: a hub in its normal firmware answers with an
// identity line, boards in their bootloaders announce themselves; and the
// switch of a hub from its normal firmware into its bootloader.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "device-internal.h"
#include "device.h"
#include "functions.h"
#include "output.h"
#include "serial.h"
#include "timer.h"

using namespace device_internal;

namespace {

constexpr int32_t detection_window_ms = 7000;
constexpr int32_t board_search_ms = 10000;
constexpr int32_t switch_restart_ms = 25000;

// Failed switch attempts of the whole run; a hub that fails to switch must not
// make every later hub of the run wait through five attempts too.
std::atomic<int32_t> switch_count{0};

struct hub_type {
    uint16_t code;
    const char* name;
    int32_t board_count;
};

constexpr hub_type hub_types[] = {
    {0x1010, "Halbern-8", 2},        {0x1011, "Halbern-8T", 2}, {0x1020, "Halbern-10", 2},
    {0x1030, "Halbern-16", 2},       {0x1050, "Halbern-24", 3}, {0x1080, "Halbern-20", 4},
    {0x1131, "Halbern Tray-16T", 2},
};

// Numbers in a hub's replies are held at a billion instead of overflowing.
int64_t reply_number(std::string_view text)
{
    return read_decimal(text, 1000000000);
}

} // namespace

std::unique_ptr<device_system> device_get_system_from_code(uint16_t code)
{
    for (const hub_type& type : hub_types) {
        if (type.code != code)
            continue;
        try {
            auto system = std::make_unique<device_system>();
            system->code = type.code;
            system->name = type.name;
            system->board_count = type.board_count;
            return system;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return nullptr;
}

void device_read_identity_line(device* dev, std::string_view line)
{
    while (true) {
        const size_t comma = line.find(',');
        const std::string_view piece = line.substr(0, comma);
        const size_t colon = piece.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view key = piece.substr(0, colon);
            const std::string_view value = piece.substr(colon + 1);
            if (key == "sn") {
                dev->serial.assign(value.substr(0, std::min<size_t>(value.size(), 19)));
            } else if (key == "hwid") {
                dev->hwid = ascii_hex_to_uint16(value);
                dev->system = device_get_system_from_code(dev->hwid);
            } else if (key == "fw") {
                // A version without a point is a major version alone: "3" is 3.0.
                const size_t point = value.find('.');
                const int64_t major = reply_number(value.substr(0, point));
                const int64_t minor =
                    point == std::string_view::npos ? 0 : reply_number(value.substr(point + 1));
                dev->fw_version = static_cast<uint16_t>(major * 100 + minor);
            }
        }
        if (comma == std::string_view::npos)
            return;
        line.remove_prefix(comma + 1);
    }
}

bool device_read_announcement(device* dev, const bootloader_line& line)
{
    if (line.kind != '*' || line.source >= dev->boards.size())
        return false;
    dev->detected = true;
    dev->in_bootloader = true;
    // Boards are numbered from 1; a board 0 has no place in the table.
    board_entry& board = dev->boards[line.source];
    if (line.source == 0 || board.present)
        return true;
    const std::string_view payload(line.payload);
    ++dev->board_count;
    board.present = true;
    board.fw_version = ascii_hex_to_uint16(field(payload, 0, 4));
    board.hwid = ascii_hex_to_uint16(field(payload, 4, 4));
    board.device_type = ascii_hex_to_uint16(field(payload, 8, 4));
    board.serial_number = static_cast<int32_t>(reply_number(field(payload, 12)));
    return true;
}

namespace {

enum class listen_result { window_ended, identity };

void reset_detection(device* dev)
{
    dev->detected = false;
    dev->in_bootloader = false;
    dev->bootloader_ready = false;
    dev->boards = {};
    dev->board_count = 0;
}

// Sends the queries on their schedules; both go out at once at the start.
struct query_schedule {
    int32_t dverify_count = 0;
    int32_t last_dverify = 0;
    bool id_sent = false;
    int32_t last_id = 0;

    void run(device* dev)
    {
        if (dverify_count < 3 && (dverify_count == 0 || time_reached(last_dverify, 500))) {
            serial_tx(link_of(dev), "Dverify\r\n");
            last_dverify = get_absolute_time();
            ++dverify_count;
        }
        if (!id_sent || time_reached(last_id, 2000)) {
            serial_tx(link_of(dev), "id\r\n");
            last_id = get_absolute_time();
            id_sent = true;
        }
    }
};

// Listens for up to 7 s: an identity line ends detection at once, the third
// announcement from board 1 ends the window early.
listen_result listen_for_hub(device* dev)
{
    char received[1024];
    bootloader_line line;
    query_schedule queries;
    int32_t board1_announcements = 0;
    const int32_t start = get_absolute_time();
    while (!time_reached(start, detection_window_ms)) {
        queries.run(dev);
        if (!serial_rx_pop(link_of(dev), received, sizeof received))
            continue;
        received[sizeof received - 1] = '\0';
        const std::string_view text(received);
        if (text.substr(0, 4) == "mfr:") {
            dev->detected = true;
            device_read_identity_line(dev, text);
            return listen_result::identity;
        }
        if (!device_is_bootloader_line(text, &line) || !device_read_announcement(dev, line))
            continue;
        if (line.source == 1 && ++board1_announcements == 3)
            break;
    }
    return listen_result::window_ended;
}

int32_t hub_board_count(const device* dev)
{
    return std::clamp<int32_t>(dev->system->board_count, 0,
                               static_cast<int32_t>(dev->boards.size()) - 1);
}

bool all_boards_present(const device* dev)
{
    for (int32_t b = 1; b <= hub_board_count(dev); ++b)
        if (!dev->boards[static_cast<size_t>(b)].present)
            return false;
    return true;
}

// A board that stays silent is asked to restart into its bootloader, once a
// second, until it announces itself or 10 s have passed.
bool search_board(device* dev, uint8_t board)
{
    char received[1024];
    bootloader_line line;
    bool sent = false;
    int32_t last_send = 0;
    const int32_t start = get_absolute_time();
    while (!time_reached(start, board_search_ms)) {
        if (!sent || time_reached(last_send, 1000)) {
            device_send_command(dev, board, "!REBOOT_BOOT", false, 1000, true);
            last_send = get_absolute_time();
            sent = true;
        }
        if (!serial_rx_pop(link_of(dev), received, sizeof received))
            continue;
        received[sizeof received - 1] = '\0';
        if (device_is_bootloader_line(received, &line) && line.kind == '*'
            && line.source == board) {
            dev->boards[board].present = true;
            return true;
        }
    }
    output_format("Board %d not found\r\n", board);
    output_error("ERROR: This Corvane hub is in an unknown state. Please power cycle the hub and "
                 "try again.\n");
    return false;
}

bool search_missing_boards(device* dev)
{
    for (int32_t b = 2; b <= hub_board_count(dev); ++b)
        if (!dev->boards[static_cast<size_t>(b)].present
            && !search_board(dev, static_cast<uint8_t>(b)))
            return false;
    return true;
}

} // namespace

board_check device_check_boards(device* dev)
{
    dev->system = device_get_system_from_code(dev->boards[1].hwid);
    if (!dev->system) {
        output_error("ERROR: Unknown Corvane hub type\n");
        return board_check::unknown_type;
    }
    if (!all_boards_present(dev))
        return board_check::missing_boards;
    const board_entry& main_board = dev->boards[1];
    char text[32];
    std::snprintf(text, sizeof text, "%04x.%04u", static_cast<unsigned>(main_board.hwid),
                  static_cast<unsigned>(main_board.serial_number));
    dev->serial.assign(text, std::min<size_t>(std::strlen(text), 19));
    dev->hwid = dev->system->code;
    dev->fw_version = main_board.fw_version;
    dev->bootloader_ready = true;
    return board_check::complete;
}

bool device_detect_attached(device* dev)
{
    reset_detection(dev);
    if (listen_for_hub(dev) == listen_result::identity)
        return true;
    if (!dev->boards[1].present)
        return false;
    switch (device_check_boards(dev)) {
    case board_check::complete:
        return true;
    case board_check::unknown_type:
        return false;
    case board_check::missing_boards:
        break;
    }
    // One search per record: boards that go missing again afterwards mean trouble.
    if (dev->board_search_done || !search_missing_boards(dev))
        return false;
    dev->board_search_done = true;
    return device_detect_attached(dev);
}

bool device_is_bootloader_ready(const device* dev)
{
    return dev->in_bootloader && dev->bootloader_ready;
}

void device_switch_to_bootloader(device* dev)
{
    serial_port* link = link_of(dev);
    output_stage_event(dev->port_name, "switching");
    while (true) {
        if (switch_count == 0)
            flush_and_print("Switching to bootloader\n");
        serial_tx(link, "boot_mode enabled\r\n");
        wait_ms(250);
        serial_stop(link);
        wait_ms(500);
        serial_free(link);
        upload_pause(dev, switch_restart_ms); // beside other hubs a stop request ends it
        serial_init(link, dev->port_name.c_str());
        dev->link_lost = false;
        if (!link->started) {
            output_error_format("ERROR: Unable to reconnect to device on serial port %s\n",
                                dev->port_name.c_str());
            return;
        }
        device_detect_attached(dev);
        if (dev->in_bootloader)
            return;
        if (++switch_count >= 5)
            return;
    }
}
