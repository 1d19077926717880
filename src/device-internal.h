// What the files of the device module share: the link's small helpers, the
// handling of a stop request, and the command exchange itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device.h"

namespace device_internal {

// The part of `text` from `pos` on, at most `count` characters; empty when the text is shorter.
std::string_view field(std::string_view text, size_t pos, size_t count = std::string_view::npos);
// Human notices; with --json they go to stderr, away from the events.
void flush_and_print(const char* text);
serial_port* link_of(device* dev);
// Asked to stop: the hub is left between two lines, never in the middle of one.
// Ends the process, or throws update_interrupted when the record says so.
void stop_if_interrupted(device* dev);
// A long pause that ends early when the user asks to stop.
void upload_pause(device* dev, int32_t ms);
// The command exchange: up to ten attempts, each with a tag of its own, each
// followed by a blank line when its reply did not come. A CRC query's report
// goes to `crc_report`.
bool exchange(device* dev, uint8_t board, const char* command, bool wait, uint16_t timeout_ms,
              bool retry_write, uint16_t& crc_report);

} // namespace device_internal
