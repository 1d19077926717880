// One hub on one serial port: the framed command exchange with the boards'
// bootloaders, detection of the hub and its boards, the switch into the
// bootloader, and the block-by-block firmware upload.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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
    bool detected = false;         // an identity line or an announcement arrived in the last detection
    bool in_bootloader = false;    // an announcement arrived in the last detection
    bool bootloader_ready = false; // every board of the hub type announced itself
    std::unique_ptr<serial_port> link;
    std::string port_name;
    uint16_t hwid = 0;
    std::string name;              // model name text; no reply fills it
    uint16_t fw_version = 0;       // major * 100 + minor
    std::string serial;            // at most 19 characters
    std::unique_ptr<device_system> system;
    std::array<board_entry, 8> boards{}; // by board number; board 1 is the main board
    int32_t board_count = 0;
    bool board_search_done = false;
};

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
bool device_detect_attached(device* dev);
std::unique_ptr<device_system> device_get_system_from_code(uint16_t code);
bool device_is_bootloader_ready(const device* dev);
void device_switch_to_bootloader(device* dev);
// Closes the link and releases the record; a null device is ignored.
void device_free(std::unique_ptr<device>& dev);

// ---- Firmware upload ----
// Returns when every board has been updated; ends the process with exit code 1
// when the upload cannot complete.
void device_do_firmware_update(device* dev, const ufw& image);
