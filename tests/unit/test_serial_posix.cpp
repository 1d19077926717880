// The serial link on Linux over pseudo-terminals: line assembly, port settings,
// opening rules, I/O limits and the port list.
#include <sys/fsuid.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "serial-posix.h"
#include "serial_test_support.h"

namespace {

using namespace serial_test;
using namespace std::string_literals;

const std::string open_failures = repeated("ERROR: Error in opening serial port\n", 30)
                                  + "ERROR: Failed to open serial port after reconnect attempts\n";

// Lines come out in order, stripped of their ends and of a ">>" prompt, but
// otherwise raw; lines of 255 characters or more are dropped whole; a part of
// a line waits for its rest; the destination gets at most its size, padded with NUL.
TEST(serial_lines, LinesAreAssembledAndHandedOutAsTheyCame)
{
    pty_pair hub;
    serial_port port;
    ASSERT_TRUE(serial_init(&port, hub.slave_path.c_str()));
    auto pop = [&](char* dst, size_t len) { return serial_rx_pop(&port, dst, len); };
    hub.send_buffered("OK\r\nREADY\r\n");
    EXPECT_EQ(pop_line(port), "OK");
    EXPECT_EQ(hub.buffered(), 0u);
    char buf[256];
    ASSERT_TRUE(pop(buf, sizeof buf)); // already queued: no new byte needed
    EXPECT_STREQ(buf, "READY");
    EXPECT_FALSE(pop(buf, sizeof buf));
    const std::string longest(254, 'z');
    hub.send("\r\n>>id 5\r\n>>>x\r\n>1\r\n\x01lead\x80\xff\r\nA\rB\x03\x16\x7f\xc3\xa9 end\n"
             + std::string(300, 'A') + "\r\n" + std::string(255, 'B') + "\n" + longest + "\r\n");
    for (const std::string expected :
         {"", "id 5", ">x", ">1", "\x01lead", "A\rB\x03\x16\x7f\xc3\xa9 end", longest.c_str()})
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
    serial_free(&port);
}

// A port that cannot be opened is reported with the system's reason, yet the
// record starts (its watcher runs) and counts as vanished. The busy port is
// held through a link: the lock is the device's, whatever its name.
TEST(serial_open, FailureSaysWhyAndLeavesAWaitingRecord)
{
    pty_pair hub;
    temp_dir dir;
    ASSERT_EQ(symlink(hub.slave_path.c_str(), (dir / "hub").c_str()), 0);
    serial_port holder;
    ASSERT_TRUE(serial_init(&holder, (dir / "hub").c_str()));
    const std::string longest = "/nonexistent-hubflash-dir/" + std::string(229, 'p');
    const std::string unreadable = dir / "unreadable";
    std::ofstream(unreadable).put('\n');
    ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
    const std::pair<std::string, std::string> cases[] = {
        {longest,
         open_failures + "ERROR: Cannot open " + longest + ": No such file or directory\n"},
        {"/dev/null", "ERROR: Error getting state\nERROR: Cannot open /dev/null: Inappropriate "
                      "ioctl for device (not a serial port)\n"},
        {hub.slave_path,
         open_failures + "ERROR: Cannot open " + hub.slave_path
             + ": Device or resource busy (the port is in use by another program)\n"},
        {unreadable, open_failures + "ERROR: Cannot open " + unreadable
                         + ": Permission denied (is your user in the 'dialout' group?)\n"},
    };
    for (const auto& [name, errors] : cases) {
        serial_port port;
        testing::internal::CaptureStderr();
        // Root may open any file; under another file system user id this thread may not.
        setfsuid(name == unreadable ? 65534 : getuid());
        EXPECT_TRUE(serial_init(&port, name.c_str()));
        setfsuid(getuid());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), errors);
        EXPECT_TRUE(port.started && port.open_failed) << name;
        EXPECT_FALSE(serial_available(&port));
        serial_free(&port);
        EXPECT_FALSE(serial_tx(&port, "id\r\n")); // a freed record fails instead of crashing
    }
    EXPECT_TRUE(serial_tx(&holder, "still mine\n"));
    EXPECT_EQ(hub.receive(11), "still mine\n");
    serial_free(&holder);
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

// The list names each device once, under the name that came first; a name
// too long for a port is left out, never cut.
TEST(serial_ports, EnvironmentListReplacesTheSystemList)
{
    const std::string longest = "/dev/serial/by-id/" + std::string(237, 'i');
    setenv("HUBFLASH_PORTS",
           (" /dev/ttyUSB3 ,COM7,," + longest + "x,ttyACM0,ttyUSB3," + longest).c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_find_ports().bytes, "/dev/ttyUSB3\0COM7\0ttyACM0\0"s + longest + "\0\0"s);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Serial port name longer than 255 characters, not scanned: " + longest
                  + "x\n");
    setenv("HUBFLASH_PORTS", "", 1);
    EXPECT_EQ(serial_find_ports().bytes, "\0"s);
    unsetenv("HUBFLASH_PORTS");
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
    EXPECT_EQ(serial_posix_list_ports(root / "tty", root / "dev").bytes,
              root / "dev/ttyS0\0"s + root / "dev/ttyUSB0\0\0"s);
    EXPECT_EQ(serial_posix_list_ports(root / "missing", root / "dev").bytes, "\0"s);
}

} // namespace
