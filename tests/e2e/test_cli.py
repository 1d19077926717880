#!/usr/bin/env python3
"""The texts of runs that end at the command line: usage, help, version and the
refusals. Which action a command line chooses is the unit tests' part.
"""

import unittest

import simtest
from simtest import Hub, run_hubflash, temp_dir, text

USAGE = (
    "hubflash - Corvane firmware updater\n"
    "\n"
    "Usage: hubflash --fw <filename> --port <device> [--bootloader] [--force] [--no-status]\n"
    "       hubflash --port <device> --exit-bootloader\n"
    "       hubflash --auto [--prompt]\n"
    "       hubflash --version\n"
    "       hubflash --help\n"
)
HELP = USAGE + (
    "\n"
    "       --fw <filename> The name of te firmware file to use.\n"
    "       --port <device> The serial device (such as /dev/ttyUSB0 or COM1) of the\n"
    "               Corvane hub to update, or use 'all' to\n"
    "               find all hubs and update them.\n"
    "       --bootloader Automatically switch the hub to bootloader mode.\n"
    "       --exit_bootloader Force hub out of bootloader mode.\n"
    "       --no-status Don't display status while upload is in progress.\n"
    "       --force Force the hub to update, regardless of version number.\n"
)
NO_FIRMWARE = "ERROR: Missing firmware filename\n"
NO_PORT = "ERROR: Missing serial port name e.g. COM1 or /dev/ttyUSB0\n"
PORT = "HUBNOPORT7"  # exists nowhere, so an action that starts ends quickly
ENV = {"HUBFLASH_PORTS": "", "HUBFLASH_SERVER": "127.0.0.1:9"}  # no port is scanned, no server reached


# ctest: native windows
class UsageTest(unittest.TestCase):
    def setUp(self):
        # Linux keeps /dev/serial/by-id names whole; Windows port names are short.
        self.limit = 63 if simtest.TOOLS.wine else 255

    def test_texts_of_runs_that_end_at_the_command_line(self):
        too_long = "p" * (self.limit + 1)
        refusal = "ERROR: Serial port name longer than %d characters\n" % self.limit
        for args, stdout, stderr in (
                ([], USAGE, ""),
                (["--help"], HELP, ""),
                (["--version"], "hubflash 3.00\n", ""),
                (["--version", "--port", PORT], USAGE, ""),  # not alone among the counted options
                (["--port", PORT], USAGE, NO_FIRMWARE),
                (["--fw", "x.ufw"], USAGE, NO_PORT),
                (["--exit-bootloader"], USAGE, NO_PORT),
                (["--fw", "x.ufw", "--port", too_long], USAGE, refusal),
                (["--port", too_long, "--exit-bootloader"], USAGE, refusal)):
            with self.subTest(args=args):
                result = run_hubflash(args, env=ENV)
                self.assertEqual((result.stdout, result.stderr, result.code), (text(stdout), text(stderr), 255))

    def test_port_name_as_long_as_the_platform_allows_is_used_whole(self):
        port = (PORT + "7" * 300)[:self.limit]
        result = run_hubflash(["--port", port, "--exit-bootloader"], timeout=120, env=ENV)
        self.assertTrue(result.stdout.startswith(text("hubflash v3.00\n")), result.stdout[:200])
        unable = text("ERROR: Unable to connect to device on serial port %s\n" % port)
        self.assertTrue(result.stderr.endswith(unable), result.stderr[-400:])
        self.assertEqual(result.code, 255)


class AutoServerTest(unittest.TestCase):
    def test_a_server_that_is_no_address_ends_the_run_before_the_scan(self):
        hub = Hub(self, temp_dir(self))
        result = run_hubflash(["--auto"], env={"HUBFLASH_PORTS": hub.port, "HUBFLASH_SERVER": "host:0"})
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (b"hubflash v3.00\n", b"ERROR: HUBFLASH_SERVER is not a valid server address: host:0\n", 255))
        self.assertEqual(hub.stop()["host_opens"], 0)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
