// The HTTP fetch and the firmware download against the suite's own local
// server (tools/fwserver.py, started by a CTest fixture that names its
// address file in HUBFLASH_TEST_SERVER_FILE).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "action-auto.h"
#include "http-internal.h"
#include "http.h"
#include "ufw-http.h"
#include "ufw.h"

namespace {

struct local_server {
    std::string address;   // answers
    std::string refused;   // bound, never listening
    std::string tls;       // https, a certificate for localhost from the test CA
    std::string untrusted; // https, a self-signed certificate for localhost
    std::string ca;        // the test CA's file
};

const local_server& server()
{
    static const local_server found = [] {
        local_server s;
        const std::map<std::string, std::string*> keys{{"server", &s.address},
                                                       {"refused", &s.refused},
                                                       {"tls", &s.tls},
                                                       {"untrusted", &s.untrusted},
                                                       {"ca", &s.ca}};
        const char* file = std::getenv("HUBFLASH_TEST_SERVER_FILE");
        std::ifstream in(file != nullptr ? file : "");
        std::string key, value;
        while (in >> key >> value)
            if (keys.count(key) != 0)
                *keys.at(key) = value;
        return s;
    }();
    return found;
}

char pattern_byte(size_t i)
{
    return static_cast<char>(1 + (i * 131 + (i >> 8) * 7 + (i >> 16) * 3) % 255);
}

struct fetched {
    bool ok = false;
    std::vector<char> buffer; // exactly capacity + 1 bytes, so a write past it trips ASan
};

fetched fetch(const std::string& path, int32_t capacity, const std::string& host = server().address)
{
    fetched f;
    f.buffer.assign(static_cast<size_t>(capacity) + 1, '\x7f');
    f.ok = http_get(host, path.c_str(), f.buffer.data(), capacity);
    return f;
}

// The body is the server's pattern of n bytes, followed by a NUL.
::testing::AssertionResult holds_pattern(const fetched& f, size_t n)
{
    if (!f.ok)
        return ::testing::AssertionFailure() << "the fetch failed";
    for (size_t i = 0; i < n; ++i)
        if (f.buffer[i] != pattern_byte(i))
            return ::testing::AssertionFailure() << "byte " << i << " differs";
    if (f.buffer[n] != '\0')
        return ::testing::AssertionFailure() << "no NUL after the body";
    return ::testing::AssertionSuccess();
}

std::string gen(size_t n, const std::string& extra = "")
{
    return "/gen?n=" + std::to_string(n) + extra;
}

double seconds_for(const std::string& path, int32_t capacity, bool& ok,
                   const std::string& host = server().address)
{
    const auto start = std::chrono::steady_clock::now();
    ok = fetch(path, capacity, host).ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// putenv keeps the pointer it is given, so the texts must outlive the process's use of them.
void set_variable(const char* name, const std::string& value)
{
    static std::deque<std::string> texts; // grows without moving its elements
    texts.push_back(name + ("=" + value));
    putenv(texts.back().data());
}

class HttpGet : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(server().address.empty())
            << "no local server: run through ctest, or set HUBFLASH_TEST_SERVER_FILE";
    }
};

// An empty body leaves a NUL at the start, even in a buffer of no capacity.
TEST_F(HttpGet, BodiesUpToTheCapacityFitAndOneByteMoreFails)
{
    for (const char* mode : {"length", "chunked", "close"}) {
        EXPECT_TRUE(holds_pattern(fetch(gen(0, std::string("&mode=") + mode), 0), 0)) << mode;
        for (int32_t capacity : {1, 100, 4095, 4096, 16384, 70000}) {
            SCOPED_TRACE(std::string(mode) + " capacity " + std::to_string(capacity));
            const std::string m = std::string("&mode=") + mode;
            const auto n = static_cast<size_t>(capacity);
            EXPECT_TRUE(holds_pattern(fetch(gen(n - 1, m), capacity), n - 1));
            EXPECT_TRUE(holds_pattern(fetch(gen(n, m), capacity), n));
            EXPECT_FALSE(fetch(gen(n + 1, m), capacity).ok);
        }
    }
    EXPECT_FALSE(fetch(gen(1), 0).ok);
}

