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
#include <vector>

#include "interrupt.h"
#include "output.h"
#include "serial-internal.h"
#include "trace.h"

namespace {

constexpr int open_attempts = 30;
constexpr int open_retry_pause_ms = 2;
constexpr int empty_poll_wait_ms = 2;
// The watcher needs io_lock for the port's events, so one read holds it no longer than this.
constexpr int32_t longest_read_wait_ms = 50;
constexpr int availability_recheck_ms = 1;
constexpr size_t read_chunk = 256;
// The longest line handed out; a longer one is no hub's and is dropped whole.
constexpr size_t longest_line = 254;

struct config_failure_text {
    serial_config_error error;
    const char* message;
};

constexpr config_failure_text config_failure_texts[] = {
    {serial_config_error::get_state, "ERROR: Error getting state\n"},
    {serial_config_error::set_state, "ERROR: Error setting state\n"},
    {serial_config_error::timeouts, "ERROR: Error setting timeouts\n"},
};

void report_config_failure(serial_config_error error)
{
    for (const auto& entry : config_failure_texts)
        if (entry.error == error)
            output_error(entry.message);
}

// Everything of a previous life of the record goes, except what serial_free releases.
void reset_record(serial_port* port, const char* name)
{
    port->started = false;
    port->open_failed = false;
    port->name.assign(name ? name : "");
    std::memset(port->line, 0, sizeof port->line);
    port->line_pos = 0;
    port->line_too_long = false;
    port->line_generation = 0;
    port->return_waited_out = false;
    port->last_line_read_us = 0;
    port->conn.reset();
}

std::shared_ptr<serial_connection> make_connection()
{
    try {
        auto conn = std::make_shared<serial_connection>();
        conn->os.reset(serial_os_create());
        if (conn->os)
            return conn;
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

// Called with io_lock held, right after a successful open.
bool configure_opened_port(serial_connection& conn, bool report)
{
    serial_config_error error = serial_os_configure(conn);
    if (error == serial_config_error::none)
        return true;
    if (report)
        report_config_failure(error);
    serial_os_close(conn, false);
    return false;
}

enum class attempt_result { opened, open_failed, config_failed };

// A port that arrives again while still open (a symlink replaced in place) is
// closed first: the exclusive open would refuse it.
attempt_result attempt_open(serial_port* port, serial_connection& conn, bool report)
{
    std::lock_guard lock(conn.io_lock);
    if (serial_os_is_open(conn))
        serial_os_close(conn, false);
    if (!serial_os_open(conn, port->name))
        return attempt_result::open_failed;
    if (!configure_opened_port(conn, report))
        return attempt_result::config_failed;
    conn.generation.fetch_add(1);
    // Still under the lock: a removal the watcher handles meanwhile comes after
    // this and is not overwritten.
    conn.reopen_wanted.store(false);
    conn.available.store(1);
    return attempt_result::opened;
}

// The lock is taken per attempt, so the main thread is not held up by the pauses.
bool open_with_attempts(serial_port* port, serial_connection& conn, bool report)
{
    for (int attempt = 1;; ++attempt) {
        attempt_result result = attempt_open(port, conn, report);
        if (result != attempt_result::open_failed)
            return result == attempt_result::opened;
        if (report)
            output_error("ERROR: Error in opening serial port\n");
        if (attempt == open_attempts) {
            if (report)
                output_error("ERROR: Failed to open serial port after reconnect attempts\n");
            return false;
        }
        wait_ms(open_retry_pause_ms);
    }
}

void report_open_failure(const serial_port* port, serial_connection& conn)
{
    std::string reason;
    {
        std::lock_guard lock(conn.io_lock);
        reason = serial_os_failure_reason(conn);
    }
    output_error_format("ERROR: Cannot open %s: %s\n", port->name.c_str(), reason.c_str());
}

void trace_opened(const serial_port* port)
{
    if (trace_enabled)
        trace_event("open", port->name);
}

// The port counts as vanished, and the watcher's timer tries it again for as
// long as a vanished port is waited for.
void mark_open_failed(const serial_port* port, serial_connection& conn)
{
    conn.available.store(0);
    conn.reopen_since.store(get_absolute_time());
    conn.reopen_wanted.store(true);
    if (trace_enabled)
        trace_event("open failed", port->name);
}

// The watcher runs before the first open, so that the port vanishing or
// returning meanwhile is not missed.
void start_watching(serial_port* port)
{
    std::string path;
    if (serial_os_device_path(port->name, path))
        port->conn->device_path = std::move(path);
    port->conn->output = output_current_route();
    unsigned long error = 0;
    port->started = serial_os_watcher_start(port, error);
    if (!port->started)
        output_format("Failed to create thread. Error: %lu\n", error);
}

bool open_at_start(serial_port* port)
{
    serial_connection& conn = *port->conn;
    const bool report = !port->quiet;
    if (open_with_attempts(port, conn, report)) {
        trace_opened(port);
        if (serial_first_open_hook != nullptr)
            serial_first_open_hook(port);
        return true;
    }
    if (report)
        report_open_failure(port, conn);
    mark_open_failed(port, conn);
    return false;
}

// The hub may put control bytes (and bytes 0x80 and up) before its line feed;
// they end the line too. Leading bytes are kept.
size_t visible_line_end(const char* line, size_t length)
{
    size_t end = length;
    while (end > 0 && static_cast<signed char>(line[end - 1]) < 32)
        --end;
    return end;
}

// Where the lines of one read go: the first straight to the caller when nothing
// is queued (no allocation on the usual path), the others behind the queued lines.
struct line_sink {
    char* dst;
    size_t len;
    int64_t read_at_us; // when the read's bytes arrived
    bool handed_out = false;
};

void copy_line_out(std::string_view shown, char* dst, size_t len)
{
    if (shown.starts_with(">>"))
        shown.remove_prefix(2);
    if (dst == nullptr || len == 0)
        return;
    size_t copied = std::min(shown.size(), len);
    std::memcpy(dst, shown.data(), copied);
    std::memset(dst + copied, 0, len - copied);
}

bool hand_out_directly(serial_port* port, std::string_view text, line_sink& sink)
{
    if (sink.handed_out || lfqueue_size(&port->rx_queue) > 0)
        return false;
    if (trace_enabled)
        trace_line('<', text);
    copy_line_out(text, sink.dst, sink.len);
    port->last_line_read_us = sink.read_at_us;
    sink.handed_out = true;
    return true;
}

// False when the line could not be stored; the caller drops the rest of its read.
bool queue_completed_line(serial_port* port, size_t end, line_sink& sink)
{
    port->line[end] = '\0';
    const std::string_view text(port->line, strnlen(port->line, end));
    if (hand_out_directly(port, text, sink))
        return true;
    try {
        auto entry = std::make_unique<rx_line>();
        entry->text.assign(text);
        entry->read_at_us = sink.read_at_us;
        if (trace_enabled)
            trace_line('<', entry->text);
        if (lfqueue_enq(&port->rx_queue, entry.get()) == 0) {
            static_cast<void>(
                entry.release()); // the queue owns it until serial_rx_pop takes it back
            return true;
        }
    } catch (const std::bad_alloc&) {
    }
    output_out_of_memory();
    return false;
}

void start_new_line(serial_port* port)
{
    port->line_pos = 0;
    port->line_too_long = false;
}

// One byte stays free for the terminator; a line that needs more is marked for dropping.
void add_to_line(serial_port* port, uint8_t byte)
{
    const auto pos = static_cast<size_t>(port->line_pos);
    if (pos + 1 >= sizeof port->line) {
        port->line_too_long = true;
        return;
    }
    port->line[pos] = static_cast<char>(byte);
    port->line_pos = static_cast<int32_t>(pos + 1);
}

// False when the line could not be stored; the caller drops the rest of its read.
bool end_line(serial_port* port, line_sink& sink)
{
    const size_t end = visible_line_end(port->line, static_cast<size_t>(port->line_pos));
    const bool too_long = port->line_too_long || end > longest_line;
    start_new_line(port);
    return too_long || queue_completed_line(port, end, sink);
}

void assemble_lines(serial_port* port, const uint8_t* bytes, size_t count, line_sink& sink)
{
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != '\n')
            add_to_line(port, bytes[i]);
        else if (!end_line(port, sink))
            return;
    }
}

// Bytes of a line that the port's vanishing cut off must not glue onto the
// first line after its return. The watcher reopens the port, but the line
// buffer is the main thread's: it compares the opening its bytes came from.
void drop_line_of_earlier_opening(serial_port* port, uint32_t generation)
{
    if (generation == port->line_generation)
        return;
    port->line_generation = generation;
    start_new_line(port);
}

// A line already queued is handed out without waiting; only an empty queue
// waits for the hub, up to `longest_wait_ms`.
int read_available_bytes(serial_port* port, uint8_t* buf, size_t size, uint32_t& generation,
                         int32_t longest_wait_ms)
{
    serial_connection& conn = *port->conn;
    const int wait = lfqueue_size(&port->rx_queue) > 0
                         ? 0
                         : std::clamp<int32_t>(longest_wait_ms, 0, longest_read_wait_ms);
    int count;
    {
        std::lock_guard lock(conn.io_lock);
        count = serial_os_read(conn, buf, size, wait);
        generation = conn.generation.load();
    }
    // A failed read returns at once; the pause keeps callers' poll loops from spinning.
    if (count < 0 && wait > 0)
        wait_ms(std::min(wait, empty_poll_wait_ms));
    return count;
}

void discard_queued_lines(lfqueue* queue)
{
    while (void* value = lfqueue_deq(queue)) {
        std::unique_ptr<rx_line> line(static_cast<rx_line*>(value));
    }
}

void add_port_names(string_list& list, std::string_view names)
{
    while (!names.empty()) {
        size_t comma = names.find(',');
        std::string_view item = names.substr(0, comma);
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
        size_t first = item.find_first_not_of(" \t");
        if (first == std::string_view::npos)
            continue;
        item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
        string_list_add(list, item);
    }
}

void trace_sent(const serial_port* port, const char* text, bool written)
{
    trace_line('>', text);
    if (!written)
        trace_event("write failed", port->name);
}

// A device named twice (the same name, or a link and its target) is scanned
// once, under the name that came first. A name longer than the platform's
// ports can have is left out with a message: cut short, it could name another
// device.
string_list ports_to_scan(const string_list& names)
{
    string_list unique;
    string_list_init(unique);
    try {
        std::vector<std::string> keys;
        for (const char* name = names.bytes.c_str(); *name != '\0'; name += std::strlen(name) + 1) {
            if (std::strlen(name) > serial_os_max_name_length()) {
                output_error_format(
                    "ERROR: Serial port name longer than %u characters, not scanned: %s\n",
                    static_cast<unsigned>(serial_os_max_name_length()), name);
                continue;
            }
            std::string key = serial_os_device_key(name);
            if (std::find(keys.begin(), keys.end(), key) != keys.end())
                continue;
            keys.push_back(std::move(key));
            string_list_add(unique, name);
        }
    } catch (const std::bad_alloc&) {
        return names; // scanning a device twice costs time; skipping a hub would cost an update
    }
    return unique;
}

} // namespace

