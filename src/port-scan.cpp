#include "port-scan.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "device.h"
#include "output.h"
#include "serial.h"

namespace {

struct port_probe {
    std::string port;
    output_kept output;
    std::thread thread;
};

void probe(size_t index, port_probe& slot, bool quiet, const port_scan_visitor& on_port)
{
    const output_keep keep(slot.output);
    const char* port = slot.port.c_str();
    try {
        std::unique_ptr<device> dev =
            quiet ? device_probe_port(port) : device_create_from_port(port);
        on_port(index, dev && dev->detected ? dev.get() : nullptr, port);
        device_free(dev);
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
    }
}

std::vector<port_probe> port_list()
{
    std::vector<port_probe> probes;
    string_list ports = serial_find_ports();
    for (const char* name = ports.bytes.c_str(); *name != '\0'; name += std::strlen(name) + 1)
        probes.push_back(port_probe{name, {}, {}});
    string_list_free(ports);
    return probes;
}

} // namespace

size_t scan_ports(bool quiet, const port_scan_visitor& on_port)
{
    std::vector<port_probe> probes = port_list();
    for (size_t i = 0; i < probes.size(); ++i) {
        port_probe& slot = probes[i];
        try {
            slot.thread =
                std::thread([i, &slot, quiet, &on_port] { probe(i, slot, quiet, on_port); });
        } catch (const std::system_error&) {
            probe(i, slot, quiet, on_port); // no thread to spare: this port waits its turn
        }
    }
    for (port_probe& slot : probes) {
        if (slot.thread.joinable())
            slot.thread.join();
        output_write_kept(slot.output);
    }
    return probes.size();
}
