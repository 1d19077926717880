// The port watcher on Linux: a symlink to a pseudo-terminal plays the hub's
// port; removing, creating and renaming it plays the hub restarting.
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <cstdio>

#include "serial-internal.h"
#include "serial_test_support.h"

namespace {

using namespace serial_test;

const char waiting_message[] =
    "Serial port is unavailable, waiting for it to become available again.";

bool lockable(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool free_to_lock = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free_to_lock;
}

class hot_plug : public ::testing::Test {
  protected:
    temp_dir dir;
    pty_pair first;
    pty_pair second;
    std::string link = dir / "hub";
    serial_port port;

    void SetUp() override {
        ASSERT_EQ(symlink(first.slave_path.c_str(), link.c_str()), 0);
        ASSERT_TRUE(serial_init(&port, link.c_str()));
    }
    void TearDown() override { serial_free(&port); }

    void remove_our_port() {
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return !serial_available(&port); }));
    }
    void touch(const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); }
    // Waits for the watcher first, so a port that never returns fails instead of hanging.
    bool transmits(const pty_pair& hub) {
        return wait_until([&] { return serial_available(&port); }) &&
               wait_until([&] { return serial_tx(&port, "ping\n"); }) && hub.receive(5) == "ping\n";
    }
};

TEST_F(hot_plug, RemovedPortMakesWritesWaitUntilItReturns) {
    remove_our_port();
    EXPECT_TRUE(lockable(first.slave_path)); // our descriptor is gone with the device

    testing::internal::CaptureStdout();
    std::atomic<bool> done{false};
    bool sent = false;
    std::thread writer([&] {
        sent = serial_tx(&port, "again\r\n");
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done);
    ASSERT_EQ(symlink(second.slave_path.c_str(), link.c_str()), 0);
    writer.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), waiting_message);
    EXPECT_TRUE(sent);
    EXPECT_EQ(second.receive(7), "again\r\n");

    second.send("OK\r\n");
    EXPECT_EQ(pop_line(port), "OK");
    termios settings{};
    ASSERT_EQ(tcgetattr(second.slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_lflag & ICANON, 0u);
}

TEST_F(hot_plug, OtherEntriesComingAndGoingLeaveAnOpenPortAlone) {
    touch(dir / "other");
    ASSERT_EQ(unlink((dir / "other").c_str()), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(serial_available(&port));
    EXPECT_FALSE(lockable(first.slave_path));
    EXPECT_TRUE(transmits(first));
}

TEST_F(hot_plug, OtherArrivalMarksAvailableButIoFailsUntilOursReturns) {
    remove_our_port();
    touch(dir / "ttyUSB9");
    ASSERT_TRUE(wait_until([&] { return serial_available(&port); }));
    EXPECT_FALSE(serial_tx(&port, "x"));
    char buf[256];
    EXPECT_FALSE(serial_rx_pop(&port, buf, sizeof buf));
    ASSERT_EQ(symlink(second.slave_path.c_str(), link.c_str()), 0);
    EXPECT_TRUE(transmits(second));
}

TEST_F(hot_plug, LinkReplacedInPlaceIsReopenedOnItsNewTarget) {
    testing::internal::CaptureStderr();
    ASSERT_EQ(symlink(second.slave_path.c_str(), (dir / "hub.tmp").c_str()), 0);
    ASSERT_EQ(rename((dir / "hub.tmp").c_str(), link.c_str()), 0); // as udev updates its links
    ASSERT_TRUE(wait_until([&] { return lockable(first.slave_path); }));
    EXPECT_TRUE(transmits(second));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(hot_plug, DirectoryRemovedAndMadeAgainIsWatchedAgain) {
    remove_our_port();
    ASSERT_EQ(rmdir(dir.path.c_str()), 0); // udev drops an empty by-id directory
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(mkdir(dir.path.c_str(), 0700), 0);
    ASSERT_EQ(symlink(second.slave_path.c_str(), link.c_str()), 0);
    EXPECT_TRUE(transmits(second));
}

TEST_F(hot_plug, PortThatRefusedItsFirstOpenIsRetriedWhenItsEntryChanges) {
    remove_our_port();
    temp_dir elsewhere;
    testing::internal::CaptureStderr();
    ASSERT_EQ(symlink((elsewhere / "node").c_str(), link.c_str()), 0); // not ready to open yet
    ASSERT_TRUE(wait_until([&] { return serial_available(&port); }));
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("ERROR: Failed to open serial port after reconnect attempts\n"),
              std::string::npos);
    EXPECT_FALSE(serial_tx(&port, "x"));

    ASSERT_EQ(symlink(second.slave_path.c_str(), (elsewhere / "node").c_str()), 0);
    timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}}; // as udev setting owner and mode
    ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), now, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(transmits(second));
}

TEST_F(hot_plug, StopRequestEndsTheWatcherAtItsNextEvent) {
    serial_stop(&port);
    touch(dir / "other");
    ASSERT_TRUE(wait_until([&] { return port.conn->stop.load() == 0; }));
    ASSERT_EQ(unlink(link.c_str()), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(serial_available(&port)); // nobody watches any more
}

} // namespace
