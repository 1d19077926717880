#!/usr/bin/env python3
"""The field tools end to end: --info, --list, --trace and --json."""

import json
import os
import re
import unittest

import simtest
import fwserver  # found through simtest's path
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, run_hubflash as run, temp_dir

INVALID = b"ERROR: Invalid firmware file\n"
NO_HUBS = b"ERROR: Unable to find any Corvane hubs.\n"

# The worked example of the image format: one 0201 section, one block.
EXAMPLE = (b"___123\r\n>>>0201\r\n:020000040000FA\r\n"
           b":10400000000102030405060708090A0B0C0D0E0F38\r\n:00000001FF\r\n!!!!!!!!\r\n")
EXAMPLE_SECTION = ("Section 1: device type 0201\n"
                   "Flash layout: highest address 0xFFFF, block size 64 bytes\nData lines: 3\n"
                   "Upload range: 0x4000-0x403F\nBlocks: 1\n0x4000 2D4B\n")


class InfoTest(unittest.TestCase):
    def test_texts_of_images_and_of_files_that_are_none(self):
        work, head = temp_dir(self), "Firmware version: 123 (v1.23)\nSections: %d\n"
        unknown = ("Section 2: device type 0301\nFlash layout: unknown device type\nData lines: 3\n"
                   "Upload range: none\nBlocks: 0\n")
        for name, data, stdout, stderr in (
                ("example.ufw", EXAMPLE, head % 1 + EXAMPLE_SECTION, b""),
                ("unknown.ufw", EXAMPLE + EXAMPLE.replace(b">>>0201", b">>>0301"),
                 head % 2 + EXAMPLE_SECTION + unknown, b""),
                ("bad.ufw", EXAMPLE.replace(b"0E0F38", b"0E0F39"), "", b"ERROR: Invalid record on line 4\n" + INVALID),
                ("missing.ufw", None, "", INVALID)):
            path = os.path.join(work, name)
            if data is not None:
                with open(path, "wb") as f:
                    f.write(data)
            result = run(["--info", "--fw", path])
            self.assertEqual((result.stdout, result.stderr, result.code),
                             (stdout.encode(), stderr, 255 if stderr else 0), name)


TRACE_LINE = re.compile(r"^ *(\d+)\.(\d{3}) ([<>=]) (.*)$")


def parse_trace(stderr):
    """(direction, text) of every trace line; fails on any other stderr line."""
    events, last = [], -1
    for line in stderr.decode().splitlines():
        m = TRACE_LINE.match(line)
        assert m, "not a trace line: %r" % line
        stamp = int(m.group(1)) * 1000 + int(m.group(2))
        # Port events come from the watcher thread; a millisecond of skew is all they may show.
        assert stamp + 1 >= last, "time runs backwards at %r" % line
        last = max(last, stamp)
        events.append((m.group(3), m.group(4)))
    return events


class TraceTest(unittest.TestCase, UpdateChecks):
    def test_trace_shows_every_line_in_order_and_leaves_stdout_alone(self):
        work = temp_dir(self)
        image = make_image(work, 310, ("0101:512", "0201:256"))
        hub = Hub(self, work, "--mode", "bootloader", "--device-type", "0101,0201")
        result = run(["--fw", image.path, "--port", hub.port, "--trace"])
        self.assertEqual((result.stdout, result.code), ((manual_header(image.path, hub.port, image.version)
                                                         + "Found device: Halbern-16\n" + detailed_progress(8)
                                                         + "Device updated successfully.\n").encode(), 0))
        report = self.assert_hub_updated(hub, image, (0x0101, 0x0201))
        self.assertEqual(report["commands"]["upload_line"], 4 * 8 + 4 * 4, "each line sent once")
        events = parse_trace(result.stderr)
        self.assertEqual((events[0], events[-1]), (("=", "open " + hub.port), ("=", "close " + hub.port)))
        with open(hub.log_path) as f:
            sim = [w[1:] for w in (line.strip().split(" ", 2) for line in f) if w[1] in ("rx", "tx")]
        self.assertEqual([t for d, t in events if d == ">"], [t for d, t in sim if d == "rx"])
        # Received lines appear in order, without their line end, amid hubsim's lines that nobody read.
        sent = iter(t.removesuffix("\\r\\n") for d, t in sim if d == "tx")
        received = [t for d, t in events if d == "<"]
        self.assertTrue(all(t in sent for t in received), received)
        self.assertGreater(len(received), 8)


class ListTest(unittest.TestCase, UpdateChecks):
    def test_two_hubs_and_a_port_without_one(self):
        work = temp_dir(self)
        normal = Hub(self, work, "--mode", "normal", "--hwid", "1050", "--fw", "305", "--serial", "4321", name="normal")
        boot = Hub(self, work, "--mode", "bootloader", "--hwid", "1030",
                   "--device-type", "0101,0201", "--fw", "306,299", "--serial", "77", name="boot")
        unknown = Hub(self, work, "--mode", "normal", "--hwid", "1234", "--identity-fw", "7", name="unknown")
        missing = os.path.join(work, "nothing-here")
        # A hub named twice, or by its link and by the device behind it, is listed once.
        ports = (normal.port, missing, boot.port, normal.port, os.path.realpath(boot.port), unknown.port)
        result = run(["--list"], env={"HUBFLASH_PORTS": ",".join(ports)})
        self.assertEqual((result.stderr, result.code), (b"", 0))
        self.assertEqual(result.stdout.decode().splitlines(), [
            "%s: Halbern-24 (1050), normal firmware, serial 1050.4321, firmware v3.05" % normal.port,
            "%s: Halbern-16 (1030), bootloader, serial 1030.0077, firmware v3.06; "
            "board 1: type 0101 v3.06; board 2: type 0201 v2.99" % boot.port,
            "%s: unknown hub type (1234), normal firmware, serial 1234.1234, firmware v7.00" % unknown.port])
        for hub in (normal, boot, unknown):
            self.assert_untouched(hub, ("upload_line", "boot_mode", "reboot_normal", "reboot_boot"))
        result = run(["--list"], env={"HUBFLASH_PORTS": missing})
        self.assertEqual((result.stdout, result.stderr, result.code), (b"", NO_HUBS, 255))


