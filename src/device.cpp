// One hub on one serial port. While its boards run their bootloaders the host
// talks to each board in framed lines ("@" addresses, command, "|" checksum,
// sequence tag); while the hub runs its normal firmware it answers plain text.
// Received text is read only as far as it goes: a short or malformed line from
// the hub never makes a field read past its end.
#include "device.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "functions.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "serial.h"
#include "timer.h"
#include "ufw-device.h"
#include "ufw.h"

namespace {

// ---- Module state of the exchange ----

// Every attempt of every command takes a tag of its own, so an acknowledgement
// that arrives late for an earlier attempt is never taken for the current one.
// Each hub record counts its own tags, from a range of its own: a late
// acknowledgement to an earlier record of the same port matches no new tag.
std::atomic<uint32_t> next_tag_range{0};
constexpr int tag_range_bits = 24;

// Failed switch attempts of the whole run; a hub that fails to switch must not
// make every later hub of the run wait through five attempts too.
std::atomic<int32_t> switch_count{0};

// The block order comes from std::rand, whose state all hubs share.
std::mutex shuffle_lock;

constexpr size_t max_command_length = 236;
constexpr size_t max_payload_length = 255;
constexpr int32_t detection_window_ms = 7000;
constexpr int32_t board_search_ms = 10000;
constexpr int32_t switch_restart_ms = 25000;
constexpr int32_t max_line_attempts = 50;
constexpr int32_t max_block_sends = 60;
constexpr int32_t refused_write_limit_ms = 10000;

struct hub_type {
    uint16_t code;
    const char* name;
    int32_t board_count;
};

constexpr hub_type hub_types[] = {
    {0x1010, "Halbern-8", 2},  {0x1011, "Halbern-8T", 2}, {0x1020, "Halbern-10", 2},
    {0x1030, "Halbern-16", 2}, {0x1050, "Halbern-24", 3}, {0x1080, "Halbern-20", 4},
    {0x1131, "Halbern Tray-16T", 2},
};

constexpr char spinner_chars[] = {'|', '/', '-', '\\'};

// The part of `text` from `pos` on, at most `count` characters; empty when the text is shorter.
std::string_view field(std::string_view text, size_t pos, size_t count = std::string_view::npos)
{
    if (pos >= text.size())
        return {};
    return text.substr(pos, count);
}

// Numbers in a hub's replies are held at a billion instead of overflowing.
int64_t reply_number(std::string_view text)
{
    return read_decimal(text, 1000000000);
}

// Human notices; with --json they go to stderr, away from the events.
void flush_and_print(const char* text)
{
    output_text(text);
}

serial_port* link_of(device* dev)
{
    return dev->link.get();
}

// Asked to stop: the hub is left between two lines, never in the middle of one.
void stop_if_interrupted(device* dev)
{
    const int code = interrupt_exit_code();
    if (code == 0)
        return;
    if (dev->stop_unwinds)
        throw update_interrupted{code};
    device_report_interrupted();
    // The watcher thread must not outlive the port it watches while the process ends.
    if (dev->link)
        serial_free(dev->link.get());
    std::exit(code);
}

} // namespace

void device_report_interrupted()
{
    output_error("\nERROR: Interrupted. The hub is left in its bootloader with incomplete firmware. "
                 "Run the same command again to complete the update (power-cycle the hub first if "
                 "it is not found).\n");
}

