// What the shared HTTP module (http.cpp) hands the platform file the build
// picks (http-curl.cpp or http-wininet.cpp). No platform header here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The body is taken in pieces of at most this many bytes, each checked against
// the capacity before it is stored.
constexpr int32_t HTTP_CHUNK_BYTES = 4095;

// "host" or "host:port" ("[v6-address]:port" too) split up; port 80 when none is given.
struct http_server_address {
    bool valid = false;
    std::string host;
    uint16_t port = 80;
};
http_server_address http_split_host(std::string_view host);

// Seconds without a single byte from the server after which a transfer is
// given up, so a dead server ends in a failure instead of a hang. 0, the
// setting outside tests, leaves each backend its usual limit (about 30 s).
int32_t http_stall_seconds();
void http_set_stall_seconds(int32_t seconds);

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
// True only when the whole body arrived with a status below 400.
bool http_platform_get(const http_server_address& server, const char* path, http_body_sink& sink);
