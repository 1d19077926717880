// The HTTP transfer on Linux, through libcurl. Set up to behave like the
// Windows build's WinINet fetch: a direct connection (no proxy taken from the
// environment), http or https as the server address says (https with the
// system's CA store and host-name checks), redirects followed within that
// scheme only, no headers of our own, the body stored byte for byte. Unlike a
// bare client it also refuses error statuses and bounds a stalled or
// overlong transfer.
#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "http-internal.h"

namespace {

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
    std::string url = server.secure ? "https://" : "http://";
    url += literal_v6 ? "[" + server.host + "]" : server.host;
    url += ":" + std::to_string(server.port);
    url += path;
    return url;
}

// No progress (under a byte a second) for the stall limit, or the whole
// transfer past the total limit, ends it; connecting counts as no progress.
bool limit_time(CURL* handle)
{
    const long stall = http_stall_seconds();
    bool ok = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, stall) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stall) == CURLE_OK;
    return ok && curl_easy_setopt(handle, CURLOPT_TIMEOUT, long{http_total_seconds()}) == CURLE_OK;
}

// A redirect may not leave the server's scheme: an https download that a
// redirect could turn into plain http would not be an https download.
bool limit_scheme(CURL* handle, bool secure)
{
    const char* scheme = secure ? "https" : "http";
    bool ok = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, scheme) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, scheme) == CURLE_OK;
    if (!secure)
        return ok;
    ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    const auto oldest_tls = static_cast<long>(CURL_SSLVERSION_TLSv1_2);
    ok = ok && curl_easy_setopt(handle, CURLOPT_SSLVERSION, oldest_tls) == CURLE_OK;
    // Tests trust their own CA through this; everyone else uses the system's store.
    const char* test_ca = std::getenv("HUBFLASH_CA_FILE");
    if (test_ca != nullptr && test_ca[0] != '\0')
        ok = ok && curl_easy_setopt(handle, CURLOPT_CAINFO, test_ca) == CURLE_OK;
    return ok;
}

bool configure(CURL* handle, const std::string& url, bool secure, http_body_sink& sink)
{
    bool ok = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && limit_scheme(handle, secure) && limit_time(handle);
    ok = ok && curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOPROXY, "*") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_MAXREDIRS, most_redirects) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
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
    if (!configure(handle.get(), url, server.secure, sink))
        return false;
    // A truncated body (connection lost, short chunked stream) shows as an error here.
    if (curl_easy_perform(handle.get()) != CURLE_OK)
        return false;
    long status = 0;
    if (curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return false;
    return status > 0 && status < 400;
}
