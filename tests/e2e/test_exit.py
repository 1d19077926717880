#!/usr/bin/env python3
"""The exit-bootloader action end to end, against hubs played by hubsim.

    test_exit.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]
"""

import os
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
    def test_boards_four_to_one_are_told_to_restart_whatever_the_hubs_mode(self):
        hubs = [Hub(self, self.dir, "--mode", mode, "--hwid", hwid, name=mode)
                for mode, hwid in (("bootloader", "1030"), ("normal", "1050"))]
        started = time.monotonic()
        runs = [simtest.start_hubflash(["--port", hub.port, "--exit-bootloader"]) for hub in hubs]
        for hub, run in zip(hubs, runs):
            result = simtest.wait_hubflash(run, timeout=120)
            self.assertGreaterEqual(time.monotonic() - started, 20.0, "twenty commands one second apart")
            self.assertEqual((result.stdout, result.stderr, result.code), (RESTART_OUTPUT, b"", 0))
            hub.stop()
            self.assertEqual(hub.framed_commands(), TWENTY_COMMANDS)
        report = hubs[0].report
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        self.assertEqual([board["mode"] for board in report["boards"]], ["normal", "normal"])


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
    def test_port_that_cannot_be_opened(self):
        # The system's reason comes at once, without a detection window (each
        # reason's text is the serial unit tests' part).
        port = os.path.join(self.dir, "nothing-here")
        result = run_hubflash(["--port", port, "--exit-bootloader"], timeout=60)
        self.assertEqual((result.stdout, result.code), (b"hubflash v3.00\n", 255))
        self.assertEqual(result.stderr, b"ERROR: Error in opening serial port\n" * 30
                         + b"ERROR: Failed to open serial port after reconnect attempts\n"
                         + b"ERROR: Cannot open %s: No such file or directory\n" % port.encode()
                         + b"ERROR: Unable to connect to device on serial port %s\n" % port.encode())


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
