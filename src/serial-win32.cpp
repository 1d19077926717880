// Win32 side of the serial link: COM port I/O through a synchronous handle,
// the SERIALCOMM port list, and a watcher thread whose hidden window receives
// the arrival and removal of serial-port device interfaces, so a hub that
// restarts (and whose USB port vanishes meanwhile) is reopened under its name.
#include "serial-win32.h"

#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "output.h"
#include "serial-internal.h"
#include "timer.h"

struct serial_os {
    HANDLE handle = nullptr;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD last_error = 0; // of the last failed open or configure
    HANDLE thread = nullptr;
    DWORD thread_id = 0;
    HANDLE watching = nullptr; // event set once the watcher receives device events
    HANDLE finished = nullptr; // event set by the watcher when it is done with the port
    // serial_free's own request to end the watcher, apart from serial_stop's
    // `stop`, which the watcher clears as it ends.
    std::atomic<bool> ending{false};
};

namespace {

static_assert(sizeof(DCB) == 28, "the port's line settings record is 28 bytes");

// GUID_DEVINTERFACE_COMPORT, spelt out so no GUID library has to be linked.
constexpr GUID com_port_interface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

constexpr char notify_class_name[] = "COMNotifyClass";
constexpr char serial_ports_key[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD port_list_text_size = 256;
constexpr DWORD port_name_value_size = 32;
constexpr DWORD watcher_repost_ms = 10;
// A watcher that has not set up its window by then is not waited for any longer.
constexpr DWORD watcher_ready_limit_ms = 5000;

bool handle_is_open(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void copy_truncated(char* dst, size_t size, const char* src)
{
    if (dst == nullptr || size == 0)
        return;
    const size_t length = std::min(std::strlen(src), size - 1);
    std::memcpy(dst, src, length);
    dst[length] = '\0';
}

// ---- SetupAPI look-ups between port names and device paths ----

struct device_info_set {
    HDEVINFO set = SetupDiGetClassDevsA(&com_port_interface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    device_info_set() = default;
    device_info_set(const device_info_set&) = delete;
    device_info_set& operator=(const device_info_set&) = delete;
    ~device_info_set()
    {
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
    }
};

struct registry_key {
    HKEY key = nullptr;
    registry_key() = default;
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;
    ~registry_key()
    {
        if (key != nullptr && key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
};

struct interface_detail {
    std::string path;
    SP_DEVINFO_DATA device{};
};

enum class detail_result { ok, unreadable, no_memory };

detail_result read_interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface,
                                    interface_detail& out)
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return detail_result::unreadable;
    try {
        // One spare zero byte keeps the path terminated whatever the system wrote.
        std::vector<unsigned char> buffer(required + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        out.device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, &out.device))
            return detail_result::unreadable;
        out.path = detail->DevicePath;
        return detail_result::ok;
    } catch (const std::bad_alloc&) {
        return detail_result::no_memory;
    }
}

// The device's "PortName" into `name` (always terminated); false when unreadable.
bool read_port_name(HDEVINFO set, SP_DEVINFO_DATA& device, char (&name)[port_name_value_size + 1])
{
    registry_key hardware;
    hardware.key =
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (hardware.key == INVALID_HANDLE_VALUE)
        return false;
    std::memset(name, 0, sizeof name);
    DWORD size = port_name_value_size;
    return RegQueryValueExA(hardware.key, "PortName", nullptr, nullptr,
                            reinterpret_cast<BYTE*>(name), &size)
           == ERROR_SUCCESS;
}

// Calls `visit(set, detail)` for each present serial-port interface, in the
// system's order, until it returns true; true when one did. Running out of
// memory ends the walk as "not found".
template <typename Visit> bool find_com_interface(Visit&& visit)
{
    device_info_set interfaces;
    if (interfaces.set == INVALID_HANDLE_VALUE)
        return false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        if (!SetupDiEnumDeviceInterfaces(interfaces.set, nullptr, &com_port_interface, index,
                                         &iface))
            return false;
        interface_detail detail;
        const detail_result read = read_interface_detail(interfaces.set, iface, detail);
        if (read == detail_result::no_memory)
            return false;
        if (read == detail_result::ok && visit(interfaces.set, detail))
            return true;
    }
}

// ---- The watcher thread ----

HWND create_notify_window(serial_port* port)
{
    const HINSTANCE module = GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = MyDeviceNotifyWndProc;
    window_class.hInstance = module;
    window_class.lpszClassName = notify_class_name;
    // Fails when an earlier port of this run registered the class already; that one serves.
    RegisterClassA(&window_class);
    return CreateWindowExA(0, notify_class_name, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, module,
                           port);
}

HDEVNOTIFY subscribe_to_com_ports(HWND window)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = com_port_interface;
    HDEVNOTIFY subscription =
        RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (subscription == nullptr) {
        output_format("RegisterDeviceNotification failed (%u)\n",
                      static_cast<unsigned>(GetLastError()));
    }
    return subscription;
}

bool watcher_asked_to_end(const serial_connection& conn)
{
    return conn.stop.load() != 0 || conn.os->ending.load();
}

// The retry timer's ticks are for the port this watcher belongs to; device
// events go to the window procedure.
void run_message_loop(serial_port* port, UINT_PTR retry_timer)
{
    const serial_connection& conn = *port->conn;
    MSG message;
    while (!watcher_asked_to_end(conn)) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0)
            continue; // WM_QUIT: only the flags decide
        if (got < 0)
            return; // no queue to wait on: waiting again would spin
        if (watcher_asked_to_end(conn))
            continue;
        if (message.message == WM_TIMER && message.wParam == retry_timer) {
            serial_port_retry(port);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// The device path of an interface event, or null when it is not terminated
// within the size the event gives.
const char* event_device_path(const DEV_BROADCAST_HDR& header)
{
    const size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    if (header.dbch_size <= offset)
        return nullptr;
    const char* path = reinterpret_cast<const char*>(&header) + offset;
    const size_t room = header.dbch_size - offset;
    return strnlen(path, room) < room ? path : nullptr;
}

void dispatch_device_event(serial_port* port, WPARAM event, const DEV_BROADCAST_HDR& header)
{
    if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return;
    void (*handler)(serial_port*, const char*) = nullptr;
    if (event == DBT_DEVICEARRIVAL)
        handler = OnComPortArrived;
    else if (event == DBT_DEVICEREMOVECOMPLETE)
        handler = OnComPortRemoved;
    const char* path = event_device_path(header);
    if (handler != nullptr && path != nullptr)
        handler(port, path);
}

void close_watcher_events(serial_os& os)
{
    for (HANDLE* event : {&os.watching, &os.finished}) {
        if (*event != nullptr)
            CloseHandle(*event);
        *event = nullptr;
    }
}

void stop_watcher(serial_os& os)
{
    if (os.thread == nullptr)
        return;
    os.ending.store(true);
    // A post is refused while the thread has no message queue yet; it then
    // sees `ending` before it first waits. Posting again covers that gap.
    for (;;) {
        PostThreadMessageA(os.thread_id, WM_NULL, 0, 0);
        if (WaitForSingleObject(os.finished, watcher_repost_ms) != WAIT_TIMEOUT)
            break;
    }
    CloseHandle(os.thread);
    os.thread = nullptr;
    os.thread_id = 0;
    close_watcher_events(os);
    os.ending.store(false);
}

// ---- The registry's port list ----

bool read_port_list_entry(HKEY key, const char* value_name, std::string& port)
{
    char data[port_list_text_size + 1] = {};
    DWORD size = port_list_text_size;
    DWORD type = 0;
    if (RegQueryValueExA(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size)
        != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ)
        return false; // not a port name
    port = data;
    return true;
}

} // namespace

// ---- Platform hooks ----

serial_os* serial_os_create()
{
    try {
        return std::make_unique<serial_os>().release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void serial_os_deleter::operator()(serial_os* os) const
{
    if (os == nullptr)
        return;
    stop_watcher(*os);
    if (handle_is_open(os->handle))
        CloseHandle(os->handle);
    std::default_delete<serial_os>()(os);
}

bool serial_os_open(serial_connection& conn, const std::string& name)
{
    const std::string path = "\\\\.\\" + name;
    conn.os->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (conn.os->handle != INVALID_HANDLE_VALUE)
        return true;
    conn.os->last_error = GetLastError();
    return false;
}

namespace {

serial_config_error apply_line_settings(serial_os& os)
{
    os.dcb = DCB{};
    os.dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(os.handle, &os.dcb))
        return serial_config_error::get_state;
    // 115200 8N1; flow control and the rest stay as the port had them.
    os.dcb.BaudRate = CBR_115200;
    os.dcb.ByteSize = 8;
    os.dcb.Parity = NOPARITY;
    os.dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(os.handle, &os.dcb))
        return serial_config_error::set_state;
    // Reads return at once with what is buffered; a write of n bytes gives up after 50 + 10 n ms.
    os.timeouts = COMMTIMEOUTS{MAXDWORD, 0, 0, 10, 50};
    if (!SetCommTimeouts(os.handle, &os.timeouts))
        return serial_config_error::timeouts;
    return serial_config_error::none;
}

} // namespace

// What the hub sent before this opening (announcements of an earlier session)
// is discarded, so it cannot be taken for the hub's present state.
serial_config_error serial_os_configure(serial_connection& conn)
{
    serial_os& os = *conn.os;
    const serial_config_error error = apply_line_settings(os);
    if (error != serial_config_error::none)
        os.last_error = GetLastError();
    else
        PurgeComm(os.handle, PURGE_RXCLEAR);
    return error;
}

std::string serial_os_failure_reason(const serial_connection& conn)
{
    const DWORD error = conn.os->last_error;
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    // The system's text ends in a full stop and a line break.
    while (length > 0 && (std::strchr(" .\r\n", text[length - 1]) != nullptr))
        text[--length] = '\0';
    std::string reason = length > 0 ? text : "error " + std::to_string(error);
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        reason += " (the port is in use by another program)";
    return reason;
}

bool serial_os_is_open(const serial_connection& conn)
{
    return handle_is_open(conn.os->handle);
}

void serial_os_close(serial_connection& conn, bool vanished)
{
    serial_os& os = *conn.os;
    if (handle_is_open(os.handle))
        CloseHandle(os.handle);
    os.handle = vanished ? nullptr : INVALID_HANDLE_VALUE;
}

int serial_os_read(serial_connection& conn, uint8_t* buf, size_t size, int wait_ms)
{
    const serial_os& os = *conn.os;
    if (!handle_is_open(os.handle))
        return -1;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, INT_MAX));
    const int32_t start = get_absolute_time();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(os.handle, buf, wanted, &got, nullptr))
            return -1;
        if (got > 0 || wait_ms <= 0 || time_reached(start, wait_ms))
            return static_cast<int>(got);
        Sleep(1); // about 1 ms: the serial module asks for fine timer ticks
    }
}

