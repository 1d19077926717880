// Opening a hub: its serial link, then the detection of what is on it.
#include <atomic>
#include <memory>
#include <new>

#include "device-internal.h"
#include "device.h"
#include "output.h"
#include "serial.h"

using namespace device_internal;

namespace {

// Every attempt of every command takes a tag of its own, so an acknowledgement
// that arrives late for an earlier attempt is never taken for the current one.
// Each hub record counts its own tags, from a range of its own: a late
// acknowledgement to an earlier record of the same port matches no new tag.
std::atomic<uint32_t> next_tag_range{0};
constexpr int tag_range_bits = 24;

// With `quiet`, a port that cannot be connected or holds no hub gives null
// without a message; what a found hub reports about itself is still printed.
std::unique_ptr<device> create_from_port(const char* port_name, bool quiet)
{
    std::unique_ptr<device> dev;
    try {
        dev = std::make_unique<device>();
        dev->port_name = port_name;
        dev->next_tag = next_tag_range.fetch_add(1) << tag_range_bits;
        dev->serial.reserve(19); // later replies then never need memory for it
        dev->link = std::make_unique<serial_port>();
        dev->link->quiet = quiet;
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
        dev.reset();
        return nullptr;
    }
    serial_init(dev->link.get(), port_name);
    // A port that cannot be opened holds no hub worth the detection window.
    if (!dev->link->started || dev->link->open_failed) {
        device_free(dev);
        if (!quiet)
            output_error_format("ERROR: Unable to connect to device on serial port %s\n",
                                port_name);
        return nullptr;
    }
    if (!device_detect_attached(dev.get())) {
        device_free(dev);
        if (!quiet)
            output_error_format("ERROR: Unable to detect a Corvane hub on port %s\n", port_name);
        return nullptr;
    }
    return dev;
}

} // namespace

std::unique_ptr<device> device_create_from_port(const char* port_name)
{
    return create_from_port(port_name, false);
}

std::unique_ptr<device> device_probe_port(const char* port_name)
{
    return create_from_port(port_name, true);
}

void device_free(std::unique_ptr<device>& dev)
{
    if (!dev)
        return;
    if (dev->link)
        serial_free(dev->link.get());
    dev.reset();
}
