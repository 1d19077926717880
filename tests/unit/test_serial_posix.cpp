// The serial link on Linux over pseudo-terminals: line assembly, port settings,
// opening rules, I/O limits and the port list.
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "lfqueue.h"
#include "serial-internal.h"
#include "serial-posix.h"
#include "serial_test_support.h"

namespace {

using namespace serial_test;

const std::string open_failures = repeated("ERROR: Error in opening serial port\n", 30)
                                  + "ERROR: Failed to open serial port after reconnect attempts\n";

std::vector<std::string> names_in(const string_list& list)
{
    std::vector<std::string> names;
    for (const char* p = list.bytes.c_str(); *p != '\0'; p += std::strlen(p) + 1)
        names.push_back(p);
    return names;
}

class line_receiver : public ::testing::Test {
protected:
    pty_pair hub;
    serial_port port;
    void SetUp() override { ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str())); }
    void TearDown() override { serial_free(&port); }
    bool pop(char* dst, size_t len) { return serial_rx_pop(&port, dst, len); }
};

// Lines come out in order, stripped of their ends and of a ">>" prompt, but
// otherwise raw; lines of 255 characters or more are dropped whole; a part of
// a line waits for its rest; the destination gets at most its size, padded with NUL.
TEST_F(line_receiver, LinesAreAssembledAndHandedOutAsTheyCame)
{
    hub.send_buffered("OK\r\nREADY\r\n");
    EXPECT_EQ(pop_line(port), "OK");
    EXPECT_EQ(hub.buffered(), 0u);
    char buf[256];
    ASSERT_TRUE(pop(buf, sizeof buf)); // already queued: no new byte needed
    EXPECT_STREQ(buf, "READY");
    EXPECT_FALSE(pop(buf, sizeof buf));
    const std::string longest(254, 'z');
    hub.send("\r\n>>id 5\r\n>>>x\r\n\x01lead\x80\xff\r\nA\rB\x03\x16\x7f\xc3\xa9 end\n"
             + std::string(300, 'A') + "\r\n" + std::string(255, 'B') + "\n" + longest + "\r\n");
    for (const std::string expected :
         {"", "id 5", ">x", "\x01lead", "A\rB\x03\x16\x7f\xc3\xa9 end", longest.c_str()})
        EXPECT_EQ(pop_line(port), expected);
    hub.send_buffered("HEL");
    EXPECT_FALSE(pop(buf, sizeof buf));
    hub.send("LO\r\nAB\r\n");
    char small[4];
    ASSERT_TRUE(wait_until([&] { return pop(small, sizeof small); }));
    EXPECT_EQ(std::string(small, 4), "HELL");
    char padded[8];
    std::memset(padded, 'x', sizeof padded);
    ASSERT_TRUE(wait_until([&] { return pop(padded, sizeof padded); }));
    EXPECT_EQ(std::string(padded, 8), std::string("AB\0\0\0\0\0\0", 8));
    auto start = steady::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(pop(buf, sizeof buf));
    EXPECT_GE(steady::now() - start, 30ms) << "empty polls wait briefly instead of spinning";
}

// Lines whose queue entry cannot be stored are dropped whole, and the next line starts clean.
// The first line of a read, with nothing queued, is handed out without a queue entry.
int allocations_left = 0;
void* limited_alloc(void*, size_t size)
{
    return allocations_left-- > 0 ? std::malloc(size) : nullptr;
}
void plain_free(void*, void* ptr)
{
    std::free(ptr);
}

TEST_F(line_receiver, LineThatCannotBeQueuedIsDroppedWithTheRestOfItsRead)
{
    lfqueue_destroy(&port.rx_queue);
    allocations_left = 2; // the queue's own dummy and recycle anchor
    ASSERT_EQ(lfqueue_init_mf(&port.rx_queue, nullptr, limited_alloc, plain_free), 0);
    testing::internal::CaptureStderr();
    hub.send_buffered("HANDED OUT\r\nLOST\r\nALSO LOST\r\n");
    char buf[256];
    ASSERT_TRUE(pop(buf, sizeof buf));
    EXPECT_STREQ(buf, "HANDED OUT");
    EXPECT_FALSE(pop(buf, sizeof buf));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: Unable to allocate memory\n"),
              std::string::npos);
    allocations_left = 1000;
    hub.send("KEPT\r\n");
    EXPECT_EQ(pop_line(port), "KEPT");
    EXPECT_FALSE(pop(buf, sizeof buf));
}

