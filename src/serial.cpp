// The portable half of the serial link: connection state, the open-and-retry
// policy, the availability flag shared with the hot-plug watcher, and the line
// receiver. The platform file behind serial-internal.h does the system calls.
#include "serial.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "interrupt.h"
#include "serial-internal.h"
#include "trace.h"

std::atomic<serial_port*> xport{nullptr};

namespace {

constexpr size_t max_name_length = 255;
constexpr int open_attempts = 30;
constexpr int open_retry_pause_ms = 2;
constexpr int empty_poll_wait_ms = 2;
constexpr int availability_recheck_ms = 1;
constexpr size_t read_chunk = 256;

// Set while a scan probes ports that need not exist or are no serial port; see
// serial_quiet_open.
// The watcher thread reads it when it reopens a returning port.
std::atomic<bool> open_failures_quiet{false};

constexpr char out_of_memory_message[] = "ERROR: Unable to allocate memory\n";

struct config_failure_text {
    serial_config_error error;
    const char* message;
};

constexpr config_failure_text config_failure_texts[] = {
    {serial_config_error::get_state, "ERROR: Error getting state\n"},
    {serial_config_error::set_state, "ERROR: Error setting state\n"},
    {serial_config_error::timeouts, "ERROR: Error setting timeouts\n"},
};

void report_config_failure(serial_config_error error) {
    for (const auto& entry : config_failure_texts)
        if (entry.error == error) std::fputs(entry.message, stderr);
}

// Everything of a previous life of the record goes, except what serial_free releases.
void reset_record(serial_port* port, const char* name) {
    port->started = false;
    port->name.assign(name ? name : "", name ? strnlen(name, max_name_length) : 0);
    std::memset(port->line, 0, sizeof port->line);
    port->line_pos = 0;
    port->return_waited_out = false;
    port->conn.reset();
}

std::shared_ptr<serial_connection> make_connection() {
    try {
        auto conn = std::make_shared<serial_connection>();
        conn->os.reset(serial_os_create());
        if (conn->os) return conn;
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

// Called with io_lock held, right after a successful open.
bool configure_opened_port(serial_connection& conn) {
    serial_config_error error = serial_os_configure(conn);
    if (error == serial_config_error::none) return true;
    if (!open_failures_quiet.load()) report_config_failure(error);
    serial_os_close(conn, false);
    return false;
}

// The lock is taken per attempt, so the main thread is not held up by the pauses.
bool open_and_configure(serial_port* port, serial_connection& conn) {
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard lock(conn.io_lock);
            // A port that arrives again while still open (a symlink replaced in
            // place) must not be opened twice: the exclusive open would refuse.
            if (serial_os_is_open(conn)) serial_os_close(conn, false);
            if (serial_os_open(conn, port->name)) return configure_opened_port(conn);
        }
        if (!open_failures_quiet)
            std::fputs("ERROR: Error in opening serial port\n", stderr);
        if (attempt == open_attempts) {
            if (!open_failures_quiet)
                std::fputs("ERROR: Failed to open serial port after reconnect attempts\n", stderr);
            return false;
        }
        serial_os_sleep_ms(open_retry_pause_ms);
    }
}

// The hub may put control bytes (and bytes 0x80 and up) before its line feed;
// they end the line too. Leading bytes are kept.
size_t visible_line_end(const char* line, size_t line_feed_pos) {
    size_t end = line_feed_pos; // the line feed itself never stays
    while (end > 0 && static_cast<signed char>(line[end - 1]) < 32)
        --end;
    return end;
}

// False when the line could not be stored; the caller drops the rest of its read.
bool queue_completed_line(serial_port* port, size_t line_feed_pos) {
    size_t end = visible_line_end(port->line, line_feed_pos);
    port->line[end] = '\0';
    port->line_pos = 0;
    try {
        auto entry = std::make_unique<rx_line>();
        entry->text.assign(port->line, strnlen(port->line, end));
        if (trace_enabled) trace_line('<', entry->text);
        if (lfqueue_enq(&port->rx_queue, entry.get()) == 0) {
            entry.release(); // the queue owns it until serial_rx_pop takes it back
            return true;
        }
    } catch (const std::bad_alloc&) {
    }
    std::fputs(out_of_memory_message, stderr);
    return false;
}

void assemble_lines(serial_port* port, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        size_t pos = static_cast<size_t>(port->line_pos);
        port->line[pos] = static_cast<char>(bytes[i]);
        port->line_pos = static_cast<int32_t>((pos + 1) % sizeof port->line);
        if (bytes[i] == '\n' && !queue_completed_line(port, pos)) return;
    }
}

// A line already queued is handed out without waiting; only an empty queue
// waits (briefly) for the hub.
int read_available_bytes(serial_port* port, uint8_t* buf, size_t size) {
    serial_connection& conn = *port->conn;
    int wait = lfqueue_size(&port->rx_queue) > 0 ? 0 : empty_poll_wait_ms;
    int count;
    {
        std::lock_guard lock(conn.io_lock);
        count = serial_os_read(conn, buf, size, wait);
    }
    // A failed read returns at once; the pause keeps callers' poll loops from spinning.
    if (count < 0 && wait > 0) serial_os_sleep_ms(wait);
    return count;
}

void copy_line_out(const std::string& text, char* dst, size_t len) {
    std::string_view shown(text);
    if (shown.starts_with(">>")) shown.remove_prefix(2);
    if (dst == nullptr || len == 0) return;
    size_t copied = std::min(shown.size(), len);
    std::memcpy(dst, shown.data(), copied);
    std::memset(dst + copied, 0, len - copied);
}

