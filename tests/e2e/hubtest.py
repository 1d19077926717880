"""Runs the real hubflash binary for end-to-end tests, natively or under Wine.

A test script calls parse_command_line() to learn which binary to run
(--hubflash PATH, and --wine for a Windows build), then Program.run() for each
case. Under Wine the program writes its text in Windows text mode, where every
"\\n" becomes "\\r\\n"; Program.text() turns the expected text into that form.
"""

import argparse
import os
import subprocess
import sys
from dataclasses import dataclass


@dataclass
class Result:
    stdout: bytes
    stderr: bytes
    code: int


class Program:
    def __init__(self, path, wine=False, env=None):
        self.path = os.path.abspath(path)
        self.wine = wine
        self.env = dict(env or {})
        self.session = None

    def command(self, args):
        prefix = ["wine", self.path] if self.wine else [self.path]
        return prefix + [str(a) for a in args]

    def environment(self, extra=None):
        env = dict(os.environ)
        if self.wine:
            env.setdefault("WINEDEBUG", "-all")
        env.update(self.env)
        env.update(extra or {})
        return env

    def run(self, args, stdin=None, timeout=60, env=None):
        """Run with args; stdin is bytes or None (an empty input)."""
        command = self.command(args)
        try:
            done = subprocess.run(command, input=stdin or b"", capture_output=True,
                                  timeout=timeout, env=self.environment(env))
        except subprocess.TimeoutExpired:
            raise AssertionError("no exit within %s s: %s" % (timeout, " ".join(command)))
        return Result(done.stdout, done.stderr, done.returncode)

    def text(self, expected):
        """The bytes that the program writes for `expected` (str or bytes)."""
        if isinstance(expected, str):
            expected = expected.encode()
        return expected.replace(b"\n", b"\r\n") if self.wine else expected

    def warm_up(self):
        """Under Wine, start the session that later runs share, and return once
        it is up. Wine's background services take over the standard streams of
        the process that starts them: started by a run whose output is captured,
        they would hold its pipes open for seconds after it ends. So an idle
        client without pipes keeps the session up until shut_down(), and the
        first run (which also reports a new prefix on stderr) writes nowhere."""
        if not self.wine or self.session is not None:
            return
        env = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml=")}
        self.session = subprocess.Popen(["wine", "cmd"], env=self.environment(env),
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        subprocess.run(self.command(["--version"]), env=self.environment(env), timeout=300,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def shut_down(self):
        """Ends the idle client of warm_up(); the session then winds down by itself."""
        if self.session is None:
            return
        self.session.stdin.close()
        try:
            self.session.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.session.kill()
            self.session.wait()
        self.session = None


def parse_command_line(argv=None):
    """Returns (Program, the remaining arguments for unittest.main)."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--hubflash", required=True, help="path of the hubflash binary")
    parser.add_argument("--wine", action="store_true", help="run it under wine")
    for unused in ("--hubsim", "--mkimage", "--sample"):  # CTest passes them to every test file
        parser.add_argument(unused)
    argv = sys.argv if argv is None else argv
    known, rest = parser.parse_known_args(argv[1:])
    return Program(known.hubflash, known.wine), [argv[0]] + rest
