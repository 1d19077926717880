// The HTTP transfer on Windows, through WinINet: a direct connection with no
// proxy, http or https (certificate checked against the system's store, host
// name included), synchronous calls, one root, connection and request handle
// per fetch, closed again innermost first on every way out.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>

#include "http-internal.h"

namespace {

// Closing the handles in reverse order of their making is what the
// declaration order of three of these gives for free.
class inet_handle {
public:
    explicit inet_handle(HINTERNET handle) : handle_(handle) {}
    ~inet_handle()
    {
        if (handle_ != nullptr)
            InternetCloseHandle(handle_);
    }
    inet_handle(const inet_handle&) = delete;
    inet_handle& operator=(const inet_handle&) = delete;
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
};

// The stall limit bounds connecting (with the TLS handshake), sending and
// each wait for data. Set on every handle: some WinINet versions pass the
// root's setting on to its children, others read it from the request itself.
void apply_stall_limit(const inet_handle& handle)
{
    DWORD ms = static_cast<DWORD>(http_stall_seconds()) * 1000;
    const DWORD options[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                             INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : options)
        InternetSetOptionA(handle.get(), option, &ms, sizeof ms);
}

// WinINet follows a redirect to another scheme (Wine's from https to plain
// http without a word), so where the request ended up is checked.
bool kept_scheme(const inet_handle& request, bool secure)
{
    char url[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD length = sizeof url - 1;
    if (!InternetQueryOptionA(request.get(), INTERNET_OPTION_URL, url, &length))
        return false;
    const char* scheme = secure ? "https://" : "http://";
    return std::strncmp(url, scheme, std::strlen(scheme)) == 0;
}

// An error page is not a firmware file or a list.
bool status_is_success(const inet_handle& request)
{
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &length, nullptr))
        return false;
    return status > 0 && status < 400;
}

// When the server announced the body's length, a body that ended short was cut
// off, even if the client reported the end as a normal one.
bool length_is_complete(const inet_handle& request, int32_t received)
{
    DWORD announced = 0;
    DWORD length = sizeof announced;
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                        &announced, &length, nullptr))
        return true;
    return announced == static_cast<DWORD>(received);
}

bool read_body(const inet_handle& request, http_body_sink& sink, ULONGLONG deadline)
{
    char chunk[HTTP_CHUNK_BYTES];
    for (;;) {
        // Asking only for what has arrived keeps each read short: the
        // deadline is then looked at least once per receive time-out.
        DWORD available = 0;
        if (GetTickCount64() >= deadline
            || !InternetQueryDataAvailable(request.get(), &available, 0, 0))
            return false;
        const DWORD wanted = std::clamp<DWORD>(available, 1, HTTP_CHUNK_BYTES);
        DWORD got = 0;
        // A failed read ends the transfer: the caller needs the whole body or nothing.
        if (!InternetReadFile(request.get(), chunk, wanted, &got))
            return false;
        if (got == 0)
            return true;
        if (!http_body_store(sink, chunk, static_cast<int32_t>(got)))
            return false;
    }
}

} // namespace

bool http_platform_get(const http_server_address& server, const char* path, http_body_sink& sink)
{
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(http_total_seconds()) * 1000;
    const inet_handle root(InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root)
        return false;
    apply_stall_limit(root);
    const inet_handle connection(InternetConnectA(root.get(), server.host.c_str(), server.port,
                                                  nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection)
        return false;
    apply_stall_limit(connection);
    const DWORD flags = server.secure ? INTERNET_FLAG_SECURE : 0;
    const inet_handle request(
        HttpOpenRequestA(connection.get(), "GET", path, nullptr, nullptr, nullptr, flags, 0));
    if (!request)
        return false;
    apply_stall_limit(request);
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0))
        return false;
    if (!kept_scheme(request, server.secure) || !status_is_success(request))
        return false;
    return read_body(request, sink, deadline) && length_is_complete(request, sink.used);
}
