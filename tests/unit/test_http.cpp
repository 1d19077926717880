// The HTTP fetch and the firmware download against the suite's own server
// (tools/fwserver.py; a CTest fixture names its address file in HUBFLASH_TEST_SERVER_FILE).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "action-auto.h"
#include "http-internal.h"
#include "http.h"
#include "ufw-http.h"
#include "ufw.h"

namespace {

// "server" answers, "refused" is bound but never listens, "tls" serves https
// with a certificate for localhost from the test CA in file "ca", "untrusted"
// with a self-signed one.
const std::string& server(const std::string& key = "server")
{
    static const std::map<std::string, std::string> found = [] {
        std::map<std::string, std::string> keys;
        const char* file = std::getenv("HUBFLASH_TEST_SERVER_FILE");
        std::ifstream in(file != nullptr ? file : "");
        EXPECT_TRUE(in) << "no local server: run through ctest, or set HUBFLASH_TEST_SERVER_FILE";
        std::string name, value;
        while (in >> name >> value)
            keys[name] = value;
        return keys;
    }();
    static const std::string none;
    return found.count(key) != 0 ? found.at(key) : none;
}

struct fetched {
    bool ok = false;
    std::vector<char> buffer; // exactly capacity + 1 bytes, so a write past it trips ASan
};

fetched fetch(const std::string& path, int32_t capacity, const std::string& host = server())
{
    fetched f;
    f.buffer.assign(static_cast<size_t>(capacity) + 1, '\x7f');
    f.ok = http_get(host, path.c_str(), f.buffer.data(), capacity);
    return f;
}

// The body is the server's pattern of n bytes, followed by a NUL.
::testing::AssertionResult holds_pattern(const fetched& f, size_t n)
{
    size_t i = 0;
    while (f.ok && i < n && f.buffer[i] == char(1 + (i * 131 + (i >> 8) * 7 + (i >> 16) * 3) % 255))
        ++i;
    if (f.ok && i == n && f.buffer[n] == '\0')
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "fetched: " << f.ok << ", wrong from byte " << i;
}

std::string gen(size_t n, const std::string& extra = "")
{
    return "/gen?n=" + std::to_string(n) + extra;
}

// putenv keeps the pointer it is given, so the texts must outlive the process's use of them.
void set_variable(const char* name, const std::string& value)
{
    static std::deque<std::string> texts; // grows without moving its elements
    texts.push_back(name + ("=" + value));
    putenv(texts.back().data());
}

// An empty body leaves a NUL at the start, even in a buffer of no capacity;
// pieces of any size are stored in order.
TEST(HttpGet, BodiesUpToTheCapacityFitAndOneByteMoreFails)
{
    for (const std::string mode : {"&mode=length", "&mode=chunked", "&mode=close"}) {
        EXPECT_TRUE(holds_pattern(fetch(gen(0, mode), 0), 0)) << mode;
        for (int32_t capacity : {1, 100, 4095, 4096, 16384, 70000}) {
            SCOPED_TRACE(mode + " capacity " + std::to_string(capacity));
            const auto n = static_cast<size_t>(capacity);
            EXPECT_TRUE(holds_pattern(fetch(gen(n - 1, mode), capacity), n - 1));
            EXPECT_TRUE(holds_pattern(fetch(gen(n, mode), capacity), n));
            EXPECT_FALSE(fetch(gen(n + 1, mode), capacity).ok);
        }
    }
    const std::pair<const char*, size_t> pieces[] = {{"&mode=chunked&piece=1", 1500},
                                                     {"&mode=close&piece=3&gap_ms=1", 1500},
                                                     {"&mode=close&piece=999", 150000},
                                                     {"&mode=chunked&piece=70000", 1 << 20}};
    for (const auto& [extra, n] : pieces)
        EXPECT_TRUE(holds_pattern(fetch(gen(n, extra), 1 << 21), n)) << extra;
}

// Redirects are followed; error statuses fail whatever their body, as does a
// body shorter than its announced length.
TEST(HttpGet, RedirectsErrorStatusesAndShortBodies)
{
    for (const std::string status : {"301", "302", "307"}) {
        const std::string path = "/redirect?status=" + status + "&to=/gen%3Fn%3D300";
        EXPECT_TRUE(holds_pattern(fetch(path, 1000), 300)) << status;
    }
    EXPECT_TRUE(holds_pattern(fetch(gen(300, "&status=203"), 1000), 300));
    for (const char* path : {"/gen?n=30&status=400", "/gen?n=30&status=403", "/gen?n=30&status=404",
                             "/gen?n=30&status=500", "/gen?n=30&status=503", "/no/such/path",
                             "/redirect?to=/gen%3Fn%3D30%26status%3D404", "/gen?n=900&truncate=500",
                             "/gen?n=900&piece=100&truncate=899"})
        EXPECT_FALSE(fetch(path, 1000).ok) << path;
}

// Ten redirects in a row are followed; an eleventh is a loop to give up on.
TEST(HttpGet, TenRedirectsAndNoMore)
{
    auto chain = [](int redirects) {
        std::string path = "/gen?n=300";
        for (int i = 0; i < redirects; ++i) {
            std::string quoted;
            for (const char c : path)
                quoted += c == '%'   ? "%25"
                          : c == '?' ? "%3F"
                          : c == '=' ? "%3D"
                                     : std::string(1, c);
            path = "/redirect?to=" + quoted;
        }
        return path;
    };
    EXPECT_TRUE(holds_pattern(fetch(chain(10), 1000), 300));
    EXPECT_FALSE(fetch(chain(11), 1000).ok);
}

// https needs a certificate from a trusted CA that names the host; a redirect
// keeps to the scheme the download started with.
TEST(HttpGet, HttpsNeedsATrustedCertificateForTheHostAndKeepsToHttps)
{
    ASSERT_FALSE(server("tls").empty()) << "the local server serves no https";
    set_variable("HUBFLASH_CA_FILE", server("ca"));
    const std::string tls = "https://" + server("tls");
    const std::string gen_300 = "%2Fgen%3Fn%3D300";
    const struct {
        std::string host, path;
        bool ok;
    } cases[] = {
        {tls, gen(300), true},
        {tls, "/redirect?to=/gen%3Fn%3D300", true},
        {"https://" + server("untrusted"), gen(300), false},
        // The certificate names localhost, not 127.0.0.1.
        {"https://127.0.0.1" + tls.substr(tls.rfind(':')), gen(300), false},
        {tls, "/redirect?to=http%3A%2F%2F" + server() + gen_300, false},
        {"http://" + server(), "/redirect?to=https%3A%2F%2F" + server("tls") + gen_300, false}};
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<bool>(holds_pattern(fetch(c.path, 1000, c.host), 300)), c.ok)
            << c.host + c.path;
}

