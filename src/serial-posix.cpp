// Linux backend of the serial link. It exists because a port here is a tty
// device driven through termios, and a hub's restart shows only as its device
// entry leaving and coming back in a directory (devtmpfs, udev's by-id links),
// which the watcher follows with inotify. Windows builds use serial-win32.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "output.h"
#include "serial-internal.h"
#include "serial-posix.h"

namespace {

constexpr int rearm_interval_ms = 100;
constexpr int32_t write_base_limit_ms = 50;
constexpr int32_t write_limit_per_byte_ms = 10;

// What the watcher thread works with; set up before the thread starts.
struct port_watch {
    int inotify_fd = -1;
    int wake_fd = -1; // eventfd written by serial_os_watcher_stop
    int wd = -1;      // -1 while the directory is not watched (missing, or just lost)
    std::string dir;
    std::string entry;           // the port's own name inside dir
    serial_port* port = nullptr; // the port this watcher belongs to
};

} // namespace

struct serial_os {
    int fd = -1;        // -1 both after a removal and after a failed connect
    int last_error = 0; // errno of the last failed open or configure
    port_watch watch;
    std::thread watcher;
};

namespace {

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string port_path(const std::string& name)
{
    return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

// ---- Port ----

// flock keeps out a second copy of this program even when it runs as root,
// which the terminal's own exclusive mode does not.
bool claim_exclusively(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            errno = EBUSY; // another program holds the port
        return false;
    }
    // A device that is no terminal is refused later, when its settings are read.
    return ioctl(fd, TIOCEXCL) == 0 || errno == ENOTTY;
}

void release_port(serial_os& os)
{
    if (os.fd < 0)
        return;
    ioctl(os.fd, TIOCNXCL); // the terminal stays exclusive after close while others hold it
    close_fd(os.fd);
}

// Raw on the data path: no echo, no line editing, no signals, no translation
// of CR or NL either way. Received bytes must reach us unchanged, so the output
// side of XON/XOFF (IXON, IXANY) goes too: Linux enables it on every fresh tty,
// and one stray 0x13 from a resetting hub would stall our output for good.
// Flow control towards the hub (CRTSCTS, IXOFF) stays as the port had it.
void set_raw_8n1(termios& tio)
{
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                          | IUCLC | INPCK | IMAXBEL | IXON | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE
                                          | ICANON | ISIG | IEXTEN | XCASE);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
}

