#!/usr/bin/env python3
"""Tests of the hub simulator and the image generator.

The framing, checksums and CRCs here are written out independently of both
hubsim and hubflash, so that a fault in either cannot confirm itself.

    test_hubsim.py --hubsim PATH --mkimage PATH [unittest arguments]
"""

import argparse
import binascii
import ctypes
import errno
import json
import os
import random
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import tty
import unittest
import zlib

HUBSIM = None
MKIMAGE = None

WORKED_EXAMPLE_LINES = [
    ";1000400005000102030405060708090A0B0C0D0E0F33",
    ";1000401005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFAB",
    ";1000402005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF9B",
    ";1000403005FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF8B",
]


# --- the protocol, written out on its own -------------------------------------------------

def checksum(data):
    return (-sum(data)) & 0xFF


def host_frame(board, command, counter):
    body = b"@%02x00" % board + command.encode("latin-1")
    return body + b"|%02x>%x%08x\n" % (checksum(body), board, counter)


def hub_frame(board, kind, payload=b""):
    body = b"@00%02x" % board + kind + payload
    return body + b"|%02x\r\n" % checksum(body)


def crc16(data):
    return binascii.crc_hqx(bytes(data), 0xFFFF)  # CRC-16/CCITT-FALSE


def record_line(address, data):
    fields = bytes([len(data), address >> 16 & 0xFF, address >> 8 & 0xFF, address & 0xFF, 5]) + bytes(data)
    return ";" + fields.hex().upper() + "%02X" % checksum(fields)


def block_lines(address, data):
    return [record_line(address + i, data[i:i + 16]) for i in range(0, len(data), 16)]


def parse_hub_line(line):
    """b'@0001+>1..|e5\\r\\n' -> (board, kind, payload, checksum_ok)"""
    text = line.rstrip(b"\r\n")
    if text.startswith(b">>"):
        text = text[2:]
    body, _, given = text.rpartition(b"|")
    return int(body[3:5], 16), body[5:6], body[6:], int(given, 16) == checksum(body)


# --- running hubsim -----------------------------------------------------------------------

class Sim:
    def __init__(self, test, *args, report=True):
        self.dir = tempfile.mkdtemp(prefix="hubsim-test-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.link = os.path.join(self.dir, "hub")
        self.report_path = os.path.join(self.dir, "report.json")
        self.flash_dir = os.path.join(self.dir, "flash")
        os.mkdir(self.flash_dir)
        ready = os.path.join(self.dir, "ready")
        command = [HUBSIM, "--link", self.link, "--ready-file", ready, "--exit-after", "60000"]
        if report:
            command += ["--report", self.report_path, "--flash-dir", self.flash_dir]
        self.proc = subprocess.Popen(command + list(args))
        test.addCleanup(self.finish)
        self.fd = None
        self.buf = b""
        self.counter = 0
        self.written = 0
        self.read_bytes = 0
        deadline = time.monotonic() + 5
        while not os.path.exists(ready):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("hubsim did not come up")
            time.sleep(0.005)
        with open(ready) as f:
            self.slave = f.read().strip()

    def finish(self):
        """Ends hubsim; a crash or a sanitizer report shows as a non-zero exit."""
        self.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("hubsim did not end on SIGTERM")
        if self.proc.returncode != 0:
            raise AssertionError("hubsim exited with %d" % self.proc.returncode)

    def open(self):
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.buf = b""
        return self

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def send(self, data):
        """Writes everything; False when the port has gone away."""
        self.written += len(data)
        while data:
            select.select([], [self.fd], [], 2.0)
            try:
                data = data[os.write(self.fd, data):]
            except BlockingIOError:
                pass
            except OSError as error:
                if error.errno != errno.EIO:
                    raise
                return False
        return True

    def command(self, board, text, counter=None):
        if counter is None:
            counter = self.counter
        self.counter = counter + 1
        self.send(host_frame(board, text, counter))

    def read_line(self, timeout=1.0, skip_announcements=True):
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.buf:
                line, _, self.buf = self.buf.partition(b"\n")
                line += b"\n"
                if not (skip_announcements and line.lstrip(b">")[5:6] == b"*"):
                    return line
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.fd], [], [], remaining)[0]:
                return None
            try:
                chunk = os.read(self.fd, 4096)
            except OSError as error:
                if error.errno != errno.EIO:
                    raise
                chunk = b""
            if not chunk:
                return None  # the port went away
            self.read_bytes += len(chunk)
            self.buf += chunk

    def lines_during(self, seconds, skip_announcements=False):
        lines, deadline = [], time.monotonic() + seconds
        while (line := self.read_line(max(0, deadline - time.monotonic()), skip_announcements)) is not None:
            lines.append(line)
        return lines

    def stop_pings(self, *boards):
        for board in boards:
            self.command(board, "!STOP_PING")
            assert self.read_line() is not None

    def upload(self, board, address, data):
        """Sends a block line by line; returns the replies (None where none came)."""
        replies = []
        for line in block_lines(address, data):
            self.command(board, line)
            replies.append(self.read_line(1.0))
        return replies

    def crc(self, board, address, timeout=1.0):
        self.command(board, "!PART_CRC=%06x" % address)
        line = self.read_line(timeout)
        if line is None:
            return None
        _, kind, payload, ok = parse_hub_line(line)
        assert kind == b"-" and ok and payload.startswith(b"CRC="), line
        return int(payload[4:], 16)

    def stop(self, sig=signal.SIGTERM):
        self.close()
        self.proc.send_signal(sig)
        self.proc.wait(timeout=5)
        assert self.proc.returncode == 0, self.proc.returncode
        with open(self.report_path) as f:
            return json.load(f)

    def dump(self, board):
        with open(os.path.join(self.flash_dir, "board%d.bin" % board), "rb") as f:
            return f.read()


