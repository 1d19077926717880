// The simulator's configuration, filled from its command line.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace hubsim {

struct BoardConfig {
    uint16_t device_type = 0x0101;
    int fw_version = 305;
    uint32_t serial = 1234;
    bool silent = false; // waits for "!REBOOT_BOOT" each time it enters the bootloader
    bool absent = false; // never appears
};

struct FaultPlan {
    std::set<uint64_t> lose_ack, nak, bad_checksum, wrong_crc, vanish_after;
    double lose_ack_rate = 0, nak_rate = 0;
    uint64_t seed = 1;
    uint32_t vanish_ms = 3000;
    bool vanish_unacked = false;
    std::optional<std::string>
        vanish_on; // the first framed command starting so makes the port vanish
    std::optional<uint32_t> flaky_address; // a line here needs a second attempt, every time
    std::map<int, uint64_t> dead_after;    // board -> last upload line it answers
    bool keep_announcing = false;
    bool prefix_replies = false, lf_only = false, upper_checksum = false;
};

struct Config {
    std::string link, ready_file, report_file, flash_dir, log_file;
    bool link_rename = false;
    int64_t exit_after_ms = -1;

    uint16_t hwid = 0x1030;
    std::vector<BoardConfig> boards; // board n is boards[n - 1]
    bool start_in_bootloader = false;
    uint32_t wake_ms = 1000, announce_ms = 200, restart_ms = 3000, boot_delay_ms = 50;
    std::optional<std::string> identity_sn, identity_fw, identity_line;
    bool untagged_acks = false;
    uint8_t flash_fill = 0xFF;
    bool pacing = true;
    uint32_t line_delay_ms = 0;
    bool per_open_counter = false;
    bool busy_wait = false; // never sleep: no wake-up latency of our own in the timings

    FaultPlan faults;
};

// Fills `config` from the command line; prints "hubsim: ..." and returns false
// on a bad command line.
bool parse_command_line(int argc, char** argv, Config& config);

} // namespace hubsim
