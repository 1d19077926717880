#!/usr/bin/env python3
"""The field tools end to end: --info, --list, --trace and where they stand
in the order the command line is judged.

    test_tools.py --hubflash PATH --mkimage PATH --sample IMAGE [--hubsim PATH] [--wine] [TestClass ...]

With --wine the Windows hubflash runs under Wine (WINEPREFIX from the
environment); --list then reaches hubsim through a dosdevices/comN link.
Each test class is one CTest entry.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import unittest

import simtest
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, temp_dir

ARGS = None

USAGE = (b"hubflash - Corvane firmware updater\n\n"
         b"Usage: hubflash --fw <filename> --port <device> [--bootloader] [--force] [--no-status]\n"
         b"       hubflash --port <device> --exit-bootloader\n"
         b"       hubflash --auto [--prompt]\n"
         b"       hubflash --version\n"
         b"       hubflash --help\n")
INVALID = b"ERROR: Invalid firmware file\n"
MISSING_FW = b"ERROR: Missing firmware filename\n"
NO_HUBS = b"ERROR: Unable to find any Corvane hubs.\n"

# The worked example of the image format: one 0201 section, one block.
EXAMPLE = (b"___123\r\n>>>0201\r\n:020000040000FA\r\n"
           b":10400000000102030405060708090A0B0C0D0E0F38\r\n:00000001FF\r\n!!!!!!!!\r\n")
EXAMPLE_SECTION = ("Section 1: device type 0201\n"
                   "Flash layout: highest address 0xFFFF, block size 64 bytes\nData lines: 3\n"
                   "Upload range: 0x4000-0x403F\nBlocks: 1\n0x4000 2D4B\n")

TRACE_LINE = re.compile(r"^ *(\d+)\.(\d{3}) ([<>=]) (.*)$")


def parse_command_line():
    global ARGS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--hubflash", required=True)
    parser.add_argument("--mkimage", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--hubsim")
    parser.add_argument("--wine", action="store_true")
    ARGS, rest = parser.parse_known_args(sys.argv[1:])
    ARGS.sample = os.path.abspath(ARGS.sample)
    simtest.TOOLS = simtest.Tools(os.path.abspath(ARGS.hubflash),
                                  os.path.abspath(ARGS.hubsim) if ARGS.hubsim else "",
                                  os.path.abspath(ARGS.mkimage))
    return [sys.argv[0]] + rest


def run(args, env=None, timeout=240):
    if ARGS.wine:
        import winetest
        return winetest.run_hubflash(args, timeout, winetest.environment(env))
    full_env = dict(os.environ)
    full_env.update(env or {})
    command = simtest.hubflash_command(args)
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL, env=full_env)
    except subprocess.TimeoutExpired:
        raise AssertionError("no exit within %s s: %s" % (timeout, " ".join(command)))
    return simtest.Result(done.stdout, done.stderr, done.returncode)


def text(expected):
    """What the program writes for `expected` on this platform."""
    if isinstance(expected, str):
        expected = expected.encode()
    if ARGS.wine:
        import winetest
        return winetest.windows_text(expected)
    return expected


def path_arg(path):
    if ARGS.wine:
        import winetest
        return winetest.windows_path(path)
    return path


# ---- An image reader of the test's own, to check --info against ----

def crc16_ccitt(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


LAYOUTS = {0x0101: (0x1FFFF, 128), 0x0102: (0x1FFFF, 128), 0x0103: (0x1FFFF, 128),
           0x0201: (0xFFFF, 64), 0x0202: (0xFFFF, 64), 0x0203: (0xFFFF, 64), 0x0204: (0xFFFF, 64)}


def describe_flash(device_type, flash, highest, line_count):
    """--info's lines for one section, from its flash image (0xFF-filled from 0x4000)."""
    top, size = LAYOUTS[device_type]
    blocks = (highest // size * size + size - 0x4000) // size
    lines = ["Flash layout: highest address 0x%04X, block size %d bytes" % (top, size),
             "Data lines: %d" % line_count,
             "Upload range: 0x4000-0x%04X" % (0x4000 + blocks * size - 1),
             "Blocks: %d" % blocks]
    for i in range(blocks):
        lines.append("0x%04X %04X" % (0x4000 + i * size, crc16_ccitt(flash[i * size:(i + 1) * size])))
    return lines


def read_image(path):
    """(version, [(device_type, flash bytearray, highest byte, data lines)]) of a well-formed image."""
    version, sections, current = 0, [], None
    with open(path, "rb") as f:
        for raw in f.read().split(b"\n"):
            line = raw.rstrip(b"\r").decode()
            if not line:
                continue
            if line.startswith("___"):
                version = int(line[3:])
            elif current is None and line.startswith(">>>"):
                current = [int(line[3:7], 16), bytearray(b"\xff" * 0x1C000), 0, 0, 0]
            elif current is not None and line.startswith("!!!!!!!!"):
                sections.append(tuple(current[:3]) + (current[4],))
                current = None
            elif current is not None:
                current[4] += 1
                kind = int(line[7:9], 16)
                if kind == 4:
                    current[3] = int(line[9:13], 16) << 16
                elif kind == 0:
                    start = current[3] + int(line[3:7], 16)
                    data = bytes.fromhex(line[9:9 + 2 * int(line[1:3], 16)])
                    current[1][start - 0x4000:start - 0x4000 + len(data)] = data
                    current[2] = max(current[2], start + len(data) - 1)
    return version, sections


def expected_info(path):
    version, sections = read_image(path)
    lines = ["Firmware version: %d (v%d.%02d)" % (version, version // 100, version % 100),
             "Sections: %d" % len(sections)]
    for number, (device_type, flash, highest, count) in enumerate(sections, 1):
        lines.append("Section %d: device type %04X" % (number, device_type))
        lines += describe_flash(device_type, flash, highest, count)
    return "".join(line + "\n" for line in lines)


class InfoTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_dir(self)

    def info(self, path, *extra):
        return run(["--info", "--fw", path_arg(path)] + list(extra))

    def test_worked_example(self):
        path = os.path.join(self.dir, "example.ufw")
        with open(path, "wb") as f:
            f.write(EXAMPLE)
        result = self.info(path)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        self.assertEqual(result.stdout, text(
            "Firmware version: 123 (v1.23)\nSections: 1\n" + EXAMPLE_SECTION))

    def test_section_without_a_known_layout_has_no_blocks(self):
        path = os.path.join(self.dir, "unknown.ufw")
        with open(path, "wb") as f:
            f.write(EXAMPLE + EXAMPLE.replace(b">>>0201", b">>>0301") + b"___-7\n")
        result = self.info(path)
        self.assertEqual((result.code, result.stderr), (0, b""))
        self.assertEqual(result.stdout, text(
            "Firmware version: -7 (v-0.07)\nSections: 2\n" + EXAMPLE_SECTION +
            "Section 2: device type 0301\n"
            "Flash layout: unknown device type\nData lines: 3\nUpload range: none\nBlocks: 0\n"))

    def test_sample_image(self):
        result = self.info(ARGS.sample)
        self.assertEqual((result.code, result.stderr), (0, b""))
        self.assertEqual(result.stdout, text(expected_info(ARGS.sample)))
        self.assertIn(b"Firmware version: 306 (v3.06)", result.stdout)

    def test_generated_image_matches_the_flash_it_was_made_from(self):
        # Three sections, one type twice, blocks of both sizes; the CRCs are
        # checked against mkimage's own flash dumps, not against our reader.
        image = make_image(self.dir, 1207, ["0103:3000", "0204:1000", "0101:200"], seed=7)
        result = self.info(image.path)
        self.assertEqual((result.code, result.stderr), (0, b""))
        out = result.stdout.replace(b"\r\n", b"\n").decode()
        self.assertEqual(out, expected_info(image.path))
        self.assertTrue(out.startswith("Firmware version: 1207 (v12.07)\nSections: 3\n"))
        crcs = re.findall(r"^0x([0-9A-F]{4,5}) ([0-9A-F]{4})$", out, re.M)
        flash_0204 = image.expected_flash(0x0204)
        blocks_0103 = simtest.blocks_of(0x0103, 3000)
        blocks_0204 = simtest.blocks_of(0x0204, 1000)
        self.assertEqual(len(crcs), blocks_0103 + blocks_0204 + simtest.blocks_of(0x0101, 200))
        for i, (address, crc) in enumerate(crcs[blocks_0103:blocks_0103 + blocks_0204]):
            self.assertEqual(int(address, 16), 0x4000 + 64 * i)
            self.assertEqual(int(crc, 16), crc16_ccitt(flash_0204[64 * i:64 * (i + 1)]))

    def test_unusable_files(self):
        garbage = os.path.join(self.dir, "many-sections.ufw")
        with open(garbage, "w") as f:
            f.write("___1\n" + ">>>0101\n!!!!!!!!\n" * 300)  # more sections than any hub has boards
        page, bad_record = os.path.join(self.dir, "error.html"), os.path.join(self.dir, "bad.ufw")
        with open(page, "w") as f:
            f.write("<html><body><h1>404 Not Found</h1></body></html>\n")
        with open(bad_record, "wb") as f:
            f.write(EXAMPLE.replace(b"0E0F38", b"0E0F39"))  # a wrong checksum on line 4
        for path, stderr in ((os.path.join(self.dir, "missing.ufw"), INVALID), (self.dir, INVALID),
                             (garbage, INVALID), (page, INVALID),
                             (bad_record, b"ERROR: Invalid record on line 4\n" + INVALID)):
            with self.subTest(path=path):
                result = self.info(path)
                self.assertEqual(result.stderr, text(stderr))
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.code, 255)

    def test_without_an_image(self):
        result = run(["--info"])
        self.assertEqual(result.stderr, text(MISSING_FW))
        self.assertEqual(result.stdout, text(USAGE))
        self.assertEqual(result.code, 255)


class PrecedenceTest(unittest.TestCase):
    """The new words between --version and --auto; --info and --list are not counted."""

    def test_help_and_version_are_not_disturbed(self):
        help_text = run(["--help"])
        self.assertEqual(help_text.code, 255)
        for extra in (["--list"], ["--info"], ["--trace"], ["--list", "--info", "--trace", "--json"]):
            with self.subTest(extra=extra):
                self.assertEqual(run(["--help"] + extra).stdout, help_text.stdout)
                self.assertEqual(run(extra + ["--version"]).stdout, b"hubflash 3.00\n")
        # A counted option beside --help still gives the usage alone.
        result = run(["--help", "--list", "--fw", ARGS.sample])
        self.assertEqual((result.stdout, result.stderr, result.code), (USAGE, b"", 255))
        result = run(["--version", "--info", "--fw", ARGS.sample, "--trace"])
        self.assertEqual((result.stdout, result.stderr, result.code), (USAGE, b"", 255))

    def test_info_wins_over_list_auto_exit_and_update(self):
        alone = run(["--info", "--fw", ARGS.sample])
        self.assertEqual(alone.code, 0)
        for args in (["--list", "--info", "--fw", ARGS.sample],
                     ["--auto", "--info", "--fw", ARGS.sample],
                     ["--port", "/nonexistent/port", "--exit-bootloader", "--fw", ARGS.sample, "--info"],
                     ["--fw", ARGS.sample, "--port", "/nonexistent/port", "--info", "--trace"]):
            with self.subTest(args=args):
                result = run(args, env={"HUBFLASH_PORTS": ""})
                self.assertEqual((result.stdout, result.stderr, result.code), (alone.stdout, b"", 0))

    def test_list_wins_over_auto_exit_and_update(self):
        # With no port to scan, --auto would print its search banner and --exit-bootloader
        # would try the port; --list just reports that it found nothing.
        for args in (["--list"], ["--auto", "--list"], ["--list", "--port", "/nonexistent/port",
                                                        "--exit-bootloader"],
                     ["--fw", ARGS.sample, "--port", "/nonexistent/port", "--list"]):
            with self.subTest(args=args):
                result = run(args, env={"HUBFLASH_PORTS": ""})
                self.assertEqual((result.stdout, result.stderr, result.code), (b"", NO_HUBS, 255))

    def test_missing_argument_comes_first(self):
        for args in (["--info", "--fw"], ["--list", "--port"]):
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual((result.stdout, result.stderr, result.code), (USAGE, b"", 255))

    def test_trace_alone_is_still_a_manual_update_without_an_image(self):
        result = run(["--trace"])
        self.assertEqual((result.stdout, result.stderr, result.code), (USAGE, MISSING_FW, 255))


def parse_trace(stderr):
    """(direction, text) of every trace line; fails on any other stderr line."""
    events = []
    last = -1
    for line in stderr.decode().splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            raise AssertionError("not a trace line: %r" % line)
        stamp = int(m.group(1)) * 1000 + int(m.group(2))
        # Port events come from the watcher thread; a millisecond of skew is all they may show.
        if stamp + 1 < last:
            raise AssertionError("time runs backwards at %r" % line)
        last = max(last, stamp)
        events.append((m.group(3), m.group(4)))
    return events


def hubsim_log(hub):
    """Lines hubsim received, and lines it sent while the host had the port open."""
    received, sent, host_open = [], [], False
    with open(hub.log_path) as f:
        for line in f:
            body = line.rstrip("\n").lstrip().split(" ", 1)[1]
            if body.startswith("host opened"):
                host_open = True
            elif body.startswith("host closed") or body.startswith("port vanishes"):
                host_open = False
            elif body.startswith("rx "):
                received.append(body[3:])
            elif body.startswith("tx ") and host_open:
                sent.append(body[3:])
    return received, sent


class TraceTest(unittest.TestCase):
    types = (0x0101, 0x0201)
    sections = ("0101:512", "0201:256")

    def setUp(self):
        self.dir = temp_dir(self)

    def update(self, *hub_args):
        image = make_image(self.dir, 310, self.sections)
        hub = Hub(self, self.dir, "--mode", "bootloader", "--device-type", "0101,0201", *hub_args)
        result = run(["--fw", image.path, "--port", hub.port, "--trace"])
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:5])
        return image, hub, result

    def test_trace_shows_every_line_in_order_and_leaves_stdout_alone(self):
        image, hub, result = self.update()
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        total = simtest.blocks_of(0x0101, 512) + simtest.blocks_of(0x0201, 256)
        self.assertEqual(result.stdout, (manual_header(image.path, hub.port, image.version)
                                         + "Found device: Halbern-16\n" + detailed_progress(total)
                                         + "Device updated successfully.\n").encode())
        events = parse_trace(result.stderr)
        self.assertEqual(events[0], ("=", "open " + hub.port))
        self.assertEqual(events[-1], ("=", "close " + hub.port))
        ours_sent = [t for d, t in events if d == ">"]
        ours_received = [t for d, t in events if d == "<"]
        sim_received, sim_sent = hubsim_log(hub)
        self.assertEqual(ours_sent, sim_received)
        self.assertTrue(any("!PART_CRC=" in t for t in ours_sent))
        # Received lines appear without their line end; the ones the hub sent
        # after the program's last read (acknowledgements of the finishing
        # commands, which nobody waits for) may be missing at the end.
        sim_lines = [t[:-4] if t.endswith("\\r\\n") else t for t in sim_sent]
        self.assertEqual(ours_received, sim_lines[:len(ours_received)])
        self.assertTrue(all("+>" in t for t in sim_lines[len(ours_received):]),
                        sim_lines[len(ours_received):])
        self.assertGreater(len(ours_received), total)

    def test_port_loss_shows_as_vanish_return_and_reopen(self):
        image, hub, result = self.update("--vanish-after", "3", "--vanish-ms", "1500")
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        events = [(d, t) for d, t in parse_trace(result.stderr) if d == "="]
        port_events = [t.rsplit(" ", 1)[0] for d, t in events]
        self.assertEqual(port_events[0], "open")
        self.assertIn("vanished", port_events)
        after = port_events[port_events.index("vanished"):]
        self.assertEqual(after[:3], ["vanished", "returned", "open"], port_events)
        self.assertEqual(port_events[-1], "close")
        self.assertEqual(hub.report["vanishes"], 1)

    def test_without_trace_nothing_goes_to_stderr(self):
        image = make_image(self.dir, 310, self.sections)
        hub = Hub(self, self.dir, "--mode", "bootloader", "--device-type", "0101,0201")
        result = run(["--fw", image.path, "--port", hub.port])
        self.assertEqual((result.code, result.stderr), (0, b""))