TEST(HttpGet, AChunkedBodyWithoutItsLastChunkIsAFailure)
{
    EXPECT_FALSE(fetch(gen(10000, "&mode=chunked&piece=1000&truncate=5000"), 20000).ok);
}

// A refused connection fails at once. A server that stops sending is given up
// after the stall limit, a download that takes too long after the total limit;
// one that is slow but keeps sending within both is waited for.
TEST(HttpGet, RefusedStalledOrOverlongDownloadsFailAtTheirLimit)
{
    ASSERT_FALSE(server("refused").empty());
    const struct {
        std::string host, path;
        int32_t stall_seconds, total_seconds; // 0: the usual 30 s and 10 minutes
        bool ok;
        double at_least, below;
    } cases[] = {{server("refused"), gen(1), 0, 0, false, 0, 5.0},
                 {server(), gen(10000, "&stall_after=5000&stall_ms=15000"), 2, 0, false, 0, 12.0},
                 {server(), "/silent?stall_ms=9000", 2, 0, false, 0, 7.5},
                 {server(), gen(5000, "&piece=500&gap_ms=400"), 2, 0, true, 3.0, 60.0},
                 {server(), gen(10000, "&piece=500&gap_ms=400"), 2, 2, false, 1.5, 6.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + c.path);
        http_set_stall_seconds(c.stall_seconds);
        http_set_total_seconds(c.total_seconds);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fetch(c.path, 20000, c.host).ok, c.ok);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(took, c.at_least);
        EXPECT_LT(took, c.below);
    }
    http_set_stall_seconds(0);
    http_set_total_seconds(0);
}

