// One blocking HTTP GET of a path on the firmware server into a caller's
// buffer of fixed capacity. The only network operation of the program.
#pragma once

#include <cstdint>
#include <string>

// The firmware server: HUBFLASH_SERVER ("host" or "host:port") when set,
// otherwise the built-in default host on port 80.
std::string firmware_server_host();

// Fetch `path` from `host` ("host" or "host:port"). True when the whole body
// arrived and fits in `capacity` bytes; the buffer must hold capacity + 1 bytes
// so the body is always followed by a NUL. False on any failure, including an
// error status (400 and up) and a read that fails mid-body.
bool http_get(const std::string& host, const char* path, char* buffer, int32_t capacity);
