#!/usr/bin/env python3
"""The Windows hubflash end to end under Wine, against hubs played by hubsim:
one update, one refusal, one switch into the bootloader, and two hubs listed as
JSON and updated at once. The rest is the native build's code and tested there.

The prefix's dosdevices/comN points at a hub's link, so the program opens it as
COMn; each class has COM numbers of its own, to run beside the others.
"""

import json
import os
import time
import unittest

import simtest
import fwserver  # found through simtest's path
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, map_com_port, run_hubflash, \
    temp_dir, text, wine_path

TYPES = (0x0101, 0x0201)


class Case(unittest.TestCase, UpdateChecks):
    def setUp(self):
        self.dir = temp_dir(self)
        self.image = make_image(self.dir, 310, ("0101:2048", "0201:1024"))
        self.image.windows_path = wine_path(self.image.path)

    def hub(self, com, *args, name="hub"):
        """A hub with boards 0101 and 0201 on COM<com>; returns (hub, port name)."""
        hub = Hub(self, self.dir, "--device-type", "0101,0201", "--hwid", "1030", *args, name=name)
        return hub, map_com_port(self, com, hub.port)

    def update(self, port, *flags):
        return run_hubflash(["--fw", self.image.windows_path, "--port", port] + list(flags))

    def updated_output(self, port, bootloader=False):
        return text(manual_header(self.image.windows_path, port, 310, bootloader=bootloader)
                    + "Switching to bootloader\n" * bootloader + "Found device: Halbern-16\n"
                    + detailed_progress(32) + "Device updated successfully.\n")


# ctest: windows
class UpdateTest(Case):
    def test_two_board_hub_in_its_bootloader(self):
        hub, port = self.hub(21, "--mode", "bootloader")
        result = self.update(port)
        self.assertEqual((result.stdout, result.stderr, result.code), (self.updated_output(port), b"", 0))
        report = self.assert_hub_updated(hub, self.image, TYPES)
        self.assertEqual((report["commands"]["upload_line"], report["host_opens"]), (16 * 8 + 16 * 4, 1))

    def test_hub_in_normal_firmware_without_the_flag(self):
        hub, port = self.hub(23, "--mode", "normal")
        result = self.update(port)
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (text(manual_header(self.image.windows_path, port, 310)),
                          text("ERROR: The hub is not in bootloader mode\n"), 255))
        self.assertGreaterEqual(self.assert_untouched(hub)["commands"]["id"], 1)


# ctest: windows
class SwitchTest(Case):
    def test_bootloader_flag_reopens_the_port_after_the_restart(self):
        hub, port = self.hub(22, "--mode", "normal", "--restart-ms", "3000")
        slave_before = os.path.realpath(hub.port)
        started = time.monotonic()
        result = self.update(port, "--bootloader")
        self.assertGreater(time.monotonic() - started, 25.7, "the restart wait is real")
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (self.updated_output(port, bootloader=True), b"", 0))
        # The hub came back on another pseudo-terminal: Wine followed the link chain to it.
        self.assertNotEqual(os.path.realpath(hub.port), slave_before)
        report = self.assert_hub_updated(hub, self.image, TYPES)
        self.assertEqual((report["commands"]["boot_mode"], report["restarts"], report["host_opens"]), (1, 1, 2))


# ctest: windows
class AutoParallelTest(Case):
    """Two hubs listed as JSON, then updated at once, each on its own link and watcher."""

    def test_json_list_then_both_updated_at_once(self):
        server = fwserver.FirmwareServer()
        self.addCleanup(server.stop)
        hubs = [self.hub(com, "--mode", "bootloader", name="hub%d" % com) for com in (28, 29)]
        server.set("/firmware/manifest", "310,hub.ufw,%d,Stable\n" % len(self.image.data))
        server.set("/firmware/stable", "1030,310\n")
        server.set("/firmware/hub.ufw", self.image.data)
        env = {"HUBFLASH_SERVER": server.address, "HUBFLASH_PORTS": ",".join(port for _, port in hubs)}

        events = [json.loads(line) for line in run_hubflash(["--json", "--list"], env=env).stdout.splitlines()]
        self.assertEqual([(e["event"], e["port"], e["mode"], len(e["boards"])) for e in events],
                         [("hub", port, "bootloader", 2) for _, port in hubs])

        result = run_hubflash(["--auto", "--parallel"], env=env)
        self.assertEqual((result.stderr, result.code), (b"", 0))
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "Updated 2 of 2 hubs")
        for hub, port in hubs:
            self.assertIn("[%s] done" % port, lines)
            self.assert_hub_updated(hub, self.image, TYPES)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
