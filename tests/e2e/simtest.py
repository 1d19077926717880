"""Helpers for tests that run the real hubflash (natively, or the Windows build
under Wine with --wine) against hubs played by hubsim: make_image(), Hub(),
run_hubflash(), Hub.stop() for hubsim's report. A test file runs as:
test_x.py --hubflash PATH [--wine] --hubsim PATH --mkimage PATH [Class ...]
"""

import argparse
import collections
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))  # fwserver

TOOLS = None


Result = collections.namedtuple("Result", "stdout stderr code")


def parse_command_line(argv=None):
    """Stores the tool paths in TOOLS; returns the arguments left for unittest.main."""
    global TOOLS
    parser = argparse.ArgumentParser(add_help=False)
    for name in ("--hubflash", "--hubsim", "--mkimage"):
        parser.add_argument(name, type=os.path.abspath)
    parser.add_argument("--wine", action="store_true", help="hubflash is the Windows build")
    argv = sys.argv if argv is None else argv
    TOOLS, rest = parser.parse_known_args(argv[1:])
    return [argv[0]] + rest


def temp_dir(test):
    """A directory of the test's own, removed when the test ends."""
    path = tempfile.mkdtemp(prefix="hubflash-e2e-")
    test.addCleanup(shutil.rmtree, path, True)
    return path


def text(expected):
    """The bytes the program writes for `expected`: in Windows text mode every "\\n" becomes "\\r\\n"."""
    expected = expected.encode() if isinstance(expected, str) else expected
    return expected.replace(b"\n", b"\r\n") if TOOLS.wine else expected


Image = collections.namedtuple("Image", "path version data flash")  # flash: {device type: expected bytes}


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
    flash = {int(f.stem, 16): f.read_bytes() for f in pathlib.Path(expected).iterdir()}
    return Image(path, version, pathlib.Path(path).read_bytes(), flash)


class Hub:
    """One hubsim process playing one hub on DIR/NAME."""

    def __init__(self, test, directory, *args, name="hub"):
        self.port, self.report_path, self.flash_dir, self.log_path, ready = (
            os.path.join(directory, name + suffix) for suffix in ("", ".json", ".flash", ".log", ".ready"))
        os.mkdir(self.flash_dir)
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
        """Ends hubsim; returns its report. A crash or a sanitizer report shows as a non-zero exit."""
        if self.report is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=30)
            assert self.proc.returncode == 0, "hubsim exited with %d" % self.proc.returncode
            self.report = json.loads(pathlib.Path(self.report_path).read_text())
        return self.report

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def flash(self, board):
        return pathlib.Path(self.flash_dir, "board%d.bin" % board).read_bytes()

    def framed_commands(self):
        """(board, command) of every framed line hubsim received, in order."""
        with open(self.log_path, errors="replace") as f:
            return [(int(m.group(1), 16), m.group(2)) for m in
                    (re.search(r" rx @([0-9a-f]{2})00(.*)\|[0-9a-f]{2}>", line) for line in f) if m]


def start_hubflash(args, env=None, **streams):
    """Starts hubflash without waiting; finish with wait_hubflash()."""
    streams = dict(dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL), **streams)
    command = (["wine"] if TOOLS.wine else []) + [TOOLS.hubflash] + [str(a) for a in args]
    env = dict(os.environ, **({"WINEDEBUG": "-all"} if TOOLS.wine else {}), **(env or {}))
    return subprocess.Popen(command, env=env, **streams)


def wait_hubflash(proc, timeout=240):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("hubflash did not exit within %s s: %s" % (timeout, " ".join(proc.args)))
    return Result(out, err, proc.returncode)


def run_hubflash(args, timeout=240, env=None, stdin=b""):
    """Output goes through files: Wine's background processes may inherit the
    standard handles and would hold a pipe open long after the program ended."""
    with tempfile.TemporaryFile() as inp, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        inp.write(stdin)
        inp.seek(0)
        code = wait_hubflash(start_hubflash(args, env, stdin=inp, stdout=out, stderr=err), timeout).code
        out.seek(0)
        err.seek(0)
        return Result(out.read(), err.read(), code)


def manual_header(image, port, version=None, bootloader=False, force=False):
    """What a manual update prints before it talks to the hub."""
    return ("hubflash v3.00\nFirmware path: %s\nSerial port: %s\n" % (image, port)
            + "Bootloader automatic: yes\n" * bootloader + "Force: yes\n" * force
            + ("Firmware version: %d\n" % version if version is not None else ""))


def detailed_progress(total, failed_from=None):
    """The counter texts of an upload, the final one included; with failed_from,
    one block failed its check once when that many were done."""
    return "".join("\rUpdating, please wait   %04d/%04d/%04d  %s"
                   % (failed_from is not None and done >= failed_from, done, total, "|/-\\"[done % 4])
                   for done in range(total + 1))


class UpdateChecks:
    """Assertions shared by the test cases (mixed into unittest.TestCase)."""

    def assert_hub_updated(self, hub, image, device_types):
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        # Two rounds; in each, every board from the highest down gets two.
        self.assertEqual(report["finish_order"], [b for b in range(len(device_types), 0, -1) for _ in (0, 1)] * 2)
        for number, device_type in enumerate(device_types, start=1):
            entry = report["boards"][number - 1]
            self.assertEqual((entry["finish"], entry["fw_version"]), ([image.version] * 4, image.version))
            self.assertTrue(hub.flash(number) == image.flash[device_type],
                            "flash of board %d differs from the image" % number)
        return report

    def assert_untouched(self, hub, commands=("stop_ping", "upload_line", "part_crc", "finish", "boot_mode")):
        """The hub was only looked at: none of these commands reached it, and no rule was broken."""
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        self.assertEqual({c: report["commands"][c] for c in commands}, dict.fromkeys(commands, 0))
        return report


def wine_path(path):
    """A Unix path as a Windows program names it: through drive Z:, the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def map_com_port(test, number, target):
    """Points COM<number> of the prefix (WINEPREFIX) at `target`, a hubsim link,
    until the test ends; returns the port's Windows name. Wine resolves the link
    at every open, so a hub that restarts on a new pseudo-terminal is found again."""
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    link = os.path.join(prefix, "dosdevices", "com%d" % number)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)
    test.addCleanup(lambda: os.path.islink(link) and os.readlink(link) == target and os.unlink(link))
    return "COM%d" % number
