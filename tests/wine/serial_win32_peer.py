#!/usr/bin/env python3
"""Runs the Windows serial tests under Wine against a pseudo-terminal peer.

Wine maps COM37 to the link dosdevices/com37, pointed here at the slave side of
a pseudo-terminal; this script holds the master side and answers each line:
  CHECK -> "OK" when the slave reads 115200 baud, one stop bit and still has
           the hardware flow control set before the first open; else "BAD ..."
           (a Linux pseudo-terminal always reads 8 data bits without parity)
  SLOW  -> puts the slave to 9600 baud and two stop bits, then "DONE"
  SPLIT -> "first half " and, 50 ms later, "second half"
  DELAY -> "late", 150 ms later
  ALIAS COMn -> links COMn to the same pseudo-terminal (a port that appears), then "DONE"
  other -> the line itself
The tests rewrite the registry of the prefix given, so it must be theirs alone.
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

PORT = "COM37"


def set_slow(fd):
    attrs = termios.tcgetattr(fd)
    attrs[2] |= termios.CSTOPB | termios.CRTSCTS
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def check(fd):
    _, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(fd)
    good = ispeed == ospeed == termios.B115200 and not cflag & termios.CSTOPB and cflag & termios.CRTSCTS
    return b"OK" if good else b"BAD speed=%d/%d cflag=%o" % (ispeed, ospeed, cflag)


def answer(master, slave, line, links):
    if line.startswith(b"ALIAS "):
        links.append(os.path.join(os.path.dirname(links[0]), line[6:].decode().lower()))
        os.symlink(os.ttyname(slave), links[-1])
        os.write(master, b"DONE\r\n")
    elif line == b"CHECK":
        os.write(master, check(slave) + b"\r\n")
    elif line == b"SLOW":
        set_slow(slave)
        os.write(master, b"DONE\r\n")
    elif line == b"SPLIT":
        os.write(master, b"first half ")
        time.sleep(0.05)
        os.write(master, b"second half\r\n")
    elif line == b"DELAY":
        time.sleep(0.15)
        os.write(master, b"late\r\n")
    else:
        os.write(master, line + b"\r\n")


def serve(master, slave, stopping, links):
    pending = b""
    while not stopping.is_set():
        if select.select([master], [], [], 0.1)[0]:
            pending += os.read(master, 4096)
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            answer(master, slave, line.rstrip(b"\r"), links)


def run_tests(exe, prefix, env):
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    set_slow(slave)
    link = os.path.join(prefix, "dosdevices", PORT.lower())
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    links = [link]  # the port's own link first, then those of ALIAS
    stopping = threading.Event()
    peer = threading.Thread(target=serve, args=(master, slave, stopping, links), daemon=True)
    peer.start()
    try:
        with tempfile.TemporaryFile() as output:
            try:
                code = subprocess.run(["wine", exe, "--gtest_filter=SerialWin32Peer.*:SerialWin32Prefix.*"],
                                      env=dict(env, HUB_TEST_PORT=PORT), stdin=subprocess.DEVNULL,
                                      stdout=output, stderr=subprocess.STDOUT, timeout=300).returncode
            except subprocess.TimeoutExpired:
                print("the tests did not end within 300 s")
                code = 1
            output.seek(0)
            sys.stdout.write(output.read().decode(errors="replace"))
        return code
    finally:
        stopping.set()
        peer.join()
        for made in links:
            os.unlink(made)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    args = parser.parse_args()
    prefix = os.path.abspath(args.prefix)
    env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=prefix)
    try:
        prepare_prefix(prefix, env)
        return run_tests(os.path.abspath(args.exe), prefix, env)
    finally:
        quiet(["wineserver", "-k"], env, check=False)


if __name__ == "__main__":
    sys.exit(main())