class ListCase(unittest.TestCase):
    def setUp(self):
        self.dir = temp_dir(self)

    def assert_untouched(self, hub):
        report = hub.stop()
        for command in ("upload_line", "part_crc", "finish", "boot_mode", "reboot_normal",
                        "reboot_boot"):
            self.assertEqual(report["commands"][command], 0, command)
        self.assertEqual(report["violation_count"], 0, report["violations"][:5])


class ListTest(ListCase):
    def test_two_hubs_and_a_port_without_one(self):
        normal = Hub(self, self.dir, "--mode", "normal", "--hwid", "1050", "--fw", "305",
                     "--serial", "4321", name="normal")
        boot = Hub(self, self.dir, "--mode", "bootloader", "--hwid", "1030",
                   "--device-type", "0101,0201", "--fw", "306,299", "--serial", "77", name="boot")
        missing = os.path.join(self.dir, "nothing-here")
        # A hub named twice, or by its link and by the device behind it, is listed once.
        ports = ",".join((normal.port, missing, boot.port, normal.port, os.path.realpath(boot.port)))
        result = run(["--list"], env={"HUBFLASH_PORTS": ports})
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        self.assertEqual(result.stdout.decode().splitlines(), [
            "%s: Halbern-24 (1050), normal firmware, serial 1050.4321, firmware v3.05" % normal.port,
            "%s: Halbern-16 (1030), bootloader, serial 1030.0077, firmware v3.06; "
            "board 1: type 0101 v3.06; board 2: type 0201 v2.99" % boot.port])
        self.assert_untouched(normal)
        self.assert_untouched(boot)

    def test_no_hub_at_all(self):
        missing = os.path.join(self.dir, "nothing-here")
        result = run(["--list"], env={"HUBFLASH_PORTS": missing})
        self.assertEqual((result.stdout, result.stderr, result.code), (b"", NO_HUBS, 255))
        # With the trace the empty port says so, once; nothing is sent to a port that did not open.
        result = run(["--list", "--trace"], env={"HUBFLASH_PORTS": missing})
        self.assertEqual(result.code, 255)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(lines[-1], NO_HUBS.decode().strip())
        events = parse_trace("\n".join(lines[:-1]).encode())
        self.assertEqual(events, [("=", what + " " + missing) for what in ("open failed", "close", "no hub")])

    def test_hub_with_an_unknown_identity(self):
        # A hub type the program does not know is still listed, by its code.
        hub = Hub(self, self.dir, "--mode", "normal", "--hwid", "1234", "--identity-fw", "7")
        result = run(["--list"], env={"HUBFLASH_PORTS": hub.port})
        self.assertEqual((result.stderr, result.code), (b"", 0))
        self.assertEqual(result.stdout.decode(),
                         "%s: unknown hub type (1234), normal firmware, serial 1234.1234, "
                         "firmware v7.00\n" % hub.port)