TEST_F(HttpGet, PiecesOfAnySizeAreStoredInOrder)
{
    for (const char* extra : {"&mode=chunked&piece=1", "&mode=close&piece=3&gap_ms=1"}) {
        SCOPED_TRACE(extra);
        EXPECT_TRUE(holds_pattern(fetch(gen(1500, extra), 1500), 1500));
    }
    for (const char* extra :
         {"&mode=chunked&piece=4097", "&piece=65536", "&mode=close&piece=999"}) {
        SCOPED_TRACE(extra);
        EXPECT_TRUE(holds_pattern(fetch(gen(150000, extra), 150000), 150000));
    }
    EXPECT_TRUE(holds_pattern(fetch(gen(1 << 20, "&mode=chunked&piece=70000"), 1 << 21), 1 << 20));
}

TEST_F(HttpGet, RedirectsAreFollowed)
{
    for (const char* status : {"301", "302", "307"}) {
        SCOPED_TRACE(status);
        const std::string path = std::string("/redirect?status=") + status + "&to=/gen%3Fn%3D300";
        EXPECT_TRUE(holds_pattern(fetch(path, 1000), 300));
    }
    EXPECT_FALSE(fetch("/redirect?to=/gen%3Fn%3D300%26status%3D404", 1000).ok);
}

// https needs a certificate from a trusted CA that names the host; a redirect
// keeps to the scheme the download started with.
TEST_F(HttpGet, HttpsNeedsATrustedCertificateForTheHostAndKeepsToHttps)
{
    ASSERT_FALSE(server().tls.empty()) << "the local server serves no https";
    set_variable("HUBFLASH_CA_FILE", server().ca);
    const std::string tls = "https://" + server().tls;
    const std::string gen_300 = "%2Fgen%3Fn%3D300";
    const std::string to_plain = "/redirect?to=http%3A%2F%2F" + server().address + gen_300;
    const std::string to_tls = "/redirect?to=https%3A%2F%2F" + server().tls + gen_300;
    const struct {
        std::string host, path;
        bool ok;
    } cases[] = {{tls, gen(300), true},
                 {tls, "/redirect?to=/gen%3Fn%3D300", true},
                 {"https://" + server().untrusted, gen(300), false},
                 // The certificate names localhost, not 127.0.0.1.
                 {"https://127.0.0.1" + tls.substr(tls.rfind(':')), gen(300), false},
                 {tls, to_plain, false},
                 {"http://" + server().address, to_tls, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + c.path);
        EXPECT_EQ(static_cast<bool>(holds_pattern(fetch(c.path, 1000, c.host), 300)), c.ok);
    }
}

TEST_F(HttpGet, ErrorStatusesAreFailuresWhateverTheirBody)
{
    for (int status : {400, 403, 404, 500, 503}) {
        SCOPED_TRACE(status);
        EXPECT_FALSE(fetch(gen(50, "&status=" + std::to_string(status)), 1000).ok);
    }
    EXPECT_FALSE(fetch("/no/such/path", 1000).ok);
    EXPECT_TRUE(holds_pattern(fetch(gen(50, "&status=203"), 1000), 50));
}

TEST_F(HttpGet, ABodyShorterThanItsAnnouncedLengthIsAFailure)
{
    EXPECT_FALSE(fetch(gen(10000, "&truncate=5000"), 20000).ok);
    EXPECT_FALSE(fetch(gen(10000, "&piece=1000&truncate=9999"), 20000).ok);
}

TEST_F(HttpGet, AChunkedBodyWithoutItsLastChunkIsAFailure)
{
    EXPECT_FALSE(fetch(gen(10000, "&mode=chunked&piece=1000&truncate=5000"), 20000).ok);
}

