// Takes a hub out of its bootloader. Boards 4 to 1 are told to restart whatever
// the hub reported: a board that is not there simply does not listen.
#include "action-exit.h"

#include <cstdio>
#include <memory>

#include "action-events.h"
#include "device.h"
#include "options.h"
#include "output.h"
#include "timer.h"

namespace {

bool restart_board(device* dev, uint8_t board)
{
    output_format("Board %d\r\n", board);
    for (int i = 0; i < 5; ++i) {
        device_send_command(dev, board, "!REBOOT_NORMAL", false, 1000, true);
        if (dev->link_lost) {
            output_error_format("ERROR: Unable to send the restart command to board %d\n", board);
            return false;
        }
        wait_ms(1000);
    }
    return true;
}

} // namespace

bool action_exit_restart_boards(device* dev)
{
    output_stage_event(dev->port_name, "restarting");
    for (uint8_t board = 4; board >= 1; --board)
        if (!restart_board(dev, board))
            return false;
    return true;
}

int action_exit_bootloader()
{
    std::unique_ptr<device> dev = device_create_from_port(options.port);
    if (!dev) {
        output_result_event(options.port, "no_hub");
        return -1;
    }
    if (!dev->detected) {
        output_error_format("ERROR: Unable to detect a Corvane hub on port %s\n", options.port);
        device_free(dev);
        output_result_event(options.port, "no_hub");
        return -1;
    }
    hub_event(*dev, options.port);
    output_text("Please wait while device restarts\r\n");
    const bool sent = action_exit_restart_boards(dev.get());
    device_free(dev);
    output_result_event(options.port, sent ? nullptr : "restart_failed");
    return sent ? 0 : 1;
}