class WineListTest(ListCase):
    """--list of the Windows build: COM names through HUBFLASH_PORTS."""

    def test_com_port_without_a_hub(self):
        result = run(["--list"], env={"HUBFLASH_PORTS": "COM39"})
        self.assertEqual((result.stdout, result.stderr, result.code), (b"", text(NO_HUBS), 255))

    def test_hub_on_a_mapped_com_port(self):
        if not simtest.TOOLS.hubsim:
            self.skipTest("needs a native hubsim (-DHUBFLASH_HOST_HUBSIM)")
        import winetest
        hub = Hub(self, self.dir, "--mode", "bootloader", "--hwid", "1030",
                  "--device-type", "0101,0201", "--fw", "306")
        port = winetest.map_com_port(self, 31, hub.port)
        result = run(["--list"], env={"HUBFLASH_PORTS": port + ",COM39"})
        self.assertEqual((result.stderr, result.code), (b"", 0))
        self.assertEqual(result.stdout, text(
            "COM31: Halbern-16 (1030), bootloader, serial 1030.1234, firmware v3.06; "
            "board 1: type 0101 v3.06; board 2: type 0201 v3.06\n"))
        listed = json.loads(run(["--json", "--list"], env={"HUBFLASH_PORTS": port}).stdout)
        self.assertEqual((listed["port"], listed["serial"], listed["boards"][1]),
                         ("COM31", "1030.1234", {"board": 2, "device_type": "0201", "fw_version": 306}))
        self.assert_untouched(hub)