TEST_F(HttpGet, ARefusedConnectionFailsAtOnce)
{
    ASSERT_FALSE(server().refused.empty());
    bool ok = true;
    EXPECT_LT(seconds_for("/gen?n=1", 100, ok, server().refused), 5.0);
    EXPECT_FALSE(ok);
}

TEST_F(HttpGet, BadArgumentsFailWithoutARequest)
{
    std::vector<char> buffer(8, '\x7f');
    EXPECT_FALSE(http_get(server().address, "/gen?n=1", buffer.data(), -1));
    EXPECT_FALSE(http_get(server().address, "gen?n=1", buffer.data(), 7));
    EXPECT_FALSE(http_get(server().address, "/gen?n=1", nullptr, 7));
    EXPECT_FALSE(http_get("", "/gen?n=1", buffer.data(), 7));
}

// A server that stops sending is given up after the stall limit, a download
// that takes too long after the total limit; one that is slow but keeps
// sending within both is waited for.
TEST_F(HttpGet, StalledOrOverlongDownloadsFailAtTheirLimit)
{
    const struct {
        std::string path;
        int32_t total_seconds; // 0: the usual 10 minutes
        bool ok;
        double at_least, below;
    } cases[] = {{gen(10000, "&stall_after=5000&stall_ms=15000"), 0, false, 0, 12.0},
                 {"/silent?stall_ms=9000", 0, false, 0, 7.5},
                 {gen(5000, "&piece=500&gap_ms=400"), 0, true, 3.0, 60.0},
                 {gen(10000, "&piece=500&gap_ms=400"), 2, false, 1.5, 6.0}};
    http_set_stall_seconds(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        http_set_total_seconds(c.total_seconds);
        bool ok = !c.ok;
        const double took = seconds_for(c.path, 20000, ok);
        EXPECT_EQ(ok, c.ok);
        EXPECT_GE(took, c.at_least);
        EXPECT_LT(took, c.below);
    }
    http_set_stall_seconds(0);
    http_set_total_seconds(0);
}

