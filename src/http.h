// One blocking HTTP GET of a path on the firmware server into a caller's
// buffer of fixed capacity. The only network operation of the program.
#pragma once

#include <cstdint>
#include <string>

// The firmware server: HUBFLASH_SERVER ("host[:port]", "http://host[:port]"
// or "https://host[:port]") when set, otherwise the built-in default host on
// port 80. A value that is no such address is reported on stderr the first
// time it is read; http_get fails at once with it.
std::string firmware_server_host();
// False, after the message above, when HUBFLASH_SERVER is set but no address.
bool firmware_server_usable();

// Fetch `path` from `host` (as above; https means TLS with the server's
// certificate and name checked). True when the whole body arrived and fits in
// `capacity` bytes; the buffer must hold capacity + 1 bytes so the body is
// always followed by a NUL. False on any failure, including an error status
// (400 and up), a read that fails mid-body, 30 s without progress, more than
// 10 minutes in all, and a redirect to another scheme.
bool http_get(const std::string& host, const char* path, char* buffer, int32_t capacity);
