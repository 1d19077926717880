// The hubs on this computer, as the automatic update would find them, without
// changing anything on them: each port is probed, described and closed again.
#include "action-list.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "action-events.h"
#include "device.h"
#include "functions.h"
#include "output.h"
#include "port-scan.h"
#include "serial.h"
#include "timer.h"
#include "trace.h"

namespace {

// "; board N: type TTTT vM.mm" for each board that announced itself.
std::string board_texts(const device& dev)
{
    std::string text;
    for (size_t n = 1; n < dev.boards.size(); ++n) {
        const board_entry& board = dev.boards[n];
        if (!board.present)
            continue;
        char piece[64];
        std::snprintf(piece, sizeof piece, "; board %u: type %04X %s", static_cast<unsigned>(n),
                      static_cast<unsigned>(board.device_type),
                      format_version(board.fw_version).c_str());
        text += piece;
    }
    return text;
}

void print_hub(const device& dev, const char* port)
{
    if (output_json()) {
        hub_event(dev, port);
        return;
    }
    const char* name = dev.system ? dev.system->name.c_str() : "unknown hub type";
    const std::string boards = dev.in_bootloader ? board_texts(dev) : std::string();
    output_format("%s: %s (%04X), %s, serial %s, firmware %s%s\n", port, name,
                  static_cast<unsigned>(dev.hwid),
                  dev.in_bootloader ? "bootloader" : "normal firmware", dev.serial.c_str(),
                  format_version(dev.fw_version).c_str(), boards.c_str());
}

} // namespace

int action_list()
{
    std::atomic<int> found{0};
    scan_ports(true, [&](size_t, const device* hub, const char* port) {
        if (hub != nullptr) {
            print_hub(*hub, port);
            ++found;
        } else if (trace_enabled) {
            trace_event("no hub", port);
        }
    });
    if (found > 0)
        return 0;
    output_error("ERROR: Unable to find any Corvane hubs.\n");
    return -1;
}