bool serial_os_write(serial_connection& conn, const char* data, size_t size)
{
    const serial_os& os = *conn.os;
    if (!handle_is_open(os.handle) || size > MAXDWORD)
        return false;
    DWORD written = 0;
    return WriteFile(os.handle, data, static_cast<DWORD>(size), &written, nullptr) != FALSE;
}

bool serial_os_device_path(const std::string& name, std::string& path)
{
    char found[1024];
    if (!PortNameToDevicePathA(name.c_str(), found, sizeof found))
        return false;
    try {
        path = found;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool serial_os_watcher_start(serial_port* port, unsigned long& error)
{
    serial_os& os = *port->conn->os;
    os.watching = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    os.finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread =
        os.watching && os.finished ? CreateThread(nullptr, 0, ThreadFunc, port, 0, &id) : nullptr;
    if (thread == nullptr) {
        error = GetLastError();
        close_watcher_events(os);
        return false;
    }
    os.thread = thread;
    os.thread_id = id;
    // Device events that come while the port is first opened must find the window.
    WaitForSingleObject(os.watching, watcher_ready_limit_ms);
    return true;
}

void serial_os_watcher_stop(serial_connection& conn)
{
    stop_watcher(*conn.os);
}

// COM names ignore case.
std::string serial_os_device_key(const std::string& name)
{
    std::string key = name;
    for (char& c : key)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

size_t serial_os_max_name_length()
{
    return 63;
}

string_list serial_os_find_ports()
{
    string_list ports;
    string_list_init(ports);
    registry_key serial_comm;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, serial_ports_key, 0, KEY_READ, &serial_comm.key)
        != ERROR_SUCCESS)
        return ports;
    char value_name[port_list_text_size];
    for (DWORD index = 0;; ++index) {
        DWORD name_size = sizeof value_name;
        if (RegEnumValueA(serial_comm.key, index, value_name, &name_size, nullptr, nullptr, nullptr,
                          nullptr)
            != ERROR_SUCCESS)
            break;
        try {
            std::string port;
            if (read_port_list_entry(serial_comm.key, value_name, port))
                string_list_add(ports, port);
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    return ports;
}

// ---- The watcher and its callbacks ----

DWORD WINAPI ThreadFunc(LPVOID param)
{
    auto* port = static_cast<serial_port*>(param);
    serial_connection& conn = *port->conn;
    output_take_route(conn.output);
    const HWND window = create_notify_window(port);
    const HDEVNOTIFY subscription = subscribe_to_com_ports(window);
    const UINT_PTR timer = SetTimer(nullptr, 0, serial_retry_interval_ms, nullptr);
    SetEvent(conn.os->watching);
    run_message_loop(port, timer);
    if (timer != 0)
        KillTimer(nullptr, timer);
    if (subscription != nullptr)
        UnregisterDeviceNotification(subscription);
    if (window != nullptr)
        DestroyWindow(window);
    conn.stop.store(0); // the request has been served
    // The port may be freed as soon as `finished` is set: nothing of it is
    // touched after. The thread then sleeps until the process ends instead of
    // ending now: under Wine, a thread with a window that ended while another
    // port's watcher ended or ran now and then never finished ending, and
    // whoever waited for it hung (a scan of two ports, about one run in twenty).
    SetEvent(conn.os->finished);
    for (;;)
        Sleep(INFINITE);
}

// Each port's watcher has a window of its own; the window keeps its port, which
// CreateWindowExA passed on creation, so every port hears of its own device.
LRESULT CALLBACK MyDeviceNotifyWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* port =
        window ? reinterpret_cast<serial_port*>(GetWindowLongPtrA(window, GWLP_USERDATA)) : nullptr;
    if (message == WM_DEVICECHANGE && lparam != 0)
        dispatch_device_event(port, wparam, *reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam));
    return DefWindowProcA(window, message, wparam, lparam);
}

// Only our own port's arrival counts: another device's must not make a
// vanished port look usable.
void OnComPortArrived(serial_port* port, const char* path)
{
    if (port == nullptr || !port->conn || path == nullptr)
        return;
    char name[256] = {};
    if (DevicePathToPortNameA(path, name, sizeof name) && port->name == name)
        serial_port_arrived(port);
}

void OnComPortRemoved(serial_port* port, const char* path)
{
    if (port == nullptr || !port->conn || path == nullptr)
        return;
    // An unknown device path (the look-up failed) must not match anything.
    const std::string& ours = port->conn->device_path;
    if (!ours.empty() && _stricmp(ours.c_str(), path) == 0)
        serial_port_removed(port);
}

bool PortNameToDevicePathA(const char* name, char* dst, size_t size)
{
    if (name == nullptr)
        return false;
    return find_com_interface([&](HDEVINFO set, interface_detail& detail) {
        char port_name[port_name_value_size + 1];
        if (!read_port_name(set, detail.device, port_name) || std::strcmp(port_name, name) != 0)
            return false;
        copy_truncated(dst, size, detail.path.c_str());
        return true;
    });
}

bool DevicePathToPortNameA(const char* path, char* dst, size_t size)
{
    if (path == nullptr)
        return false;
    return find_com_interface([&](HDEVINFO set, interface_detail& detail) {
        char port_name[port_name_value_size + 1];
        if (_stricmp(detail.path.c_str(), path) != 0
            || !read_port_name(set, detail.device, port_name))
            return false;
        copy_truncated(dst, size, port_name);
        return true;
    });
}

HANDLE serial_win32_handle(const serial_connection& conn)
{
    return conn.os->handle;
}

DWORD serial_win32_watcher_id(const serial_connection& conn)
{
    return conn.os->thread_id;
}
