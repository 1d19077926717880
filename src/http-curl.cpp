// The HTTP transfer on Linux, through libcurl. Set up to behave like the
// Windows build's WinINet fetch: a direct connection (no proxy taken from the
// environment), plain HTTP only, redirects followed, no headers of our own,
// the body stored byte for byte. Unlike a bare client it also refuses error
// statuses and gives a dead server a time limit.
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <string>

#include "http-internal.h"

namespace {

constexpr long connect_seconds = 30;
constexpr long default_stall_seconds = 30;
constexpr long most_redirects = 10;

bool curl_ready()
{
    // Global set-up is not thread-safe and must run once; a static's initialiser is both.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// libcurl hands the body over in pieces of up to CURL_MAX_WRITE_SIZE bytes;
// each is stored in chunks as the fetch takes them. Returning less than the
// piece's size aborts the transfer.
size_t store_piece(char* data, size_t size, size_t count, void* user)
{
    auto& sink = *static_cast<http_body_sink*>(user);
    const size_t total = size * count;
    for (size_t done = 0; done < total;) {
        const auto chunk = static_cast<int32_t>(
            std::min<size_t>(total - done, static_cast<size_t>(HTTP_CHUNK_BYTES)));
        if (!http_body_store(sink, data + done, chunk))
            return 0;
        done += static_cast<size_t>(chunk);
    }
    return total;
}

struct easy_deleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

std::string request_url(const http_server_address& server, const char* path)
{
    const bool literal_v6 = server.host.find(':') != std::string::npos;
    std::string url = "http://";
    url += literal_v6 ? "[" + server.host + "]" : server.host;
    url += ":" + std::to_string(server.port);
    url += path;
    return url;
}

bool configure(CURL* handle, const std::string& url, http_body_sink& sink)
{
    const long stall = http_stall_seconds() > 0 ? http_stall_seconds() : default_stall_seconds;
    bool ok = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOPROXY, "*") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_MAXREDIRS, most_redirects) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connect_seconds) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stall) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, store_piece) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    return ok;
}

} // namespace

bool http_platform_get(const http_server_address& server, const char* path, http_body_sink& sink)
{
    if (!curl_ready())
        return false;
    const std::unique_ptr<CURL, easy_deleter> handle(curl_easy_init());
    if (!handle)
        return false;
    const std::string url = request_url(server, path);
    if (!configure(handle.get(), url, sink))
        return false;
    // A truncated body (connection lost, short chunked stream) shows as an error here.
    if (curl_easy_perform(handle.get()) != CURLE_OK)
        return false;
    long status = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return false;
    return status > 0 && status < 400;
}
