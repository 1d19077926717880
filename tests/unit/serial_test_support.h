// Pseudo-terminals and temporary directories standing in for a hub's USB
// serial port: the test holds the master side and plays the hub.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "serial.h"

namespace serial_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout = 3000ms)
{
    for (auto end = steady::now() + timeout; steady::now() < end;) {
        if (condition())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

struct pty_pair {
    int master = -1;
    int slave = -1; // kept open so the test can look at the line settings
    std::string slave_path;

    // Raw from the start, as a USB serial port: bytes waiting for the port are not echoed.
    pty_pair()
    {
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, name, &raw, nullptr) != 0)
            ADD_FAILURE() << "openpty";
        slave_path = name;
    }
    ~pty_pair()
    {
        close(master);
        close(slave);
    }
    void send(std::string_view bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Returns once the bytes sit in the port's input buffer, so one read takes them all.
    void send_buffered(std::string_view bytes) const
    {
        send(bytes);
        wait_until([&] { return buffered() >= bytes.size(); });
    }
    size_t buffered() const
    {
        int count = 0;
        ioctl(slave, FIONREAD, &count);
        return static_cast<size_t>(count);
    }
    // What the port wrote, up to `size` bytes or until two seconds passed.
    std::string receive(size_t size) const
    {
        std::string got;
        for (auto end = steady::now() + 2s; got.size() < size && steady::now() < end;) {
            pollfd pfd{master, POLLIN, 0};
            char buf[512];
            ssize_t n = poll(&pfd, 1, 10) > 0
                            ? read(master, buf, std::min(sizeof buf, size - got.size()))
                            : 0;
            if (n < 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char pattern[] = "/tmp/hubflash-serial-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            ADD_FAILURE() << "mkdtemp";
        path = pattern;
    }
    ~temp_dir()
    {
        std::error_code ignored; // a test may have removed it
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline std::optional<std::string> pop_line(serial_port& port)
{
    char buf[256];
    if (!wait_until([&] { return serial_rx_pop(&port, buf, sizeof buf); }, 2000ms))
        return std::nullopt;
    return std::string(buf, strnlen(buf, sizeof buf));
}

inline std::string repeated(std::string_view text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

} // namespace serial_test
