// The serial link to a hub: open a named port at 115200 8N1, send text, and
// turn the received byte stream into whole lines. A hub restarts during an
// update and its USB serial port vanishes and returns; a watcher thread closes
// and reopens the port meanwhile, so the record stays usable across the gap.
// Each port has its own watcher, so several hubs can be served at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lfqueue.h"
#include "timer.h"

struct serial_connection; // shared with the watcher thread; private to the serial module

// A line from the hub, as queued by the receiver: owned by the queue until popped.
struct rx_line {
    std::string text;
    int64_t read_at_us = 0; // get_time_us() when its last bytes were read
};

struct serial_port {
    bool started = false;     // the watcher thread runs (not: the port opened)
    bool open_failed = false; // serial_init could not open the port; the reason is printed
    bool quiet = false;       // set before serial_init: a port that cannot be opened or
                              // configured is not reported (for listings)
    std::string name;         // whole, never cut
    char line[256] = {};      // the line being received
    int32_t line_pos = 0;
    bool line_too_long = false;     // the line being received is dropped up to its line feed
    uint32_t line_generation = 0;   // which opening of the port the partial line came from
    bool return_waited_out = false; // the port vanished and did not come back in time
    lfqueue rx_queue;               // completed lines (rx_line*), oldest first
    int64_t last_line_read_us = 0;  // when the line handed out last had its last bytes read
    std::shared_ptr<serial_connection> conn; // null before serial_init and after serial_free
};

// False only when the connection state could not be allocated. A port that
// cannot be opened still gives true, with open_failed set after a message
// giving the system's reason: the port then counts as vanished, and the
// watcher keeps trying to open it (see serial_wait_available).
bool serial_init(serial_port* port, const char* name);
// The longest port name this platform's ports can have; longer names are
// refused where they are read, never cut.
size_t serial_max_name_length();
// How long a vanished port is waited for: more than twice the 25 s a hub may
// take to restart, so a slow re-enumeration is not taken for a lost hub.
constexpr int32_t SERIAL_RETURN_LIMIT_MS = 60000;
// Waits up to SERIAL_RETURN_LIMIT_MS for a vanished port to come back. False,
// after an error naming the port, when it did not; later calls then fail at
// once until the port is back. A stop asked for by the user (see interrupt.h)
// ends the wait early, false without a message.
bool serial_wait_available(serial_port* port);
// Waits (bounded, as above) while the port is unavailable, then writes the
// text. True when the write succeeded.
bool serial_tx(serial_port* port, const char* text);
// One poll: read what has arrived, queue complete lines, hand out at most one
// (without line ends, ">>" at its start skipped once). False when no line is waiting.
// A line of 255 or more characters is dropped whole, and so is the part of a
// line that the port's vanishing cut off. A queued line is handed out before
// the lines of new reads; while none is queued, the first line a read completes
// is handed out without being queued, so one line at a time allocates nothing.
// When nothing is queued, the read waits up to 2 ms for the hub.
bool serial_rx_pop(serial_port* port, char* dst, size_t len);
// As serial_rx_pop, with the read waiting up to `wait_ms` instead; it ends as
// soon as bytes arrive, which need not complete a line.
bool serial_rx_wait(serial_port* port, char* dst, size_t len, int32_t wait_ms);
bool serial_available(serial_port* port);
void serial_stop(serial_port* port);
// Ends the watcher, closes the port, discards queued lines. The record may be
// passed to serial_init again.
void serial_free(serial_port* port);
// Names of the serial ports to scan for hubs: HUBFLASH_PORTS (comma-separated)
// when set, otherwise the system's serial ports in the system's order. A device
// named twice is listed once, under the name that came first; a name longer
// than serial_max_name_length() is left out after an error naming it.
string_list serial_find_ports();
