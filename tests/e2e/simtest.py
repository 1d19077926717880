"""Helpers for end-to-end tests that run the real hubflash against hubsim.

A test script calls parse_command_line() to learn the three tools
(--hubflash, --hubsim, --mkimage), then per case: make_image() for an image
and the flash each board type should end up with, Hub() to start a simulated
hub on a symlink in a temporary directory, run_hubflash() to run the program,
and Hub.stop() for hubsim's report.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

# The simulated firmware server lives beside the hub simulator.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

TOOLS = None


@dataclass
class Tools:
    hubflash: str
    hubsim: str
    mkimage: str


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    code: int


def parse_command_line(argv=None):
    """Stores the tool paths; returns the arguments left for unittest.main."""
    global TOOLS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--hubflash", required=True)
    parser.add_argument("--hubsim", required=True)
    parser.add_argument("--mkimage", required=True)
    parser.add_argument("--sample")  # for the tests that need it; CTest passes it to all
    parser.add_argument("--wine", action="store_true")  # the Windows build: see winetest
    argv = sys.argv if argv is None else argv
    known, rest = parser.parse_known_args(argv[1:])
    TOOLS = Tools(os.path.abspath(known.hubflash), os.path.abspath(known.hubsim),
                  os.path.abspath(known.mkimage))
    return [argv[0]] + rest


def temp_dir(test):
    """A directory of the test's own, removed when the test ends."""
    path = tempfile.mkdtemp(prefix="hubflash-e2e-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


@dataclass
class Image:
    path: str
    expected_dir: str
    version: int

    def expected_flash(self, device_type):
        with open(os.path.join(self.expected_dir, "%04x.bin" % device_type), "rb") as f:
            return f.read()


def make_image(directory, version, sections, seed=1, name="image.txt"):
    """sections: mkimage section texts such as "0101:2048"."""
    path = os.path.join(directory, name)
    expected = os.path.join(directory, name + ".flash")
    os.mkdir(expected)
    command = [sys.executable, TOOLS.mkimage, "--version", str(version), "--seed", str(seed),
               "--output", path, "--flash-out", expected]
    for section in sections:
        command += ["--section", section]
    subprocess.run(command, check=True)
    return Image(path, expected, version)


class Hub:
    """One hubsim process playing one hub on DIR/NAME."""

    def __init__(self, test, directory, *args, name="hub"):
        self.dir = directory
        self.port = os.path.join(directory, name)
        self.report_path = os.path.join(directory, name + ".json")
        self.flash_dir = os.path.join(directory, name + ".flash")
        self.log_path = os.path.join(directory, name + ".log")
        os.mkdir(self.flash_dir)
        ready = os.path.join(directory, name + ".ready")
        command = [TOOLS.hubsim, "--link", self.port, "--ready-file", ready,
                   "--report", self.report_path, "--flash-dir", self.flash_dir,
                   "--log", self.log_path, "--exit-after", "900000"] + [str(a) for a in args]
        self.proc = subprocess.Popen(command)
        test.addCleanup(self.kill)
        self.report = None
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("hubsim did not come up: %s" % " ".join(command))
            time.sleep(0.01)

    def stop(self):
        """Ends hubsim; returns its report."""
        if self.report is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=30)
            with open(self.report_path) as f:
                self.report = json.load(f)
        return self.report

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def flash(self, board):
        with open(os.path.join(self.flash_dir, "board%d.bin" % board), "rb") as f:
            return f.read()

    def framed_commands(self):
        """(board, command) of every framed line hubsim received, in order."""
        found = []
        with open(self.log_path, errors="replace") as f:
            for line in f:
                m = re.search(r" rx @([0-9a-f]{2})00(.*)\|[0-9a-f]{2}>", line)
                if m:
                    found.append((int(m.group(1), 16), m.group(2)))
        return found


def hubflash_command(args):
    return [TOOLS.hubflash] + [str(a) for a in args]


def run_hubflash(args, timeout=240, env=None):
    command = hubflash_command(args)
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL,
                              env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired:
        raise AssertionError("no exit within %s s: %s" % (timeout, " ".join(command)))
    return Result(done.stdout, done.stderr, done.returncode)


def start_hubflash(args):
    """Starts hubflash without waiting; finish with wait_hubflash()."""
    return subprocess.Popen(hubflash_command(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)


def wait_hubflash(proc, timeout=240):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("hubflash did not exit within %s s" % timeout)
    return Result(out, err, proc.returncode)


def manual_header(image, port, version=None, bootloader=False, force=False):
    """What a manual update prints before it talks to the hub."""
    text = "hubflash v3.00\nFirmware path: %s\nSerial port: %s\n" % (image, port)
    if bootloader:
        text += "Bootloader automatic: yes\n"
    if force:
        text += "Force: yes\n"
    if version is not None:
        text += "Firmware version: %d\n" % version
    return text


def detailed_progress(total):
    """The counter texts of an upload without failures, the final one included."""
    spinner = "|/-\\"
    text = ""
    for done in range(total):
        text += "\rUpdating, please wait   0000/%04d/%04d  %s" % (done, total, spinner[done % 4])
    text += "\rUpdating, please wait   0000/%04d/%04d  %s" % (total, total, spinner[total % 4])
    return text


class UpdateChecks:
    """Assertions shared by the test cases (mixed into unittest.TestCase)."""

    def assert_hub_updated(self, hub, image, device_types, stdout=None):
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        boards = len(device_types)
        # Two rounds; in each, every board from the highest down gets two.
        self.assertEqual(report["finish_order"], [b for b in range(boards, 0, -1) for _ in (0, 1)] * 2)
        for number, device_type in enumerate(device_types, start=1):
            entry = report["boards"][number - 1]
            self.assertEqual(entry["finish"], [image.version] * 4, "board %d" % number)
            self.assertEqual(entry["fw_version"], image.version, "board %d" % number)
            self.assertTrue(hub.flash(number) == image.expected_flash(device_type),
                            "flash of board %d differs from the image" % number)
        if stdout is not None:
            self.assertTrue(stdout.endswith(b"Device updated successfully.\n"), stdout[-300:])
            self.assertNotIn(b"Failed to update", stdout)
        return report

    def assert_untouched(self, hub, commands=("stop_ping", "upload_line", "part_crc", "finish", "boot_mode")):
        """The hub was only looked at: none of these commands reached it, and no rule was broken."""
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        self.assertEqual({c: report["commands"][c] for c in commands}, dict.fromkeys(commands, 0))
        return report
