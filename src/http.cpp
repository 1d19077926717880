// The platform-neutral part of the HTTP fetch: which server to ask, how its
// address splits up, the time limits, and how the body is stored into the
// caller's fixed buffer. The transfer itself is the platform file's job.
#include "http.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "functions.h"
#include "http-internal.h"

namespace {

constexpr char default_server_host[] = "firmware.corvane.com";
constexpr int32_t default_stall_seconds = 30;
constexpr int32_t default_total_seconds = 600;

std::atomic<int32_t> stall_seconds{0};
std::atomic<int32_t> total_seconds{0};

// A port is 1 to 65535 in plain decimal digits.
bool parse_port(std::string_view text, uint16_t& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// Schemes are case-insensitive ("HTTPS://" is https); `scheme` is in lower case.
bool starts_with_scheme(std::string_view text, std::string_view scheme)
{
    if (text.size() < scheme.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        const char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != scheme[i])
            return false;
    }
    return true;
}

// Takes a leading "http://" or "https://" (and then one closing '/') off the
// text, noting TLS and its default port.
std::string_view strip_scheme(std::string_view text, http_server_address& address)
{
    if (starts_with_scheme(text, "https://")) {
        address.secure = true;
        address.port = 443;
        text.remove_prefix(8);
    } else if (starts_with_scheme(text, "http://")) {
        text.remove_prefix(7);
    } else {
        return text;
    }
    if (!text.empty() && text.back() == '/')
        text.remove_suffix(1);
    return text;
}

// "name", "name:port", "[v6]" or "[v6]:port" into its parts; false when the
// brackets or the colon are out of place.
bool split_name_and_port(std::string_view text, std::string_view& name, std::string_view& port_text)
{
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        name = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const size_t colon = text.find(':');
        name = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (rest.empty())
        return true;
    port_text = rest.substr(1);
    return rest.front() == ':' && !port_text.empty();
}

// Letters, digits, '-', '.' and '_' (which some internal names carry).
bool is_name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
           || c == '.' || c == '_';
}

// Only what a host name or an IPv6 address is made of: nothing that could end
// the host early or smuggle text into a request or a URL.
bool is_host_text(std::string_view name, bool bracketed)
{
    if (name.empty())
        return false;
    for (char c : name) {
        const bool allowed =
            bracketed ? is_hex_digit(c) || c == ':' || c == '.' : is_name_character(c);
        if (!allowed)
            return false;
    }
    return true;
}

// The variable is read for every download; its message is printed once per value.
void report_invalid_server(const std::string& text)
{
    static std::mutex lock;
    static std::string reported;
    const std::lock_guard<std::mutex> guard(lock);
    if (text == reported)
        return;
    reported = text;
    std::fprintf(stderr, "ERROR: HUBFLASH_SERVER is not a valid server address: %s\n",
                 text.c_str());
}

} // namespace

std::string firmware_server_host()
{
    const char* configured = std::getenv("HUBFLASH_SERVER");
    if (configured == nullptr || configured[0] == '\0')
        return default_server_host;
    if (!http_split_host(configured).valid)
        report_invalid_server(configured);
    return configured;
}

bool firmware_server_usable()
{
    return http_split_host(firmware_server_host()).valid;
}

http_server_address http_split_host(std::string_view host)
{
    http_server_address address;
    std::string_view name;
    std::string_view port_text;
    const std::string_view rest = strip_scheme(host, address);
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (!split_name_and_port(rest, name, port_text))
        return address;
    if (!is_host_text(name, bracketed)
        || !(port_text.empty() || parse_port(port_text, address.port)))
        return address;
    address.host = std::string(name);
    address.valid = true;
    return address;
}

int32_t http_stall_seconds()
{
    const int32_t seconds = stall_seconds.load();
    return seconds > 0 ? seconds : default_stall_seconds;
}

void http_set_stall_seconds(int32_t seconds)
{
    stall_seconds.store(seconds > 0 ? seconds : 0);
}

int32_t http_total_seconds()
{
    const int32_t seconds = total_seconds.load();
    return seconds > 0 ? seconds : default_total_seconds;
}

void http_set_total_seconds(int32_t seconds)
{
    total_seconds.store(seconds > 0 ? seconds : 0);
}

void http_body_begin(http_body_sink& sink)
{
    sink.used = 0;
    sink.buffer[0] = '\0';
}

bool http_body_store(http_body_sink& sink, const char* data, int32_t length)
{
    if (length < 0 || length > sink.capacity - sink.used)
        return false;
    std::memcpy(sink.buffer + sink.used, data, static_cast<size_t>(length));
    sink.used += length;
    // The buffer has one byte beyond the capacity, so the NUL always fits.
    sink.buffer[sink.used] = '\0';
    return true;
}

bool http_get(const std::string& host, const char* path, char* buffer, int32_t capacity)
{
    if (buffer == nullptr || capacity < 0 || path == nullptr || path[0] != '/')
        return false;
    const http_server_address server = http_split_host(host);
    if (!server.valid)
        return false;
    http_body_sink sink{buffer, capacity, 0};
    http_body_begin(sink);
    return http_platform_get(server, path, sink);
}
