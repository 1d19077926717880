"""Helpers for running the Windows hubflash under Wine against hubsim.

The Windows program reaches a simulated hub through a link in the prefix's
dosdevices directory: dosdevices/comN points at hubsim's own --link path, and
Wine resolves it at every open, so a hub that restarts on a new
pseudo-terminal is found again under the same COM name. The prefix is the one
named by WINEPREFIX.

Every Wine command here writes into files, never into pipes: Wine's background
processes can inherit the standard handles and keep a pipe open long after
the program has ended.
"""

import os
import subprocess
import tempfile

import simtest


def prefix():
    return os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")


def environment(extra=None, drop=()):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    for name in drop:
        env.pop(name, None)
    env.update(extra or {})
    return env


def windows_text(expected):
    """What the program writes for `expected`: Windows text mode turns every
    "\\n" into "\\r\\n", so "\\r\\n" arrives as "\\r\\r\\n"."""
    if isinstance(expected, str):
        expected = expected.encode()
    return expected.replace(b"\n", b"\r\n")


def windows_path(path):
    """A Unix path as a Windows program names it: through drive Z:, the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_wine(args, timeout, env=None):
    """Runs `wine args...`; returns a simtest.Result. Output goes through
    files, so a Wine process that keeps the handles cannot hold the run up."""
    command = ["wine"] + [str(a) for a in args]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=env or environment(), timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            raise AssertionError("no exit within %s s: %s" % (timeout, " ".join(command)))
        out.seek(0)
        err.seek(0)
        return simtest.Result(out.read(), err.read(), code)


def run_hubflash(args, timeout=240, env=None):
    return run_wine([simtest.TOOLS.hubflash] + list(args), timeout, env)


def map_com_port(test, number, target):
    """Points COM<number> at `target` (a hubsim link) until the test ends;
    returns the port's Windows name."""
    link = os.path.join(prefix(), "dosdevices", "com%d" % number)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)

    def unmap():
        if os.path.islink(link) and os.readlink(link) == target:
            os.unlink(link)
    test.addCleanup(unmap)
    return "COM%d" % number

