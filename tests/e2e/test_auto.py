#!/usr/bin/env python3
"""The automatic update end to end: the real hubflash scanning hubs played by
hubsim (listed in HUBFLASH_PORTS) and downloading from the suite's own
firmware server (tools/fwserver.py, named in HUBFLASH_SERVER).

    test_auto.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]

Each test class is one CTest entry, so the hubs' fixed waits run in parallel.
How a download goes (refused connections, redirects, chunks, exact sizes,
failures) is the HTTP unit tests' part; here what the update makes of it.
"""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simtest  # noqa: E402
import fwserver  # noqa: E402  (found through simtest's path)
from simtest import Hub, UpdateChecks, detailed_progress, make_image, temp_dir  # noqa: E402

BANNER = b"hubflash v3.00\n"
SEARCH = b"Searching for attached hubs, please wait...\n"
NO_HUBS = b"ERROR: Unable to find any Corvane hubs.\n"
INVALID = b"ERROR: Invalid firmware\n"
NO_RELEASE = b"ERROR: No firmware release available\n"
NO_CHOICE = b"ERROR: No choice made\n"
NO_LIST = b"Unable to download firmware list\n"
NO_STABLE = b"Unable to download firmware stable list\n"
DONE = b"Device updated successfully.\n"
SWITCHING = b"Switching to bootloader\n"
GAVE_UP = b"Failed to update the Corvane hub. Please power cycle the hub and run hubflash again.\r\n"

TYPES = (0x0101, 0x0201)
SECTIONS = ("0101:1024", "0201:512")
PROGRESS = detailed_progress(8 + 8).encode()
LISTS = ["/firmware/manifest", "/firmware/stable"]


def updating(port, hwid, version):
    return b"\nUpdating device %s (%04x) with v%d.%02d\n" % (port.encode(), hwid, version // 100,
                                                              version % 100)


def skipped(port, hwid, reason=b"No firmware release"):
    return b"\n%s for device %s (%04x); skipped\n" % (reason, port.encode(), hwid)


def summary(updated, hubs):
    return b"Updated %d of %d hubs\n" % (updated, hubs)


def hub_line(number, serial, port):
    return b"  %d)  (s/n %s) on port %s\n" % (number, serial.encode(), port.encode())


class AutoCase(unittest.TestCase, UpdateChecks):
    def setUp(self):
        self.dir = temp_dir(self)
        self.server = fwserver.FirmwareServer()
        self.addCleanup(self.server.stop)

    def hub(self, name, hwid=0x1030, mode="bootloader", *args):
        return Hub(self, self.dir, "--mode", mode, "--hwid", "%04x" % hwid,
                   "--device-type", "0101,0201", "--per-open-counter", *args, name=name)

    def image(self, version, seed=1):
        image = make_image(self.dir, version, SECTIONS, seed, name="v%d-%d.txt" % (version, seed))
        with open(image.path, "rb") as f:
            image.data = f.read()
        return image

    def publish(self, releases, stable=None):
        """releases: (version, file, size, label) each; stable: its text, or None for a 404."""
        self.server.set("/firmware/manifest", "".join("%d,%s,%d,%s\n" % r for r in releases))
        if stable is not None:
            self.server.set("/firmware/stable", stable)

    def run_auto(self, ports, *flags, stdin=b"", server=None, timeout=240):
        env = dict(os.environ, HUBFLASH_PORTS=",".join(ports),
                   HUBFLASH_SERVER=server or self.server.address)
        command = [simtest.TOOLS.hubflash, "--auto"] + list(flags)
        try:
            done = subprocess.run(command, input=stdin, capture_output=True, timeout=timeout,
                                  env=env)
        except subprocess.TimeoutExpired:
            raise AssertionError("no exit within %s s: %s" % (timeout, " ".join(command)))
        return simtest.Result(done.stdout, done.stderr, done.returncode)

    def assert_refused(self, result, stderr, requests):
        """A run that ends before any hub is updated."""
        self.assertEqual(result.stdout, BANNER + SEARCH)
        self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.code, 255)
        self.assertEqual(self.server.requests, requests)


