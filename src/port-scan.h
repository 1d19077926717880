// The scan of the computer's serial ports for hubs, shared by the listing and
// the automatic update.
#pragma once

#include <cstddef>
#include <functional>

struct device;

// Probes every port of serial_find_ports() at once, one thread each, since each
// probe mostly waits (up to 7 s for a hub to speak, 10 s more per missing
// board). `on_port` runs in the probe's thread with the port's index in the
// list, the hub found (null when none was) and the port's name. What each probe
// printed, `on_port`'s output included, is written after all probes ended, in
// port order, as one probe after another would have written it. With `quiet`, a
// port that cannot be opened or holds no hub says nothing. Returns the number
// of ports.
using port_scan_visitor = std::function<void(size_t index, const device* hub, const char* port)>;
size_t scan_ports(bool quiet, const port_scan_visitor& on_port);
