#include "board.h"

#include <algorithm>

#include "codec.h"

namespace hubsim {

namespace {

struct LayoutRow {
    uint16_t first_type, last_type;
    FlashLayout layout;
};

constexpr LayoutRow layout_table[] = {
    {0x0101, 0x0103, {0x20000, 128}},
    {0x0201, 0x0204, {0x10000, 64}},
};

} // namespace

std::optional<FlashLayout> flash_layout_for(uint16_t device_type)
{
    for (const LayoutRow& row : layout_table)
        if (device_type >= row.first_type && device_type <= row.last_type)
            return row.layout;
    return std::nullopt;
}

void RangeSet::add(uint32_t start, uint32_t end)
{
    if (start >= end)
        return;
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin() && std::prev(it)->second >= start)
        --it;
    while (it != ranges_.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    ranges_.emplace(start, end);
}

Board::Board(int board_number, const BoardConfig& board_config, uint8_t fill)
    : number(board_number), config(board_config),
      layout(flash_layout_for(board_config.device_type)), fw_version(board_config.fw_version)
{
    if (layout)
        flash.assign(layout->end - flash_base, fill);
    mode = config.absent ? BoardMode::absent : BoardMode::normal;
}

void Board::enter_bootloader(Nanos now)
{
    if (mode == BoardMode::absent)
        return;
    mode = BoardMode::bootloader;
    silent = config.silent;
    wake_at.reset();
    announcing = !silent;
    next_announce = now;
}

void Board::resume_announcing(Nanos now)
{
    if (mode != BoardMode::bootloader || silent)
        return;
    announcing = true;
    next_announce = now;
}

bool Board::write(uint32_t address, const std::vector<uint8_t>& data)
{
    if (!layout || address < flash_base || address + data.size() > layout->end)
        return false;
    std::copy(data.begin(), data.end(), flash.begin() + (address - flash_base));
    written.add(address, static_cast<uint32_t>(address + data.size()));
    return true;
}

std::optional<uint16_t> Board::block_crc(uint32_t address) const
{
    if (!layout || address < flash_base || address % layout->block_size != 0
        || address + layout->block_size > layout->end)
        return std::nullopt;
    return crc16_ccitt_false(flash.data() + (address - flash_base), layout->block_size);
}

uint32_t Board::flash_crc32() const
{
    return crc32_zlib(flash.data(), flash.size());
}

} // namespace hubsim
