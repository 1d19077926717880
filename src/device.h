// One hub on one serial port: the framed command exchange with the boards'
// bootloaders (device-exchange.cpp), detection of the hub and its boards and
// the switch into the bootloader (device-detect.cpp), opening a hub
// (device-open.cpp), the block-by-block firmware upload (device-upload.cpp)
// and the texts of its progress (device-progress.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "functions.h"
#include "serial.h"

struct ufw;

// A board of the hub as it announced itself from its bootloader.
struct board_entry {
    bool present = false;
    uint16_t hwid = 0;        // hub-type code reported by the board
    uint16_t device_type = 0; // selects the image section for this board
    uint16_t fw_version = 0;
    int32_t serial_number = 0;
};

// A hub type: its code, model name and how many boards it has.
struct device_system {
    uint16_t code = 0;
    std::string name;
    int32_t board_count = 0;
};

struct device {
    bool detected = false;      // an identity line or an announcement arrived in the last detection
    bool in_bootloader = false; // an announcement arrived in the last detection
    bool bootloader_ready = false; // every board of the hub type announced itself
    std::unique_ptr<serial_port> link;
    std::string port_name;
    uint16_t hwid = 0;
    std::string name;        // model name text; no reply fills it
    uint16_t fw_version = 0; // major * 100 + minor
    std::string serial;      // at most 19 characters
    std::unique_ptr<device_system> system;
    std::array<board_entry, 8> boards{}; // by board number; board 1 is the main board
    int32_t board_count = 0;
    bool board_search_done = false;
    // A write the link refused for 10 s, or a port that did not come back:
    // whatever is under way with this hub must give up.
    bool link_lost = false;
    // Every attempt of every command takes a tag of its own (see device-open.cpp).
    uint32_t next_tag = 0;
    // Beside other hubs' updates a stop request must not end the process under
    // them: it throws update_interrupted at a line boundary instead.
    bool stop_unwinds = false;
};

// Thrown at a line boundary when the user asked to stop an update that runs
// with stop_unwinds set; the hub is left between two lines.
struct update_interrupted {
    int exit_code = 0;
};
// The message for a stop request during an update, on stderr.
void device_report_interrupted();

// A framed reply from a board, parsed.
struct bootloader_line {
    uint8_t destination = 0;
    uint8_t source = 0;
    char kind = 0;
    char payload[256] = {};
};

// ---- Command exchange ----
bool device_is_bootloader_line(std::string_view text, bootloader_line* out);
bool device_send_command(device* dev, uint8_t board, const char* command, bool wait,
                         uint16_t timeout_ms, bool retry_write);

// ---- Detection and bootloader switch ----
std::unique_ptr<device> device_create_from_port(const char* port_name);
// The same for listings: a port that cannot be opened or holds no hub gives
// null without a message (a hub that is found may still report its troubles).
std::unique_ptr<device> device_probe_port(const char* port_name);
bool device_detect_attached(device* dev);
std::unique_ptr<device_system> device_get_system_from_code(uint16_t code);
bool device_is_bootloader_ready(const device* dev);
void device_switch_to_bootloader(device* dev);
// Closes the link and releases the record; a null device is ignored.
void device_free(std::unique_ptr<device>& dev);

// ---- Firmware upload ----
// One upload block: the lines that write one block of one board's flash.
struct firmware_block {
    uint8_t board = 0;
    std::vector<hex_line> lines; // in address order, owned copies
    bool verified = false;       // result of the block's last send
};

enum class update_result {
    updated, // every block verified and every board told to finish
    refused, // the image lacks usable firmware for one of the boards; nothing was sent
    failed,  // the upload gave up; the hub is left in its bootloader
};
// Each outcome but `updated` has printed its message. On SIGINT or SIGTERM it
// stops at the next line boundary and ends the process (exit code 130 or 143).
// `opts` chooses how the progress is shown.
struct options_record;
update_result device_do_firmware_update(device* dev, const ufw& image, const options_record& opts);
// Every block of every board, in a shuffled order that mixes the boards.
std::vector<firmware_block> device_build_firmware_blocks(const device* dev, const ufw& image,
                                                         int32_t* count);
void shuffle_blocks(std::vector<firmware_block>& list);
void device_free_firmware_blocks(std::vector<firmware_block>& list);
// Sends one block's lines to one board and checks the block's CRC; true when
// verified. A block that had to start again (a line needed a second attempt,
// or the port vanished) is not verified: the restart counts as a failed send.
bool device_send_firmware_line_block(device* dev, uint8_t board, const ufw& image,
                                     const std::vector<hex_line>& lines);
void device_stop_pings(device* dev);

// ---- Pieces of the above, exposed for tests ----
// One framed command line as sent: text ends in a line feed; tag is the
// sequence tag (">" board counter) that an acknowledgement may carry.
struct command_line {
    char text[264] = {};
    char tag[16] = {};
    size_t length = 0;
};
// The command is cut to 236 characters, the longest a line has room for.
void device_build_command_line(uint8_t board, std::string_view command, uint32_t counter,
                               command_line& out);
enum class reply_verdict { skip, accept, resend };
// What a parsed reply means to a command waiting for it.
reply_verdict device_judge_reply(const bootloader_line& reply, uint8_t board, bool crc_query,
                                 std::string_view tag);
// Reads the pieces of an identity line ("mfr:...") into the record.
void device_read_identity_line(device* dev, std::string_view line);
enum class board_check { unknown_type, missing_boards, complete };
// After listening, with board 1 present: takes the hub type from board 1 and,
// when every board of that type is present, the hub's identity from board 1.
board_check device_check_boards(device* dev);
// Records a board announcement; false for a line that is not one or comes from
// a board number the table has no entry for (8 and up).
bool device_read_announcement(device* dev, const bootloader_line& line);

// Progress of one upload, and the texts that show it.
struct upload_progress {
    int32_t total_blocks = 0;
    int32_t done = 0;
    int32_t failures = 0;
    int32_t total_chars = 0;
    int32_t sent_chars = 0;
    int32_t spinner = 0;     // bar, slash, hyphen, backslash in turn
    int32_t last_shown = -1; // percentage last printed
};
struct options_record;
using progress_text = char[128];
// The text to print before the next block (empty when nothing changes).
void device_progress_text(upload_progress& progress, int32_t elapsed_ms, const options_record& opts,
                          progress_text& out);
void device_final_progress_text(const upload_progress& progress, const options_record& opts,
                                progress_text& out);