void (*serial_first_open_hook)(serial_port* port) = nullptr;

bool serial_init(serial_port* port, const char* name)
{
    if (port->conn)
        serial_free(port); // never leave a running watcher behind
    timer_fine_sleeps();   // the receiver polls every millisecond or two
    reset_record(port, name);
    std::shared_ptr<serial_connection> conn = make_connection();
    if (!conn || lfqueue_init(&port->rx_queue) != 0) {
        output_out_of_memory();
        return false;
    }
    port->conn = std::move(conn);
    start_watching(port);
    port->open_failed = !open_at_start(port);
    return true;
}

size_t serial_max_name_length()
{
    return serial_os_max_name_length();
}

// Runs on the watcher. One message per return, however often the timer then tries.
void serial_port_arrived(serial_port* port)
{
    serial_connection& conn = *port->conn;
    if (trace_enabled)
        trace_event("returned", port->name);
    std::string path;
    if (serial_os_device_path(port->name, path))
        conn.device_path = std::move(path);
    if (open_with_attempts(port, conn, false))
        return trace_opened(port);
    if (!port->quiet)
        report_open_failure(port, conn);
    mark_open_failed(port, conn);
}

void serial_port_removed(serial_port* port)
{
    serial_connection& conn = *port->conn;
    {
        std::lock_guard lock(conn.io_lock);
        serial_os_close(conn, true);
        conn.reopen_wanted.store(false); // its name is gone: its arrival opens it again
        conn.available.store(0);
    }
    if (trace_enabled)
        trace_event("vanished", port->name);
}

