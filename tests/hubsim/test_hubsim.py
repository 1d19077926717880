#!/usr/bin/env python3
"""Tests of the hub simulator and the image generator.

The framing, checksums and CRCs here are written out independently of both
hubsim and hubflash, so that a fault in either cannot confirm itself. Times
come from hubsim's own log, never from a window of the wall clock.

    test_hubsim.py --hubsim PATH --mkimage PATH [unittest arguments]
"""

import argparse
import binascii
import errno
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest
import zlib

HUBSIM = None
MKIMAGE = None


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
    body, _, given = line.rstrip(b"\r\n").removeprefix(b">>").rpartition(b"|")
    return int(body[3:5], 16), body[5:6], body[6:], int(given, 16) == checksum(body)


def wait_for(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class Sim:
    """One hubsim on a link in a directory of the test's own; the test is the host."""

    def __init__(self, test, *args):
        self.dir = tempfile.mkdtemp(prefix="hubsim-test-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.link, self.report_path, self.log_path, self.flash_dir = (
            os.path.join(self.dir, name) for name in ("hub", "report.json", "log", "flash"))
        os.mkdir(self.flash_dir)
        ready = os.path.join(self.dir, "ready")
        self.proc = subprocess.Popen([HUBSIM, "--link", self.link, "--ready-file", ready, "--exit-after", "60000",
                                      "--report", self.report_path, "--flash-dir", self.flash_dir,
                                      "--log", self.log_path, *args])
        test.addCleanup(self.finish)
        self.fd, self.buf, self.counter, self.written = None, b"", 0, 0
        if not wait_for(lambda: os.path.exists(ready) or self.proc.poll() is not None, 5) or self.proc.poll():
            raise AssertionError("hubsim did not come up")

    def finish(self):
        """Ends hubsim; a crash or a sanitizer report shows as a non-zero exit."""
        self.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)
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
                return  # the port went away

    def command(self, board, text, counter=None):
        self.counter = (self.counter if counter is None else counter) + 1
        self.send(host_frame(board, text, self.counter - 1))

    def read_line(self, timeout=1.0, skip_announcements=True):
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.buf:
                line, _, self.buf = self.buf.partition(b"\n")
                if not (skip_announcements and line.lstrip(b">")[5:6] == b"*"):
                    return line + b"\n"
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

    def log_times(self, event):
        """hubsim's own times (ms) of its log events that begin with `event`."""
        with open(self.log_path, errors="replace") as f:
            return [float(time) for time, _, text in (line.strip().partition(" ") for line in f)
                    if text.startswith(event)]


def bootloader(test, *args):
    return Sim(test, "--mode", "bootloader", "--no-pacing", *args).open()


def announcing(sim, seconds):
    return sorted({parse_hub_line(l)[0] for l in sim.lines_during(seconds) if parse_hub_line(l)[1] == b"*"})


class FramingTest(unittest.TestCase):
    def test_announcements_and_acknowledgements(self):
        sim = bootloader(self, "--announce-ms", "20", "--device-type", "0101,0201", "--fw", "305,99",
                         "--serial", "1234,7")
        lines = sim.lines_during(0.2)
        self.assertIn(b"@0001*0131103001011234|c0\r\n", lines)
        self.assertIn(hub_frame(2, b"*", b"0063103002017"), lines)
        sim.command(1, "!STOP_PING", counter=0)
        self.assertEqual(sim.read_line(), b"@0001+>100000000|e5\r\n")
        time.sleep(0.05)
        sim.buf = b""
        self.assertEqual(announcing(sim, 0.3), [2], "a stopped board announces no more")

    def test_reply_styles(self):
        for options, reply in ((["--untagged-acks"], hub_frame(1, b"+")),
                               (["--prefix-replies", "--lf-only", "--upper-checksum"], b">>@0001+>100000000|E5\n")):
            sim = bootloader(self, *options)
            sim.command(1, "!STOP_PING", counter=0)
            self.assertEqual(sim.read_line(), reply, options)


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
        self.assertEqual((report["commands"]["upload_line"], report["commands"]["part_crc"]), (16, 3))
        for entry in report["boards"]:
            expected = bytearray(b"\xff" * (entry["flash_end"] - entry["flash_start"]))
            for address, data in blocks[entry["board"]]:
                expected[address - 0x4000:address - 0x4000 + len(data)] = data
            self.assertEqual(sim.dump(entry["board"]), bytes(expected))
            self.assertEqual(entry["flash_crc32"], "%08x" % zlib.crc32(expected))
            self.assertEqual((entry["finish"], entry["fw_version"]), ([123] * 4, 123))
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

