// What the simulator tells a test after a run: the JSON report and the flash dumps.
#pragma once

#include <cstdint>
#include <string>

#include "hub.h"

namespace hubsim {

struct PortStats {
    uint64_t bytes_received = 0, bytes_sent = 0;
    uint64_t restarts = 0, vanishes = 0, host_opens = 0;
};

std::string render_report(const Hub& hub, const PortStats& port, Nanos now);
// Writes through a temporary file and a rename, so readers never see half a file.
bool write_file_atomically(const std::string& path, const std::string& content);
bool write_flash_dumps(const Hub& hub, const std::string& dir);

} // namespace hubsim
