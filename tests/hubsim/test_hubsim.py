#!/usr/bin/env python3
"""Tests of the hub simulator and the image generator. The framing and checksums
here are written out independently of both hubsim and hubflash, so that a fault
in either cannot confirm itself; the flash a session leaves, its CRC replies and
finishes are what every end-to-end update checks against mkimage's image and
hubflash's own CRCs. Times come from hubsim's own log.
"""

import errno
import os
import select
import subprocess
import sys
import time
import tty
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import simtest  # noqa: E402


def checksum(data):
    return (-sum(data)) & 0xFF


def host_frame(board, command, counter):
    body = b"@%02x00" % board + command.encode("latin-1")
    return body + b"|%02x>%x%08x\n" % (checksum(body), board, counter)


def hub_frame(board, kind, payload=b""):
    body = b"@00%02x" % board + kind + payload
    return body + b"|%02x\r\n" % checksum(body)


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


class Sim(simtest.Hub):
    """One hubsim on a link in a directory of the test's own; the test is the host."""

    def __init__(self, test, *args):
        super().__init__(test, simtest.temp_dir(test), *args)
        self.fd, self.buf, self.counter, self.written = None, b"", 0, 0
        test.addCleanup(self.stop)

    def open(self):
        self.fd, self.buf = os.open(self.port, os.O_RDWR | os.O_NOCTTY), b""
        tty.setraw(self.fd)
        return self

    def send(self, data):
        self.written += len(data)
        try:
            while data:
                data = data[os.write(self.fd, data):]
        except OSError as error:
            if error.errno != errno.EIO:  # EIO: the port went away
                raise

    def read_line(self, timeout=1.0):
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.buf:
                line, _, self.buf = self.buf.partition(b"\n")
                if line.lstrip(b">")[5:6] != b"*":  # announcements are skipped
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

    def stop_pings(self, *boards):
        for board in boards:
            assert self.ask(board, "!STOP_PING") is not None

    def ask(self, board, text, timeout=1.0, counter=None):
        """Sends one command, tagged with the next counter value or `counter`; returns the reply line, or None."""
        self.counter = (self.counter if counter is None else counter) + 1
        self.send(host_frame(board, text, self.counter - 1))
        return self.read_line(timeout)

    def upload(self, board, address, data, pause=0.0011):
        """Sends a block line by line, each `pause` s after the previous reply; returns the replies."""
        replies = []
        for line in block_lines(address, data):
            replies.append(self.ask(board, line))
            time.sleep(pause)
        return replies

    def crc(self, board, address):
        _, kind, payload, ok = parse_hub_line(self.ask(board, "!PART_CRC=%06x" % address))
        assert kind == b"-" and ok and payload.startswith(b"CRC="), payload
        return int(payload[4:], 16)

    def stop(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        return super().stop()

    def log_times(self, event):
        """hubsim's own times (ms) of its log events that begin with `event`."""
        with open(self.log_path, errors="replace") as f:
            return [float(time) for time, _, text in (line.strip().partition(" ") for line in f)
                    if text.startswith(event)]


def bootloader(test, *args):
    return Sim(test, "--mode", "bootloader", "--no-pacing", *args).open()


class UploadTest(unittest.TestCase):
    def test_report_of_a_clean_session(self):
        sim = bootloader(self, "--device-type", "0201,0101")
        sim.stop_pings(2, 1)
        for board, address in ((1, 0x4000), (1, 0x4080), (2, 0x4000)):
            self.assertTrue(all(parse_hub_line(r)[1] == b"+" for r in sim.upload(board, address, bytes(range(64)))))
        report = sim.stop()
        self.assertEqual((report["violations"], report["bytes_received"]), ([], sim.written))
        self.assertEqual(report["boards"][0]["written"], [[0x4000, 0x4040], [0x4080, 0x40C0]])
        self.assertEqual([(b["upload_lines"], b["flash_start"], b["flash_end"]) for b in report["boards"]],
                         [(8, 0x4000, 0x10000), (4, 0x4000, 0x20000)])
        for entry in report["boards"]:
            self.assertEqual(entry["flash_crc32"], "%08x" % zlib.crc32(sim.flash(entry["board"])))

    def test_a_line_within_1_ms_of_an_upload_acknowledgement_is_named(self):
        sim = bootloader(self, "--device-type", "0101", "--busy-wait")
        sim.stop_pings(1)
        sim.upload(1, 0x4000, bytes(1024), pause=0)
        time.sleep(0.002)
        sim.crc(1, 0x4000)
        violations = sim.stop()["violations"]
        # 63 lines each sent at once after an acknowledgement: on a loaded machine
        # some may be read too late to be caught, never all of them.
        self.assertTrue(violations)
        for violation in violations:
            self.assertRegex(violation, r"^line \d+ us after an upload line's acknowledgement left, within its 1 ms: @0100;")

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
        for board, line in [(1, line) for line in bad] + [(2, good)]:  # no flash layout for type 0303
            self.assertEqual(sim.ask(board, line), hub_frame(board, b"?"), line)
        self.assertEqual(parse_hub_line(sim.ask(1, good.lower()))[1], b"+", "sound, though in lower case")
        for query in ("!PART_CRC=004010", "!PART_CRC=4000", "!PART_CRC=00FFC0", "!PART_CRC=010000",
                      "!FINISH 12", "!FLASH_ALL"):
            self.assertEqual(sim.ask(1, query), hub_frame(1, b"?"), query)
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
            (b"@0100!STOP_PING|0b>100000003\n", "tag counter 00000003 not above the previous 00000003"),
            (b"@0100!STOP_PING|0b>100000010\r\n", "framed line ends with CR LF"),
            (b"@0100!STOP_PING|0b\n", "no sequence tag"),
            (b"@0100!STOP_PING|0b>1000000zz\n", "malformed sequence tag"),
            (host_frame(8, "!STOP_PING", 0x21), "destination outside 01 to 07"),
            (b"id\n", "unexpected plain line"),
        ]
        for data, _ in cases:
            sim.send(data)
            line = sim.read_line(0.3)
            if data == cases[0][0]:
                self.assertEqual(line, hub_frame(1, b"?"))
        for legal in (b"\r\n", b"Dverify\r\n", b"id\r\n", b"boot_mode enabled\r\n"):
            sim.send(legal)
        self.assertIsNotNone(sim.ask(1, "!STOP_PING", counter=0x40))  # a gap is legal
        report = sim.stop()
        self.assertEqual(len(report["violations"]), len(cases), report["violations"])
        for (_, text), violation in zip(cases, report["violations"]):
            self.assertIn(text, violation)
        self.assertGreaterEqual(report["tag_gaps"], 1)
        self.assertEqual(report["commands"]["blank"], 1)