namespace {

// The upload's long pauses end early when the user asks to stop.
void upload_pause(device* dev, int32_t ms)
{
    constexpr int32_t step_ms = 50;
    const int32_t start = get_absolute_time();
    for (int32_t left = ms; left > 0; left = time_remaining(start, ms)) {
        wait_ms(std::min(left, step_ms));
        stop_if_interrupted(dev);
    }
}

// ---- Command exchange ----

// A refused write is repeated until the link takes it, for 10 s from the first
// refusal at most; the pause keeps a link that refuses for long from burning a
// core. A port that vanished and did not come back is not waited for again.
bool write_line(device* dev, const char* text, bool retry_write)
{
    int32_t first_refusal = 0;
    for (bool refused = false; !serial_tx(link_of(dev), text); refused = true) {
        if (!retry_write)
            return false;
        if (!refused)
            first_refusal = get_absolute_time();
        if (link_of(dev)->return_waited_out || time_reached(first_refusal, refused_write_limit_ms)) {
            dev->link_lost = true;
            return false;
        }
        wait_ms(1);
    }
    return true;
}

// A CRC report that answers the query goes to `crc_report`.
bool await_reply(device* dev, uint8_t board, bool crc_query, std::string_view tag,
                 uint16_t timeout_ms, uint16_t& crc_report)
{
    char received[256];
    bootloader_line reply;
    const int32_t start = get_absolute_time();
    // Each read wakes as soon as bytes arrive and never waits past the time-out.
    for (int32_t left = timeout_ms; left > 0; left = time_remaining(start, timeout_ms)) {
        if (!serial_rx_wait(link_of(dev), received, sizeof received, left))
            continue;
        received[sizeof received - 1] = '\0';
        if (!device_is_bootloader_line(received, &reply))
            continue;
        switch (device_judge_reply(reply, board, crc_query, tag)) {
        case reply_verdict::accept:
            if (crc_query)
                crc_report = ascii_hex_to_uint16(field(reply.payload, 4, 4));
            return true;
        case reply_verdict::resend:
            return false;
        case reply_verdict::skip:
            break;
        }
    }
    return false;
}

} // namespace

bool device_is_bootloader_line(std::string_view text, bootloader_line* out)
{
    *out = bootloader_line{};
    const size_t length = text.size();
    if (length <= 4 || text[0] != '@' || text[length - 3] != '|')
        return false;
    const std::string_view head = text.substr(0, length - 3);
    if (crc2c_len(head, static_cast<int32_t>(head.size())) != ascii_hex_to_uint8(text.substr(length - 2)))
        return false;
    out->destination = ascii_hex_to_uint8(field(head, 1, 2));
    out->source = ascii_hex_to_uint8(field(head, 3, 2));
    out->kind = head.size() > 5 ? head[5] : '\0';
    const std::string_view payload = field(head, 6, max_payload_length);
    std::copy(payload.begin(), payload.end(), out->payload);
    return true;
}

void device_build_command_line(uint8_t board, std::string_view command, uint32_t counter,
                               command_line& out)
{
    command = command.substr(0, std::min(command.size(), max_command_length));
    int n = std::snprintf(out.text, sizeof out.text, "@%02x00%.*s", static_cast<unsigned>(board),
                          static_cast<int>(command.size()), command.data());
    const uint8_t checksum = crc2c(std::string_view(out.text, static_cast<size_t>(n)));
    std::snprintf(out.tag, sizeof out.tag, ">%01x%08x", static_cast<unsigned>(board),
                  static_cast<unsigned>(counter));
    n += std::snprintf(out.text + n, sizeof out.text - static_cast<size_t>(n), "|%02x%s\n",
                       static_cast<unsigned>(checksum), out.tag);
    out.length = static_cast<size_t>(n);
}

reply_verdict device_judge_reply(const bootloader_line& reply, uint8_t board, bool crc_query,
                                 std::string_view tag)
{
    const std::string_view payload(reply.payload);
    if (crc_query) {
        // A CRC report is taken from whichever board sends it.
        const bool report = reply.kind == '-' && payload.substr(0, 4) == "CRC=";
        return report ? reply_verdict::accept : reply_verdict::skip;
    }
    if (reply.source != board)
        return reply_verdict::skip;
    if (reply.kind == '?')
        return reply_verdict::resend;
    if (reply.kind != '+')
        return reply_verdict::skip;
    // A tagged acknowledgement may belong to an earlier attempt; only our own tag counts.
    if (payload.empty() || payload[0] != '>')
        return reply_verdict::accept;
    return payload == tag ? reply_verdict::accept : reply_verdict::skip;
}

