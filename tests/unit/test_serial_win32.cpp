// The Windows serial backend, run under Wine. Suite SerialWin32 runs anywhere.
// The SerialWin32Peer and SerialWin32Prefix suites need tests/wine/serial_win32_peer.py:
// it names a pseudo-terminal port in HUB_TEST_PORT, answers on the other side
// (CHECK, SLOW, SPLIT, DELAY; any other line is echoed) and gives the tests a
// Wine prefix of their own, whose registry they rewrite (port list, fake USB
// serial devices, since Wine has none and sends no device events).
#include "serial-win32.h"

#include <dbt.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serial-internal.h"
#include "serial.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr char missing_port[] = "COM250";
constexpr char guid_text[] = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr GUID com_port_interface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr GUID ports_setup_class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const char* peer_port()
{
    return std::getenv("HUB_TEST_PORT");
}
#define REQUIRE_DRIVER()                                                                           \
    if (!peer_port())                                                                              \
    GTEST_SKIP() << "run through tests/wine/serial_win32_peer.py"

int64_t ms_since(steady::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t).count();
}

// Milliseconds that `action` took; a hang ends the program instead of stalling the run.
template <typename Action> int64_t timed(Action action)
{
    const auto start = steady::now();
    auto done = std::async(std::launch::async, action);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        std::fputs("hang: the action did not return within 10 s\n",
                   stdout); // stderr may be captured
        std::fflush(stdout);
        std::_Exit(3);
    }
    return ms_since(start);
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string next_line(serial_port& port)
{
    char line[256];
    for (auto start = steady::now(); ms_since(start) < 3000;)
        if (serial_rx_pop(&port, line, sizeof line))
            return line;
    return "(no line)";
}

std::string ask(serial_port& port, const std::string& text)
{
    return serial_tx(&port, (text + "\r\n").c_str()) ? next_line(port) : "(write failed)";
}

std::string init_on_missing_port(serial_port& port, const char* name = missing_port)
{
    testing::internal::CaptureStderr();
    EXPECT_TRUE(serial_init(&port, name));
    return testing::internal::GetCapturedStderr();
}

// There as soon as serial_init returns: device events during the first open must not be lost.
HWND watcher_window(const serial_connection& conn)
{
    HWND window = nullptr;
    EnumThreadWindows(
        serial_win32_watcher_id(conn),
        [](HWND w, LPARAM found) {
            *reinterpret_cast<HWND*>(found) = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&window));
    return window;
}

// The system's own words for an error, as the open failure message gives them.
std::string system_text(DWORD error)
{
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string words = text;
    return words.substr(0, words.find_last_not_of(" .\r\n") + 1);
}

// A device-interface event as the system builds it: header, class, NUL-terminated path.
struct interface_event {
    std::vector<unsigned char> bytes;
    explicit interface_event(const std::string& path,
                             DWORD device_type = DBT_DEVTYP_DEVICEINTERFACE)
        : bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1, 0)
    {
        auto* event = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
        event->dbcc_size = static_cast<DWORD>(bytes.size());
        event->dbcc_devicetype = device_type;
        event->dbcc_classguid = com_port_interface;
        std::memcpy(bytes.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name),
                    path.data(), path.size());
    }
    LPARAM lparam() { return reinterpret_cast<LPARAM>(bytes.data()); }
};

void send_event(HWND window, WPARAM kind, const std::string& path)
{
    interface_event event(path);
    SendMessageA(window, WM_DEVICECHANGE, kind, event.lparam());
}

// A present (or absent) USB serial device with this "PortName"; returns its interface path.
std::string fake_com_device(int number, const char* port_name, bool present = true)
{
    const std::string id = "root#hubflashtest#000" + std::to_string(number) + "#" + guid_text;
    const std::string instance = "ROOT\\HUBFLASHTEST\\000" + std::to_string(number);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_setup_class, nullptr);
    SP_DEVINFO_DATA device{sizeof device, {}, 0, 0};
    if (SetupDiCreateDeviceInfoA(set, instance.c_str(), &ports_setup_class, nullptr, nullptr, 0,
                                 &device))
        SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr);
    else
        SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &device);
    SP_DEVICE_INTERFACE_DATA iface{sizeof iface, {}, 0, 0};
    SetupDiCreateDeviceInterfaceA(set, &device, &com_port_interface, nullptr, 0, &iface);
    HKEY key =
        SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port_name),
                   std::strlen(port_name) + 1);
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    // Wine lists an interface as present while it is linked.
    const std::string control = std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\")
                                + guid_text + "\\##?#" + id + "\\#\\Control";
    const DWORD linked = present ? 1 : 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, control.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              0);
    RegSetValueExA(key, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                   sizeof linked);
    RegCloseKey(key);
    return "\\\\?\\" + id;
}

