#!/usr/bin/env python3
"""Many hubs at once end to end: the scan that probes every port together, and
`--auto --parallel`, against hubs played by hubsim and the suite's firmware
server.

    test_parallel.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]
"""

import os
import pty
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simtest  # noqa: E402
from test_auto import TYPES, AutoCase  # noqa: E402

REFUSED = "ERROR: The file does not contain the correct firmware for this hub"
INTERRUPTED = (b"\nERROR: Interrupted. The hub is left in its bootloader with incomplete firmware. "
               b"Run the same command again to complete the update (power-cycle the hub first if "
               b"it is not found).\n")


def silent_port(test):
    """A terminal that never answers: its probe waits out the whole detection window."""
    master, slave = os.openpty()
    test.addCleanup(os.close, master)
    test.addCleanup(os.close, slave)
    return os.ttyname(slave)


class ParallelCase(AutoCase):
    def release(self):
        image = self.image(215)
        self.publish([(215, "hub.ufw", len(image.data), "Stable")], "1030,215\n")
        self.server.set("/firmware/hub.ufw", image.data)
        return image

    def start_auto(self, ports, *flags, stdout=subprocess.PIPE):
        env = dict(os.environ, HUBFLASH_PORTS=",".join(ports), HUBFLASH_SERVER=self.server.address)
        return subprocess.Popen([simtest.TOOLS.hubflash, "--auto", "--parallel"] + list(flags),
                                stdout=stdout, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                env=env)


# ctest: threads
class ScanOrderTest(ParallelCase):
    def test_output_comes_in_port_order_though_probes_end_out_of_order(self):
        # The hub in the middle is found at once, the silent ports only after
        # seven seconds; stdout and stderr share one pipe, so the order shows.
        first, last = silent_port(self), silent_port(self)
        hub = self.hub("hub", 0x1030, "normal")
        env = dict(os.environ, HUBFLASH_PORTS=",".join((first, hub.port, last)),
                   HUBFLASH_SERVER=self.server.address)
        done = subprocess.run([simtest.TOOLS.hubflash, "--auto", "--json"], env=env, timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL)
        lines = done.stdout.decode().splitlines()
        scan = [line for line in lines if "Unable to detect" in line or '"event":"hub"' in line]
        self.assertEqual(len(scan), 3, lines)
        self.assertIn(first, scan[0])
        self.assertIn('"port":"%s"' % hub.port, scan[1])
        self.assertIn(last, scan[2])
        self.assert_untouched(hub)


# ctest: threads
class ParallelPassTest(ParallelCase):
    def test_hubs_run_side_by_side_and_a_refusal_stops_no_other(self):
        image = self.release()
        switched = self.hub("hubA", 0x1030, "normal", "--restart-ms", "1000", "--serial", "11")
        ready = self.hub("hubB", 0x1030, "bootloader", "--serial", "22")
        # No section of the image fits this hub's second board: refused, nothing sent.
        wrong = self.hub("hubC", 0x1030, "bootloader", "--serial", "33",
                         "--device-type", "0101,0203")
        proc = self.start_auto([switched.port, ready.port, wrong.port])
        out, err = proc.communicate(timeout=240)
        self.assertEqual(proc.returncode, 1, err)
        lines = out.decode().splitlines()
        self.assertEqual(lines[-1], "Updated 2 of 3 hubs")
        for hub in (switched, ready, wrong):
            tagged = [line for line in lines if line.startswith("[%s] " % hub.port)]
            self.assertTrue(tagged, lines)
            self.assertEqual(tagged[-1], "[%s] %s" % (hub.port, "failed" if hub is wrong else "done"))
        self.assertEqual(err.decode().splitlines(), ["[%s] %s" % (wrong.port, REFUSED)])
        # Without a terminal each upload reports its stages and every tenth of its blocks.
        steps = [line.split("] ", 1)[1] for line in lines if line.startswith("[%s] " % ready.port)]
        percents = [int(m.group(1)) for m in map(re.compile(r"uploading (\d+)% ").match, steps) if m]
        self.assertEqual(percents, list(range(10, 101, 10)))
        self.assertLess(steps.index("uploading"), steps.index("finishing"))
        # Side by side: the hub listed second is finishing while the first is still busy.
        index = {line: n for n, line in enumerate(lines)}
        self.assertLess(index["[%s] finishing" % ready.port], index["[%s] done" % switched.port])
        self.assertEqual(self.assert_hub_updated(switched, image, TYPES)["commands"]["boot_mode"], 1)
        self.assert_hub_updated(ready, image, TYPES)
        self.assert_untouched(wrong)


# ctest: threads
class ParallelTerminalTest(ParallelCase):
    def test_status_line_on_a_terminal_and_a_stop_between_lines(self):
        self.release()
        hubs = [self.hub("hub%d" % n, 0x1030, "bootloader", "--serial", str(n)) for n in (1, 2)]
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        proc = self.start_auto([h.port for h in hubs], stdout=slave)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 60
        # Both uploads under way: the status line shows blocks done of the total for each.
        while not all(re.search(rb"\[%s\] \d+/16" % re.escape(h.port.encode()), seen) for h in hubs):
            self.assertLess(time.monotonic(), deadline, seen[-500:])
            seen += os.read(master, 4096)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 130, err)
        self.assertEqual(err, INTERRUPTED)
        self.assertNotRegex(seen, rb"\] uploading \d+%", "on a terminal progress stays on the status line")
        for hub in hubs:
            report = hub.stop()
            self.assertEqual(report["violation_count"], 0, report["violations"][:5])
            self.assertEqual(report["commands"]["finish"], 0)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
