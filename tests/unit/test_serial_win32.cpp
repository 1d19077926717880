// The Windows serial backend under Wine. SerialWin32Peer and SerialWin32Prefix need
// tests/wine/serial_win32_peer.py: a pseudo-terminal port named in HUB_TEST_PORT, and a
// Wine prefix whose registry the tests rewrite (Wine has no USB serial devices).
#include "serial-win32.h"

#include <dbt.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial-internal.h"
#include "serial.h"

namespace {

using steady = std::chrono::steady_clock;
using namespace std::string_literals;

constexpr char missing_port[] = "COM250";
constexpr char guid_text[] = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
constexpr GUID com_port_interface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr GUID ports_setup_class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const char* const peer_port = std::getenv("HUB_TEST_PORT");
#define REQUIRE_DRIVER()                                                                           \
    if (!peer_port)                                                                                \
    GTEST_SKIP() << "run through tests/wine/serial_win32_peer.py"

int64_t ms_since(steady::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t).count();
}

std::string upper(std::string s)
{
    CharUpperA(s.data());
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

template <typename Action> std::string errors_of(Action action)
{
    testing::internal::CaptureStderr();
    action();
    std::string errors = testing::internal::GetCapturedStderr();
    std::erase(errors, '\r'); // Windows text mode
    return errors;
}

// The last error line of serial_init on a port that cannot be opened.
std::string init_failing(serial_port& port, const char* name = missing_port)
{
    const std::string errors = errors_of([&] { EXPECT_TRUE(serial_init(&port, name)); });
    return errors.substr(errors.rfind("ERROR"));
}

// The system's own words for why an open failed, as serial_init gives them, and a hint.
std::string failure_text(const char* name, DWORD error = ERROR_FILE_NOT_FOUND,
                         const char* hint = "")
{
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    const std::string words = text;
    return "ERROR: Cannot open "s + name + ": "
           + words.substr(0, words.find_last_not_of(" .\r\n") + 1) + hint + "\n";
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

// A device-interface event as the system builds it: header, class, NUL-terminated path
// (`cut` bytes short of it in its size).
void send_event(HWND window, WPARAM kind, const std::string& path,
                DWORD device_type = DBT_DEVTYP_DEVICEINTERFACE, DWORD cut = 0)
{
    std::vector<char> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1);
    auto* event = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    event->dbcc_size = static_cast<DWORD>(bytes.size()) - cut;
    event->dbcc_devicetype = device_type;
    event->dbcc_classguid = com_port_interface;
    std::memcpy(event->dbcc_name, path.data(), path.size());
    SendMessageA(window, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(bytes.data()));
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
    EXPECT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, control.c_str(), "Linked", REG_DWORD, &linked,
                              sizeof linked),
              0);
    return "\\\\?\\" + id;
}

// Only well-formed interface events reach the port; a removal query is no removal.
// The port is a directory, refused with the error a port in use gives on
// Windows (Wine lets a port be opened twice).
TEST(SerialWin32, WindowProcedureActsOnlyOnWellFormedInterfaceEvents)
{
    serial_port port;
    EXPECT_EQ(init_failing(port, "C:\\windows"),
              failure_text("C:\\windows", ERROR_ACCESS_DENIED,
                           " (the port is in use by another program)"));
    EXPECT_EQ(serial_win32_handle(*port.conn), INVALID_HANDLE_VALUE); // a failed connect
    const std::string ours = "\\\\?\\usb#vid_1234&pid_5678#hub#"s + guid_text;
    port.conn->device_path = ours;
    const HWND window = watcher_window(*port.conn);
    ASSERT_NE(window, nullptr);
    MyDeviceNotifyWndProc(nullptr, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
    send_event(window, DBT_DEVICEREMOVECOMPLETE, ours, DBT_DEVTYP_PORT);
    send_event(window, DBT_DEVICEREMOVECOMPLETE, ours, DBT_DEVTYP_DEVICEINTERFACE, 1);
    send_event(window, DBT_DEVICEQUERYREMOVE, ours);
    EXPECT_EQ(serial_win32_handle(*port.conn), INVALID_HANDLE_VALUE);
    send_event(window, DBT_DEVICEREMOVECOMPLETE, upper(ours)); // device paths ignore case
    EXPECT_EQ(serial_win32_handle(*port.conn), nullptr);
    serial_free(&port);
}

class SerialWin32Peer : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DRIVER();
        ours = fake_com_device(1, peer_port);
        other = fake_com_device(2, "COM38");
        absent = fake_com_device(3, peer_port, false);
        ASSERT_TRUE(serial_init(&port, peer_port));
        // Bytes of an earlier test may still be on their way; the echo of a fresh marker ends them.
        const std::string marker = "SYNC " + std::to_string(GetTickCount());
        ASSERT_TRUE(serial_tx(&port, (marker + "\r\n").c_str()));
        for (int skipped = 0; next_line(port) != marker; ++skipped)
            ASSERT_LT(skipped, 100) << "no echo from the peer";
    }
    void TearDown() override { serial_free(&port); }
    std::string ours, other, absent;
    serial_port port;
};

