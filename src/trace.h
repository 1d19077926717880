// The protocol trace behind --trace: every line written to or read from a hub
// and every open, close, vanish and return of its port, on stderr, each with
// the milliseconds since the trace began. Off unless switched on; the serial
// code tests trace_enabled before it calls anything here, so an upload without
// --trace pays one branch per line.
#pragma once

#include <string_view>

// Set once by trace_start, before any port opens (and so before any watcher
// thread starts); only read afterwards.
extern bool trace_enabled;

// Switches the trace on; its clock starts now.
void trace_start();
// A line sent ('>') or received ('<'). Control bytes, bytes of 0x80 and up and
// the backslash are written as escapes (\r \n \\ \xNN), so one trace line is
// always one protocol line.
void trace_line(char direction, std::string_view text);
// A port event ('='): "open", "open failed", "close", "vanished", "returned",
// "write failed", followed by the port's name.
void trace_event(std::string_view what, std::string_view port_name);
// The escaped form of a text, as the trace prints it.
void trace_escape(std::string_view text, std::string& out);
