#!/usr/bin/env python3
"""Runs the Windows serial tests under Wine against a pseudo-terminal peer.

Wine maps COM37 to the link dosdevices/com37, pointed here at the slave side of
a pseudo-terminal; this script holds the master side and answers each line:
  CHECK -> "OK" when the slave reads 115200 baud, one stop bit and still has its
           hardware flow control; else "BAD ..."
  SLOW  -> puts the slave to 9600 baud and two stop bits, then "DONE"
  DELAY -> "late", 150 ms later
  ALIAS COMn -> links COMn to the same pseudo-terminal (a port that appears), then "DONE"
  other -> the line itself
The tests rewrite the registry of the prefix given (--prefix), so it must be theirs alone.
"""

import argparse
import os
import select
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wineprefix import quiet, prepare_prefix  # noqa: E402


def set_slow(fd):
    attrs = termios.tcgetattr(fd)
    attrs[2] |= termios.CSTOPB | termios.CRTSCTS
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def answer(slave, line, links):
    if line.startswith(b"ALIAS "):
        links.append(os.path.join(os.path.dirname(links[0]), line[6:].decode().lower()))
        os.symlink(os.ttyname(slave), links[-1])
    elif line == b"CHECK":
        _, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(slave)
        good = ispeed == ospeed == termios.B115200 and not cflag & termios.CSTOPB and cflag & termios.CRTSCTS
        return b"OK" if good else b"BAD speed=%d/%d cflag=%o" % (ispeed, ospeed, cflag)
    elif line == b"SLOW":
        set_slow(slave)
    elif line == b"DELAY":
        time.sleep(0.15)
        return b"late"
    else:
        return line
    return b"DONE"


def serve(master, slave, stopping, links):
    pending = b""
    while not stopping.is_set():
        if select.select([master], [], [], 0.1)[0]:
            pending += os.read(master, 4096)
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            os.write(master, answer(slave, line.rstrip(b"\r"), links) + b"\r\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    args = parser.parse_args()
    prefix = os.path.abspath(args.prefix)
    env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=prefix, HUB_TEST_PORT="COM37")
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    set_slow(slave)
    links = [os.path.join(prefix, "dosdevices", "com37")]  # the port's own link, then those of ALIAS
    stopping = threading.Event()
    peer = threading.Thread(target=serve, args=(master, slave, stopping, links), daemon=True)
    try:
        prepare_prefix(prefix, env)
        if os.path.lexists(links[0]):
            os.unlink(links[0])
        os.symlink(os.ttyname(slave), links[0])
        peer.start()
        # Output through a file: Wine's background processes may keep a pipe open.
        with tempfile.TemporaryFile() as output:
            try:
                return subprocess.run(["wine", os.path.abspath(args.exe), "--gtest_filter=SerialWin32Peer.*:SerialWin32Prefix.*"],
                                      env=env, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                      timeout=300).returncode
            finally:
                output.seek(0)
                sys.stdout.write(output.read().decode(errors="replace"))
    finally:
        stopping.set()
        if peer.is_alive():
            peer.join()
        for made in filter(os.path.lexists, links):
            os.unlink(made)
        quiet(["wineserver", "-k"], env, check=False)


if __name__ == "__main__":
    sys.exit(main())