class CheckerTest(unittest.TestCase):
    def test_each_breach_is_named(self):
        sim = bootloader(self)
        cases = [
            (b"@0100!STOP_PING|0c>100000001\n", "checksum 0c, expected 0b"),
            (b"@0100!STOP_PING|0B>100000002\n", "checksum not lower-case hex"),
            (b"@0100!STOP_PING|0b>200000003\n", "tag board 2 is not the destination 1"),
            (b"@0100!STOP_PING|0b>100000001\n", "tag counter 00000001 not above the previous 00000003"),
            (b"@0100!STOP_PING|0b>100000001\n", "tag counter 00000001 not above the previous 00000001"),
            (b"@0100!STOP_PING|0b>100000010\r\n", "framed line ends with CR LF"),
            (b"@0100!STOP_PING|0b\n", "no sequence tag"),
            (b"@0100!STOP_PING|0b>1000000zz\n", "malformed sequence tag"),
            (host_frame(8, "!STOP_PING", 0x21), "destination outside 01 to 07"),
            (b"id\n", "unexpected plain line"),
            (b"hello\r\n", "unexpected plain line"),
        ]
        for data, _ in cases:
            sim.send(data)
            line = sim.read_line(0.3)
            if data == cases[0][0]:
                self.assertEqual(line, hub_frame(1, b"?"))
        for legal in (b"\r\n", b"Dverify\r\n", b"id\r\n", b"boot_mode enabled\r\n"):
            sim.send(legal)
        sim.command(1, "!STOP_PING", counter=0x40)  # a gap is legal
        self.assertIsNotNone(sim.read_line())
        report = sim.stop()
        self.assertEqual(len(report["violations"]), len(cases), report["violations"])
        for (_, text), violation in zip(cases, report["violations"]):
            self.assertIn(text, violation)
        self.assertGreaterEqual(report["tag_gaps"], 1)
        self.assertEqual(report["commands"]["blank"], 1)


class RestartTest(unittest.TestCase):
    def test_boot_mode_restarts_on_a_new_pseudo_terminal(self):
        sim = Sim(self, "--restart-ms", "700", "--boot-delay-ms", "0", "--no-pacing", "--silent", "2").open()
        old = os.readlink(sim.link)
        sim.send(b"boot_mode enabled\r\n")
        self.assertTrue(wait_for(lambda: not os.path.lexists(sim.link), 1.0))
        sim.close()  # as the host does when its port is removed
        self.assertTrue(wait_for(lambda: os.path.lexists(sim.link), 3.0))
        self.assertNotEqual(os.readlink(sim.link), old)  # a new device, not the old one back
        sim.open()
        self.assertEqual(sim.read_line(1.0, skip_announcements=False), b"@0001*0131103001011234|c0\r\n")
        self.assertNotIn(2, announcing(sim, 0.4))
        sim.send(b"id\r\n")
        self.assertIsNone(sim.read_line(0.2))
        report = sim.stop()
        self.assertEqual((report["restarts"], report["host_opens"]), (1, 2))
        self.assertEqual([b["mode"] for b in report["boards"]], ["bootloader", "silent"])
        gone, back = sim.log_times("port vanishes")[0], sim.log_times("port back")[0]
        self.assertGreaterEqual(back - gone, 700)