class UpdateAllTest(AutoCase):
    def test_each_hub_gets_the_release_named_for_its_own_id(self):
        first = self.hub("hubA", 0x1030, "normal", "--restart-ms", "1000", "--serial", "11")
        unlisted = self.hub("hubC", 0x1011, "bootloader", "--serial", "33")
        invalid = self.hub("hubD", 0x1010, "bootloader", "--serial", "44")
        second = self.hub("hubB", 0x1020, "bootloader", "--serial", "22")
        image = self.image(215)
        other = self.image(300, seed=2)
        self.publish([(300, "hub-3.00.ufw", len(other.data), "Newest"),
                      (215, "hub-2.15.ufw", len(image.data), "Stable"),
                      (100, "missing.ufw", 1000, "Old")],
                     "1020,300\n1030,215\n1010,100\n")
        self.server.set("/firmware/hub-3.00.ufw", other.data)
        self.server.set("/firmware/hub-2.15.ufw", image.data)
        result = self.run_auto([first.port, unlisted.port, invalid.port, second.port])
        self.assertEqual(result.stderr, INVALID)
        self.assertEqual(result.stdout, BANNER + SEARCH
                         + updating(first.port, 0x1030, 215) + SWITCHING + PROGRESS + DONE
                         + skipped(unlisted.port, 0x1011)
                         + skipped(invalid.port, 0x1010, b"No valid firmware")
                         + updating(second.port, 0x1020, 300) + PROGRESS + DONE + summary(2, 4))
        self.assertEqual(result.code, 1)
        self.assertEqual(self.assert_hub_updated(first, image, TYPES)["commands"]["boot_mode"], 1)
        # Already in its bootloader: not switched again.
        self.assertEqual(self.assert_hub_updated(second, other, TYPES)["commands"]["boot_mode"], 0)
        self.assert_untouched(unlisted)
        self.assert_untouched(invalid)
        self.assertEqual(self.server.requests, LISTS + ["/firmware/hub-2.15.ufw",
                                                        "/firmware/missing.ufw",
                                                        "/firmware/hub-3.00.ufw"])


class PromptTest(AutoCase):
    def test_refused_choices_reprompt_and_only_the_chosen_hub_is_updated(self):
        hubs = [self.hub("hub%d" % n, hwid, "bootloader", "--serial", str(n * 11))
                for n, hwid in ((1, 0x1030), (2, 0x1020), (3, 0x1011))]
        image = self.image(215)
        self.publish([(215, "hub-2.15.ufw", len(image.data), "Stable")], "1030,999\n")
        self.server.set("/firmware/hub-2.15.ufw", image.data)
        result = self.run_auto([h.port for h in hubs], "--prompt", stdin=b"0\n4\nword 1\n\n 2\n1\n")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout, BANNER + SEARCH
                         + b"\nPlease choose which device to update\n"
                         + hub_line(1, "1030.0011", hubs[0].port)
                         + hub_line(2, "1020.0022", hubs[1].port)
                         + hub_line(3, "1011.0033", hubs[2].port)
                         + b"Device: " * 4
                         + b"\nPlease choose which firmware to use\n  1) v2.15 (Stable)\nFirmware: "
                         + updating(hubs[1].port, 0x1020, 215) + PROGRESS + DONE + summary(1, 1))
        self.assertEqual(result.code, 0)
        self.assert_hub_updated(hubs[1], image, TYPES)
        self.assert_untouched(hubs[0])
        self.assert_untouched(hubs[2])

    def test_input_that_ends_at_a_prompt_ends_the_run(self):
        hub = self.hub("hub")
        self.publish([(215, "hub-2.15.ufw", 1000, "Stable")], "")
        result = self.run_auto([hub.port], "--prompt", stdin=b"9\n")
        self.assertTrue(result.stdout.endswith(b"Device: Device: "), result.stdout)
        self.assertEqual(result.stderr, NO_CHOICE)
        self.assertEqual(result.code, 255)
        self.assertEqual(self.server.requests, [])
        result = self.run_auto([hub.port], "--prompt", stdin=b"1\n0")
        self.assertTrue(result.stdout.endswith(b"Firmware: Firmware: "), result.stdout)
        self.assertEqual(result.stderr, NO_CHOICE)
        self.assertEqual(result.code, 255)
        self.assertEqual(self.server.requests, LISTS)
        self.assert_untouched(hub)


