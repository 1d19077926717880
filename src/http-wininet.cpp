// The HTTP transfer on Windows, through WinINet: a direct connection with no
// proxy, synchronous calls, one root, connection and request handle per fetch,
// closed again innermost first on every way out.
#include <windows.h>
#include <wininet.h>

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

// Only tests shorten the time a silent server is waited for; otherwise the
// client's own time-outs apply (30 s without data). Set on every handle: some
// WinINet versions pass the root's setting on to its children, others read it
// from the request itself.
void apply_stall_limit(const inet_handle& handle)
{
    const int32_t seconds = http_stall_seconds();
    if (seconds <= 0)
        return;
    DWORD ms = static_cast<DWORD>(seconds) * 1000;
    InternetSetOptionA(handle.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
    InternetSetOptionA(handle.get(), INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
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

bool read_body(const inet_handle& request, http_body_sink& sink)
{
    char chunk[HTTP_CHUNK_BYTES + 1];
    for (;;) {
        DWORD got = 0;
        // A failed read ends the transfer: the caller needs the whole body or nothing.
        if (!InternetReadFile(request.get(), chunk, HTTP_CHUNK_BYTES, &got))
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
    const inet_handle root(
        InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (!root)
        return false;
    apply_stall_limit(root);
    const inet_handle connection(InternetConnectA(root.get(), server.host.c_str(), server.port,
                                                  nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection)
        return false;
    apply_stall_limit(connection);
    const inet_handle request(
        HttpOpenRequestA(connection.get(), "GET", path, nullptr, nullptr, nullptr, 0, 0));
    if (!request)
        return false;
    apply_stall_limit(request);
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0))
        return false;
    if (!status_is_success(request))
        return false;
    return read_body(request, sink) && length_is_complete(request, sink.used);
}
