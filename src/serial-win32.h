// The Windows serial backend's own entry points: the hot-plug watcher's
// callbacks and device-path lookups, and a view of a connection's OS state.
// Only the backend and its tests include this; Wine delivers no device
// events, so the tests call the handlers directly.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

struct serial_port;
struct serial_connection;

// Body of the watcher thread; `param` is the serial_port it watches.
DWORD WINAPI ThreadFunc(LPVOID param);
// Window procedure of a watcher's hidden window: hands device-interface
// arrivals and removals on to the port the window was made for.
LRESULT CALLBACK MyDeviceNotifyWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Reconnects `port` when the arrived interface is a port of its name; marks it available.
void OnComPortArrived(serial_port* port, const char* path);
// Closes `port` and marks it unavailable when the removed interface is its device.
void OnComPortRemoved(serial_port* port, const char* path);

// Device path of the present serial-port interface whose "PortName" is `name`
// (case-sensitive), truncated to `size` and NUL-terminated.
bool PortNameToDevicePathA(const char* name, char* dst, size_t size);
// "PortName" of the present serial-port interface whose device path is `path`
// (ignoring case), truncated to `size` and NUL-terminated.
bool DevicePathToPortNameA(const char* path, char* dst, size_t size);

// The port handle: open, null after a removal, INVALID_HANDLE_VALUE after a failed connect.
HANDLE serial_win32_handle(const serial_connection& conn);
// The watcher thread's id; 0 when none runs.
DWORD serial_win32_watcher_id(const serial_connection& conn);