// A driver may accept the call yet keep settings it cannot do; read them back.
bool line_settings_took(int fd)
{
    termios now{};
    if (tcgetattr(fd, &now) != 0)
        return false;
    return cfgetospeed(&now) == B115200 && (now.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
}

bool apply_line_settings(int fd, termios& tio)
{
    set_raw_8n1(tio);
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0 && line_settings_took(fd);
}

// Reads hand back what is buffered, possibly nothing, and never block.
bool make_reads_return_at_once(int fd, termios& tio)
{
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Bytes read, 0 when nothing is buffered, -1 when the read failed. With VMIN 0
// a read of nothing returns 0, so a vanished device is told apart by poll().
int read_now(int fd, uint8_t* buf, size_t size)
{
    for (;;) {
        ssize_t n = ::read(fd, buf, size);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

short poll_fd(int fd, short events, int timeout_ms)
{
    pollfd pfd{fd, events, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0)
        return errno == EINTR ? 0 : POLLERR;
    return pfd.revents;
}

int32_t write_limit_ms(size_t size)
{
    constexpr size_t most = (INT32_MAX - write_base_limit_ms) / write_limit_per_byte_ms;
    return write_base_limit_ms
           + write_limit_per_byte_ms * static_cast<int32_t>(std::min(size, most));
}

// ---- Watcher ----

bool port_is_open(serial_connection& conn)
{
    std::lock_guard lock(conn.io_lock);
    return serial_os_is_open(conn);
}

bool entry_present(const port_watch& w)
{
    struct stat st {};
    return lstat((w.dir + "/" + w.entry).c_str(), &st) == 0;
}

// After events may have been missed (queue overflow, directory re-created),
// bring the port in line with whether its entry is there.
void resync_with_directory(const port_watch& w)
{
    serial_port* port = w.port;
    bool present = entry_present(w);
    bool open = port_is_open(*port->conn);
    if (present && !open)
        serial_port_arrived(port);
    else if (!present && open)
        serial_port_removed(port);
}

int add_directory_watch(const port_watch& w)
{
    return inotify_add_watch(w.inotify_fd, w.dir.c_str(),
                             IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB
                                 | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR);
}

// udev removes /dev/serial/by-id when its last link goes and makes it anew
// when a device comes, so a lost directory is watched again once it is back.
void rearm_directory_watch(port_watch& w)
{
    w.wd = add_directory_watch(w);
    if (w.wd >= 0)
        resync_with_directory(w);
}

void forget_directory_watch(port_watch& w, uint32_t mask)
{
    if ((mask & IN_IGNORED) == 0)
        inotify_rm_watch(w.inotify_fd, w.wd);
    w.wd = -1;
}

// When our entry is a symlink whose target sits in the same directory, the
// target's arrival may be what makes the port usable.
bool is_target_of_our_link(const port_watch& w, const char* name)
{
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(w.dir + "/" + w.entry, ec);
    if (ec)
        return false;
    if (target.is_relative())
        target = std::filesystem::path(w.dir) / target;
    target = target.lexically_normal();
    return target.filename() == name
           && target.parent_path() == std::filesystem::path(w.dir).lexically_normal();
}

// Other entries of the directory (other devices, udev's temporary names) come
// and go all the time; only our own entry and its link target count.
void handle_entry_event(const port_watch& w, uint32_t mask, const char* name)
{
    serial_port* port = w.port;
    if (w.entry == name) {
        if (mask & (IN_DELETE | IN_MOVED_FROM))
            serial_port_removed(port);
        else if (mask & (IN_CREATE | IN_MOVED_TO))
            serial_port_arrived(port);
        else if ((mask & IN_ATTRIB) && !port_is_open(*port->conn))
            serial_port_arrived(port); // a fresh device node may refuse us until udev set its mode
    } else if ((mask & (IN_CREATE | IN_MOVED_TO)) && !port_is_open(*port->conn)
               && is_target_of_our_link(w, name)) {
        serial_port_arrived(port);
    }
}

void handle_event(port_watch& w, const inotify_event& ev)
{
    if (ev.mask & IN_Q_OVERFLOW)
        return resync_with_directory(w);
    if (ev.wd != w.wd)
        return;
    if (ev.mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF))
        return forget_directory_watch(w, ev.mask);
    if (ev.len > 0)
        handle_entry_event(w, ev.mask, ev.name);
}

void handle_directory_events(port_watch& w)
{
    alignas(inotify_event) char buf[4096];
    ssize_t n = ::read(w.inotify_fd, buf, sizeof buf);
    for (ssize_t offset = 0; offset < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + offset);
        handle_event(w, *ev);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
}

enum class watch_wake { events, timer, end };

// Ends by serial_os_watcher_stop's wake-up, or when poll broke.
watch_wake wait_for_directory_events(port_watch& w)
{
    if (w.wd < 0)
        rearm_directory_watch(w);
    pollfd fds[2] = {{w.wake_fd, POLLIN, 0}, {w.inotify_fd, POLLIN, 0}};
    int ready = poll(fds, 2, w.wd < 0 ? rearm_interval_ms : serial_retry_interval_ms);
    if (fds[0].revents != 0)
        return watch_wake::end;
    if (ready < 0 && errno != EINTR)
        return watch_wake::end;
    return ready > 0 ? watch_wake::events : watch_wake::timer;
}

// Like the Windows watcher, a stop request ends it at its next event or timer
// tick. The retries of a failed open are for the port this watcher belongs to.
void watch_port_directory(serial_port* port)
{
    serial_connection& conn = *port->conn;
    port_watch& w = conn.os->watch;
    output_take_route(conn.output);
    try {
        int32_t last_retry = get_absolute_time();
        for (watch_wake wake; (wake = wait_for_directory_events(w)) != watch_wake::end;) {
            if (conn.stop.load() != 0)
                break;
            if (wake == watch_wake::events)
                handle_directory_events(w);
            if (!time_reached(last_retry, serial_retry_interval_ms))
                continue;
            last_retry = get_absolute_time();
            serial_port_retry(port);
        }
        conn.stop.store(0);
    } catch (const std::bad_alloc&) {
        output_out_of_memory();
    } catch (const std::exception& e) {
        output_error_format("ERROR: Port watcher stopped: %s\n", e.what());
    }
}

void split_port_path(const std::string& path, port_watch& w)
{
    size_t slash = path.rfind('/');
    w.dir = slash == 0 ? "/" : path.substr(0, slash);
    w.entry = path.substr(slash + 1);
}

void stop_watcher(serial_os& os)
{
    if (os.watcher.joinable()) {
        uint64_t one = 1;
        if (::write(os.watch.wake_fd, &one, sizeof one) < 0)
            std::perror("eventfd");
        os.watcher.join();
    }
    close_fd(os.watch.inotify_fd);
    close_fd(os.watch.wake_fd);
    os.watch.wd = -1;
}

// ---- Port list ----

std::optional<std::string> read_first_line(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line))
        return std::nullopt;
    return line;
}

bool belongs_to_8250_family(const std::filesystem::path& tty)
{
    char resolved[PATH_MAX];
    if (realpath((tty / "device").c_str(), resolved) == nullptr)
        return false;
    return std::string_view(resolved).find("serial8250") != std::string_view::npos;
}

// The 8250 driver registers placeholder ports (ttyS4 to ttyS31 on a PC) that
// open fine but lead nowhere; their serial-core type reads 0 (no UART found).
bool is_phantom_uart(const std::filesystem::path& tty)
{
    if (auto type = read_first_line(tty / "type"))
        return std::atoi(type->c_str()) == 0;
    return belongs_to_8250_family(tty);
}

bool is_real_serial_port(const std::filesystem::path& tty, const std::string& dev_node)
{
    // Virtual consoles and pseudo-terminals have no device behind them.
    if (access((tty / "device").c_str(), F_OK) != 0)
        return false;
    return access(dev_node.c_str(), F_OK) == 0 && !is_phantom_uart(tty);
}

std::vector<std::string> scan_tty_class(const std::string& tty_class_dir,
                                        const std::string& dev_dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(tty_class_dir, ec)) {
        std::string dev_node = dev_dir + "/" + item.path().filename().string();
        if (is_real_serial_port(item.path(), dev_node))
            names.push_back(std::move(dev_node));
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

void serial_os_deleter::operator()(serial_os* os) const
{
    std::unique_ptr<serial_os> owned(os);
    stop_watcher(*os);
    release_port(*os);
}

serial_os* serial_os_create()
{
    return std::make_unique<serial_os>().release();
}

bool serial_os_open(serial_connection& conn, const std::string& name)
{
    serial_os& os = *conn.os;
    release_port(os);
    int fd = ::open(port_path(name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && claim_exclusively(fd)) {
        os.fd = fd;
        return true;
    }
    os.last_error = errno;
    if (fd >= 0)
        ::close(fd);
    return false;
}

// What the hub sent before this opening (announcements of an earlier session)
// is discarded, so it cannot be taken for the hub's present state.
serial_config_error serial_os_configure(serial_connection& conn)
{
    serial_os& os = *conn.os;
    termios tio{};
    serial_config_error error = serial_config_error::none;
    errno = 0; // a driver that ignores the settings fails without an error of its own
    if (tcgetattr(os.fd, &tio) != 0)
        error = serial_config_error::get_state;
    else if (!apply_line_settings(os.fd, tio))
        error = serial_config_error::set_state;
    else if (!make_reads_return_at_once(os.fd, tio))
        error = serial_config_error::timeouts;
    if (error != serial_config_error::none)
        os.last_error = errno != 0 ? errno : EINVAL;
    else
        tcflush(os.fd, TCIFLUSH);
    return error;
}

std::string serial_os_failure_reason(const serial_connection& conn)
{
    const int error = conn.os->last_error;
    std::string reason = std::generic_category().message(error);
    if (error == EACCES || error == EPERM)
        reason += " (is your user in the 'dialout' group?)";
    if (error == EBUSY)
        reason += " (the port is in use by another program)";
    if (error == ENOTTY)
        reason += " (not a serial port)";
    return reason;
}

bool serial_os_is_open(const serial_connection& conn)
{
    return conn.os->fd >= 0;
}

// Both states look the same here: no descriptor, and I/O fails until a reconnect.
void serial_os_close(serial_connection& conn, bool /*vanished*/)
{
    release_port(*conn.os);
}

int serial_os_read(serial_connection& conn, uint8_t* buf, size_t size, int wait_ms)
{
    int fd = conn.os->fd;
    if (fd < 0)
        return -1;
    int count = read_now(fd, buf, size);
    if (count != 0)
        return count;
    short events = poll_fd(fd, POLLIN, std::max(wait_ms, 0));
    if (events & (POLLERR | POLLNVAL))
        return -1;
    if (events & POLLIN) {
        count = read_now(fd, buf, size);
        if (count != 0)
            return count;
    }
    return (events & POLLHUP) ? -1 : 0;
}

// Like a Windows write time-out: bytes that did not go out in time are dropped
// and the call still counts as done; only an error of the device fails it.
bool serial_os_write(serial_connection& conn, const char* data, size_t size)
{
    int fd = conn.os->fd;
    if (fd < 0)
        return false;
    const int32_t start = get_absolute_time();
    const int32_t limit = write_limit_ms(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        int32_t left = time_remaining(start, limit);
        if (left == 0)
            return true;
        if (poll_fd(fd, POLLOUT, left) & (POLLERR | POLLHUP | POLLNVAL))
            return false;
    }
    return true;
}

bool serial_os_device_path(const std::string& name, std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(port_path(name).c_str(), resolved) == nullptr)
        return false;
    path = resolved;
    return true;
}

// A name that does not resolve (no such device) still equals itself.
std::string serial_os_device_key(const std::string& name)
{
    std::string path;
    return serial_os_device_path(name, path) ? path : port_path(name);
}

// /dev/serial/by-id names run to 100 characters and more.
size_t serial_os_max_name_length()
{
    return 255;
}

// The directory is watched before the thread starts, and the thread before the
// port's first open, so nothing that happens from then on is missed.
bool serial_os_watcher_start(serial_port* port, unsigned long& error)
{
    serial_connection& conn = *port->conn;
    serial_os& os = *conn.os;
    stop_watcher(os);
    port_watch& w = os.watch;
    split_port_path(port_path(port->name), w);
    w.port = port;
    w.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.inotify_fd >= 0)
        w.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (w.wake_fd < 0) {
        error = static_cast<unsigned long>(errno);
        stop_watcher(os);
        return false;
    }
    w.wd = add_directory_watch(w);
    try {
        os.watcher = std::thread(watch_port_directory, port);
    } catch (const std::system_error& e) {
        error = static_cast<unsigned long>(e.code().value());
        stop_watcher(os);
        return false;
    }
    return true;
}

void serial_os_watcher_stop(serial_connection& conn)
{
    stop_watcher(*conn.os);
}

string_list serial_os_find_ports()
{
    return serial_posix_list_ports("/sys/class/tty", "/dev");
}

string_list serial_posix_list_ports(const std::string& tty_class_dir, const std::string& dev_dir)
{
    string_list list;
    string_list_init(list);
    try {
        for (const std::string& name : scan_tty_class(tty_class_dir, dev_dir))
            string_list_add(list, name);
    } catch (const std::exception&) {
        string_list_init(list); // a list cut short would hide hubs silently; report none
    }
    return list;
}