TEST(HttpAddress, HostAndPortSplit)
{
    const std::pair<const char*, const char*> valid[] = {
        {"firmware.example", "firmware.example 80"},
        {"127.0.0.1:8080", "127.0.0.1 8080"},
        {"[::1]:81", "::1 81"},
        {"[::1]", "::1 80"},
        {"host:65535", "host 65535"},
        {"http://my_mirror.example", "my_mirror.example 80"},
        {"HTTPS://mirror.example:8443/", "mirror.example 8443 tls"},
        {"https://[::1]", "::1 443 tls"}};
    for (const auto& [text, parts] : valid) {
        const http_server_address a = http_split_host(text);
        EXPECT_EQ((a.valid ? a.host : "-") + " " + std::to_string(a.port)
                      + (a.secure ? " tls" : ""),
                  parts);
    }
    for (const char* text :
         {"host:",  "host:0",  "host:65536", "host:99999", "host:8o",        ":80",           "",
          "a b:80", "host/x",  "bad,host",   "user@host",  "[::1",           "[::1]x",        "[]",
          "[host]", "http://", "http:/host", "ftp://host", "https://host/x", "https://host//"})
        EXPECT_FALSE(http_split_host(text).valid) << text;
}

// The variable replaces the built-in host (port 80); an invalid one is
// reported once per value and fetches nothing.
TEST(HttpServerHost, TheVariableReplacesTheBuiltInHostIfItIsAnAddress)
{
    set_variable("HUBFLASH_SERVER", "");
    const std::string built_in = firmware_server_host();
    const http_server_address address = http_split_host(built_in);
    EXPECT_TRUE(address.valid && address.port == 80 && !address.secure) << built_in;
    set_variable("HUBFLASH_SERVER", "mirror.example:8080");
    EXPECT_EQ(firmware_server_host(), "mirror.example:8080");
    std::vector<char> buffer(8, '\x7f');
    ::testing::internal::CaptureStderr();
    for (const char* text : {"host/x", "host/x", "https://host:99999"}) {
        set_variable("HUBFLASH_SERVER", text);
        EXPECT_FALSE(http_get(firmware_server_host(), "/gen?n=1", buffer.data(), 7));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ERROR: HUBFLASH_SERVER is not a valid server address: host/x\n"
              "ERROR: HUBFLASH_SERVER is not a valid server address: https://host:99999\n");
    set_variable("HUBFLASH_SERVER", "");
}

// The server's image v<version>-<size>.ufw is a version line and a section,
// padded or cut to that size (v0 at 27 bytes ends before the end marker). Entries
// with a size no image has, or a name no request line carries, are not fetched.
TEST(HttpGet, FirmwareDownloadsOfUsableEntriesUnderEscapedNames)
{
    set_variable("HUBFLASH_SERVER", server());
    const std::tuple<const char*, int32_t, bool> cases[] = {
        {"v215-300.ufw", 300, true},
        {"v215-300.ufw", 301, true},
        {"v215-300.ufw", 299, false},
        {"v0-27.ufw", 27, false},
        {"q?#[]\"%zz%41\xc3\xa9/a~b-c_d.e+f,g;h=i@j:k!l$m&n'o(p)*.ufw", 100, false},
        {"v1-10_case1.ufw", 0, false},
        {"v3-10_case3.ufw", 64 * 1024 * 1024 + 1, false},
        {"v4-10_case4 .ufw", 100, false},
        {"v7-10_case7\x7f.ufw", 100, false},
        {"", 100, false}};
    for (const auto& [file, size, loaded] : cases) {
        auto_manifest_entry entry;
        entry.file = file;
        entry.size = size;
        ufw image;
        image.loaded = true;
        image.version = 99;
        ufw_load_http(entry, image);
        EXPECT_EQ(image.loaded, loaded) << file << " " << size;
        EXPECT_EQ(image.version, loaded ? 215 : 0) << file << " " << size;
    }
    set_variable("HUBFLASH_SERVER", "");
    const std::string requests = fetch("/_requests", 1 << 20).buffer.data(); // one a line
    EXPECT_NE(requests.find("\n/firmware/q%3F%23%5B%5D%22%25zz%41%C3%A9"
                            "/a~b-c_d.e+f,g;h=i@j:k!l$m&n'o(p)*.ufw\n"),
              std::string::npos);
    EXPECT_EQ(requests.find("case"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("/firmware/\n"), std::string::npos) << requests;
}

} // namespace
