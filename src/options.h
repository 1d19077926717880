// The command line: the one settings record and its parser.
#pragma once

#include <cstdint>

enum action_kind : int32_t {
    ACTION_NONE = 0,
    ACTION_UPDATE_AUTO = 1,
    ACTION_UPDATE_MANUAL = 2,
    ACTION_EXIT_BOOTLOADER = 3,
    // Field tools.
    ACTION_INFO = 4, // describe a firmware image; no hub is touched
    ACTION_LIST = 5, // list the hubs on the ports the automatic update scans
};

// Filled by options_load before any action runs. The texts are always
// NUL-terminated; a longer firmware path is cut to fit, a port name longer than
// the platform allows (serial_max_name_length) is refused.
struct options_record {
    int32_t action = ACTION_NONE;
    char fw_path[1024] = {};
    char port[256] = {};
    bool prompt = false;
    bool force = false;
    bool bootloader = false;
    bool no_status = false;
    bool basic_status = false;
    bool tx_rate = false;
    bool trace = false;    // every line to and from a hub, and port events, on stderr
    bool json = false;     // JSON Lines events on stdout, human text on stderr
    bool parallel = false; // --auto updates every hub at once
};

extern options_record options;

extern const char cli_usage[];
extern const char cli_help[];
extern const char hubflash_version[]; // "3.00"

// True when an action is to run; false when the program ends at once (usage,
// help, version or a command-line error, already printed).
bool options_load(int argc, char** argv);