def events_of(result):
    """The JSON events of a --json run; fails on any stdout line that is not one."""
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


class JsonTest(unittest.TestCase, UpdateChecks):
    """--json for every action, against what the simulated hubs report."""

    def test_every_action(self):
        work = temp_dir(self)
        image = make_image(work, 310, ("0101:512", "0201:256"))
        boot, normal, auto1, auto2 = (
            Hub(self, work, "--mode", mode, "--hwid", hwid, "--device-type", "0101,0201", "--per-open-counter",
                *extra, name=name) for name, mode, hwid, extra in (
                ("boot", "bootloader", "1030", ("--fw", "305,299", "--serial", "77")),
                # A serial number that is not UTF-8 comes out with U+FFFD for the bad byte.
                ("normal", "normal", "1050", ("--identity-sn", "12\udcff34")),
                ("auto1", "bootloader", "1020", ()), ("auto2", "bootloader", "1010", ())))
        boot_event = {"event": "hub", "port": boot.port, "hwid": "1030", "name": "Halbern-16",
                      "mode": "bootloader", "serial": "1030.0077", "fw_version": 305,
                      "boards": [{"board": 1, "device_type": "0101", "fw_version": 305},
                                 {"board": 2, "device_type": "0201", "fw_version": 299}]}
        normal_event = {"event": "hub", "port": normal.port, "hwid": "1050", "name": "Halbern-24",
                        "mode": "normal", "serial": "12\ufffd34", "fw_version": 305, "boards": []}
        listed = run(["--json", "--list"], env={"HUBFLASH_PORTS": normal.port + "," + boot.port})
        self.assertEqual(events_of(listed), [normal_event, boot_event])

        server = fwserver.FirmwareServer()
        self.addCleanup(server.stop)
        for path, reply in (("manifest", "310,v310.ufw,%d,Stable\n" % len(image.data)), ("stable", "1020,310\n"),
                            ("v310.ufw", image.data)):
            server.set("/firmware/" + path, reply)
        automatic = simtest.start_hubflash(["--json", "--auto"], env={
            "HUBFLASH_PORTS": auto1.port + "," + auto2.port, "HUBFLASH_SERVER": server.address})
        manual = simtest.start_hubflash(["--json", "--fw", image.path, "--port", boot.port])

        refused = run(["--json", "--fw", image.path, "--port", normal.port])
        self.assertEqual((events_of(refused), refused.code), ([normal_event, {
            "event": "result", "port": normal.port, "ok": False, "error": "not_in_bootloader"}], 255))
        restarted = run(["--json", "--port", normal.port, "--exit-bootloader"])
        self.assertEqual((events_of(restarted), restarted.code), ([normal_event, {
            "event": "stage", "port": normal.port, "stage": "restarting"},
            {"event": "result", "port": normal.port, "ok": True}], 0))

        info = events_of(run(["--json", "--info", "--fw", image.path]))
        blocks = re.findall(r"^0x(\w+) (\w{4})$", run(["--info", "--fw", image.path]).stdout.decode(), re.M)
        self.assertEqual([int(a, 16) for a, _ in blocks], [0x4000 + size * i for size in (128, 64) for i in range(4)])
        self.assertEqual([(s["device_type"], s["blocks"], s["upload_start"]) for s in info[0]["sections"]],
                         [("0101", 4, 0x4000), ("0201", 4, 0x4000)])
        self.assertEqual((len(info), info[0]["version"], sum((s["crcs"] for s in info[0]["sections"]), [])),
                         (1, 310, [crc for _, crc in blocks]))

        events = events_of(simtest.wait_hubflash(manual))
        self.assertEqual((events[0], events[-1]), (boot_event, {"event": "result", "port": boot.port, "ok": True}))
        self.assertEqual([(e["done"], e["total"]) for e in events if e["event"] == "progress"],
                         [(n, 8) for n in range(1, 9)])
        self.assertEqual([e["stage"] for e in events if e["event"] == "stage"], ["uploading", "finishing"])
        self.assert_hub_updated(boot, image, (0x0101, 0x0201))

        events = events_of(simtest.wait_hubflash(automatic))
        self.assertEqual([e for e in events if e["event"] in ("result", "summary")], [
            {"event": "result", "port": auto1.port, "ok": True},
            {"event": "result", "port": auto2.port, "ok": False, "error": "no_release"},
            {"event": "summary", "updated": 1, "total": 2}])
        self.assert_hub_updated(auto1, image, (0x0101, 0x0201))


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
