// The few hooks between the shared serial module (serial.cpp) and the platform
// file the build picks (serial-posix.cpp or serial-win32.cpp). Platform headers
// stay inside the platform files: their state hides behind serial_os.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "serial.h"

struct serial_os; // OS handle, line settings and watcher state of one connection

struct serial_os_deleter {
    void operator()(serial_os* os) const; // ends a running watcher, closes an open handle
};

// What the main thread shares with the watcher thread.
struct serial_connection {
    std::mutex io_lock;                // held around every read, write, open-and-configure and close
    std::atomic<int32_t> stop{0};      // 1 asks the watcher to end
    std::atomic<int32_t> available{0}; // 1 while the port can be used, 0 while it has vanished
    std::string device_path;           // identifies the port's device in removal events
    std::unique_ptr<serial_os, serial_os_deleter> os;
};

// The port that the watcher's events act on: the one most recently connected.
extern std::atomic<serial_port*> xport;

// Shared steps the platform watchers call.
bool serial_connect(serial_port* port);            // open (30 attempts) and configure; messages printed
void serial_port_arrived(serial_port* port, bool same_name); // reconnect when it is ours; mark available
void serial_port_removed(serial_port* port);       // our device is gone: close, mark unavailable

// ---- Platform hooks: each platform file defines all of these. ----
serial_os* serial_os_create();

// Called with io_lock held.
bool serial_os_open(serial_connection& conn, const std::string& name); // one exclusive open attempt
enum class serial_config_error { none, get_state, set_state, timeouts };
serial_config_error serial_os_configure(serial_connection& conn); // 115200 8N1, all else as the port had it
bool serial_os_is_open(const serial_connection& conn);
// Closes an open handle and leaves the "vanished" state (the device was removed)
// or, when `vanished` is false, the "failed connect" state; I/O fails in both.
void serial_os_close(serial_connection& conn, bool vanished);
// Reads what is buffered (up to size bytes) without waiting; when nothing is
// there, waits up to wait_ms for bytes to arrive and reads those. Returns the
// byte count, 0 when nothing came, -1 when the read failed.
int serial_os_read(serial_connection& conn, uint8_t* buf, size_t size, int wait_ms);
// Writes all bytes, giving up after 50 + 10 * size ms. True when the write call succeeded.
bool serial_os_write(serial_connection& conn, const char* data, size_t size);

// Without the lock.
// Device path of a port name into `path`; false (path untouched) when it cannot be found.
bool serial_os_device_path(const std::string& name, std::string& path);
// Starts the watcher thread for `port`; false (and the system's error code in
// `error`) when it could not be started.
bool serial_os_watcher_start(serial_port* port, unsigned long& error);
// Wakes the watcher and waits until it has ended; nothing when none runs.
void serial_os_watcher_stop(serial_connection& conn);
// The system's serial port names, in the system's order.
string_list serial_os_find_ports();
// Sleep about `ms` milliseconds.
void serial_os_sleep_ms(int ms);
