#include "port.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hubsim {

namespace {

void report_error(const std::string& what)
{
    std::fprintf(stderr, "hubsim: %s: %s\n", what.c_str(), std::strerror(errno));
}

bool make_raw(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

std::string read_link(const std::string& path)
{
    char target[4096];
    const ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
    return size < 0 ? std::string() : std::string(target, static_cast<size_t>(size));
}

std::string temporary_link_name(const std::string& link)
{
    const size_t slash = link.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : link.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? link : link.substr(slash + 1);
    return dir + "." + base + ".hubsim-tmp";
}

} // namespace

Port::~Port()
{
    shutdown();
}

bool Port::open_pty(int& master, std::string& slave)
{
    int slave_fd = -1;
    if (openpty(&master, &slave_fd, nullptr, nullptr, nullptr) != 0) {
        report_error("openpty");
        return false;
    }
    char name[256];
    // The slave stays raw after we close it: the master keeps the terminal alive.
    const bool ok = ttyname_r(slave_fd, name, sizeof name) == 0 && make_raw(slave_fd)
                    && make_raw(master)
                    && fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) == 0
                    && fcntl(master, F_SETFD, FD_CLOEXEC) == 0;
    close(slave_fd);
    if (!ok) {
        report_error("setting up the pseudo-terminal");
        close(master);
        master = -1;
        return false;
    }
    slave = name;
    return true;
}

bool Port::start()
{
    struct stat info {};
    if (lstat(link_.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "hubsim: %s exists and is not a symlink\n", link_.c_str());
            return false;
        }
        unlink(link_.c_str());
    }
    return open_pty(master_, slave_) && publish();
}

bool Port::publish()
{
    if (link_rename_) {
        const std::string temporary = temporary_link_name(link_);
        unlink(temporary.c_str());
        if (symlink(slave_.c_str(), temporary.c_str()) != 0
            || rename(temporary.c_str(), link_.c_str()) != 0) {
            report_error("linking " + link_);
            unlink(temporary.c_str());
            return false;
        }
    } else if (symlink(slave_.c_str(), link_.c_str()) != 0) {
        report_error("linking " + link_);
        return false;
    }
    published_ = true;
    return true;
}

void Port::unpublish()
{
    // Only our own link goes: the path may have been taken over meanwhile.
    if (published_ && read_link(link_) == slave_)
        unlink(link_.c_str());
    published_ = false;
}

bool Port::vanish()
{
    unpublish();
    int next_master = -1;
    std::string next_slave;
    const bool opened = open_pty(next_master, next_slave);
    if (master_ >= 0)
        close(master_);
    master_ = next_master;
    slave_ = next_slave;
    return opened;
}

bool Port::come_back()
{
    if (master_ < 0 && !open_pty(master_, slave_))
        return false;
    return publish();
}

void Port::shutdown()
{
    unpublish();
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

} // namespace hubsim
