#!/usr/bin/env python3
"""The exit-bootloader action end to end, against hubs played by hubsim.

    test_exit.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]
"""

import fcntl
import os
import termios
import time
import unittest

import simtest
from simtest import Hub, run_hubflash, temp_dir

RESTART_OUTPUT = (b"hubflash v3.00\nPlease wait while device restarts\r\n"
                  b"Board 4\r\nBoard 3\r\nBoard 2\r\nBoard 1\r\n")
TWENTY_COMMANDS = [(board, "!REBOOT_NORMAL") for board in (4, 3, 2, 1) for _ in range(5)]


class ExitCase(unittest.TestCase):
    def setUp(self):
        self.dir = temp_dir(self)

    def exit_bootloader(self, port, timeout=120):
        return run_hubflash(["--port", port, "--exit-bootloader"], timeout=timeout)


class ExitTest(ExitCase):
    def test_boards_four_to_one_are_told_to_restart(self):
        hub = Hub(self, self.dir, "--mode", "bootloader", "--hwid", "1030")
        started = time.monotonic()
        result = self.exit_bootloader(hub.port)
        self.assertGreaterEqual(time.monotonic() - started, 20.0, "twenty commands one second apart")
        self.assertEqual(result.stdout, RESTART_OUTPUT)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        report = hub.stop()
        self.assertEqual(hub.framed_commands(), TWENTY_COMMANDS)
        self.assertEqual([board["mode"] for board in report["boards"]], ["normal", "normal"])
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])

    def test_hub_in_normal_firmware_gets_the_commands_all_the_same(self):
        hub = Hub(self, self.dir, "--mode", "normal", "--hwid", "1050")
        result = self.exit_bootloader(hub.port)
        self.assertEqual(result.stdout, RESTART_OUTPUT)
        self.assertEqual(result.code, 0)
        hub.stop()
        self.assertEqual(hub.framed_commands(), TWENTY_COMMANDS)


# ctest: COST 60
class ExitLostPortTest(ExitCase):
    """The exit action towards a hub whose port goes away at the first command."""

    def test_port_that_never_returns(self):
        hub = Hub(self, self.dir, "--mode", "bootloader", "--vanish-on", "!REBOOT_NORMAL", "--vanish-ms", "600000")
        result = self.exit_bootloader(hub.port, timeout=150)
        self.assertTrue(result.stdout.startswith(RESTART_OUTPUT[:-27]), result.stdout)
        self.assertTrue(result.stderr.endswith(b"ERROR: Unable to send the restart command to board 4\n"), result.stderr)
        self.assertEqual(result.code, 1)


class NoHubTest(ExitCase):
    def test_port_without_a_hub(self):
        hub = Hub(self, self.dir, "--absent", "1,2")
        result = run_hubflash(["--port", hub.port, "--exit-bootloader"], timeout=60)
        self.assertEqual(result.stdout, b"hubflash v3.00\n")
        self.assertEqual(result.stderr, b"ERROR: Unable to detect a Corvane hub on port %s\n" % hub.port.encode())
        self.assertEqual(result.code, 255)
        report = hub.stop()
        self.assertEqual(hub.framed_commands(), [])
        self.assertGreaterEqual(report["commands"]["id"], 3, "asked every 2 s for 7 s")
        self.assertEqual(report["commands"]["dverify"], 3)

    def test_port_that_cannot_be_opened(self):
        # The system's reason comes at once, without a detection window.
        attempts = (b"ERROR: Error in opening serial port\n" * 30
                    + b"ERROR: Failed to open serial port after reconnect attempts\n")
        plain_file = os.path.join(self.dir, "plain-file")
        open(plain_file, "w").close()
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        fcntl.ioctl(slave, termios.TIOCEXCL)  # held as our own open holds a port
        fcntl.flock(slave, fcntl.LOCK_EX)     # root passes TIOCEXCL, never the lock
        for port, before, reason in (
                (os.path.join(self.dir, "nothing-here"), attempts, b"No such file or directory"),
                (os.ttyname(slave), attempts, b"Device or resource busy (the port is in use by another program)"),
                (plain_file, b"ERROR: Error getting state\n", b"Inappropriate ioctl for device (not a serial port)")):
            with self.subTest(port=port):
                result = run_hubflash(["--port", port, "--exit-bootloader"], timeout=60)
                self.assertEqual(result.stdout, b"hubflash v3.00\n")
                self.assertEqual(result.stderr, before + b"ERROR: Cannot open %s: %s\n" % (port.encode(), reason)
                                 + b"ERROR: Unable to connect to device on serial port %s\n" % port.encode())
                self.assertEqual(result.code, 255)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