class VanishTest(unittest.TestCase):
    def test_port_vanishes_after_an_acknowledgement(self):
        sim = bootloader(self, "--device-type", "0201", "--vanish-after", "2", "--vanish-ms", "500")
        sim.stop_pings(1)
        first, second = block_lines(0x4000, bytes(32))
        self.assertIsNotNone(sim.ask(1, first))
        self.assertIsNotNone(sim.ask(1, second))
        self.assertIsNone(sim.ask(1, first, 0.3))  # too late: the hub is going
        self.assertTrue(wait_for(lambda: not os.path.lexists(sim.port), 1.0))
        self.assertTrue(wait_for(lambda: os.path.lexists(sim.port), 3.0))
        sim.stop()
        self.assertGreaterEqual(sim.log_times("port back")[-1] - sim.log_times("port vanishes")[0], 500)


class WireTest(unittest.TestCase):
    def test_received_lines_are_paced_to_115200_baud(self):
        data = b"".join(host_frame(1, "!STOP_PING", n) for n in range(200))
        sim = Sim(self, "--mode", "bootloader").open()
        sim.send(data)
        self.assertEqual([sim.read_line(3.0) for _ in range(200)][-1], hub_frame(1, b"+", b">1000000c7"))
        sim.stop()
        taken = sim.log_times("rx ")
        self.assertGreaterEqual(taken[-1] - taken[0], 0.9 * len(data) * 10 / 115.2 * 199 / 200)  # from line 1's end


class MkimageTest(unittest.TestCase):
    def test_worked_example(self):
        data = os.path.join(simtest.temp_dir(self), "data.bin")
        with open(data, "wb") as f:
            f.write(bytes(range(16)))
        mkimage = [sys.executable, simtest.TOOLS.mkimage, "--version", "123", "--section"]
        example = ["___123", ">>>0201", ":020000040000FA", ":10400000000102030405060708090A0B0C0D0E0F38",
                   ":00000001FF", "!!!!!!!!"]
        for end, extra in (("\n", []), ("\r\n", ["--crlf"])):
            self.assertEqual(subprocess.run(mkimage + ["0201:" + data] + extra, capture_output=True).stdout,
                             (end.join(example) + end).encode())


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
