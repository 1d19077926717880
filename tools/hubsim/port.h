// The hub's serial port: a pseudo-terminal whose slave is published under a
// fixed path (a symlink), as a USB serial device appears under its name.
#pragma once

#include <string>
#include <utility>

namespace hubsim {

class Port {
public:
    Port(std::string link, bool link_rename) : link_(std::move(link)), link_rename_(link_rename) {}
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Removes a stale symlink at the path, opens a pseudo-terminal and publishes it.
    bool start();
    // The device disappears: link removed, pseudo-terminal closed. The next
    // one is opened before the old one closes, so it gets a different number.
    bool vanish();
    // The device arrives again under the same path.
    bool come_back();
    void shutdown();

    int master() const { return master_; }
    bool present() const { return published_; }
    const std::string& slave_name() const { return slave_; }

private:
    bool open_pty(int& master, std::string& slave);
    bool publish();
    void unpublish();

    std::string link_;
    bool link_rename_;
    int master_ = -1;
    std::string slave_;
    bool published_ = false;
};

} // namespace hubsim
