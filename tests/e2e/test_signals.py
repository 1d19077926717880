#!/usr/bin/env python3
"""Stop requests and a closed output pipe during a manual update, end to end.

    test_signals.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]
"""

import signal
import time
import unittest

import simtest
from simtest import Hub, UpdateChecks, make_image, start_hubflash, temp_dir, wait_hubflash

INTERRUPTED = (b"\nERROR: Interrupted. The hub is left in its bootloader with incomplete firmware. "
               b"Run the same command again to complete the update (power-cycle the hub first if it is not found).\n")
TYPES = (0x0101, 0x0201)

# A shell's background job starts with SIGINT ignored, which hubflash keeps;
# a signal caught here has its usual effect again in hubflash.
signal.signal(signal.SIGINT, signal.default_int_handler)


class Case(unittest.TestCase, UpdateChecks):
    def setUp(self):
        self.dir = temp_dir(self)
        self.image = make_image(self.dir, 310, ("0101:2048", "0201:1024"))

    def start_update(self, name):
        hub = Hub(self, self.dir, "--mode", "bootloader", "--device-type", "0101,0201", name=name)
        return hub, start_hubflash(["--fw", self.image.path, "--port", hub.port])


class StopTest(Case):
    def wait_for_upload(self, hub, proc):
        deadline = time.monotonic() + 60
        while not any(command.startswith(";") for _, command in hub.framed_commands()):
            self.assertIsNone(proc.poll(), "hubflash ended before the upload began")
            self.assertLess(time.monotonic(), deadline, "no upload line within 60 s")
            time.sleep(0.01)

    def test_stop_request_ends_the_upload_between_two_lines(self):
        for number, code in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(number.name):
                hub, proc = self.start_update(number.name)
                self.wait_for_upload(hub, proc)
                proc.send_signal(number)
                result = wait_hubflash(proc, timeout=30)
                self.assertEqual(result.code, code, result.stderr)
                self.assertTrue(result.stderr.endswith(INTERRUPTED), result.stderr)
                report = hub.stop()
                self.assertGreater(report["commands"]["upload_line"], 0)
                self.assertEqual(report["commands"]["finish"], 0)
                self.assertEqual(report["violation_count"], 0, report["violations"][:5])


class ClosedPipeTest(Case):
    def test_update_outlives_the_reader_of_its_output(self):
        hub, proc = self.start_update("hub")
        self.assertEqual(proc.stdout.readline(), b"hubflash v3.00\n")
        proc.stdout.close()
        result = wait_hubflash(proc)
        self.assertEqual(result.code, 0, result.stderr)
        self.assert_hub_updated(hub, self.image, TYPES)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
