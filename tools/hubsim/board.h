// One board of the simulated hub: its run state and its emulated flash.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "options.h"

namespace hubsim {

using Nanos = int64_t; // time since the simulator started

constexpr uint32_t flash_base = 0x4000;

struct FlashLayout {
    uint32_t end = 0;        // one past the highest address
    uint32_t block_size = 0; // bytes covered by one CRC query
};

// Layout for a device type, or none for a type the bootloaders do not know.
std::optional<FlashLayout> flash_layout_for(uint16_t device_type);

// Address ranges [start, end) merged as they are added.
class RangeSet {
public:
    void add(uint32_t start, uint32_t end);
    const std::map<uint32_t, uint32_t>& ranges() const { return ranges_; }

private:
    std::map<uint32_t, uint32_t> ranges_;
};

enum class BoardMode { normal, bootloader, absent };

struct Board {
    int number = 0;
    BoardConfig config;
    std::optional<FlashLayout> layout;
    std::vector<uint8_t> flash; // bytes from flash_base to layout->end
    RangeSet written;

    BoardMode mode = BoardMode::normal;
    bool silent = false;     // in the bootloader but waiting for "!REBOOT_BOOT"
    bool announcing = false; // sends '*' lines until "!STOP_PING"
    bool dead = false;       // answers nothing any more
    std::optional<Nanos> wake_at;
    Nanos next_announce = 0;

    int fw_version = 0;
    std::vector<int> finish_versions;
    uint64_t upload_lines = 0, crc_queries = 0;

    Board(int board_number, const BoardConfig& board_config, uint8_t fill);

    // Whether the board takes framed commands at all (silent boards only "!REBOOT_BOOT").
    bool in_bootloader() const { return mode == BoardMode::bootloader && !dead; }
    void enter_bootloader(Nanos now);
    void resume_announcing(Nanos now);

    // Writes a record; false when it does not lie inside the flash.
    bool write(uint32_t address, const std::vector<uint8_t>& data);
    // CRC of the block at `address`; none for an address that is no block start.
    std::optional<uint16_t> block_crc(uint32_t address) const;
    uint32_t flash_crc32() const;
};

} // namespace hubsim