class ReleaseListTest(AutoCase):
    def test_eight_releases_are_listed_as_five(self):
        hub = self.hub("hub")
        long_name = "n" * 80
        releases = [(1000, "ten.ufw", 1000, "Ten\x1b[2J\x7f"), (215, "b.ufw", 1000, "L" * 40),
                    (5, "c.ufw", 1000, "Beta\r"), (300, "d.ufw", 1000, ""),
                    (310, long_name, 1000, "Long name, with commas"), (320, "f.ufw", 1000, "Sixth"),
                    (330, "g.ufw", 1000, "Seventh"), (340, "h.ufw", 1000, "Eighth")]
        self.publish(releases, "")
        result = self.run_auto([hub.port], "--prompt", stdin=b"1\n6 8 0\n5\n")
        self.assertEqual(result.stdout, BANNER + SEARCH
                         + b"\nPlease choose which device to update\n"
                         + hub_line(1, "1030.1234", hub.port) + b"Device: "
                         + b"\nPlease choose which firmware to use\n"
                         + b"  1) v10.00 (Ten?[2J?)\n"
                         + b"  2) v2.15 (" + b"L" * 31 + b")\n"
                         + b"  3) v0.05 (Beta)\n"
                         + b"  4) v3.00 ()\n"
                         + b"  5) v3.10 (Long name, with commas)\n"
                         + b"Firmware: " * 4)
        # The fifth release is fetched by the first 63 characters of its name;
        # the server has no such file.
        self.assertEqual(result.stderr, INVALID)
        self.assertEqual(result.code, 255)
        self.assertEqual(self.server.requests, LISTS + ["/firmware/" + long_name[:63]])
        self.assert_untouched(hub)


class StableListTest(AutoCase):
    RELEASES = [(300, "a.ufw", 1000, "A"), (215, "b.ufw", 1000, "B"), (210, "c.ufw", 1000, "C")]

    def test_the_release_chosen_for_the_hubs_id(self):
        hub = self.hub("hub", 0x1030)
        cases = [("1020,215\n", None),               # no line for the hub's id
                 ("1030,0\n1030,215\n", None),       # version 0, and the first line counts
                 ("1030,210\n1030,215\n", "c.ufw"),
                 ("junk\n0x1030,215\r\n", "b.ufw"),
                 ("\n\n1030,215", "b.ufw")]
        for stable, file in cases:
            with self.subTest(stable=stable):
                self.server.clear()
                self.publish(self.RELEASES, stable)
                # The server has none of the files: the run ends once the choice shows.
                fetched = ["/firmware/" + file] if file else []
                self.assert_refused(self.run_auto([hub.port]), INVALID if file else NO_RELEASE,
                                    LISTS + fetched)
        self.assert_untouched(hub)

    def test_missing_lists_and_versions(self):
        hub = self.hub("hub", 0x1030)
        self.publish(self.RELEASES)  # no stable list
        self.assert_refused(self.run_auto([hub.port]), NO_STABLE + NO_RELEASE, LISTS)
        self.server.clear()
        self.publish(self.RELEASES, "1030,999\n")
        self.assert_refused(self.run_auto([hub.port]), NO_RELEASE, LISTS)
        self.server.clear()
        self.server.set("/firmware/stable", "1030,215\n")
        self.assert_refused(self.run_auto([hub.port]), NO_LIST + NO_RELEASE, LISTS)
        self.server.clear()
        self.server.set("/firmware/manifest", "215,b.ufw\n\r\n")
        self.server.set("/firmware/stable", "")
        self.assert_refused(self.run_auto([hub.port]), NO_RELEASE, LISTS)
        self.server.clear()
        self.publish([], "1030,215\n")
        self.assert_refused(self.run_prompted(hub), NO_RELEASE, LISTS)
        self.assert_untouched(hub)

    def run_prompted(self, hub):
        """A run with --prompt that chooses the first hub; its output without the hub question."""
        result = self.run_auto([hub.port], "--prompt", stdin=b"1\n1\n")
        prompt = (b"\nPlease choose which device to update\n"
                  + hub_line(1, "1030.1234", hub.port) + b"Device: ")
        self.assertTrue(result.stdout.endswith(prompt), result.stdout)
        return simtest.Result(result.stdout[:-len(prompt)], result.stderr, result.code)


