// The protocol trace. Each trace line is built whole and written with one call,
// so lines from the watcher thread (port events) never interleave with lines
// from the main thread.
#include "trace.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "output.h"
#include "timer.h"

bool trace_enabled = false;

namespace {

int32_t trace_origin = 0;

void append_escape(unsigned char byte, std::string& out)
{
    static constexpr char digits[] = "0123456789abcdef";
    switch (byte) {
    case '\r':
        out += "\\r";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\\':
        out += "\\\\";
        return;
    default:
        break;
    }
    if (byte >= 0x20 && byte < 0x7F) {
        out += static_cast<char>(byte);
        return;
    }
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// "%4u.%03u" of the milliseconds since trace_start; the clock's 32-bit wrap
// cancels out in the unsigned difference.
void append_stamp(std::string& out)
{
    const auto elapsed = static_cast<uint32_t>(time_elapsed(trace_origin));
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4u.%03u ", static_cast<unsigned>(elapsed / 1000),
                  static_cast<unsigned>(elapsed % 1000));
    out += stamp;
}

// The trace is a help for the field; running out of memory for it must not
// stop an update, so such a line is dropped.
void write_trace_line(char mark, std::string_view first, std::string_view second)
{
    try {
        std::string line;
        line.reserve(32 + first.size() * 2 + second.size() * 2);
        append_stamp(line);
        line += mark;
        line += ' ';
        trace_escape(first, line);
        if (!second.empty()) {
            line += ' ';
            trace_escape(second, line);
        }
        line += '\n';
        output_error(line); // a scan keeps each probe's trace with its other output
    } catch (const std::bad_alloc&) {
    }
}

} // namespace

void trace_start()
{
    trace_origin = get_absolute_time();
    trace_enabled = true;
}

void trace_escape(std::string_view text, std::string& out)
{
    for (char c : text)
        append_escape(static_cast<unsigned char>(c), out);
}

void trace_line(char direction, std::string_view text)
{
    write_trace_line(direction, text, {});
}

void trace_event(std::string_view what, std::string_view port_name)
{
    write_trace_line('=', what, port_name);
}