void serial_port_retry(serial_port* port)
{
    serial_connection& conn = *port->conn;
    if (!conn.reopen_wanted.load())
        return;
    if (time_reached(conn.reopen_since.load(), SERIAL_RETURN_LIMIT_MS)) {
        conn.reopen_wanted.store(false); // nobody waits for the port any more
        return;
    }
    if (attempt_open(port, conn, false) == attempt_result::opened)
        trace_opened(port);
}

bool serial_wait_available(serial_port* port)
{
    if (!port->conn)
        return false;
    const std::atomic<int32_t>& available = port->conn->available;
    if (available.load() == 0 && !port->return_waited_out) {
        const int32_t start = get_absolute_time();
        while (available.load() == 0 && !time_reached(start, SERIAL_RETURN_LIMIT_MS)) {
            if (interrupt_exit_code() != 0)
                return false; // the caller stops the run
            wait_ms(availability_recheck_ms);
        }
        if (available.load() == 0) {
            port->return_waited_out = true;
            output_error_format("\nERROR: Serial port %s did not come back within %d seconds\n",
                                port->name.c_str(),
                                static_cast<int>(SERIAL_RETURN_LIMIT_MS / 1000));
        }
    }
    port->return_waited_out = available.load() == 0;
    return !port->return_waited_out;
}