class FaultTest(unittest.TestCase):
    DATA = bytes(range(64))

    def test_keep_announcing(self):
        sim = bootloader(self, "--keep-announcing", "--announce-ms", "20")
        sim.stop_pings(1, 2)
        self.assertEqual(announcing(sim, 0.2), [1, 2])

    def test_lost_refused_corrupted_and_wrong_replies(self):
        sim = bootloader(self, "--device-type", "0201", "--lose-ack", "2", "--nak", "6", "--bad-checksum", "3",
                         "--wrong-crc", "2")
        sim.stop_pings(1)
        replies = sim.upload(1, 0x4000, self.DATA)
        self.assertIsNone(replies[1])
        self.assertEqual(parse_hub_line(replies[2])[1:], (b"+", b">100000003", False))
        self.assertTrue(parse_hub_line(replies[3])[3])
        right = crc16(self.DATA)  # the lost acknowledgement's line was written
        self.assertEqual([sim.crc(1, 0x4000) for _ in range(3)], [right, right ^ 0xFFFF, right])
        self.assertEqual(sim.upload(1, 0x4000, b"\0" * 32)[1], hub_frame(1, b"?"))
        self.assertEqual(sim.crc(1, 0x4000), crc16(b"\0" * 16 + self.DATA[16:]))
        self.assertEqual(sim.stop()["faults"], {"acks_lost": 1, "naks": 1, "bad_checksums": 1, "wrong_crcs": 1})

    def test_port_vanishes_after_or_before_the_acknowledgement(self):
        for unacked in (False, True):
            sim = bootloader(self, "--device-type", "0201", "--vanish-after", "2", "--vanish-ms", "500",
                             *(["--vanish-unacked"] if unacked else []))
            sim.stop_pings(1)
            first, second = block_lines(0x4000, self.DATA[:32])
            sim.command(1, first)
            self.assertIsNotNone(sim.read_line())
            sim.command(1, second)
            reply = sim.read_line(0.3)
            self.assertEqual(reply is None, unacked)
            sim.command(1, first)  # too late: the hub is going
            self.assertIsNone(sim.read_line(0.3))
            self.assertTrue(wait_for(lambda: not os.path.lexists(sim.link), 1.0))
            self.assertTrue(wait_for(lambda: os.path.lexists(sim.link), 3.0))
            sim.close()
            sim.open()
            self.assertTrue(sim.read_line(1.0, skip_announcements=False).startswith(b"@0001*"))
            self.assertEqual(sim.crc(1, 0x4000), crc16(self.DATA[:32] + b"\xff" * 32))
            report = sim.stop()
            self.assertEqual((report["vanishes"], report["boards"][0]["upload_lines"]), (1, 2))
            self.assertGreaterEqual(sim.log_times("port back")[-1] - sim.log_times("port vanishes")[0], 500)

    def test_dead_board_answers_nothing_more(self):
        sim = bootloader(self, "--dead-board", "1:2", "--announce-ms", "30")
        replies = sim.upload(1, 0x4000, self.DATA[:48])
        self.assertEqual([r is not None for r in replies], [True, True, False])
        self.assertIsNone(sim.crc(1, 0x4000, timeout=0.3))
        self.assertEqual(announcing(sim, 0.2), [2])
        sim.command(2, "!STOP_PING")
        self.assertIsNotNone(sim.read_line())
        self.assertEqual(sim.stop()["boards"][0]["mode"], "dead")

class WireTest(unittest.TestCase):
    def test_received_lines_are_paced_to_115200_baud(self):
        data = b"".join(host_frame(1, "!STOP_PING", n) for n in range(200))
        wire_ms = len(data) * 10 / 115200 * 1000
        for pacing in (True, False):
            sim = Sim(self, "--mode", "bootloader", *([] if pacing else ["--no-pacing"])).open()
            sim.send(data)
            self.assertEqual([sim.read_line(3.0) for _ in range(200)][-1], hub_frame(1, b"+", b">1000000c7"))
            sim.stop()
            taken = sim.log_times("rx ")
            span = taken[-1] - taken[0]  # the first line's own bytes are not in the span
            if pacing:
                self.assertGreaterEqual(span, 0.9 * wire_ms * 199 / 200)
            else:
                self.assertLess(span, 0.5 * wire_ms)

    def test_sent_bytes_never_outrun_115200_baud(self):
        sim = Sim(self, "--mode", "bootloader", "--hwid", "1234", "--boards", "7", "--keep-announcing",
                  "--announce-ms", "1").open()
        sim.read_line(1.0, skip_announcements=False)
        # What waited in the pty while this test was not running came at the
        # paced rate too, but would count as if it came inside the window.
        sim.buf = b""
        while select.select([sim.fd], [], [], 0)[0]:
            os.read(sim.fd, 4096)
        start = time.monotonic()
        received = sum(len(line) for line in sim.lines_during(0.5))
        self.assertLess(received / (time.monotonic() - start), 1.1 * 11520)

class MkimageTest(unittest.TestCase):
    def mkimage(self, *args):
        return subprocess.run([sys.executable, MKIMAGE, *args], capture_output=True, timeout=30)

    def test_worked_example_and_refusals(self):
        base = tempfile.mkdtemp(prefix="mkimage-")
        self.addCleanup(shutil.rmtree, base, True)
        data = os.path.join(base, "data.bin")
        with open(data, "wb") as f:
            f.write(bytes(range(16)))
        expected = ["___123", ">>>0201", ":020000040000FA", ":10400000000102030405060708090A0B0C0D0E0F38",
                    ":00000001FF", "!!!!!!!!"]
        for end, extra in (("\n", []), ("\r\n", ["--crlf"])):
            self.assertEqual(self.mkimage("--version", "123", "--section", "0201:" + data, *extra).stdout,
                             (end.join(expected) + end).encode())
        for section in ("0201:0xC001", "0101:16@0x3FF0", "0201:nonexistent.bin"):
            self.assertEqual(self.mkimage("--version", "1", "--section", section).returncode, 2, section)


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
