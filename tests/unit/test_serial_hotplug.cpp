// The port watcher on Linux: a symlink to a pseudo-terminal plays the hub's
// port; removing, creating and renaming it plays the hub restarting.
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>

#include "serial-internal.h"
#include "serial_test_support.h"

namespace {

using namespace serial_test;

bool lockable(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool free_to_lock = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        close(fd);
    return free_to_lock;
}

class hot_plug : public ::testing::Test {
protected:
    temp_dir dir;
    pty_pair first;
    pty_pair second;
    std::string link = dir / "hub";
    serial_port port;

    void SetUp() override
    {
        plug(first);
        ASSERT_TRUE(serial_init(&port, link.c_str()));
    }
    void TearDown() override { serial_free(&port); }

    void plug(const pty_pair& hub) { ASSERT_EQ(symlink(hub.slave_path.c_str(), link.c_str()), 0); }
    void remove_our_port()
    {
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return !serial_available(&port); }));
    }
    void touch(const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); }
    // Waits for the watcher first, so a port that never returns fails instead of hanging.
    bool transmits(const pty_pair& hub)
    {
        return wait_until([&] { return serial_available(&port); })
               && wait_until([&] { return serial_tx(&port, "ping\n"); })
               && hub.receive(5) == "ping\n";
    }
};

// The part of a line cut off by the removal and what waited at the returned
// port are dropped; the write waits, saying so once; the returned port is set up.
TEST_F(hot_plug, RemovedPortMakesWritesWaitUntilItReturns)
{
    first.send_buffered("@0201*AN");
    char buf[256];
    EXPECT_FALSE(serial_rx_pop(&port, buf, sizeof buf));
    ASSERT_EQ(first.buffered(), 0u);
    remove_our_port();
    EXPECT_TRUE(lockable(first.slave_path)); // our descriptor is gone with the device
    termios settings{};                      // as another program may have left the port
    ASSERT_EQ(tcgetattr(second.slave, &settings), 0);
    cfsetspeed(&settings, B9600);
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    settings.c_iflag |= IXON | IXANY | IXOFF | ICRNL;
    settings.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(second.slave, TCSANOW, &settings), 0);
    second.send_buffered("@0101*OLD\r\n");

    testing::internal::CaptureStdout();
    std::atomic<bool> started{false}, done{false};
    bool sent = false;
    std::thread writer([&] {
        started = true;
        sent = serial_tx(&port, "again\r\n");
        done = true;
    });
    ASSERT_TRUE(wait_until([&] { return started.load(); })); // a loaded machine starts it late
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done);
    plug(second);
    writer.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Serial port is unavailable, waiting for it to become available again.");
    EXPECT_TRUE(sent);
    EXPECT_EQ(second.receive(7), "again\r\n");
    second.send("OK\r\n");
    EXPECT_EQ(pop_line(port), "OK");
    // Raw 115200 8N1; a stray XOFF from the hub must not stall us; our flow control stays.
    ASSERT_EQ(tcgetattr(second.slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD | CRTSCTS));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXANY | IXOFF),
              static_cast<tcflag_t>(IXOFF));
}

// Other devices and udev's temporary names come and go beside ours.
TEST_F(hot_plug, OnlyOurOwnEntryCounts)
{
    testing::internal::CaptureStderr();
    touch(dir / "other");
    ASSERT_EQ(unlink((dir / "other").c_str()), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(serial_available(&port));
    remove_our_port();
    touch(dir / "ttyUSB9");
    ASSERT_EQ(rename((dir / "ttyUSB9").c_str(), (dir / ".udev-tmp").c_str()), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(serial_available(&port));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); // our port was not even tried
    plug(second);
    EXPECT_TRUE(transmits(second));
}

// As udev does: a link replaced in place, an emptied by-id directory dropped and made again.
TEST_F(hot_plug, LinkReplacedOrDirectoryMadeAgainIsFollowed)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(symlink(second.slave_path.c_str(), (dir / "hub.tmp").c_str()), 0);
    ASSERT_EQ(rename((dir / "hub.tmp").c_str(), link.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return lockable(first.slave_path); }));
    EXPECT_TRUE(transmits(second));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    remove_our_port();
    ASSERT_EQ(rmdir(dir.path.c_str()), 0);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(mkdir(dir.path.c_str(), 0700), 0);
    plug(first);
    EXPECT_TRUE(transmits(first));
}

// Nothing happens in the port's directory once it is back: only the timer's
// retries can open it, and the failure is reported once.
TEST_F(hot_plug, ReturnedPortThatCannotBeOpenedYetIsRetried)
{
    remove_our_port();
    temp_dir elsewhere;
    testing::internal::CaptureStderr();
    ASSERT_EQ(symlink((elsewhere / "node").c_str(), link.c_str()), 0);
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(serial_available(&port));
    ASSERT_EQ(symlink(second.slave_path.c_str(), (elsewhere / "node").c_str()), 0);
    EXPECT_TRUE(transmits(second));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Cannot open " + link + ": No such file or directory\n");
}

// A port in use by another program at the start is opened once it is free.
TEST_F(hot_plug, PortInUseAtTheStartIsOpenedOnceFree)
{
    serial_free(&port);
    ASSERT_EQ(flock(first.slave, LOCK_EX), 0);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(serial_init(&port, link.c_str()));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(port.open_failed);
    ASSERT_EQ(flock(first.slave, LOCK_UN), 0);
    EXPECT_TRUE(transmits(first));
}

// The port is watched from before its first open, so its removal right after
// that open, while serial_init still runs, is not missed.
TEST_F(hot_plug, PortRemovedRightAfterItsFirstOpenIsNoticed)
{
    serial_free(&port);
    serial_first_open_hook = [](serial_port* opened) { unlink(opened->name.c_str()); };
    ASSERT_TRUE(serial_init(&port, link.c_str()));
    serial_first_open_hook = nullptr;
    ASSERT_FALSE(port.open_failed);
    EXPECT_TRUE(wait_until([&] { return !serial_available(&port); }));
}

} // namespace