std::vector<std::string> names_in(const string_list& list)
{
    std::vector<std::string> names;
    for (const char* p = list.bytes.c_str(); *p != '\0'; p += names.back().size() + 1)
        names.emplace_back(p);
    return names;
}

TEST(SerialWin32, MissingPortFailsThirtyTimesAndSaysWhyYetTheWatcherRuns)
{
    serial_port port;
    std::string errors = init_on_missing_port(port);
    const std::string once = "ERROR: Error in opening serial port\n",
                      last = "ERROR: Failed to open serial port after reconnect attempts\n";
    std::erase(errors, '\r'); // Windows text mode
    std::string expected;
    for (int attempt = 0; attempt < 30; ++attempt)
        expected += once;
    EXPECT_EQ(errors, expected + last + "ERROR: Cannot open COM250: "
                          + system_text(ERROR_FILE_NOT_FOUND) + "\n");
    EXPECT_TRUE(port.started);
    EXPECT_TRUE(port.open_failed);
    EXPECT_FALSE(serial_available(&port));
    EXPECT_EQ(serial_win32_handle(*port.conn), INVALID_HANDLE_VALUE);
    char line[256];
    EXPECT_FALSE(serial_rx_pop(&port, line, sizeof line));
    serial_free(&port);
}

TEST(SerialWin32, FreeEndsTheWatcherPromptlyAtAnyMomentAndTheRecordCanBeReused)
{
    serial_port port;
    for (int round = 0; round < 6; ++round) {
        init_on_missing_port(port);
        ASSERT_TRUE(port.started);
        const HWND window = watcher_window(*port.conn);
        ASSERT_NE(window, nullptr);
        Sleep(round % 2 == 0 ? 0
                             : 30); // before the watcher has its message queue, or waiting in it
        EXPECT_LT(timed([&] { serial_free(&port); }), 1000) << "round " << round;
        EXPECT_FALSE(IsWindow(window)) << "the watcher still listens for device events";
        EXPECT_EQ(port.conn, nullptr);
    }
}

TEST(SerialWin32, WindowProcedureActsOnlyOnWellFormedInterfaceEvents)
{
    serial_port port;
    init_on_missing_port(port);
    port.conn->device_path =
        "\\\\?\\usb#vid_1234&pid_5678#hub#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    const HWND window = watcher_window(*port.conn);
    ASSERT_NE(window, nullptr);
    auto deliver = [window](WPARAM kind, interface_event& event) {
        SendMessageA(window, WM_DEVICECHANGE, kind, event.lparam());
    };
    interface_event ours(upper(port.conn->device_path));
    interface_event not_an_interface(port.conn->device_path, DBT_DEVTYP_PORT);
    interface_event unterminated(port.conn->device_path);
    reinterpret_cast<DEV_BROADCAST_HDR*>(unterminated.bytes.data())->dbch_size -= 1;
    MyDeviceNotifyWndProc(nullptr, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    deliver(DBT_DEVICEREMOVECOMPLETE, not_an_interface);
    deliver(DBT_DEVICEREMOVECOMPLETE, unterminated);
    deliver(DBT_DEVICEQUERYREMOVE, ours);
    EXPECT_EQ(serial_win32_handle(*port.conn), INVALID_HANDLE_VALUE);

    deliver(DBT_DEVICEREMOVECOMPLETE, ours);
    EXPECT_EQ(serial_win32_handle(*port.conn), nullptr);
    interface_event unknown("\\\\?\\usb#no#such#device");
    deliver(DBT_DEVICEARRIVAL, unknown);
    EXPECT_FALSE(serial_available(&port)) << "another device's arrival leaves ours waiting";
    EXPECT_EQ(serial_win32_handle(*port.conn), nullptr);
    serial_free(&port);
}

class SerialWin32Peer : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!peer_port())
            return;
        ours = fake_com_device(1, peer_port());
        other = fake_com_device(2, "COM38");
    }
    void SetUp() override
    {
        REQUIRE_DRIVER();
        ASSERT_TRUE(serial_init(&port, peer_port()));
        ASSERT_TRUE(serial_os_is_open(*port.conn));
        // Bytes of an earlier test may still be on their way; the echo of a fresh marker ends them.
        const std::string marker = "SYNC " + std::to_string(GetTickCount());
        ASSERT_TRUE(serial_tx(&port, (marker + "\r\n").c_str()));
        for (int skipped = 0; next_line(port) != marker; ++skipped)
            ASSERT_LT(skipped, 100) << "no echo from the peer";
    }
    void TearDown() override { serial_free(&port); }
    void reopen()
    {
        serial_free(&port);
        ASSERT_TRUE(serial_init(&port, peer_port()));
    }
    static inline std::string ours, other;
    serial_port port;
};