TEST(serial_port_settings, RawAt115200N81WithFlowControlAsThePortHadIt)
{
    pty_pair hub;
    termios before{};
    ASSERT_EQ(tcgetattr(hub.slave, &before), 0);
    cfsetspeed(&before, B9600);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    before.c_iflag |= IXON | IXANY | IXOFF | ICRNL;
    before.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(hub.slave, TCSANOW, &before), 0);

    serial_port port;
    ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str()));
    termios after{};
    ASSERT_EQ(tcgetattr(hub.slave, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(after.c_iflag & IXOFF, 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXANY), 0u); // a stray XOFF from the hub must not stall us

    std::string every_byte;
    for (int b = 1; b < 256; ++b)
        every_byte += static_cast<char>(b);
    EXPECT_TRUE(serial_tx(&port, every_byte.c_str()));
    EXPECT_EQ(hub.receive(every_byte.size()), every_byte);
    serial_free(&port);
}

TEST(serial_open, MissingPortReportsEveryAttemptAndWhyButStillStarts)
{
    std::string name = "/nonexistent-hubflash-dir/" + std::string(300, 'p');
    serial_port port;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(serial_init(&port, name.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), open_failures + "ERROR: Cannot open "
                                                          + name.substr(0, 255)
                                                          + ": No such file or directory\n");
    EXPECT_EQ(port.name, name.substr(0, 255));
    EXPECT_TRUE(port.started);
    EXPECT_TRUE(port.open_failed);
    EXPECT_FALSE(serial_available(&port));
    char buf[256];
    EXPECT_FALSE(serial_rx_pop(&port, buf, sizeof buf));
    serial_free(&port);
    EXPECT_EQ(port.conn, nullptr);
    EXPECT_FALSE(serial_tx(&port, "id\r\n")); // a freed record fails instead of crashing
}

TEST(serial_open, DeviceThatIsNoTerminalFailsOnItsSettings)
{
    serial_port port;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(serial_init(&port, "/dev/null"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Error getting state\nERROR: Cannot open /dev/null: Inappropriate ioctl for "
              "device (not a serial port)\n");
    EXPECT_TRUE(port.open_failed);
    serial_free(&port);
}

TEST(serial_open, SecondOpenOfTheSamePortIsRefused)
{
    pty_pair hub;
    temp_dir dir;
    ASSERT_EQ(symlink(hub.slave_path.c_str(), (dir / "hub").c_str()), 0);
    serial_port first, second;
    ASSERT_TRUE(serial_init(&first, (dir / "hub").c_str()));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(serial_init(&second, hub.slave_path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              open_failures + "ERROR: Cannot open " + hub.slave_path
                  + ": Device or resource busy (the port is in use by another program)\n");
    EXPECT_TRUE(second.open_failed);
    serial_free(&second);
    EXPECT_TRUE(serial_tx(&first, "still mine\n"));
    EXPECT_EQ(hub.receive(11), "still mine\n");
    serial_free(&first);
}

TEST(serial_open, FreedRecordOpensAfreshWithAnEmptyQueue)
{
    pty_pair hub;
    serial_port port;
    ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str()));
    hub.send_buffered("OK\r\nREADY\r\n");
    ASSERT_EQ(pop_line(port), "OK");
    serial_free(&port);
    EXPECT_FALSE(serial_available(&port));
    int probe = open(hub.slave_path.c_str(), O_RDWR | O_NOCTTY); // released: lockable by others
    EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
    close(probe);
    hub.send_buffered("@0101*STALE\r\n"); // an earlier session's, discarded on opening

    testing::internal::CaptureStderr();
    ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(port.started);
    char buf[256];
    EXPECT_FALSE(serial_rx_pop(&port, buf, sizeof buf)); // READY went with the old queue, STALE too
    EXPECT_TRUE(serial_tx(&port, "id\r\n"));
    EXPECT_EQ(hub.receive(4), "id\r\n");
    serial_free(&port);
}

TEST(serial_open, WatcherThatCannotStartLeavesAUsablePort)
{
    pty_pair hub;
    serial_port port;
    testing::internal::CaptureStdout();
    int next_fd = dup(0); // the port gets this number; the watcher then finds none left
    close(next_fd);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(next_fd) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    bool initialised = serial_init(&port, hub.slave_path.c_str());
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to create thread. Error: 24\n");
    EXPECT_TRUE(initialised);
    EXPECT_FALSE(port.started);
    EXPECT_TRUE(serial_tx(&port, "id\r\n"));
    EXPECT_EQ(hub.receive(4), "id\r\n");
    serial_free(&port);
}

