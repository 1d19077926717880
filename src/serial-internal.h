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

#include "output.h"
#include "serial.h"

struct serial_os; // OS handle, line settings and watcher state of one connection

struct serial_os_deleter {
    void operator()(serial_os* os) const; // ends a running watcher, closes an open handle
};

// What the main thread shares with the watcher thread.
struct serial_connection {
    std::mutex io_lock;           // held around every read, write, open-and-configure and close
    std::atomic<int32_t> stop{0}; // 1 asks the watcher to end
    std::atomic<int32_t> available{0};   // 1 while the port can be used, 0 while it has vanished
    std::atomic<uint32_t> generation{0}; // counts the port's openings; changed only under io_lock
    std::atomic<bool> reopen_wanted{false}; // an open failed: the watcher's timer tries again
    std::atomic<int32_t> reopen_since{0}; // when the failed open began (see SERIAL_RETURN_LIMIT_MS)
    std::string device_path;              // identifies the port's device in removal events; the
                                          // watcher's own once it runs
    std::shared_ptr<output_route> output; // where the watcher's messages go: the opener's route
    std::unique_ptr<serial_os, serial_os_deleter> os;
};

// How often the watcher tries again to open a port whose opening failed.
constexpr int serial_retry_interval_ms = 250;

// For tests: when set, called on serial_init's thread right after its first
// open succeeded, so that a test can act before serial_init returns.
extern void (*serial_first_open_hook)(serial_port* port);

// Shared steps the platform watchers call, for their own port only.
void serial_port_arrived(serial_port* port); // reopen; on failure one message, then retries
void serial_port_removed(serial_port* port); // our device is gone: close, mark unavailable
void serial_port_retry(serial_port* port);   // about every serial_retry_interval_ms

// ---- Platform hooks: each platform file defines all of these. ----
serial_os* serial_os_create();

// Called with io_lock held.
bool serial_os_open(serial_connection& conn, const std::string& name); // one exclusive open attempt
enum class serial_config_error { none, get_state, set_state, timeouts };
// 115200 8N1, all else as the port had it; what waits in the input is discarded.
serial_config_error serial_os_configure(serial_connection& conn);
// Why the last open or configure failed, in the system's words, with a hint
// for the usual causes (no permission, port in use).
std::string serial_os_failure_reason(const serial_connection& conn);
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
// Starts the watcher thread for `port` and returns once it watches for the
// port's removal and arrival; false (and the system's error code in `error`)
// when it could not be started.
bool serial_os_watcher_start(serial_port* port, unsigned long& error);
// Wakes the watcher and waits until it has ended; nothing when none runs.
void serial_os_watcher_stop(serial_connection& conn);
// The system's serial port names, in the system's order.
string_list serial_os_find_ports();
// A key that two names of one device share (Linux: the resolved path; Windows:
// the name in upper case).
std::string serial_os_device_key(const std::string& name);
// The longest port name the platform's ports can have.
size_t serial_os_max_name_length();
