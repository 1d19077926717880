#!/usr/bin/env python3
"""The command line of the real hubflash binary: usage, help, version, the
precedence between options, the refusals and which action a line starts.

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


class ExactOutput(unittest.TestCase):
    """Runs that end in options_load: their whole output is known."""

    def check(self, cases):
        for args, stdout, stderr in cases:
            with self.subTest(args=args):
                result = PROGRAM.run(args)
                self.assertEqual(result.stdout, PROGRAM.text(stdout))
                self.assertEqual(result.stderr, PROGRAM.text(stderr))
                self.assertEqual(result.code, 255)

    def test_usage_help_and_version_alone(self):
        self.check([
            ([], USAGE, ""),
            (["--help"], HELP, ""),
            (["--version"], VERSION, ""),
        ])

    def test_help_or_version_beside_another_counted_option_gives_usage_only(self):
        self.check([
            (["--help", "--version"], USAGE, ""),
            (["--version", "--help"], USAGE, ""),
            (["--help", "--help"], USAGE, ""),
            (["--version", "--version"], USAGE, ""),
            (["--version", "--port", PORT], USAGE, ""),
            (["--fw", FIRMWARE, "--help"], USAGE, ""),
        ])

    def test_uncounted_options_leave_help_and_version_in_charge(self):
        self.check([
            (["--help", "--auto"], HELP, ""),
            (["--exit-bootloader", "--force", "--bootloader", "--prompt", "--no-status",
              "--tx-rate", "--basic-status", "--help"], HELP, ""),
            (["--version", "--force"], VERSION, ""),
            (["--auto", "--version"], VERSION, ""),
        ])

    def test_option_without_its_argument_gives_usage_only(self):
        self.check([
            (["--fw", FIRMWARE, "--port"], USAGE, ""),
            (["--fw"], USAGE, ""),
            (["--port", PORT, "--fw"], USAGE, ""),
            # The missing argument outranks help, and stops the walk before --auto.
            (["--help", "--port"], USAGE, ""),
            (["--auto", "--fw"], USAGE, ""),
        ])

    def test_missing_firmware_or_port(self):
        self.check([
            (["--port", PORT], USAGE, NO_FIRMWARE),
            (["--fw", FIRMWARE], USAGE, NO_PORT),
            (["--force", "--bootloader"], USAGE, NO_FIRMWARE),
            (["--exit-bootloader"], USAGE, NO_PORT),
            (["--exit-bootloader", "--fw", FIRMWARE], USAGE, NO_PORT),
        ])

    def test_argument_after_fw_or_port_is_taken_whatever_it_says(self):
        self.check([
            (["--fw", "--port", PORT], USAGE, NO_PORT),
            (["--fw", "--help"], USAGE, NO_PORT),
            (["--port", "--version"], USAGE, NO_FIRMWARE),
        ])

    def test_options_are_exact_and_case_sensitive(self):
        self.check([
            (["--exit_bootloader", "--port", PORT], USAGE, NO_FIRMWARE),
            (["--HELP"], USAGE, NO_FIRMWARE),
            (["-help"], USAGE, NO_FIRMWARE),
            (["--Version"], USAGE, NO_FIRMWARE),
            (["-version"], USAGE, NO_FIRMWARE),
            (["--help=yes"], USAGE, NO_FIRMWARE),
            (["--AUTO", "--port", PORT], USAGE, NO_FIRMWARE),
            (["-fw", FIRMWARE, "--port", PORT], USAGE, NO_FIRMWARE),
            (["--fw", FIRMWARE, "--PORT", PORT], USAGE, NO_PORT),
            (["--Exit-Bootloader"], USAGE, NO_FIRMWARE),
        ])

    def test_stray_words_do_not_disturb_the_parse(self):
        self.check([
            (["stray", "--help", "words"], HELP, ""),
            (["--version", "x", "y", "z"], VERSION, ""),
            (["a", "--fw", FIRMWARE, "b"], USAGE, NO_PORT),
        ])

    def test_over_long_arguments_are_cut_or_refused_not_overrun(self):
        too_long = "p" * (port_name_limit() + 1)
        refusal = "ERROR: Serial port name longer than %d characters\n" % port_name_limit()
        self.check([
            (["--fw", "f" * 2000], USAGE, NO_PORT),
            (["--port", too_long], USAGE, NO_FIRMWARE),
            (["--port", too_long, "--fw", "f" * 2000, "--version"], USAGE, ""),
            (["--port", too_long, "--exit-bootloader"], USAGE, refusal),
            (["--fw", "f" * 2000, "--port", too_long], USAGE, refusal),
        ])


def took_path(result):
    """Which action a run reached, from what each action is known to print first."""
    paths = set()
    if b"Firmware path:" in result.stdout or b"manual update" in result.stderr:
        paths.add("manual")
    if b"Searching for attached hubs" in result.stdout or b"automatic update" in result.stderr:
        paths.add("auto")
    # Only the exit action talks about the port without printing the settings first.
    if b"exit-bootloader" in result.stderr or PORT.encode() in result.stderr:
        paths.add("exit")
    return paths


class ActionChosen(unittest.TestCase):
    """Runs that reach an action: the banner comes first and the right action runs."""

    def check(self, args, path):
        result = PROGRAM.run(args, timeout=120)
        self.assertTrue(result.stdout.startswith(PROGRAM.text(BANNER)), result.stdout[:200])
        self.assertEqual(result.stdout.count(PROGRAM.text(BANNER)), 1)
        for refusal in (NO_FIRMWARE, NO_PORT):
            self.assertNotIn(refusal.encode(), result.stderr)
        self.assertNotIn(USAGE.splitlines()[0].encode(), result.stdout)
        self.assertEqual(took_path(result), {path}, (result.stdout[:300], result.stderr[:300]))
        # Nothing here can succeed: no such port, file, hub or server.
        self.assertEqual(result.code, 255)

    def test_auto_wins_over_firmware_port_and_exit(self):
        for args in (["--auto"],
                     ["--auto", "--fw", FIRMWARE, "--port", PORT],
                     ["--port", PORT, "--exit-bootloader", "--prompt", "--auto"]):
            with self.subTest(args=args):
                self.check(args, "auto")

    def test_exit_bootloader_wins_over_manual_update(self):
        for args in (["--port", PORT, "--exit-bootloader", "--fw", FIRMWARE],
                     ["junk", "--exit-bootloader", "more", "--port", PORT, "--force"]):
            with self.subTest(args=args):
                self.check(args, "exit")

    def test_port_name_as_long_as_the_platform_allows_is_used_whole(self):
        port = (PORT + "7" * 300)[:port_name_limit()]
        result = PROGRAM.run(["--port", port, "--exit-bootloader"], timeout=120)
        unable = PROGRAM.text("ERROR: Unable to connect to device on serial port %s\n" % port)
        self.assertTrue(result.stderr.endswith(unable), result.stderr[-400:])
        self.assertEqual(result.code, 255)

    def test_firmware_and_port_start_the_manual_update(self):
        for args in (["--fw", FIRMWARE, "--port", PORT],
                     ["--port", "--help", "--fw", "--version", "--bootloader"]):
            with self.subTest(args=args):
                self.check(args, "manual")


if __name__ == "__main__":
    PROGRAM, rest = hubtest.parse_command_line()
    unittest.main(argv=rest, verbosity=1)
