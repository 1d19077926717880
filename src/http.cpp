// The platform-neutral part of the HTTP fetch: which server to ask, how a
// "host:port" text splits up, and how the body is stored into the caller's
// fixed buffer. The transfer itself is the platform file's job.
#include "http.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "http-internal.h"

namespace {

constexpr char default_server_host[] = "firmware.corvane.com";

std::atomic<int32_t> stall_seconds{0};

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

} // namespace

std::string firmware_server_host()
{
    const char* configured = std::getenv("HUBFLASH_SERVER");
    if (configured != nullptr && configured[0] != '\0')
        return configured;
    return default_server_host;
}

http_server_address http_split_host(std::string_view host)
{
    http_server_address address;
    std::string_view name = host;
    std::string_view port_text;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos)
            return address;
        name = host.substr(1, close - 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return address;
        if (!rest.empty())
            port_text = rest.substr(1);
        if (!rest.empty() && port_text.empty())
            return address;
    } else if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port_text = host.substr(colon + 1);
        if (port_text.empty())
            return address;
    }
    if (name.empty() || !(port_text.empty() || parse_port(port_text, address.port)))
        return address;
    // Whatever could end the host early or smuggle text into the request has no place in a name.
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '?' || c == '#' || c == '@')
            return address;
    address.host = std::string(name);
    address.valid = true;
    return address;
}

int32_t http_stall_seconds()
{
    return stall_seconds.load();
}

void http_set_stall_seconds(int32_t seconds)
{
    stall_seconds.store(seconds > 0 ? seconds : 0);
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
