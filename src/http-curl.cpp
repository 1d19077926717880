// The HTTP transfer on Linux, through libcurl. Set up to behave like the
// Windows build's WinINet fetch: a direct connection (no proxy taken from the
// environment), http or https as the server address says (https with the
// system's CA store and host-name checks), redirects followed within that
// scheme only, no headers of our own, the body stored byte for byte. Unlike a
// bare client it also refuses error statuses and bounds a stalled or
// overlong transfer.
//
// libcurl is loaded when the first download starts, not at program start:
// linked in, it and the thirty-odd libraries it needs cost every run (--info,
// --list, a manual update) some 15 ms of start-up for a download most runs
// never make.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "http-internal.h"

namespace {

constexpr long most_redirects = 10;
constexpr const char* curl_library = "libcurl.so.4";

// The libcurl calls the fetch makes, found in the loaded library.
struct curl_calls {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
};

template <typename Call> bool find_call(void* library, const char* name, Call& call)
{
    call = reinterpret_cast<Call>(dlsym(library, name));
    return call != nullptr;
}

// Loads libcurl and sets it up; null, after one message saying why, when that fails.
const curl_calls* load_curl()
{
    static curl_calls calls;
    void* library = dlopen(curl_library, RTLD_NOW | RTLD_LOCAL);
    const bool found = library != nullptr
                       && find_call(library, "curl_global_init", calls.global_init)
                       && find_call(library, "curl_easy_init", calls.easy_init)
                       && find_call(library, "curl_easy_cleanup", calls.easy_cleanup)
                       && find_call(library, "curl_easy_setopt", calls.easy_setopt)
                       && find_call(library, "curl_easy_perform", calls.easy_perform)
                       && find_call(library, "curl_easy_getinfo", calls.easy_getinfo);
    if (!found) {
        std::fprintf(stderr, "ERROR: Cannot load %s for the download: %s\n", curl_library,
                     dlerror());
        return nullptr;
    }
    if (calls.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "ERROR: Cannot set up %s for the download\n", curl_library);
        return nullptr;
    }
    return &calls;
}

// Global set-up is not thread-safe and must run once; a static's initialiser is both.
const curl_calls* curl()
{
    static const curl_calls* const calls = load_curl();
    return calls;
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
    void operator()(CURL* handle) const { curl()->easy_cleanup(handle); }
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
    bool ok = curl()->easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, stall) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stall) == CURLE_OK;
    return ok
           && curl()->easy_setopt(handle, CURLOPT_TIMEOUT, long{http_total_seconds()}) == CURLE_OK;
}

// A redirect may not leave the server's scheme: an https download that a
// redirect could turn into plain http would not be an https download.
bool limit_scheme(CURL* handle, bool secure)
{
    const char* scheme = secure ? "https" : "http";
    bool ok = curl()->easy_setopt(handle, CURLOPT_PROTOCOLS_STR, scheme) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, scheme) == CURLE_OK;
    if (!secure)
        return ok;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    const auto oldest_tls = static_cast<long>(CURL_SSLVERSION_TLSv1_2);
    ok = ok && curl()->easy_setopt(handle, CURLOPT_SSLVERSION, oldest_tls) == CURLE_OK;
    // Tests trust their own CA through this; everyone else uses the system's store.
    const char* test_ca = std::getenv("HUBFLASH_CA_FILE");
    if (test_ca != nullptr && test_ca[0] != '\0')
        ok = ok && curl()->easy_setopt(handle, CURLOPT_CAINFO, test_ca) == CURLE_OK;
    return ok;
}

bool configure(CURL* handle, const std::string& url, bool secure, http_body_sink& sink)
{
    bool ok = curl()->easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && limit_scheme(handle, secure) && limit_time(handle);
    ok = ok && curl()->easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_NOPROXY, "*") == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_MAXREDIRS, most_redirects) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_FAILONERROR, 1L) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_WRITEFUNCTION, store_piece) == CURLE_OK;
    ok = ok && curl()->easy_setopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    return ok;
}

} // namespace

bool http_platform_get(const http_server_address& server, const char* path, http_body_sink& sink)
{
    if (curl() == nullptr)
        return false;
    const std::unique_ptr<CURL, easy_deleter> handle(curl()->easy_init());
    if (!handle)
        return false;
    const std::string url = request_url(server, path);
    if (!configure(handle.get(), url, server.secure, sink))
        return false;
    // A truncated body (connection lost, short chunked stream) shows as an error here.
    if (curl()->easy_perform(handle.get()) != CURLE_OK)
        return false;
    long status = 0;
    if (curl()->easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return false;
    return status > 0 && status < 400;
}