TEST_F(SerialWin32Peer, ConfiguresTheLineAndExchangesWholeLines)
{
    ASSERT_EQ(ask(port, "SLOW"), "DONE"); // the peer's side now reads 9600 baud, 2 stop bits
    reopen();
    EXPECT_EQ(ask(port, "CHECK"), "OK");
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(serial_win32_handle(*port.conn), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 50u);

    for (int burst = 0; burst < 5; ++burst) {
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(serial_tx(
                &port, ("line " + std::to_string(burst * 20 + i) + " of a burst\r\n").c_str()));
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(next_line(port), "line " + std::to_string(burst * 20 + i) + " of a burst");
    }
    EXPECT_EQ(ask(port, ">>id 5"), "id 5");
    EXPECT_EQ(ask(port, "SPLIT"), "first half second half");
}

TEST_F(SerialWin32Peer, ReadWaitsForDataOnlyUntilItComes)
{
    uint8_t buf[256];
    auto read = [&](int wait_ms) {
        std::lock_guard lock(port.conn->io_lock);
        return serial_os_read(*port.conn, buf, sizeof buf, wait_ms);
    };
    auto start = steady::now();
    EXPECT_EQ(read(60), 0);
    EXPECT_GE(ms_since(start), 59); // the deadline is kept in whole milliseconds
    EXPECT_LT(ms_since(start), 1000);
    ASSERT_TRUE(serial_tx(&port, "DELAY\r\n")); // answered 150 ms later
    start = steady::now();
    EXPECT_GT(read(3000), 0);
    EXPECT_LT(ms_since(start), 1500) << "the wait did not end when the bytes came";
}

TEST_F(SerialWin32Peer, WatcherClosesOnRemovalAndReopensOnArrival)
{
    EXPECT_EQ(port.conn->device_path, ours);
    HWND window = watcher_window(*port.conn);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(ask(port, "SLOW"), "DONE");

    send_event(window, DBT_DEVICEREMOVECOMPLETE, other);
    EXPECT_EQ(ask(port, "another port went"), "another port went");
    ASSERT_TRUE(
        serial_tx(&port, "stale line\r\n")); // its echo waits unread, to be discarded on reopening
    COMSTAT waiting{};
    for (auto start = steady::now(); waiting.cbInQue < 12 && ms_since(start) < 3000; Sleep(1))
        ClearCommError(serial_win32_handle(*port.conn), nullptr, &waiting);
    ASSERT_GE(waiting.cbInQue, 12u);
    send_event(window, DBT_DEVICEREMOVECOMPLETE, upper(ours));
    EXPECT_FALSE(serial_available(&port));
    EXPECT_EQ(serial_win32_handle(*port.conn), nullptr);

    send_event(window, DBT_DEVICEARRIVAL, other);
    EXPECT_FALSE(serial_available(&port))
        << "another port's arrival must not make ours look usable";
    send_event(window, DBT_DEVICEARRIVAL, upper(ours));
    ASSERT_TRUE(serial_os_is_open(*port.conn));
    EXPECT_EQ(ask(port, "CHECK"), "OK") << "reopened at 115200, one stop bit, nothing stale";
}

