// Linux-only piece of the serial module that is reachable from outside it, so
// that the port list can be checked against a made-up sysfs tree.
#pragma once

#include <string>

#include "timer.h"

// Serial ports named in `tty_class_dir` (the system's /sys/class/tty) that have
// a device behind them and a node in `dev_dir`, as "<dev_dir>/<name>", sorted.
// Legacy 8250-family ports with no UART behind them are left out.
string_list serial_posix_list_ports(const std::string& tty_class_dir, const std::string& dev_dir);
