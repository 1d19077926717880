#!/usr/bin/env python3
"""The texts of the real hubflash binary's command line: usage, help, version
and the refusals. Which action a command line chooses is the unit tests' part.

    test_cli.py --hubflash PATH [--wine] [unittest options]
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hubtest  # noqa: E402

PROGRAM = None

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
VERSION = "hubflash 3.00\n"
BANNER = "hubflash v3.00\n"
NO_FIRMWARE = "ERROR: Missing firmware filename\n"
NO_PORT = "ERROR: Missing serial port name e.g. COM1 or /dev/ttyUSB0\n"

# Names that exist nowhere, so an action that is started ends quickly.
PORT = "HUBNOPORT7"
FIRMWARE = "no-such-firmware-7.ufw"


def port_name_limit():
    """Linux keeps /dev/serial/by-id names whole; Windows port names are short."""
    return 63 if PROGRAM.wine else 255


def setUpModule():
    # No serial port is scanned and no server is reached by an automatic update.
    PROGRAM.env.update({"HUBFLASH_PORTS": "", "HUBFLASH_SERVER": "127.0.0.1:9"})
    PROGRAM.warm_up()


def tearDownModule():
    PROGRAM.shut_down()


# ctest: native windows
class UsageTest(unittest.TestCase):
    def test_texts_of_runs_that_end_at_the_command_line(self):
        too_long = "p" * (port_name_limit() + 1)
        refusal = "ERROR: Serial port name longer than %d characters\n" % port_name_limit()
        for args, stdout, stderr in (
                ([], USAGE, ""),
                (["--help"], HELP, ""),
                (["--version"], VERSION, ""),
                (["stray", "--help", "--auto"], HELP, ""),  # uncounted words leave help in charge
                (["--version", "--port", PORT], USAGE, ""),  # a counted one does not
                (["--fw", FIRMWARE, "--port"], USAGE, ""),
                (["--port", PORT], USAGE, NO_FIRMWARE),
                (["--fw", FIRMWARE], USAGE, NO_PORT),
                (["--exit-bootloader"], USAGE, NO_PORT),
                (["--HELP"], USAGE, NO_FIRMWARE),
                (["--fw", "f" * 2000, "--port", too_long], USAGE, refusal),
                (["--port", too_long, "--exit-bootloader"], USAGE, refusal)):
            with self.subTest(args=args):
                result = PROGRAM.run(args)
                self.assertEqual(result.stdout, PROGRAM.text(stdout))
                self.assertEqual(result.stderr, PROGRAM.text(stderr))
                self.assertEqual(result.code, 255)

    def test_port_name_as_long_as_the_platform_allows_is_used_whole(self):
        port = (PORT + "7" * 300)[:port_name_limit()]
        result = PROGRAM.run(["--port", port, "--exit-bootloader"], timeout=120)
        self.assertTrue(result.stdout.startswith(PROGRAM.text(BANNER)), result.stdout[:200])
        unable = PROGRAM.text("ERROR: Unable to connect to device on serial port %s\n" % port)
        self.assertTrue(result.stderr.endswith(unable), result.stderr[-400:])
        self.assertEqual(result.code, 255)


if __name__ == "__main__":
    PROGRAM, rest = hubtest.parse_command_line()
    unittest.main(argv=rest, verbosity=1)