def wait_for(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def bootloader(test, *args):
    return Sim(test, "--mode", "bootloader", "--no-pacing", *args).open()


# --- framing, replies and CRC ---------------------------------------------------------------

class FramingTest(unittest.TestCase):
    def test_announcements_carry_version_type_code_and_serial(self):
        sim = bootloader(self, "--announce-ms", "50", "--device-type", "0101,0201", "--fw", "305,99",
                         "--serial", "1234,7")
        board1 = b"@0001*0131103001011234|c0\r\n"
        started = time.monotonic()
        lines = []
        while lines.count(board1) < 6 and time.monotonic() - started < 10:
            line = sim.read_line(1.0, skip_announcements=False)
            if line is not None:
                lines.append(line)
        elapsed = time.monotonic() - started
        self.assertEqual(lines.count(board1), 6, lines)
        self.assertIn(hub_frame(2, b"*", b"0063103002017"), lines)
        # Six announcements span at least five periods of 50 ms: never faster.
        # (A loaded machine may make them slower, which is no fault of the hub's.)
        self.assertGreaterEqual(elapsed, 0.24, lines)

    def test_stop_ping_is_acknowledged_with_its_tag_and_ends_the_announcements(self):
        sim = bootloader(self, "--announce-ms", "20")
        sim.command(1, "!STOP_PING", counter=0)
        self.assertEqual(sim.read_line(), b"@0001+>100000000|e5\r\n")
        time.sleep(0.05)
        sim.buf = b""
        later = sim.lines_during(0.3)
        self.assertNotIn(b"@0001", b"".join(later))
        self.assertIn(b"@0002*", b"".join(later))

    def test_untagged_acknowledgement(self):
        sim = bootloader(self, "--untagged-acks")
        sim.command(2, "!STOP_PING", counter=0x1234)
        self.assertEqual(sim.read_line(), hub_frame(2, b"+"))

    def test_worked_example_block_reports_its_crc(self):
        sim = bootloader(self, "--device-type", "0201")
        sim.stop_pings(1)
        for line in WORKED_EXAMPLE_LINES:
            sim.command(1, line)
            self.assertEqual(parse_hub_line(sim.read_line())[1], b"+")
        sim.command(1, "!PART_CRC=004000")
        self.assertEqual(sim.read_line(), b"@0001-CRC=2D4B|d1\r\n")

    def test_crc_covers_the_whole_block_of_the_device_type(self):
        data = random.Random(5).randbytes(128)
        sim = bootloader(self, "--device-type", "0101,0201")
        sim.stop_pings(1, 2)
        sim.upload(1, 0x4080, data)
        sim.upload(2, 0x4040, data[:64])
        self.assertEqual(sim.crc(1, 0x4080), crc16(data))
        self.assertEqual(sim.crc(2, 0x4040), crc16(data[:64]))
        self.assertEqual(sim.crc(2, 0x4000), crc16(b"\xff" * 64))

    def test_reply_styles(self):
        sim = bootloader(self, "--prefix-replies", "--lf-only", "--upper-checksum")
        sim.command(1, "!STOP_PING", counter=0)
        self.assertEqual(sim.read_line(), b">>@0001+>100000000|E5\n")


# --- upload, report and flash dump ----------------------------------------------------------

class UploadTest(unittest.TestCase):
    def test_clean_session_report_and_dump(self):
        rng = random.Random(11)
        blocks = {1: [(0x4000, rng.randbytes(64)), (0x4080, rng.randbytes(64))], 2: [(0x4000, rng.randbytes(128))]}
        sim = bootloader(self, "--device-type", "0201,0101")
        sim.stop_pings(2, 1)
        for board, items in blocks.items():
            for address, data in items:
                self.assertTrue(all(parse_hub_line(r)[1] == b"+" for r in sim.upload(board, address, data)))
                self.assertEqual(sim.crc(board, address), crc16(data))
        for board in (2, 2, 1, 1, 2, 2, 1, 1):
            sim.command(board, "!FINISH 0123")
            self.assertEqual(parse_hub_line(sim.read_line())[1], b"+")
        report = sim.stop()
        self.assertEqual(report["violations"], [])
        self.assertEqual(report["finish_order"], [2, 2, 1, 1, 2, 2, 1, 1])
        self.assertEqual(report["bytes_received"], sim.written)
        self.assertGreaterEqual(report["bytes_sent"], sim.read_bytes)
        self.assertEqual(report["commands"]["upload_line"], 16)
        self.assertEqual(report["commands"]["part_crc"], 3)
        self.assertLess(report["first_upload_ms"], report["last_crc_ms"])
        for entry in report["boards"]:
            board = entry["board"]
            expected = bytearray(b"\xff" * (entry["flash_end"] - entry["flash_start"]))
            for address, data in blocks[board]:
                expected[address - 0x4000:address - 0x4000 + len(data)] = data
            self.assertEqual(sim.dump(board), bytes(expected))
            self.assertEqual(entry["flash_crc32"], "%08x" % zlib.crc32(expected))
            self.assertEqual(entry["finish"], [123] * 4)
            self.assertEqual(entry["fw_version"], 123)
        self.assertEqual(report["boards"][0]["written"], [[0x4000, 0x4040], [0x4080, 0x40C0]])
        self.assertEqual(report["boards"][1]["flash_end"], 0x20000)

    def test_bad_records_are_rejected_and_recorded(self):
        sim = bootloader(self, "--device-type", "0201,0303")
        sim.stop_pings(1)
        good = record_line(0x4000, bytes(range(16)))
        bad = {
            good[:-2] + "00": "record checksum 00",
            good.replace("05", "00", 1)[:-2] + "%02X" % ((int(good[-2:], 16) + 5) & 0xFF): "record type 00",
            good[:-4] + good[-2:]: "length does not match",
            record_line(0x10000, bytes(16)): "outside the flash of board 1",
            record_line(0x3FF0, bytes(16)): "outside the flash of board 1",
        }
        for line in bad:
            sim.command(1, line)
            self.assertEqual(sim.read_line(), hub_frame(1, b"?"))
        sim.command(2, good)  # no flash layout for this device type
        self.assertEqual(sim.read_line(), hub_frame(2, b"?"))
        sim.command(1, good.lower())  # sound but in lower case: carried out
        self.assertEqual(parse_hub_line(sim.read_line())[1], b"+")
        for query in ("!PART_CRC=004010", "!PART_CRC=4000", "!PART_CRC=00FFC0", "!PART_CRC=010000"):
            sim.command(1, query)
            self.assertEqual(sim.read_line(), hub_frame(1, b"?"), query)
        sim.command(1, "!FINISH 12")
        sim.command(1, "!FLASH_ALL")
        self.assertEqual(sim.lines_during(0.2, True), [hub_frame(1, b"?")] * 2)
        violations = "\n".join(sim.stop()["violations"])
        for text in list(bad.values()) + ["outside the flash of board 2", "not in upper-case hex",
                                          "CRC query", "FINISH without a version", "unknown command"]:
            self.assertIn(text, violations)

    def test_finish_updates_the_version_the_board_reports(self):
        sim = bootloader(self, "--hwid", "1050", "--announce-ms", "30")
        sim.command(3, "!FINISH 0123")
        sim.command(1, "!FINISH 0099")
        sim.command(1, "!REBOOT_NORMAL")
        lines = b"".join(sim.lines_during(0.3))
        self.assertIn(b"@0003*007b10500101", lines)
        sim.send(b"id\r\n")
        self.assertEqual(sim.read_line(), b"mfr:Corvane,sn:1050.1234,hwid:1050,fw:0.99\r\n")
        self.assertEqual(sim.stop()["finish_order"], [3, 1])


# --- the strict check of the host ------------------------------------------------------------

class CheckerTest(unittest.TestCase):
    def test_each_breach_is_named(self):
        sim = bootloader(self)
        cases = [
            (b"@0100!STOP_PING|0c>100000001\n", "checksum 0c, expected 0b", hub_frame(1, b"?")),
            (b"@0100!STOP_PING|0B>100000002\n", "checksum not lower-case hex", None),
            (b"@0100!STOP_PING|0b>200000003\n", "tag board 2 is not the destination 1", None),
            (b"@0100!STOP_PING|0b>100000001\n", "tag counter 00000001 not above the previous 00000003", None),
            (b"@0100!STOP_PING|0b>100000001\n", "tag counter 00000001 not above the previous 00000001", None),
            (b"@0100!STOP_PING|0b>100000010\r\n", "framed line ends with CR LF", None),
            (b"@0100!STOP_PING|0b\n", "no sequence tag", None),
            (b"@0100!STOP_PING|0b>1000000zz\n", "malformed sequence tag", None),
            (host_frame(8, "!STOP_PING", 0x21), "destination outside 01 to 07", None),
            (b"id\n", "unexpected plain line", None),
            (b"hello\r\n", "unexpected plain line", None),
        ]
        for data, text, reply in cases:
            sim.send(data)
            line = sim.read_line(0.3)
            if reply is not None:
                self.assertEqual(line, reply, data)
        for legal in (b"\r\n", b"Dverify\r\n", b"id\r\n", b"boot_mode enabled\r\n"):
            sim.send(legal)
        sim.command(1, "!STOP_PING", counter=0x40)  # a gap is legal
        self.assertIsNotNone(sim.read_line())
        report = sim.stop()
        self.assertEqual(len(report["violations"]), len(cases), report["violations"])
        for (data, text, _), violation in zip(cases, report["violations"]):
            self.assertIn(text, violation)
        self.assertGreaterEqual(report["tag_gaps"], 1)
        self.assertEqual(report["commands"]["blank"], 1)

    def test_garbage_and_overlong_lines_do_not_stop_the_hub(self):
        sim = bootloader(self)
        rng = random.Random(3)
        sim.send(b"x" * 3000 + b"\n")
        for _ in range(20):
            sim.send(rng.randbytes(1000).replace(b"\n", b"@") + b"\n")
            sim.send(b"@01" + rng.randbytes(40) + b"|zz>\n")
        sim.command(2, "!STOP_PING", counter=0x7FFFFFF0)
        line = sim.read_line(3.0)
        while line is not None and line.startswith(b"@0001?"):  # the hub turns the garbage away
            line = sim.read_line(3.0)
        self.assertEqual(line, hub_frame(2, b"+", b">27ffffff0"))
        report = sim.stop()
        self.assertIn("line longer than 1024 bytes", report["violations"][0])
        self.assertGreaterEqual(report["violation_count"], 40)


# --- normal firmware and restarts ------------------------------------------------------------

IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x80, 0x100, 0x200


class DirectoryWatch:
    """inotify on a directory, through libc."""

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        self.libc.inotify_add_watch(self.fd, path.encode(), IN_MOVED_TO | IN_CREATE | IN_DELETE)

    def events(self, name):
        found, data = [], b""
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            pass
        while data:
            _, mask, _, size = struct.unpack_from("iIII", data)
            if data[16:16 + size].rstrip(b"\0").decode() == name:
                found.append(mask & (IN_MOVED_TO | IN_CREATE | IN_DELETE))
            data = data[16 + size:]
        return found

    def close(self):
        os.close(self.fd)


class NormalModeTest(unittest.TestCase):
    def test_identity_and_quiet_dverify(self):
        sim = Sim(self, "--no-pacing", "--hwid", "1080", "--fw", "210", "--serial", "42").open()
        sim.send(b"Dverify\r\n")
        self.assertIsNone(sim.read_line(0.2, skip_announcements=False))
        sim.send(b"id\r\n")
        self.assertEqual(sim.read_line(), b"mfr:Corvane,sn:1080.0042,hwid:1080,fw:2.10\r\n")
        sim.command(1, "!STOP_PING")  # framed lines reach no bootloader
        self.assertIsNone(sim.read_line(0.2, skip_announcements=False))

    def test_identity_options(self):
        sim = Sim(self, "--no-pacing", "--identity-sn", "AB12", "--identity-fw", "3.5").open()
        sim.send(b"id\r\n")
        self.assertEqual(sim.read_line(), b"mfr:Corvane,sn:AB12,hwid:1030,fw:3.5\r\n")
        raw = Sim(self, "--no-pacing", "--identity-line", "mfr:x,hwid:1234").open()
        raw.send(b"id\r\n")
        self.assertEqual(raw.read_line(), b"mfr:x,hwid:1234\r\n")

    def restart(self, *args):
        sim = Sim(self, "--restart-ms", "700", "--boot-delay-ms", "0", "--no-pacing", *args).open()
        old = os.readlink(sim.link)
        sim.send(b"boot_mode enabled\r\n")
        self.assertTrue(wait_for(lambda: not os.path.lexists(sim.link), 1.0))
        gone = time.monotonic()
        self.assertIsNone(sim.read_line(0.1, skip_announcements=False))
        sim.close()  # as the host does when its port is removed
        self.assertTrue(wait_for(lambda: os.path.lexists(sim.link), 3.0))
        self.assertGreater(time.monotonic() - gone, 0.6)
        self.assertNotEqual(os.readlink(sim.link), old)  # a new device, not the old one back
        sim.open()
        return sim

    def test_boot_mode_restarts_on_a_new_pseudo_terminal(self):
        sim = self.restart("--silent", "2")
        line = sim.read_line(1.0, skip_announcements=False)
        self.assertEqual(line, b"@0001*0131103001011234|c0\r\n")
        self.assertNotIn(b"@0002", b"".join(sim.lines_during(0.4)))
        sim.send(b"id\r\n")
        self.assertIsNone(sim.read_line(0.2))
        report = sim.stop()
        self.assertEqual(report["restarts"], 1)
        self.assertEqual(report["host_opens"], 2)
        self.assertEqual([b["mode"] for b in report["boards"]], ["bootloader", "silent"])

    def test_link_creation_events(self):
        for option, expected in (("--link-rename", IN_MOVED_TO), (None, IN_CREATE)):
            base = tempfile.mkdtemp(prefix="hubsim-watch-")
            self.addCleanup(shutil.rmtree, base, True)
            watch = DirectoryWatch(base)
            self.addCleanup(watch.close)
            link = os.path.join(base, "hub")
            args = [HUBSIM, "--link", link, "--restart-ms", "100", "--boot-delay-ms", "0"]
            proc = subprocess.Popen(args + ([option] if option else []))
            self.assertTrue(wait_for(lambda: os.path.lexists(link), 5))
            fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
            os.write(fd, b"boot_mode enabled\r\n")
            time.sleep(0.5)
            os.close(fd)
            proc.terminate()
            proc.wait()
            self.assertEqual(watch.events("hub"), [expected, IN_DELETE, expected, IN_DELETE], option)
            self.assertEqual(os.listdir(base), [])

    def test_restart_without_vanishing_and_back_to_normal(self):
        sim = Sim(self, "--restart-ms", "0", "--boot-delay-ms", "0", "--no-pacing").open()
        sim.send(b"boot_mode enabled\r\n")
        self.assertTrue(sim.read_line(0.5, skip_announcements=False).startswith(b"@0001*"))
        sim.send(b"boot_mode enabled\r\n")  # ignored by a bootloader
        sim.command(1, "!REBOOT_NORMAL")
        self.assertIsNone(sim.read_line(0.1))
        sim.send(b"id\r\n")
        self.assertTrue(sim.read_line().startswith(b"mfr:Corvane,"))
        self.assertIn(b"@0002*", b"".join(sim.lines_during(0.3)))
        report = sim.stop()
        self.assertEqual(report["restarts"], 1)
        self.assertEqual([b["mode"] for b in report["boards"]], ["normal", "bootloader"])


class BoardsTest(unittest.TestCase):
    def announcing(self, sim, seconds=0.4):
        return sorted({parse_hub_line(l)[0] for l in sim.lines_during(seconds) if parse_hub_line(l)[1] == b"*"})

    def test_board_counts_follow_the_hub_type(self):
        for hwid, boards in (("1050", [1, 2, 3]), ("1080", [1, 2, 3, 4]), ("1234", [1, 2])):
            sim = bootloader(self, "--hwid", hwid, "--announce-ms", "30")
            self.assertEqual(self.announcing(sim, 0.2), boards, hwid)
        sim = bootloader(self, "--hwid", "1234", "--boards", "7", "--announce-ms", "30")
        self.assertEqual(self.announcing(sim, 0.2), list(range(1, 8)))

    def test_silent_board_wakes_on_reboot_boot_and_absent_board_never(self):
        sim = bootloader(self, "--hwid", "1050", "--silent", "2", "--absent", "3", "--announce-ms", "30",
                         "--wake-ms", "300")
        self.assertEqual(self.announcing(sim, 0.3), [1])
        sim.command(2, "!STOP_PING")
        self.assertIsNone(sim.read_line(0.2))
        sim.command(2, "!REBOOT_BOOT")
        sim.command(3, "!REBOOT_BOOT")
        start = time.monotonic()
        line = sim.read_line(2.0, skip_announcements=False)
        while line is not None and not line.startswith(b"@0002*"):
            line = sim.read_line(2.0, skip_announcements=False)
        self.assertIsNotNone(line)
        self.assertGreater(time.monotonic() - start, 0.25)
        self.assertEqual(self.announcing(sim, 0.4), [1, 2])
        self.assertEqual([b["mode"] for b in sim.stop()["boards"]], ["bootloader", "bootloader", "absent"])


# --- faults ----------------------------------------------------------------------------------

class FaultTest(unittest.TestCase):
    DATA = bytes(range(64))

    def test_lost_refused_and_corrupted_acknowledgements(self):
        sim = bootloader(self, "--device-type", "0201", "--lose-ack", "2", "--nak", "6", "--bad-checksum", "3")
        sim.stop_pings(1)
        replies = sim.upload(1, 0x4000, self.DATA)
        self.assertIsNone(replies[1])
        self.assertEqual(parse_hub_line(replies[2])[1:], (b"+", b">100000003", False))
        self.assertTrue(parse_hub_line(replies[3])[3])
        self.assertEqual(sim.crc(1, 0x4000), crc16(self.DATA))  # the lost ack's line was written
        replies = sim.upload(1, 0x4000, b"\0" * 32)
        self.assertEqual(replies[1], hub_frame(1, b"?"))
        self.assertEqual(sim.crc(1, 0x4000), crc16(b"\0" * 16 + self.DATA[16:]))
        self.assertEqual(sim.stop()["faults"], {"acks_lost": 1, "naks": 1, "bad_checksums": 1, "wrong_crcs": 0})

    def test_wrong_crc_once(self):
        sim = bootloader(self, "--wrong-crc", "2")
        right = crc16(b"\xff" * 128)
        self.assertEqual([sim.crc(1, 0x4000) for _ in range(3)], [right, right ^ 0xFFFF, right])

    def vanish(self, *args):
        sim = bootloader(self, "--device-type", "0201", "--vanish-after", "2", "--vanish-ms", "500", *args)
        sim.stop_pings(1)
        first, second = block_lines(0x4000, self.DATA[:32])
        sim.command(1, first)
        self.assertIsNotNone(sim.read_line())
        sim.command(1, second)
        sent = time.monotonic()
        reply = sim.read_line(0.3)
        sim.command(1, first)  # too late: the hub is going
        self.assertIsNone(sim.read_line(0.3))
        self.assertTrue(wait_for(lambda: not os.path.lexists(sim.link), 1.0))
        self.assertTrue(wait_for(lambda: os.path.lexists(sim.link), 3.0))
        self.assertGreater(time.monotonic() - sent, 0.45)
        sim.close()
        sim.open()
        self.assertTrue(sim.read_line(1.0, skip_announcements=False).startswith(b"@0001*"))
        self.assertEqual(sim.crc(1, 0x4000), crc16(self.DATA[:32] + b"\xff" * 32))
        report = sim.stop()
        self.assertEqual(report["vanishes"], 1)
        self.assertEqual(report["boards"][0]["upload_lines"], 2)
        return reply

    def test_port_vanishes_after_an_acknowledged_line(self):
        self.assertEqual(parse_hub_line(self.vanish())[2], b">100000002")

    def test_port_vanishes_before_the_acknowledgement(self):
        self.assertIsNone(self.vanish("--vanish-unacked"))

    def test_dead_board_answers_nothing_more(self):
        sim = bootloader(self, "--dead-board", "1:2", "--announce-ms", "30")
        replies = sim.upload(1, 0x4000, self.DATA[:48])
        self.assertEqual([r is not None for r in replies], [True, True, False])
        self.assertIsNone(sim.crc(1, 0x4000, timeout=0.3))
        self.assertNotIn(b"@0001", b"".join(sim.lines_during(0.2)))
        sim.command(2, "!STOP_PING")
        self.assertIsNotNone(sim.read_line())
        self.assertEqual(sim.stop()["boards"][0]["mode"], "dead")

    def test_keep_announcing_interleaves_announcements(self):
        sim = bootloader(self, "--keep-announcing", "--announce-ms", "20")
        sim.stop_pings(1, 2)
        self.assertIn(b"@0001*", b"".join(sim.lines_during(0.2)))

    def lost_by_rate(self, option, seed):
        sim = bootloader(self, option, "0.5", "--seed", str(seed))
        sim.stop_pings(1)
        for line in block_lines(0x4000, bytes(640)):
            sim.command(1, line)
        replies = [parse_hub_line(l) for l in sim.lines_during(0.4, True)]
        if option == "--lose-ack-rate":
            return {int(r[2][2:], 16) for r in replies} ^ set(range(1, 41))
        return {n for n, r in zip(range(1, 41), replies) if r[1] == b"?"}

    def test_rates_are_seeded(self):
        for option in ("--lose-ack-rate", "--nak-rate"):
            first = self.lost_by_rate(option, 3)
            self.assertEqual(first, self.lost_by_rate(option, 3))
            self.assertNotEqual(first, self.lost_by_rate(option, 4))
            self.assertTrue(8 <= len(first) <= 32, first)


# --- the wire, the port and the process ---------------------------------------------------------

class WireTest(unittest.TestCase):
    def test_received_lines_are_paced(self):
        for pacing in (True, False):
            sim = Sim(self, "--mode", "bootloader", *([] if pacing else ["--no-pacing"])).open()
            data = b"".join(host_frame(1, "!STOP_PING", n) for n in range(200))
            start = time.monotonic()
            sim.send(data)
            replies = [sim.read_line(3.0) for _ in range(200)]
            elapsed = time.monotonic() - start
            self.assertEqual(replies[-1], hub_frame(1, b"+", b">1000000c7"))
            wire = len(data) * 10 / 115200
            if pacing:
                self.assertTrue(0.9 * wire < elapsed < 2 * wire + 0.5, elapsed)
            else:
                self.assertLess(elapsed, 0.9 * wire)

    def test_sent_bytes_are_paced(self):
        args = ["--mode", "bootloader", "--hwid", "1234", "--boards", "7", "--keep-announcing", "--announce-ms", "1"]
        for pacing in (True, False):
            sim = Sim(self, *args, *([] if pacing else ["--no-pacing"])).open()
            sim.read_line(1.0, skip_announcements=False)
            start = time.monotonic()
            received = sum(len(l) for l in sim.lines_during(0.5))
            rate = received / (time.monotonic() - start)
            if pacing:
                self.assertTrue(0.5 * 11520 < rate < 1.1 * 11520, rate)
            else:
                self.assertGreater(rate, 2 * 11520)

    def test_host_may_close_and_reopen(self):
        sim = bootloader(self)
        sim.stop_pings(1)
        sim.close()
        time.sleep(0.1)
        sim.open()
        sim.send(b"@0200!STO")
        sim.close()  # a line cut off by the close is forgotten
        time.sleep(0.05)
        sim.open()
        sim.stop_pings(2)
        report = sim.stop()
        self.assertEqual(report["host_opens"], 3)
        self.assertEqual(report["violations"], [])

    def test_counter_may_restart_with_a_new_host_process(self):
        sim = bootloader(self, "--per-open-counter")
        sim.stop_pings(1)
        sim.close()
        time.sleep(0.05)
        sim.open()
        sim.command(1, "!STOP_PING", counter=0)
        self.assertIsNotNone(sim.read_line())
        self.assertEqual(sim.stop()["violations"], [])

    def test_report_on_signal_and_link_removed_at_exit(self):
        sim = bootloader(self)
        sim.stop_pings(1)
        os.kill(sim.proc.pid, signal.SIGUSR1)
        self.assertTrue(wait_for(lambda: os.path.exists(sim.report_path), 2))
        with open(sim.report_path) as f:
            self.assertEqual(json.load(f)["commands"]["stop_ping"], 1)
        self.assertTrue(os.path.islink(sim.link))
        sim.stop_pings(2)
        self.assertEqual(sim.stop(signal.SIGINT)["commands"]["stop_ping"], 2)
        self.assertEqual(sim.proc.returncode, 0)
        self.assertFalse(os.path.lexists(sim.link))
        self.assertEqual(sorted(os.listdir(sim.flash_dir)), ["board1.bin", "board2.bin"])


class OptionsTest(unittest.TestCase):
    def run_hubsim(self, *args):
        return subprocess.run([HUBSIM, *args], capture_output=True, text=True, timeout=10)

    def test_bad_command_lines(self):
        for args in ([], ["--link"], ["--link", "x", "--restart-ms", "25000"], ["--link", "x", "--hwid", "12345"],
                     ["--link", "x", "--boards", "8"], ["--link", "x", "--dead-board", "3:1"],
                     ["--link", "x", "--lose-ack-rate", "1.5"], ["--link", "x", "--mode", "boot"],
                     ["--link", "x", "--lose-ack", "5-3"], ["--link", "x", "--frobnicate"]):
            result = self.run_hubsim(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr.startswith("hubsim: "), args)

    def test_link_path_in_use(self):
        base = tempfile.mkdtemp(prefix="hubsim-opt-")
        self.addCleanup(shutil.rmtree, base, True)
        taken = os.path.join(base, "file")
        with open(taken, "w") as f:
            f.write("keep")
        self.assertEqual(self.run_hubsim("--link", taken, "--exit-after", "0").returncode, 1)
        with open(taken) as f:
            self.assertEqual(f.read(), "keep")
        stale = os.path.join(base, "stale")
        os.symlink("/nonexistent", stale)
        result = self.run_hubsim("--link", stale, "--exit-after", "100", "--report", os.path.join(base, "r.json"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.lexists(stale))


# --- the image generator ----------------------------------------------------------------------

def parse_intel_hex(lines):
    """Image sections -> {device type: {address: byte}}, checking every record."""
    sections, current, upper, short_seen = {}, None, 0, False
    for line in lines:
        if line.startswith(">>>"):
            current, upper, short_seen = sections.setdefault(int(line[3:7], 16), {}), 0, False
        elif line.startswith(":"):
            raw = bytes.fromhex(line[1:])
            assert checksum(raw[:-1]) == raw[-1], line
            count, address, kind, data = raw[0], raw[1] << 8 | raw[2], raw[3], raw[4:-1]
            assert count == len(data), line
            if kind == 4:
                upper = data[0] << 24 | data[1] << 16
            elif kind == 0:
                assert not short_seen, "only a section's last data record may be short: " + line
                short_seen = count < 16
                for i, byte in enumerate(data):
                    current[upper + address + i] = byte
    return sections


class MkimageTest(unittest.TestCase):
    def mkimage(self, *args):
        return subprocess.run([sys.executable, MKIMAGE, *args], capture_output=True, timeout=30)

    def test_worked_example(self):
        base = tempfile.mkdtemp(prefix="mkimage-")
        self.addCleanup(shutil.rmtree, base, True)
        data = os.path.join(base, "data.bin")
        with open(data, "wb") as f:
            f.write(bytes(range(16)))
        expected = ["___123", ">>>0201", ":020000040000FA", ":10400000000102030405060708090A0B0C0D0E0F38",
                    ":00000001FF", "!!!!!!!!"]
        self.assertEqual(self.mkimage("--version", "123", "--section", "0201:" + data).stdout,
                         ("\n".join(expected) + "\n").encode())
        self.assertEqual(self.mkimage("--version", "123", "--section", "0201:" + data, "--crlf").stdout,
                         ("\r\n".join(expected) + "\r\n").encode())

    def test_sections_outside_the_flash_are_refused(self):
        for section in ("0201:0xC001", "0101:16@0x3FF0", "0201:nonexistent.bin"):
            result = self.mkimage("--version", "1", "--section", section)
            self.assertEqual(result.returncode, 2, section)

    def test_round_trip_through_hubsim(self):
        base = tempfile.mkdtemp(prefix="mkimage-")
        self.addCleanup(shutil.rmtree, base, True)
        image, flash_out = os.path.join(base, "image.txt"), os.path.join(base, "flash")
        result = self.mkimage("--version", "7", "--seed", "9", "--section", "0101:200@0xFFE0",
                              "--section", "0201:1000", "--output", image, "--flash-out", flash_out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(image) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "___7")
        self.assertIn(":020000040001F9", lines)  # the data passes 0xFFFF
        sections = parse_intel_hex(lines)
        self.assertEqual(sorted(os.listdir(flash_out)), ["0101.bin", "0201.bin"])
        expected = {}
        for device_type in (0x0101, 0x0201):
            with open(os.path.join(flash_out, "%04x.bin" % device_type), "rb") as f:
                expected[device_type] = f.read()
        for device_type, memory in sections.items():
            flash = bytearray(b"\xff" * len(expected[device_type]))
            for address, byte in memory.items():
                flash[address - 0x4000] = byte
            self.assertEqual(bytes(flash), expected[device_type])
        self.assertEqual(len(sections[0x0201]), 1000)

        sim = bootloader(self, "--device-type", "0101,0201", "--flash-fill", "00")
        sim.stop_pings(1, 2)
        wanted = {}
        for board, device_type, size in ((1, 0x0101, 128), (2, 0x0201, 64)):
            want = bytearray(len(expected[device_type]))  # erased to 00 here, so untouched blocks show
            for offset in sorted({(a - 0x4000) // size * size for a in sections[device_type]}):
                block = expected[device_type][offset:offset + size]
                self.assertTrue(all(r is not None for r in sim.upload(board, 0x4000 + offset, block)))
                self.assertEqual(sim.crc(board, 0x4000 + offset), crc16(block))
                want[offset:offset + size] = block
            wanted[board] = bytes(want)
        report = sim.stop()
        for board in (1, 2):
            self.assertEqual(sim.dump(board), wanted[board])
        self.assertEqual(report["violations"], [])


def main():
    global HUBSIM, MKIMAGE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--hubsim", required=True)
    parser.add_argument("--mkimage", required=True)
    args, rest = parser.parse_known_args()
    HUBSIM, MKIMAGE = os.path.abspath(args.hubsim), os.path.abspath(args.mkimage)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
