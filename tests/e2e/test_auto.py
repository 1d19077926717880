#!/usr/bin/env python3
"""The automatic update end to end, one hub after another or all at once, over hubs
played by hubsim (HUBFLASH_PORTS) and the suite's firmware server (HUBFLASH_SERVER).
How a download goes and how the lists are read is the unit tests' part.
"""

import os
import pty
import re
import signal
import subprocess
import time
import unittest

import simtest
import fwserver  # found through simtest's path
from simtest import Hub, UpdateChecks, detailed_progress, make_image, temp_dir
from test_manual import INTERRUPTED

SEARCH = b"hubflash v3.00\nSearching for attached hubs, please wait...\n"
NO_HUBS = b"ERROR: Unable to find any Corvane hubs.\n"
INVALID = b"ERROR: Invalid firmware\n"
NO_RELEASE = b"ERROR: No firmware release available\n"

TYPES = (0x0101, 0x0201)
UPDATED = (detailed_progress(8 + 8) + "Device updated successfully.\n").encode()
LISTS = ["/firmware/manifest", "/firmware/stable"]


def updating(port, hwid, version):
    return b"\nUpdating device %s (%04x) with v%d.%02d\n" % (port.encode(), hwid, version // 100, version % 100)


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
        return make_image(self.dir, version, ("0101:1024", "0201:512"), seed, name="v%d-%d.txt" % (version, seed))

    def publish(self, releases, stable=None):
        """releases: (version, file, size, label) each; either list None for a 404."""
        self.server.clear()
        if releases is not None:
            self.server.set("/firmware/manifest", "".join("%d,%s,%d,%s\n" % r for r in releases))
        if stable is not None:
            self.server.set("/firmware/stable", stable)

    def release(self):
        """Release 2.15, the one for hubs 1030, on the server; returns its image."""
        image = self.image(215)
        self.publish([(215, "hub.ufw", len(image.data), "Stable")], "1030,215\n")
        self.server.set("/firmware/hub.ufw", image.data)
        return image

    def env(self, ports):
        return {"HUBFLASH_PORTS": ",".join(ports), "HUBFLASH_SERVER": self.server.address}

    def run_auto(self, ports, *flags, stdin=b""):
        return simtest.run_hubflash(["--auto", *flags], env=self.env(ports), stdin=stdin)

    def start_auto(self, ports, *flags, **streams):
        return simtest.start_hubflash(["--auto", *flags], env=self.env(ports), **streams)

    def assert_refused(self, result, stderr, requests):
        """A run that ends before any hub is updated."""
        self.assertEqual((result.stdout, result.stderr, result.code), (SEARCH, stderr, 255))
        self.assertEqual(self.server.requests, requests)


class UpdateAllTest(AutoCase):
    def test_each_hub_gets_the_release_named_for_its_own_id(self):
        first = self.hub("hubA", 0x1030, "normal", "--restart-ms", "1000", "--serial", "11")
        unlisted = self.hub("hubC", 0x1011, "bootloader", "--serial", "33")
        invalid = self.hub("hubD", 0x1010, "bootloader", "--serial", "44")
        second = self.hub("hubB", 0x1020, "bootloader", "--serial", "22")
        image, other = self.image(215), self.image(300, seed=2)
        self.publish([(300, "hub-3.00.ufw", len(other.data), "Newest"),
                      (215, "hub-2.15.ufw", len(image.data), "Stable"),
                      (100, "missing.ufw", 1000, "Old")],
                     "1020,300\n1030,215\n1010,100\n")
        self.server.set("/firmware/hub-3.00.ufw", other.data)
        self.server.set("/firmware/hub-2.15.ufw", image.data)
        result = self.run_auto([first.port, unlisted.port, invalid.port, second.port])
        self.assertEqual((result.stderr, result.code), (INVALID, 1))
        self.assertEqual(result.stdout, SEARCH
                         + updating(first.port, 0x1030, 215) + b"Switching to bootloader\n" + UPDATED
                         + b"\nNo firmware release for device %s (1011); skipped\n" % unlisted.port.encode()
                         + b"\nNo valid firmware for device %s (1010); skipped\n" % invalid.port.encode()
                         + updating(second.port, 0x1020, 300) + UPDATED + summary(2, 4))
        self.assertEqual(self.assert_hub_updated(first, image, TYPES)["commands"]["boot_mode"], 1)
        # Already in its bootloader: not switched again.
        self.assertEqual(self.assert_hub_updated(second, other, TYPES)["commands"]["boot_mode"], 0)
        for hub in (unlisted, invalid):
            self.assert_untouched(hub)
        self.assertEqual(self.server.requests,
                         LISTS + ["/firmware/hub-2.15.ufw", "/firmware/missing.ufw", "/firmware/hub-3.00.ufw"])


class PromptTest(AutoCase):
    def test_refused_choices_reprompt_and_only_the_chosen_hub_is_updated(self):
        hubs = [self.hub("hub%d" % n, hwid, "bootloader", "--serial", str(n * 11))
                for n, hwid in ((1, 0x1030), (2, 0x1020), (3, 0x1011))]
        image = self.image(215)
        self.publish([(215, "hub-2.15.ufw", len(image.data), "Stable")], "1030,999\n")
        self.server.set("/firmware/hub-2.15.ufw", image.data)
        result = self.run_auto([h.port for h in hubs], "--prompt", stdin=b"0\n4\nword 1\n\n 2\n1\n")
        self.assertEqual((result.stderr, result.code), (b"", 0))
        self.assertEqual(result.stdout, SEARCH + b"\nPlease choose which device to update\n"
                         + b"".join(hub_line(n, "%s.00%d%d" % (hwid, n, n), hub.port)
                                    for n, hwid, hub in zip((1, 2, 3), ("1030", "1020", "1011"), hubs))
                         + b"Device: " * 4
                         + b"\nPlease choose which firmware to use\n  1) v2.15 (Stable)\nFirmware: "
                         + updating(hubs[1].port, 0x1020, 215) + UPDATED + summary(1, 1))
        self.assert_hub_updated(hubs[1], image, TYPES)
        for hub in (hubs[0], hubs[2]):
            self.assert_untouched(hub)

    def test_five_of_eight_releases_are_listed_and_input_that_ends_at_a_prompt_ends_the_run(self):
        hub = self.hub("hub")
        releases = [(v, "%s.ufw" % n, 1000, n) for v, n in ((1000, "A"), (215, "B"), (5, "C"), (300, "D"),
                                                               (310, "E"), (320, "F"), (330, "G"), (340, "H"))]
        listed = (b"\nPlease choose which firmware to use\n  1) v10.00 (A)\n  2) v2.15 (B)\n  3) v0.05 (C)\n"
                  b"  4) v3.00 (D)\n  5) v3.10 (E)\n")
        no_choice = b"ERROR: No choice made\n"
        for stdin, end, stderr, requests in ((b"9\n", b"Device: ", no_choice, []),
                                             (b"1\n0", listed + b"Firmware: " * 2, no_choice, LISTS),
                                             (b"1\n6 8 0\n5\n", listed + b"Firmware: " * 4, INVALID,
                                              LISTS + ["/firmware/E.ufw"])):
            self.publish(releases, "")
            result = self.run_auto([hub.port], "--prompt", stdin=stdin)
            self.assertTrue(result.stdout.endswith(b"Device: " + end), result.stdout)
            self.assertEqual((result.stderr, result.code, self.server.requests), (stderr, 255, requests))
        self.assert_untouched(hub)


class RefusalTest(AutoCase):
    RELEASES = [(300, "a.ufw", 1000, "A"), (215, "b.ufw", 1000, "B"), (210, "c.ufw", 1000, "C")]

    def test_the_release_chosen_for_the_hubs_id(self):
        hub = self.hub("hub", 0x1030)
        # The server has none of the files: the run ends once the choice shows.
        for releases, stable, stderr, fetched in (
                (self.RELEASES, "1020,215\n", NO_RELEASE, []),  # no line for the hub's id
                # Version 0, though the manifest has a release 0; the first line counts.
                (self.RELEASES + [(0, "zero.ufw", 1000, "Zero")], "1030,0\n1030,215\n", NO_RELEASE, []),
                (self.RELEASES, "1030,210\n1030,215\n", INVALID, ["/firmware/c.ufw"]),
                (self.RELEASES, "1030,999\n", NO_RELEASE, []),  # not in the manifest
                (self.RELEASES, None, b"Unable to download firmware stable list\n" + NO_RELEASE, []),
                (None, "1030,215\n", b"Unable to download firmware list\n" + NO_RELEASE, [])):
            with self.subTest(stable=stable, releases=releases):
                self.publish(releases, stable)
                self.assert_refused(self.run_auto([hub.port]), stderr, LISTS + fetched)
        self.publish([], "1030,215\n")
        result = self.run_auto([hub.port], "--prompt", stdin=b"1\n1\n")
        self.assertEqual((result.stdout, result.stderr, result.code), (
            SEARCH + b"\nPlease choose which device to update\n" + hub_line(1, "1030.1234", hub.port)
            + b"Device: ", NO_RELEASE, 255))
        self.assert_untouched(hub)

    def test_no_port_to_scan(self):
        self.assert_refused(self.run_auto([]), NO_HUBS, [])


class UnpluggedTest(AutoCase):
    def test_hubs_gone_or_given_up_are_passed_over(self):
        gone = self.hub("hubA", 0x1030)
        # Every block's CRC is wrong: the upload gives up when failures reach the 16 blocks.
        failing = self.hub("hubB", 0x1030, "bootloader", "--serial", "22", "--wrong-crc", "1-1000")
        kept = self.hub("hubC", 0x1030, "bootloader", "--serial", "33")
        image = self.release()
        # The manifest is asked for right after the scan: that is when hub A goes away.
        self.server.set("/firmware/manifest", fwserver.Reply(
            b"215,hub.ufw,%d,Stable\n" % len(image.data), before=gone.stop))
        result = self.run_auto([gone.port, failing.port, kept.port])
        self.assertEqual(result.stdout, SEARCH
                         + updating(gone.port, 0x1030, 215)
                         + b"Unable to open hub on port %s\n" % gone.port.encode()
                         + updating(failing.port, 0x1030, 215)
                         + b"\rUpdating, please wait   0000/0000/0016  |Failed to update the Corvane hub. "
                         + b"Please power cycle the hub and run hubflash again.\r\n"
                         + updating(kept.port, 0x1030, 215) + UPDATED + summary(1, 3))
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
        self.release()
        result = self.run_auto([hub.port])
        self.assertEqual(result.stdout, SEARCH + updating(hub.port, 0x1030, 215)
                         + b"Switching to bootloader\nBoard 2 not found\r\n"
                         + b"Unable to open hub in bootloader mode on port %s\n" % hub.port.encode()
                         + summary(0, 1))
        self.assertEqual((result.stderr, result.code), (b"ERROR: This Corvane hub is in an unknown state. "
                                                        b"Please power cycle the hub and try again.\n", 1))
        commands = hub.stop()["commands"]
        self.assertEqual((commands["boot_mode"], commands["upload_line"]), (1, 0))
        self.assertGreaterEqual(commands["reboot_boot"], 1)


# ctest: threads
class ScanOrderTest(AutoCase):
    def test_output_comes_in_port_order_though_probes_end_out_of_order(self):
        # The hub in the middle is found at once, the terminals that never answer only
        # after the whole detection window; stdout and stderr share one pipe, so the order shows.
        terminals = [os.openpty() for _ in range(2)]
        for fd in sum(terminals, ()):
            self.addCleanup(os.close, fd)
        first, last = (os.ttyname(slave) for _, slave in terminals)
        hub = self.hub("hub", 0x1030, "normal")
        lines = simtest.wait_hubflash(self.start_auto([first, hub.port, last], "--json", stderr=subprocess.STDOUT),
                                      timeout=120).stdout.decode().splitlines()
        scan = [line for line in lines if "Unable to detect" in line or '"event":"hub"' in line]
        self.assertEqual(len(scan), 3, lines)
        for port, line in zip((first, '"port":"%s"' % hub.port, last), scan):
            self.assertIn(port, line)
        self.assert_untouched(hub)


# ctest: threads
class ParallelPassTest(AutoCase):
    def test_hubs_run_side_by_side_and_a_refusal_stops_no_other(self):
        image = self.release()
        switched = self.hub("hubA", 0x1030, "normal", "--restart-ms", "1000", "--serial", "11")
        ready = self.hub("hubB", 0x1030, "bootloader", "--serial", "22")
        # No section of the image fits this hub's second board: refused, nothing sent.
        wrong = self.hub("hubC", 0x1030, "bootloader", "--serial", "33", "--device-type", "0101,0203")
        result = simtest.wait_hubflash(self.start_auto([switched.port, ready.port, wrong.port], "--parallel"))
        self.assertEqual(result.code, 1, result.stderr)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "Updated 2 of 3 hubs")
        for hub, last in ((switched, "done"), (ready, "done"), (wrong, "failed")):
            tagged = [line for line in lines if line.startswith("[%s] " % hub.port)]
            self.assertEqual(tagged[-1:], ["[%s] %s" % (hub.port, last)], lines)
        self.assertEqual(result.stderr.decode().splitlines(),
                         ["[%s] ERROR: The file does not contain the correct firmware for this hub" % wrong.port])
        # Without a terminal each upload reports its stages and every tenth of its blocks.
        steps = [line.split("] ", 1)[1] for line in lines if line.startswith("[%s] " % ready.port)]
        percents = [int(m.group(1)) for m in map(re.compile(r"uploading (\d+)% ").match, steps) if m]
        self.assertEqual(percents, list(range(10, 101, 10)))
        self.assertLess(steps.index("uploading"), steps.index("finishing"))
        # Side by side: the hub listed second is finishing while the first is still busy.
        index = {line: n for n, line in enumerate(lines)}
        self.assertLess(index["[%s] finishing" % ready.port], index["[%s] done" % switched.port])
        self.assertEqual(self.assert_hub_updated(switched, image, TYPES)["commands"]["boot_mode"], 1)
        self.assert_hub_updated(ready, image, TYPES)
        self.assert_untouched(wrong)


# ctest: threads
class ParallelTerminalTest(AutoCase):
    def test_status_line_on_a_terminal_and_a_stop_between_lines(self):
        self.release()
        hubs = [self.hub("hub%d" % n, 0x1030, "bootloader", "--serial", str(n)) for n in (1, 2)]
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        proc = self.start_auto([h.port for h in hubs], "--parallel", stdout=slave)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 60
        # Both uploads under way: the status line shows blocks done of the total for each.
        while not all(re.search(rb"\[%s\] \d+/16" % re.escape(h.port.encode()), seen) for h in hubs):
            self.assertLess(time.monotonic(), deadline, seen[-500:])
            seen += os.read(master, 4096)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.communicate(timeout=30)[1:] + (proc.returncode,), (INTERRUPTED, 130))
        self.assertNotRegex(seen, rb"\] uploading \d+%", "on a terminal progress stays on the status line")
        for hub in hubs:
            self.assert_untouched(hub, ("finish",))


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