class NoHubTest(AutoCase):
    def test_no_port_to_scan(self):
        self.assert_refused(self.run_auto([]), NO_HUBS, [])

    def test_a_server_that_is_no_address_is_told_before_the_scan(self):
        result = self.run_auto(["/dev/null"], server="host/x")
        self.assertEqual((result.stdout, result.code), (BANNER, 255))
        self.assertEqual(result.stderr, b"ERROR: HUBFLASH_SERVER is not a valid server address: host/x\n")

    def test_a_port_without_a_hub(self):
        silent = Hub(self, self.dir, "--absent", "1,2", name="silent")
        result = self.run_auto([silent.port], timeout=60)
        self.assert_refused(result, b"ERROR: Unable to detect a Corvane hub on port %s\n"
                            % silent.port.encode() + NO_HUBS, [])


class UnpluggedTest(AutoCase):
    def test_hubs_gone_or_given_up_are_passed_over(self):
        gone = self.hub("hubA", 0x1030)
        # Every block's CRC is wrong: the upload gives up when failures reach the 16 blocks.
        failing = self.hub("hubB", 0x1030, "bootloader", "--serial", "22", "--wrong-crc", "1-1000")
        kept = self.hub("hubC", 0x1030, "bootloader", "--serial", "33")
        image = self.image(215)
        # The manifest is asked for right after the scan: that is when hub A goes away.
        self.server.set("/firmware/manifest", fwserver.Reply(
            b"215,hub.ufw,%d,Stable\n" % len(image.data), before=gone.stop))
        self.server.set("/firmware/stable", "1030,215\n")
        self.server.set("/firmware/hub.ufw", image.data)
        result = self.run_auto([gone.port, failing.port, kept.port])
        self.assertEqual(result.stdout, BANNER + SEARCH
                         + updating(gone.port, 0x1030, 215)
                         + b"Unable to open hub on port %s\n" % gone.port.encode()
                         + updating(failing.port, 0x1030, 215)
                         + b"\rUpdating, please wait   0000/0000/0016  |" + GAVE_UP
                         + updating(kept.port, 0x1030, 215) + PROGRESS + DONE + summary(1, 3))
        self.assertRegex(result.stderr.decode(),
                         r"ERROR: Unable to (detect a Corvane hub on port|connect to device on "
                         r"serial port) %s\n$" % re.escape(gone.port))
        self.assertEqual(result.code, 1)
        self.assert_hub_updated(kept, image, TYPES)
        self.assertEqual(gone.report["commands"]["upload_line"], 0)
        self.assertEqual(failing.stop()["commands"]["part_crc"], 16)
        self.assertEqual(self.server.requests, LISTS + ["/firmware/hub.ufw"])


class NotReadyTest(AutoCase):
    def test_a_hub_whose_board_never_returns_after_the_switch_is_passed_over(self):
        # Board 2 answers neither before nor after the restart into the bootloader.
        hub = self.hub("hubA", 0x1030, "normal", "--restart-ms", "1000", "--absent", "2")
        image = self.image(215)
        self.publish([(215, "hub.ufw", len(image.data), "Stable")], "1030,215\n")
        self.server.set("/firmware/hub.ufw", image.data)
        result = self.run_auto([hub.port])
        self.assertEqual(result.stdout, BANNER + SEARCH + updating(hub.port, 0x1030, 215)
                         + SWITCHING + b"Board 2 not found\r\n"
                         + b"Unable to open hub in bootloader mode on port %s\n" % hub.port.encode()
                         + summary(0, 1))
        self.assertEqual(result.stderr, b"ERROR: This Corvane hub is in an unknown state. Please "
                                        b"power cycle the hub and try again.\n")
        self.assertEqual(result.code, 1)
        report = hub.stop()
        self.assertEqual(report["commands"]["boot_mode"], 1)
        self.assertGreaterEqual(report["commands"]["reboot_boot"], 1)
        self.assertEqual(report["commands"]["upload_line"], 0)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