// A read waits for its time when nothing comes, and no longer once bytes came.
TEST_F(SerialWin32Peer, ReadWaitsForDataOnlyUntilItComes)
{
    uint8_t buf[256];
    std::lock_guard lock(port.conn->io_lock);
    auto start = steady::now();
    EXPECT_EQ(serial_os_read(*port.conn, buf, sizeof buf, 60), 0);
    EXPECT_GE(ms_since(start), 59); // the deadline is kept in whole milliseconds
    ASSERT_TRUE(serial_os_write(*port.conn, "DELAY\r\n", 7)); // answered 150 ms later
    start = steady::now();
    EXPECT_GT(serial_os_read(*port.conn, buf, sizeof buf, 3000), 0);
    EXPECT_LT(ms_since(start), 1500);
}

// Only our own present device's events count. Reopened, the port is at 115200 8N1 whatever
// it had, flow control kept, without what waited in it; reads return at once, and a
// write of n bytes gives up after 50 + 10 n ms.
TEST_F(SerialWin32Peer, WatcherClosesOnRemovalAndReopensOnArrival)
{
    EXPECT_EQ(port.conn->device_path, ours);
    HWND window = watcher_window(*port.conn);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(ask(port, "SLOW"), "DONE");
    send_event(window, DBT_DEVICEREMOVECOMPLETE, other);
    EXPECT_EQ(ask(port, "another port went"), "another port went");
    ASSERT_TRUE(serial_tx(&port, "stale line\r\n")); // its echo waits unread
    COMSTAT waiting{};
    for (auto start = steady::now(); waiting.cbInQue < 12 && ms_since(start) < 3000; Sleep(1))
        ClearCommError(serial_win32_handle(*port.conn), nullptr, &waiting);
    ASSERT_GE(waiting.cbInQue, 12u);
    send_event(window, DBT_DEVICEREMOVECOMPLETE, upper(ours));
    EXPECT_FALSE(serial_available(&port));
    EXPECT_EQ(serial_win32_handle(*port.conn), nullptr);
    for (const std::string& not_ours : {other, absent})
        send_event(window, DBT_DEVICEARRIVAL, not_ours);
    EXPECT_FALSE(serial_available(&port)) << "another device's arrival made ours look usable";
    send_event(window, DBT_DEVICEARRIVAL, upper(ours));
    ASSERT_TRUE(serial_os_is_open(*port.conn));
    EXPECT_EQ(ask(port, "CHECK"), "OK");
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(serial_win32_handle(*port.conn), &t));
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                  t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({MAXDWORD, 0, 0, 10, 50}));
}

// The failure is reported once per return; the watcher's timer then tries again.
TEST_F(SerialWin32Peer, PortThatCannotBeOpenedOnItsReturnIsRetriedUntilItOpens)
{
    const std::string device = fake_com_device(5, "COM251");
    serial_port late;
    init_failing(late, "COM251");
    EXPECT_EQ(errors_of([&] { send_event(watcher_window(*late.conn), DBT_DEVICEARRIVAL, device); }),
              failure_text("COM251"));
    EXPECT_FALSE(serial_available(&late));
    // The name now leads to the peer's port too, and nothing tells the watcher so.
    ASSERT_EQ(ask(port, "ALIAS COM251"), "DONE");
    for (auto start = steady::now(); !serial_available(&late) && ms_since(start) < 3000;)
        Sleep(5);
    EXPECT_TRUE(serial_os_is_open(*late.conn));
    serial_free(&late);
}

// In the registry's order, without values that are no port name (not text),
// too long for a port (63 characters) or name a port again.
TEST(SerialWin32Prefix, ListsTheRegistrysPorts)
{
    REQUIRE_DRIVER();
    constexpr char key_name[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_name);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_name, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const std::string values[][2] = {{"\\Device\\Serial9", "COM9"},
                                     {"Edge", std::string(63, 'e')},
                                     {"TooLong", std::string(64, 'x')},
                                     {"Binary", "COM8"},
                                     {"Hub", "COM37"},
                                     {"SameAgain", "com9"}};
    for (const auto& [name, data] : values)
        RegSetValueExA(key, name.c_str(), 0, name == "Binary" ? REG_BINARY : REG_SZ,
                       reinterpret_cast<const BYTE*>(data.c_str()), data.size() + 1);
    RegCloseKey(key);
    _putenv("HUBFLASH_PORTS=");
    EXPECT_EQ(serial_find_ports().bytes, "COM9\0"s + std::string(63, 'e') + "\0COM37\0\0"s);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_name);
    EXPECT_EQ(serial_find_ports().bytes, "\0"s);
}

// Freed at any moment of its start or of a reconnect (a sent message runs
// inside the watcher's wait, as the system's device events do), the watcher
// ends promptly and its window goes with it.
TEST(SerialWin32Prefix, FreeEndsTheWatcherAndItsWindowEvenWhileItReconnects)
{
    REQUIRE_DRIVER();
    const std::string device = fake_com_device(4, missing_port);
    size_t reconnections = 0;
    for (int delay = 0; delay < 24; delay += 2) {
        serial_port port;
        init_failing(port);
        HWND window = watcher_window(*port.conn);
        ASSERT_NE(window, nullptr);
        const std::string errors = errors_of([&] {
            std::thread system([&] { send_event(window, DBT_DEVICEARRIVAL, device); });
            Sleep(delay); // the watcher looks the path up (10 ms or so), then reconnects
            const auto start = steady::now();
            serial_free(&port);
            EXPECT_LT(ms_since(start), 1000) << "delay " << delay;
            EXPECT_FALSE(IsWindow(window)) << "the watcher still listens for device events";
            system.join();
        });
        reconnections += errors.find("Cannot open COM250") != std::string::npos;
    }
    EXPECT_GT(reconnections, 0u) << "no arrival reached the watcher";
}

} // namespace