def events_of(result):
    """The JSON events of a --json run; fails on any stdout line that is not one."""
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


class JsonTest(unittest.TestCase, UpdateChecks):
    """--json for every action, against what the simulated hubs report."""

    def test_every_action(self):
        import fwserver
        work = temp_dir(self)
        image = make_image(work, 310, ("0101:512", "0201:256"))
        hubs = [Hub(self, work, "--mode", mode, "--hwid", hwid, "--device-type", "0101,0201",
                    "--per-open-counter", *extra, name=name)
                for name, mode, hwid, extra in (
                    ("boot", "bootloader", "1030", ("--fw", "305,299", "--serial", "77")),
                    # A serial number that is not UTF-8 comes out with U+FFFD for the bad byte.
                    ("normal", "normal", "1050", ("--identity-sn", "12\udcff34")),
                    ("auto1", "bootloader", "1020", ()),
                    ("auto2", "bootloader", "1010", ()))]
        boot, normal, auto1, auto2 = hubs
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
        with open(image.path, "rb") as f:
            data = f.read()
        server.set("/firmware/manifest", "310,v310.ufw,%d,Stable\n" % len(data))
        server.set("/firmware/stable", "1020,310\n")
        server.set("/firmware/v310.ufw", data)
        automatic = subprocess.Popen(
            [simtest.TOOLS.hubflash, "--json", "--auto"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=dict(os.environ, HUBFLASH_PORTS=auto1.port + "," + auto2.port, HUBFLASH_SERVER=server.address))
        manual = simtest.start_hubflash(["--json", "--fw", image.path, "--port", boot.port])

        refused = run(["--json", "--fw", image.path, "--port", normal.port])
        self.assertEqual((events_of(refused), refused.code), ([normal_event, {
            "event": "result", "port": normal.port, "ok": False, "error": "not_in_bootloader"}], 255))
        restarted = run(["--json", "--port", normal.port, "--exit-bootloader"])
        self.assertEqual((events_of(restarted), restarted.code), ([normal_event, {
            "event": "stage", "port": normal.port, "stage": "restarting"},
            {"event": "result", "port": normal.port, "ok": True}], 0))
        commands = normal.stop()["commands"]
        self.assertEqual((commands["upload_line"], commands["reboot_normal"]), (0, 20))
        missing = os.path.join(work, "missing")
        no_hub = events_of(run(["--json", "--port", missing, "--exit-bootloader"]))
        self.assertEqual(no_hub, [{"event": "result", "port": missing, "ok": False, "error": "no_hub"}])

        info = events_of(run(["--json", "--info", "--fw", image.path]))
        crc_lines = re.findall(r"^0x\w+ (\w{4})$", run(["--info", "--fw", image.path]).stdout.decode(), re.M)
        self.assertEqual([(s["device_type"], s["blocks"], s["upload_start"]) for s in info[0]["sections"]],
                         [("0101", 4, 0x4000), ("0201", 4, 0x4000)])
        self.assertEqual((len(info), info[0]["version"], sum((s["crcs"] for s in info[0]["sections"]), [])),
                         (1, 310, crc_lines))
        bad = run(["--json", "--info", "--fw", missing])
        self.assertEqual((bad.stdout, bad.stderr, bad.code), (b"", INVALID, 255))

        events = events_of(simtest.wait_hubflash(manual))
        self.assertEqual(events[0], boot_event)
        self.assertEqual([(e["done"], e["total"]) for e in events if e["event"] == "progress"],
                         [(n, 8) for n in range(1, 9)])
        self.assertEqual([e["stage"] for e in events if e["event"] == "stage"], ["uploading", "finishing"])
        self.assertEqual(events[-1], {"event": "result", "port": boot.port, "ok": True})
        self.assert_hub_updated(boot, image, (0x0101, 0x0201))

        out, _ = automatic.communicate(timeout=240)
        events = events_of(simtest.Result(out, b"", automatic.returncode))
        self.assertEqual([e["port"] for e in events if e["event"] == "hub"], [auto1.port, auto2.port])
        self.assertEqual([e for e in events if e["event"] in ("result", "summary")], [
            {"event": "result", "port": auto1.port, "ok": True},
            {"event": "result", "port": auto2.port, "ok": False, "error": "no_release"},
            {"event": "summary", "updated": 1, "total": 2}])
        self.assert_hub_updated(auto1, image, (0x0101, 0x0201))
        self.assertEqual(auto2.stop()["commands"]["upload_line"], 0)


if __name__ == "__main__":
    unittest.main(argv=parse_command_line())
