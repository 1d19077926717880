// What the shared HTTP module (http.cpp) hands the platform file the build
// picks (http-curl.cpp or http-wininet.cpp). No platform header here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The body is taken in pieces of at most this many bytes, each checked against
// the capacity before it is stored.
constexpr int32_t HTTP_CHUNK_BYTES = 4095;

// "host", "host:port", "[v6-address]:port", each optionally after "http://" or
// "https://" (and before one closing '/'); port 80, or 443 for https, when none is given.
struct http_server_address {
    bool valid = false;
    bool secure = false; // TLS with certificate and host-name checks
    std::string host;
    uint16_t port = 80;
};
http_server_address http_split_host(std::string_view host);

// Seconds without progress (nothing received, or less than a byte a second)
// after which a transfer is given up: 30 unless a test shortens it. Also the
// limit for connecting and for the TLS handshake.
int32_t http_stall_seconds();
void http_set_stall_seconds(int32_t seconds); // 0: back to 30

// Seconds a whole transfer may take, however steadily it progresses: 600
// unless a test shortens it.
int32_t http_total_seconds();
void http_set_total_seconds(int32_t seconds); // 0: back to 600

// Where the body goes: the caller's buffer of capacity + 1 bytes.
struct http_body_sink {
    char* buffer = nullptr;
    int32_t capacity = 0;
    int32_t used = 0;
};
// Starts an empty body (a NUL at the buffer's start).
void http_body_begin(http_body_sink& sink);
// Appends one piece and keeps a NUL after the body. False, with nothing
// stored, when the piece would take the body past the capacity.
bool http_body_store(http_body_sink& sink, const char* data, int32_t length);

// The platform's transfer: a GET of `path` whose body goes into the sink.
// True only when the whole body arrived with a status below 400, within the
// stall and total limits, and every redirect kept the server's scheme.
bool http_platform_get(const http_server_address& server, const char* path, http_body_sink& sink);