TEST_F(SerialWin32Peer, PortThatCannotBeOpenedOnItsReturnIsRetriedUntilItOpens)
{
    const std::string device = fake_com_device(5, "COM251");
    serial_port late;
    init_on_missing_port(late, "COM251");
    HWND window = watcher_window(*late.conn);
    ASSERT_NE(window, nullptr);
    testing::internal::CaptureStderr();
    send_event(window, DBT_DEVICEARRIVAL, device);
    std::string errors = testing::internal::GetCapturedStderr();
    std::erase(errors, '\r');
    EXPECT_EQ(errors, "ERROR: Cannot open COM251: " + system_text(ERROR_FILE_NOT_FOUND) + "\n")
        << "once per return";
    EXPECT_FALSE(serial_available(&late));
    ASSERT_EQ(ask(port, "ALIAS COM251"), "DONE"); // the name now leads to the peer's port too
    for (auto start = steady::now(); !serial_available(&late) && ms_since(start) < 3000;)
        Sleep(5);
    EXPECT_TRUE(serial_os_is_open(*late.conn));
    serial_free(&late);
}

TEST(SerialWin32Prefix, LooksUpPresentSerialDevicesByNameAndPath)
{
    REQUIRE_DRIVER();
    const std::string ours = fake_com_device(1, peer_port());
    fake_com_device(3, "COM39", false);
    char path[1024] = "untouched";
    EXPECT_FALSE(PortNameToDevicePathA("COM39", path, sizeof path)) << "not present";
    EXPECT_FALSE(
        PortNameToDevicePathA(("com" + std::string(peer_port() + 3)).c_str(), path, sizeof path))
        << "names are case-sensitive";
    EXPECT_STREQ(path, "untouched");
    ASSERT_TRUE(PortNameToDevicePathA(peer_port(), path, 8));
    EXPECT_EQ(path, ours.substr(0, 7));
    ASSERT_TRUE(PortNameToDevicePathA(peer_port(), path, sizeof path));
    EXPECT_EQ(path, ours);

    char name[256];
    ASSERT_TRUE(DevicePathToPortNameA(upper(ours).c_str(), name, sizeof name))
        << "paths ignore case";
    EXPECT_STREQ(name, peer_port());
    EXPECT_FALSE(DevicePathToPortNameA((ours + "x").c_str(), name, sizeof name));
}

TEST(SerialWin32Prefix, ListsTheRegistrysPortsInOrderSkippingWhatIsNoPortName)
{
    REQUIRE_DRIVER();
    constexpr char key_name[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_name);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const std::string values[][2] = {{"\\Device\\Serial9", "COM9"},
                                     {"Edge", std::string(255, 'e')},
                                     {"TooLong", std::string(256, 'x')},
                                     {"Hub", "COM37"},
                                     {"SameAgain", "com9"}};
    for (const auto& [name, data] : values)
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       data.size() + 1);
    const DWORD number = 7;
    RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof number);
    RegCloseKey(key);
    _putenv("HUBFLASH_PORTS=");

    EXPECT_EQ(names_in(serial_find_ports()),
              (std::vector<std::string>{"COM9", std::string(255, 'e'), "COM37"}));
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_name);
    EXPECT_TRUE(names_in(serial_find_ports()).empty());
}

TEST(SerialWin32Prefix, FreeEndsTheWatcherEvenWhileItReconnects)
{
    REQUIRE_DRIVER();
    interface_event arrival(fake_com_device(4, missing_port));
    size_t reconnections = 0;
    for (int delay = 0; delay < 24; delay += 2) {
        serial_port port;
        init_on_missing_port(port);
        HWND window = watcher_window(*port.conn);
        ASSERT_NE(window, nullptr);
        testing::internal::CaptureStderr();
        // A sent message runs inside the watcher's wait, as the system's device events do.
        std::thread system(
            [&] { SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, arrival.lparam()); });
        Sleep(delay); // the watcher looks the path up (about 10 ms under Wine), then reconnects
        EXPECT_LT(timed([&] { serial_free(&port); }), 1000) << "delay " << delay;
        system.join();
        reconnections +=
            testing::internal::GetCapturedStderr().find("Cannot open COM250") != std::string::npos;
    }
    EXPECT_GT(reconnections, 0u) << "no arrival reached the watcher";
}

} // namespace