void discard_queued_lines(lfqueue* queue) {
    while (void* value = lfqueue_deq(queue)) {
        std::unique_ptr<rx_line> line(static_cast<rx_line*>(value));
    }
}

void add_port_names(string_list& list, std::string_view names) {
    while (!names.empty()) {
        size_t comma = names.find(',');
        std::string_view item = names.substr(0, comma);
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
        size_t first = item.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        string_list_add(list, item);
    }
}

void trace_sent(const serial_port* port, const char* text, bool written) {
    trace_line('>', text);
    if (!written) trace_event("write failed", port->name);
}

} // namespace

bool serial_init(serial_port* port, const char* name) {
    if (port->conn) serial_free(port); // never leave a running watcher behind
    timer_fine_sleeps();               // the receiver polls every millisecond or two
    reset_record(port, name);
    std::shared_ptr<serial_connection> conn = make_connection();
    if (!conn || lfqueue_init(&port->rx_queue) != 0) {
        std::fputs(out_of_memory_message, stderr);
        return false;
    }
    port->conn = std::move(conn);
    port->conn->available.store(1);
    serial_connect(port);
    unsigned long error = 0;
    port->started = serial_os_watcher_start(port, error);
    if (!port->started) std::printf("Failed to create thread. Error: %lu\n", error);
    return true;
}

bool serial_connect(serial_port* port) {
    serial_connection& conn = *port->conn;
    conn.stop.store(0);
    std::string path;
    if (serial_os_device_path(port->name, path)) conn.device_path = std::move(path);
    xport.store(port);
    if (!open_and_configure(port, conn)) {
        if (trace_enabled) trace_event("open failed", port->name);
        return false;
    }
    if (trace_enabled) trace_event("open", port->name);
    conn.available.store(1);
    return true;
}

void serial_port_arrived(serial_port* port, bool same_name) {
    // The watcher reports every arrival in the port's directory; only ours is traced.
    if (trace_enabled && same_name) trace_event("returned", port->name);
    if (same_name) serial_connect(port);
    port->conn->available.store(1);
}

void serial_port_removed(serial_port* port) {
    serial_connection& conn = *port->conn;
    {
        std::lock_guard lock(conn.io_lock);
        serial_os_close(conn, true);
    }
    conn.available.store(0);
    if (trace_enabled) trace_event("vanished", port->name);
}

bool serial_wait_available(serial_port* port) {
    if (!port->conn) return false;
    const std::atomic<int32_t>& available = port->conn->available;
    if (available.load() == 0 && !port->return_waited_out) {
        const int32_t start = get_absolute_time();
        while (available.load() == 0 && !time_reached(start, SERIAL_RETURN_LIMIT_MS)) {
            if (interrupt_exit_code() != 0) return false; // the caller stops the run
            serial_os_sleep_ms(availability_recheck_ms);
        }
        if (available.load() == 0) {
            port->return_waited_out = true;
            std::fflush(stdout);
            std::fprintf(stderr, "\nERROR: Serial port %s did not come back within %d seconds\n",
                         port->name.c_str(), static_cast<int>(SERIAL_RETURN_LIMIT_MS / 1000));
        }
    }
    port->return_waited_out = available.load() == 0;
    return !port->return_waited_out;
}

bool serial_tx(serial_port* port, const char* text) {
    if (!port->conn) return false;
    serial_connection& conn = *port->conn;
    if (conn.available.load() == 0 && !port->return_waited_out) {
        std::fputs("Serial port is unavailable, waiting for it to become available again.", stdout);
        std::fflush(stdout);
    }
    if (!serial_wait_available(port)) return false;
    std::lock_guard lock(conn.io_lock);
    const bool written = serial_os_write(conn, text, std::strlen(text));
    if (trace_enabled) trace_sent(port, text, written);
    return written;
}

bool serial_rx_pop(serial_port* port, char* dst, size_t len) {
    if (!port->conn) return false;
    uint8_t buf[read_chunk];
    int count = read_available_bytes(port, buf, sizeof buf);
    if (count > 0) assemble_lines(port, buf, static_cast<size_t>(count));
    std::unique_ptr<rx_line> entry(static_cast<rx_line*>(lfqueue_deq(&port->rx_queue)));
    if (!entry) return false;
    copy_line_out(entry->text, dst, len);
    return true;
}

bool serial_available(serial_port* port) {
    return port->conn && port->conn->available.load() != 0;
}

void serial_stop(serial_port* port) {
    if (port->conn) port->conn->stop.store(1);
}

// The watcher ends before the port closes, so it cannot reopen the port behind us.
void serial_free(serial_port* port) {
    if (!port->conn) return;
    serial_connection& conn = *port->conn;
    conn.stop.store(1);
    serial_os_watcher_stop(conn);
    {
        std::lock_guard lock(conn.io_lock);
        serial_os_close(conn, true);
    }
    discard_queued_lines(&port->rx_queue);
    lfqueue_destroy(&port->rx_queue);
    if (trace_enabled) trace_event("close", port->name);
    serial_port* self = port;
    xport.compare_exchange_strong(self, nullptr);
    port->started = false;
    port->conn.reset();
}

void serial_quiet_open(bool quiet) {
    open_failures_quiet.store(quiet);
}

string_list serial_find_ports() {
    const char* override_list = std::getenv("HUBFLASH_PORTS");
    if (override_list == nullptr) return serial_os_find_ports();
    string_list list;
    string_list_init(list);
    add_port_names(list, override_list);
    return list;
}