TEST(serial_io, StalledOutputGivesUpAfterItsTimeLimit)
{
    pty_pair hub;
    serial_port port;
    ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str()));
    ASSERT_EQ(tcflow(hub.slave, TCOOFF), 0);
    auto start = steady::now();
    EXPECT_TRUE(serial_tx(&port, "hello")); // a write that timed out still counts as done
    auto took = steady::now() - start;
    EXPECT_GE(took, 95ms); // 50 ms + 10 ms per byte
    EXPECT_LT(took, 1000ms);
    tcflow(hub.slave, TCOON);
    serial_free(&port);
}

TEST(serial_io, HubSideGoneFailsReadsAndWritesWithoutSpinning)
{
    pty_pair hub;
    // Reached through a link that stays: closing the master removes /dev/pts/N,
    // which the watcher would rightly take for the port vanishing (and then
    // serial_tx waits for its return). Here the port is still there but dead.
    temp_dir dir;
    const std::string link = dir / "hub";
    ASSERT_EQ(symlink(hub.slave_path.c_str(), link.c_str()), 0);
    serial_port port;
    ASSERT_TRUE(serial_init(&port, link.c_str()));
    hub.close_master();
    EXPECT_FALSE(serial_tx(&port, "id\r\n"));
    char buf[256];
    auto start = steady::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(serial_rx_pop(&port, buf, sizeof buf));
    EXPECT_GE(steady::now() - start, 30ms);
    serial_free(&port);
}

TEST(serial_ports, EnvironmentListReplacesTheSystemList)
{
    setenv("HUBFLASH_PORTS", " /dev/ttyUSB3 ,COM7,,ttyACM0", 1);
    EXPECT_EQ(names_in(serial_find_ports()),
              (std::vector<std::string>{"/dev/ttyUSB3", "COM7", "ttyACM0"}));
    setenv("HUBFLASH_PORTS", "", 1);
    string_list none = serial_find_ports();
    EXPECT_EQ(none.bytes, std::string(1, '\0'));
    unsetenv("HUBFLASH_PORTS");
    EXPECT_EQ(serial_find_ports().bytes, serial_os_find_ports().bytes);
}

void make_tty(const temp_dir& root, const std::string& name, const char* device_dir,
              const char* type, bool has_node = true)
{
    std::filesystem::create_directories(root / ("tty/" + name));
    if (device_dir) {
        std::filesystem::create_directories(root / device_dir);
        std::filesystem::create_directory_symlink(root / device_dir,
                                                  root / ("tty/" + name + "/device"));
    }
    if (type)
        std::ofstream(root / ("tty/" + name + "/type")) << type << "\n";
    std::filesystem::create_directories(root / "dev");
    if (has_node)
        std::ofstream(root / ("dev/" + name)).put('\n');
}

TEST(serial_ports, SysfsListSkipsPortsWithNoUartBehindThem)
{
    temp_dir root;
    make_tty(root, "ttyUSB0", "devices/usb1/1-1:1.0", nullptr);
    make_tty(root, "ttyS0", "devices/pnp0/00:01", "4");
    make_tty(root, "ttyS5", "devices/platform/serial8250/serial8250:0.5", "0");
    make_tty(root, "ttyS9", "devices/platform/serial8250/serial8250:0.9", nullptr);
    make_tty(root, "ttyAMA0", "devices/platform/amba/uart", "0");
    make_tty(root, "tty1", nullptr, nullptr);
    make_tty(root, "ttyACM3", "devices/usb1/1-2:1.0", nullptr, false);
    EXPECT_EQ(names_in(serial_posix_list_ports(root / "tty", root / "dev")),
              (std::vector<std::string>{root / "dev/ttyS0", root / "dev/ttyUSB0"}));
    EXPECT_EQ(serial_posix_list_ports(root / "missing", root / "dev").bytes, std::string(1, '\0'));
}

TEST(serial_ports, SystemListNamesOnlyExistingRealPorts)
{
    for (const std::string& name : names_in(serial_os_find_ports())) {
        struct stat st {};
        EXPECT_EQ(stat(name.c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << name;
        std::string tty = "/sys/class/tty/" + name.substr(name.rfind('/') + 1);
        std::ifstream type(tty + "/type");
        int uart = -1;
        if (type >> uart) {
            EXPECT_NE(uart, 0) << name;
        }
    }
}

} // namespace
