#!/usr/bin/env python3
"""Wine prefixes for the Windows tests. `setup PREFIX` creates one with Wine's null display
driver (without a display, the serial watcher's hidden window needs it) and leaves a persistent
wineserver running on /dev/null handles, so later wine commands neither wait for a new server
nor hand it a test's pipes. `cleanup PREFIX` stops that server."""
import os
import subprocess
import sys


def quiet(args, env, check=True):
    # Wine's background processes inherit the standard handles and outlive the
    # command: a pipe to them would never reach its end.
    subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300, check=check)


def restart_wineserver(env):
    quiet(["wineserver", "-k"], env, check=False)
    quiet(["wineserver", "-w"], env, check=False)
    quiet(["wineserver", "-p"], env)  # persistent, so volatile registry keys stay


def prepare_prefix(prefix, env):
    os.makedirs(prefix, exist_ok=True)
    restart_wineserver(env)
    quiet(["wine", "wineboot", "-u"], env)
    # Wine's desktop process takes up the driver setting when it starts again.
    quiet(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"], env)
    restart_wineserver(env)
    # The first program of a fresh server starts Wine's background services,
    # which keep its standard handles: let one with /dev/null handles be first.
    quiet(["wine", "cmd", "/c", "exit"], env)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("setup", "cleanup"):
        sys.exit("usage: wineprefix.py setup|cleanup PREFIX")
    prefix = os.path.abspath(sys.argv[2])
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    if sys.argv[1] == "setup":
        prepare_prefix(prefix, env)
    else:
        quiet(["wineserver", "-k"], env, check=False)
