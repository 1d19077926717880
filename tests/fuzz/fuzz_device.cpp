// Arbitrary lines for the parsers of what a hub sends: nothing may read or
// write out of bounds, and the results keep their limits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "device.h"

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void check_reply(std::string_view text)
{
    bootloader_line line;
    const bool framed = device_is_bootloader_line(text, &line);
    require(std::memchr(line.payload, '\0', sizeof line.payload) != nullptr);
    if (!framed) {
        require(line.kind == 0 && line.source == 0 && line.payload[0] == '\0');
        return;
    }
    require(text.size() > 4 && text.front() == '@');
    require(std::strlen(line.payload) <= std::min<size_t>(255, text.size() - 3));
    for (const bool crc_query : {false, true})
        device_judge_reply(line, 1, crc_query, ">100000000");
    device dev;
    if (!device_read_announcement(&dev, line))
        return;
    require(line.kind == '*' && line.source < 8 && dev.board_count <= 1);
    // Unknown hub types are left out: their message would flood the run.
    if (dev.boards[1].present && device_get_system_from_code(dev.boards[1].hwid))
        require(device_check_boards(&dev) == board_check::missing_boards && !dev.bootloader_ready);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lines from the serial layer hold at most 255 characters and no NUL.
    std::string_view text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, std::min<size_t>(text.find('\0'), 255));
    check_reply(text);
    device dev;
    device_read_identity_line(&dev, text);
    require(dev.serial.size() <= 19 && (!dev.system || dev.system->code == dev.hwid));
    return 0;
}