bool serial_tx(serial_port* port, const char* text)
{
    if (!port->conn)
        return false;
    serial_connection& conn = *port->conn;
    if (conn.available.load() == 0 && !port->return_waited_out) {
        output_text("Serial port is unavailable, waiting for it to become available again.");
    }
    if (!serial_wait_available(port))
        return false;
    std::lock_guard lock(conn.io_lock);
    const bool written = serial_os_write(conn, text, std::strlen(text));
    if (trace_enabled)
        trace_sent(port, text, written);
    return written;
}

bool serial_rx_pop(serial_port* port, char* dst, size_t len)
{
    return serial_rx_wait(port, dst, len, empty_poll_wait_ms);
}

bool serial_rx_wait(serial_port* port, char* dst, size_t len, int32_t wait_ms)
{
    if (!port->conn)
        return false;
    uint8_t buf[read_chunk];
    uint32_t generation = 0;
    int count = read_available_bytes(port, buf, sizeof buf, generation, wait_ms);
    line_sink sink{dst, len, count > 0 ? get_time_us() : 0};
    if (count > 0) {
        drop_line_of_earlier_opening(port, generation);
        assemble_lines(port, buf, static_cast<size_t>(count), sink);
    }
    if (sink.handed_out)
        return true;
    std::unique_ptr<rx_line> entry(static_cast<rx_line*>(lfqueue_deq(&port->rx_queue)));
    if (!entry)
        return false;
    copy_line_out(entry->text, dst, len);
    port->last_line_read_us = entry->read_at_us;
    return true;
}

bool serial_available(serial_port* port)
{
    return port->conn && port->conn->available.load() != 0;
}

void serial_stop(serial_port* port)
{
    if (port->conn)
        port->conn->stop.store(1);
}

// The watcher ends before the port closes, so it cannot reopen the port behind us.
void serial_free(serial_port* port)
{
    if (!port->conn)
        return;
    serial_connection& conn = *port->conn;
    conn.stop.store(1);
    serial_os_watcher_stop(conn);
    {
        std::lock_guard lock(conn.io_lock);
        serial_os_close(conn, true);
    }
    discard_queued_lines(&port->rx_queue);
    lfqueue_destroy(&port->rx_queue);
    if (trace_enabled)
        trace_event("close", port->name);
    port->started = false;
    port->conn.reset();
}

string_list serial_find_ports()
{
    const char* override_list = std::getenv("HUBFLASH_PORTS");
    if (override_list == nullptr)
        return ports_to_scan(serial_os_find_ports());
    string_list list;
    string_list_init(list);
    add_port_names(list, override_list);
    return ports_to_scan(list);
}