TEST(HttpAddress, HostAndPortSplit)
{
    struct {
        const char* text;
        const char* host; // "" when the text is no server address
        uint16_t port;
        bool secure;
    } cases[] = {
        {"firmware.example", "firmware.example", 80, false},
        {"127.0.0.1:8080", "127.0.0.1", 8080, false},
        {"[::1]:81", "::1", 81, false},
        {"[::1]", "::1", 80, false},
        {"host:65535", "host", 65535, false},
        {"http://my_mirror.example", "my_mirror.example", 80, false},
        {"HTTPS://mirror.example:8443/", "mirror.example", 8443, true},
        {"https://[::1]", "::1", 443, true},
        {"host:", "", 0, false},
        {"host:0", "", 0, false},
        {"host:65536", "", 0, false},
        {"host:99999", "", 0, false},
        {"host:8o", "", 0, false},
        {":80", "", 0, false},
        {"", "", 0, false},
        {"a b:80", "", 0, false},
        {"host/x", "", 0, false},
        {"bad,host", "", 0, false},
        {"user@host", "", 0, false},
        {"[::1", "", 0, false},
        {"[::1]x", "", 0, false},
        {"[]", "", 0, false},
        {"[host]", "", 0, false},
        {"http://", "", 0, false},
        {"http:/host", "", 0, false},
        {"ftp://host", "", 0, false},
        {"https://host/x", "", 0, false},
        {"https://host//", "", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const http_server_address a = http_split_host(c.text);
        EXPECT_EQ(a.valid, c.host[0] != '\0');
        if (a.valid) {
            EXPECT_EQ(a.host, c.host);
            EXPECT_EQ(a.port, c.port);
            EXPECT_EQ(a.secure, c.secure);
        }
    }
}

TEST(HttpServerHost, TheVariableReplacesTheBuiltInHost)
{
    set_variable("HUBFLASH_SERVER", "");
    const std::string built_in = firmware_server_host();
    EXPECT_FALSE(built_in.empty());
    EXPECT_EQ(built_in.find(':'), std::string::npos); // port 80
    set_variable("HUBFLASH_SERVER", "mirror.example:8080");
    EXPECT_EQ(firmware_server_host(), "mirror.example:8080");
    set_variable("HUBFLASH_SERVER", "");
    EXPECT_EQ(firmware_server_host(), built_in);
}

TEST(HttpServerHost, AnInvalidAddressIsReportedOnceAndFetchesNothing)
{
    std::vector<char> buffer(8);
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

// ---- The firmware download ----

class FirmwareDownload : public HttpGet {
protected:
    void SetUp() override
    {
        HttpGet::SetUp();
        if (HasFatalFailure())
            return;
        set_variable("HUBFLASH_SERVER", server().address);
    }
    void TearDown() override { set_variable("HUBFLASH_SERVER", ""); }

    static std::vector<std::string> requests()
    {
        const fetched f = fetch("/_requests", 1 << 20);
        std::vector<std::string> lines;
        std::string line;
        for (const char* p = f.buffer.data(); f.ok && *p != '\0'; ++p) {
            if (*p == '\n')
                lines.push_back(std::exchange(line, std::string()));
            else
                line += *p;
        }
        return lines;
    }
    static bool requested(const std::string& path)
    {
        const auto all = requests();
        return std::find(all.begin(), all.end(), path) != all.end();
    }
    static ufw load(const std::string& file, int32_t size)
    {
        auto_manifest_entry entry;
        entry.file = file;
        entry.size = size;
        ufw image;
        image.loaded = true;
        image.version = 99;
        ufw_load_http(entry, image);
        return image;
    }
};

TEST_F(FirmwareDownload, ABodyOfExactlyTheSizeLoads)
{
    // The server's image is a version line padded to the size in its name.
    const ufw exact = load("v215-300.ufw", 300);
    EXPECT_TRUE(exact.loaded);
    EXPECT_EQ(exact.version, 215);
    EXPECT_TRUE(load("v215-300.ufw", 301).loaded);
    const ufw short_buffer = load("v215-300.ufw", 299);
    EXPECT_FALSE(short_buffer.loaded);
    EXPECT_EQ(short_buffer.version, 0);
    EXPECT_FALSE(load("missing.ufw", 1000).loaded);
}

TEST_F(FirmwareDownload, UnusableEntriesAreNotFetched)
{
    // Each name would be served as a 10-byte image if it were fetched.
    struct {
        const char* file;
        int32_t size;
        const char* marker;
    } cases[] = {{"v1-10_case1.ufw", 0, "case1"},
                 {"v2-10_case2.ufw", -5, "case2"},
                 {"v3-10_case3.ufw", 64 * 1024 * 1024 + 1, "case3"},
                 {"v4-10_case4 .ufw", 100, "case4"},
                 {"v5-10_case5\t.ufw", 100, "case5"},
                 {"v6-10_case6\r.ufw", 100, "case6"},
                 {"v7-10_case7\x7f.ufw", 100, "case7"},
                 {"", 100, "/firmware/\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.marker);
        EXPECT_FALSE(load(c.file, c.size).loaded);
    }
    std::string all;
    for (const auto& path : requests())
        all += path + "\n";
    for (const auto& c : cases)
        EXPECT_EQ(all.find(c.marker), std::string::npos) << c.marker;
}

TEST_F(FirmwareDownload, NamesAreEscapedWhereAPathCannotCarryThem)
{
    EXPECT_FALSE(load("q?#[]\"%zz%41\xc3\xa9/a~b-c_d.e+f,g;h=i@j:k!l$m&n'o(p)*.ufw", 100).loaded);
    EXPECT_TRUE(requested("/firmware/q%3F%23%5B%5D%22%25zz%41%C3%A9"
                          "/a~b-c_d.e+f,g;h=i@j:k!l$m&n'o(p)*.ufw"));
    EXPECT_TRUE(load("v7-40.ufw", 40).loaded);
    EXPECT_TRUE(requested("/firmware/v7-40.ufw"));
}

} // namespace