namespace {

// The command exchange: up to ten attempts, each with a tag of its own, each
// followed by a blank line when its reply did not come. A CRC query's report
// goes to `crc_report`.
bool exchange(device* dev, uint8_t board, const char* command, bool wait, uint16_t timeout_ms,
              bool retry_write, uint16_t& crc_report)
{
    const bool crc_query = std::strncmp(command, "!PART_CRC", 9) == 0;
    command_line line;
    for (int attempt = 0; attempt < 10; ++attempt) {
        device_build_command_line(board, command, dev->next_tag++, line);
        if (!write_line(dev, line.text, retry_write))
            return false;
        if (!wait)
            return false;
        if (await_reply(dev, board, crc_query, line.tag, timeout_ms, crc_report))
            return true;
        serial_tx(link_of(dev), "\r\n");
        wait_ms(20);
    }
    return false;
}

} // namespace

bool device_send_command(device* dev, uint8_t board, const char* command, bool wait,
                         uint16_t timeout_ms, bool retry_write)
{
    uint16_t crc_report = 0;
    return exchange(dev, board, command, wait, timeout_ms, retry_write, crc_report);
}

// ---- Detection ----

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
                const int64_t minor = point == std::string_view::npos ? 0 : reply_number(value.substr(point + 1));
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
    return std::clamp<int32_t>(dev->system->board_count, 0, static_cast<int32_t>(dev->boards.size()) - 1);
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
        if (device_is_bootloader_line(received, &line) && line.kind == '*' && line.source == board) {
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
        if (!dev->boards[static_cast<size_t>(b)].present && !search_board(dev, static_cast<uint8_t>(b)))
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

namespace {

// With `quiet`, a port that cannot be connected or holds no hub gives null
// without a message; what a found hub reports about itself is still printed.
std::unique_ptr<device> create_from_port(const char* port_name, bool quiet)
{
    std::unique_ptr<device> dev;
    try {
        dev = std::make_unique<device>();
        dev->port_name = port_name;
        dev->next_tag = next_tag_range.fetch_add(1) << tag_range_bits;
        dev->serial.reserve(19); // later replies then never need memory for it
        dev->link = std::make_unique<serial_port>();
        dev->link->quiet = quiet;
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        dev.reset();
        return nullptr;
    }
    serial_init(dev->link.get(), port_name);
    // A port that cannot be opened holds no hub worth the detection window.
    if (!dev->link->started || dev->link->open_failed) {
        device_free(dev);
        if (!quiet)
            output_error_format("ERROR: Unable to connect to device on serial port %s\n", port_name);
        return nullptr;
    }
    if (!device_detect_attached(dev.get())) {
        device_free(dev);
        if (!quiet)
            output_error_format("ERROR: Unable to detect a Corvane hub on port %s\n", port_name);
        return nullptr;
    }
    return dev;
}

} // namespace

std::unique_ptr<device> device_create_from_port(const char* port_name)
{
    return create_from_port(port_name, false);
}

std::unique_ptr<device> device_probe_port(const char* port_name)
{
    return create_from_port(port_name, true);
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

void device_free(std::unique_ptr<device>& dev)
{
    if (!dev)
        return;
    if (dev->link)
        serial_free(dev->link.get());
    dev.reset();
}

// ---- Firmware upload ----

namespace {

const ufw_dfw* section_for_board(const device* dev, const ufw& image, int32_t board)
{
    return ufw_get_for_device_type(image, dev->boards[static_cast<size_t>(board)].device_type);
}

int32_t upload_board_count(const device* dev)
{
    return std::clamp<int32_t>(dev->board_count, 0, static_cast<int32_t>(dev->boards.size()) - 1);
}

int32_t block_chars(const firmware_block& block)
{
    size_t chars = 0;
    for (const hex_line& line : block.lines)
        chars += line.text.size();
    return static_cast<int32_t>(chars);
}

enum class line_outcome { first_attempt, retried, failed };

line_outcome send_upload_line(device* dev, uint8_t board, const hex_line& line)
{
    for (int32_t attempt = 1; attempt <= max_line_attempts; ++attempt) {
        if (!serial_wait_available(link_of(dev)))
            return line_outcome::failed;
        if (device_send_command(dev, board, line.text.c_str(), true, 500, false)) {
            if (attempt == 1)
                return line_outcome::first_attempt;
            return attempt <= 5 ? line_outcome::retried : line_outcome::failed;
        }
        flush_and_print("Error sending command\r\n");
        upload_pause(dev, 1500);
    }
    return line_outcome::failed;
}

void stop_pings_repeatedly(device* dev, int times)
{
    for (int i = 0; i < times && !dev->link_lost; ++i)
        device_stop_pings(dev);
}

// False when the port did not come back in time.
bool reconnect_after_port_loss(device* dev)
{
    flush_and_print("\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n");
    if (!serial_wait_available(link_of(dev)))
        return false;
    flush_and_print("Restarting upload for board\r\n");
    stop_pings_repeatedly(dev, 4);
    upload_pause(dev, 500);
    return !dev->link_lost;
}

// Only a report that answers this very query counts, never one left from an earlier block.
bool block_crc_matches(device* dev, uint8_t board, const ufw& image, uint32_t block_address)
{
    const ufw_dfw* section = section_for_board(dev, image, board);
    if (!section || block_address < UFW_FLASH_START)
        return false;
    const uint16_t expected = ufw_get_crc_for_firmware(*section, block_address - UFW_FLASH_START);
    char query[32];
    std::snprintf(query, sizeof query, "!PART_CRC=%06x", static_cast<unsigned>(block_address));
    uint16_t reported = 0;
    return exchange(dev, board, query, true, 3000, true, reported) && reported == expected;
}

enum class block_outcome {
    verified,
    failed,    // a line or the CRC did not get through
    restarted, // the block must be written afresh (after the pause that asks)
    link_lost, // the port did not come back, or refused writes for too long
};

block_outcome send_block(device* dev, uint8_t board, const ufw& image,
                         const std::vector<hex_line>& lines)
{
    if (lines.empty())
        return block_outcome::failed;
    for (const hex_line& line : lines) {
        stop_if_interrupted(dev);
        if (!serial_available(link_of(dev)))
            return reconnect_after_port_loss(dev) ? block_outcome::restarted : block_outcome::link_lost;
        switch (send_upload_line(dev, board, line)) {
        case line_outcome::first_attempt:
            // The board needs 1 ms after its acknowledgement left; our own work counts
            // towards it. The acknowledgement was the last line the link handed out.
            wait_until_us(link_of(dev)->last_line_read_us + 1000);
            break;
        case line_outcome::retried:
            // The board may have lost its place in the block: write the block afresh.
            flush_and_print("Restarting upload for board\r\n");
            device_stop_pings(dev);
            upload_pause(dev, 1000);
            return dev->link_lost ? block_outcome::link_lost : block_outcome::restarted;
        case line_outcome::failed:
            // A port that is only away for now is still waited for at the next send.
            return link_of(dev)->return_waited_out ? block_outcome::link_lost : block_outcome::failed;
        }
    }
    stop_if_interrupted(dev);
    if (block_crc_matches(dev, board, image, lines.front().address))
        return block_outcome::verified;
    return dev->link_lost ? block_outcome::link_lost : block_outcome::failed;
}

update_result give_up_update(device* dev)
{
    stop_if_interrupted(dev); // a wait cut short by the user is no failure of the hub
    flush_and_print("Failed to update the Corvane hub. Please power cycle the hub and run hubflash again.\r\n");
    return update_result::failed;
}

// False when the link was lost on the way.
bool send_finish_commands(device* dev, int32_t version)
{
    char command[32];
    std::snprintf(command, sizeof command, "!FINISH %04d", static_cast<int>(version));
    for (int round = 0; round < 2; ++round) {
        for (int32_t b = upload_board_count(dev); b >= 1; --b) {
            for (const int32_t pause_ms : {4000, 2000}) {
                device_send_command(dev, static_cast<uint8_t>(b), command, false, 3000, true);
                if (dev->link_lost)
                    return false;
                upload_pause(dev, pause_ms);
            }
        }
    }
    return true;
}

// Sends one block until it is verified. Every send that does not verify it,
// a restart included, counts against the limits; false when they are reached.
bool upload_block(device* dev, const ufw& image, firmware_block& block, upload_progress& progress)
{
    for (int32_t sends = 0; !block.verified; ) {
        if (sends == max_block_sends)
            return false;
        ++sends;
        const block_outcome outcome = send_block(dev, block.board, image, block.lines);
        block.verified = outcome == block_outcome::verified;
        if (block.verified)
            break;
        if (outcome == block_outcome::link_lost || ++progress.failures == progress.total_blocks)
            return false;
        if (outcome == block_outcome::failed)
            upload_pause(dev, 1000);
    }
    ++progress.done;
    progress.sent_chars += block_chars(block);
    return true;
}

// With --json an event replaces the progress line; it says what the last block
// changed, so there is none before the first block is done.
void show_progress(const device* dev, upload_progress& progress, int32_t start_time,
                   const options_record& opts)
{
    if (output_progress_elsewhere()) {
        if (progress.done > 0)
            output_progress_event(dev->port_name, progress.done, progress.total_blocks,
                                  progress.failures);
        return;
    }
    progress_text text;
    device_progress_text(progress, time_elapsed(start_time), opts, text);
    flush_and_print(text);
}

void show_final_progress(const device* dev, const upload_progress& progress,
                         const options_record& opts)
{
    if (output_progress_elsewhere()) {
        output_progress_event(dev->port_name, progress.done, progress.total_blocks,
                              progress.failures);
        return;
    }
    progress_text final_text;
    device_final_progress_text(progress, opts, final_text);
    flush_and_print(final_text);
}

bool upload_all_blocks(device* dev, const ufw& image, std::vector<firmware_block>& list,
                       upload_progress& progress, const options_record& opts)
{
    device_stop_pings(dev);
    if (dev->link_lost)
        return false;
    for (const firmware_block& block : list)
        progress.total_chars += block_chars(block);
    const int32_t start_time = get_absolute_time();
    output_stage_event(dev->port_name, "uploading");
    for (firmware_block& block : list) {
        show_progress(dev, progress, start_time, opts);
        if (!upload_block(dev, image, block, progress))
            return false;
        progress.spinner = (progress.spinner + 1) % 4;
    }
    show_final_progress(dev, progress, opts);
    output_stage_event(dev->port_name, "finishing");
    return true;
}

} // namespace

std::vector<firmware_block> device_build_firmware_blocks(const device* dev, const ufw& image,
                                                         int32_t* count)
{
    *count = 0;
    std::vector<firmware_block> list;
    for (int32_t b = upload_board_count(dev); b >= 1; --b) {
        const ufw_dfw* section = section_for_board(dev, image, b);
        if (!section)
            continue;
        for (int32_t i = 0; i < section->block_count(); ++i) {
            list.push_back(
                firmware_block{static_cast<uint8_t>(b), ufw_get_block_lines(*section, i), false});
            ++*count;
        }
    }
    shuffle_blocks(list);
    return list;
}

void shuffle_blocks(std::vector<firmware_block>& list)
{
    if (list.size() < 2)
        return;
    const std::lock_guard guard(shuffle_lock);
    // Reduced to 0..32767 on every runtime, so j stays inside the list.
    for (size_t i = list.size() - 1; i >= 1; --i) {
        const int r = std::rand() & 0x7FFF;
        const auto j = static_cast<size_t>(static_cast<double>(i + 1) * (r / 32768.0));
        std::swap(list[i], list[j]);
    }
}

void device_free_firmware_blocks(std::vector<firmware_block>& list)
{
    std::vector<firmware_block>().swap(list);
}

void device_stop_pings(device* dev)
{
    for (int32_t b = upload_board_count(dev); b >= 1 && !dev->link_lost; --b) {
        device_send_command(dev, static_cast<uint8_t>(b), "!STOP_PING", true, 1000, true);
        wait_ms(250);
    }
}

bool device_send_firmware_line_block(device* dev, uint8_t board, const ufw& image,
                                     const std::vector<hex_line>& lines)
{
    return send_block(dev, board, image, lines) == block_outcome::verified;
}

update_result device_do_firmware_update(device* dev, const ufw& image, const options_record& opts)
{
    // Nothing is sent to a hub that the image cannot fully serve: half a hub
    // updated leaves boards with firmware that does not fit together.
    if (ufw_check_device_status(image, *dev) == 0) {
        output_error("ERROR: The file does not contain the correct firmware for this hub\n");
        return update_result::refused;
    }
    std::vector<firmware_block> list;
    upload_progress progress;
    try {
        list = device_build_firmware_blocks(dev, image, &progress.total_blocks);
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        return update_result::failed;
    }
    const interrupt_guard guard;
    if (!upload_all_blocks(dev, image, list, progress, opts) || !send_finish_commands(dev, image.version))
        return give_up_update(dev);
    device_free_firmware_blocks(list);
    flush_and_print("Device updated successfully.\n");
    return update_result::updated;
}

// ---- Progress texts ----

namespace {

int32_t rounded_percent(const upload_progress& p)
{
    if (p.total_blocks == 0)
        return 0;
    const auto raw = static_cast<int32_t>(100.0 * p.done / p.total_blocks + 2.5);
    return std::clamp(raw / 5 * 5, 0, 100);
}

int32_t exact_percent(const upload_progress& p)
{
    if (p.total_blocks == 0)
        return 0;
    return std::clamp(static_cast<int32_t>(100.0 * p.done / p.total_blocks), 0, 100);
}

void percent_text(int32_t percent, progress_text& out)
{
    std::snprintf(out, sizeof out, "\rUpdating, please wait   %d%%", static_cast<int>(percent));
}

void counter_text(const upload_progress& p, const char* rate, progress_text& out)
{
    std::snprintf(out, sizeof out, "\rUpdating, please wait   %04d/%04d/%04d  %c%s",
                  static_cast<int>(p.failures), static_cast<int>(p.done),
                  static_cast<int>(p.total_blocks), spinner_chars[p.spinner & 3], rate);
}

} // namespace

void device_progress_text(upload_progress& p, int32_t elapsed_ms, const options_record& opts,
                          progress_text& out)
{
    out[0] = '\0';
    const int32_t rounded = rounded_percent(p);
    if (opts.basic_status) {
        if (rounded != p.last_shown) {
            p.last_shown = rounded;
            percent_text(rounded, out);
        }
        return;
    }
    if (opts.no_status) {
        // The exact value is remembered but the rounded one is compared, so
        // this style redraws before nearly every block.
        if (rounded != p.last_shown) {
            p.last_shown = exact_percent(p);
            percent_text(p.last_shown, out);
        }
        return;
    }
    char rate[30] = {}; // the rate text is cut to 29 characters
    if (opts.tx_rate && elapsed_ms > 0)
        std::snprintf(rate, sizeof rate, "  %.2fKb/s %d of %d",
                      static_cast<double>(static_cast<float>(p.sent_chars) / static_cast<float>(elapsed_ms)),
                      static_cast<int>(p.sent_chars), static_cast<int>(p.total_chars));
    counter_text(p, rate, out);
}

void device_final_progress_text(const upload_progress& p, const options_record& opts,
                                progress_text& out)
{
    if (opts.basic_status || opts.no_status)
        percent_text(100, out);
    else
        counter_text(p, "", out);
}
