#include "ufw-device.h"

#include <algorithm>
#include <cstdint>

#include "device.h"
#include "ufw.h"

int ufw_check_device_status(const ufw& image, const device& dev)
{
    const int32_t last_board = std::clamp<int32_t>(dev.board_count, 0, 7);
    bool missing = false;
    bool newer = false;
    for (int32_t n = 1; n <= last_board; ++n) {
        const board_entry& board = dev.boards[static_cast<size_t>(n)];
        const ufw_dfw* section = ufw_get_for_device_type(image, board.device_type);
        if (section == nullptr || section->block_count() == 0)
            missing = true;
        if (image.version > static_cast<int32_t>(board.fw_version))
            newer = true;
    }
    if (missing)
        return 0;
    return newer ? 2 : 1;
}
