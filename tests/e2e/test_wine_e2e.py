#!/usr/bin/env python3
"""The Windows hubflash end to end under Wine, against hubs played by hubsim:
one update, a file refused before any port opens, one switch into the
bootloader, and hubs of three types listed as JSON and updated at once. The
rest is the native build's code and tested there.

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
        self.windows_path = wine_path(self.image.path)

    def hub(self, com, *args, name="hub", hwid="1030", types="0101,0201"):
        """A hub (by default a Halbern-16 with boards 0101 and 0201) on COM<com>; returns (hub, port name)."""
        hub = Hub(self, self.dir, "--device-type", types, "--hwid", hwid, *args, name=name)
        return hub, map_com_port(self, com, hub.port)

    def update(self, port, *flags):
        return run_hubflash(["--fw", self.windows_path, "--port", port] + list(flags))

    def updated_output(self, port, bootloader=False):
        return text(manual_header(self.windows_path, port, 310, bootloader=bootloader)
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

    def test_a_file_that_is_not_firmware_opens_no_port(self):
        hub, port = self.hub(24, "--mode", "bootloader")
        page = os.path.join(self.dir, "index.html")
        with open(page, "w") as f:
            f.write("<!DOCTYPE html>\n<html><head><title>Not Found</title></head><body>404</body></html>\n")
        path = wine_path(page)
        result = run_hubflash(["--fw", path, "--port", port])
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (text(manual_header(path, port)), text("ERROR: Invalid firmware file\n"), 255))
        self.assertEqual(hub.stop()["host_opens"], 0, "no port is opened for a bad file")


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
    """Hubs of two types listed as JSON, then updated at once, each on its own link
    and watcher and each with the release for its own hub type; a third hub type
    has no release and is skipped."""

    def test_json_list_then_each_hub_type_updated_with_its_own_release(self):
        server = fwserver.FirmwareServer()
        self.addCleanup(server.stop)
        other = make_image(self.dir, 320, ("0102:1024", "0202:512"), seed=2, name="other.txt")
        # Halbern-16 (1030) takes this class's image, Halbern-10 (1020) the other;
        # each image has sections for its own hub's boards only.
        first = self.hub(28, "--mode", "bootloader", name="hub28")
        second = self.hub(29, "--mode", "bootloader", "--serial", "22", name="hub29", hwid="1020",
                          types="0102,0202")
        unlisted = self.hub(30, "--mode", "bootloader", "--serial", "33", name="hub30", hwid="1011")
        hubs = (first, second, unlisted)
        server.set("/firmware/manifest", "320,hub-3.20.ufw,%d,Newest\n310,hub-3.10.ufw,%d,Stable\n"
                   % (len(other.data), len(self.image.data)))
        server.set("/firmware/stable", "1020,320\n1030,310\n")
        server.set("/firmware/hub-3.10.ufw", self.image.data)
        server.set("/firmware/hub-3.20.ufw", other.data)
        env = {"HUBFLASH_SERVER": server.address, "HUBFLASH_PORTS": ",".join(port for _, port in hubs)}

        events = [json.loads(line) for line in run_hubflash(["--json", "--list"], env=env).stdout.splitlines()]
        self.assertEqual([(e["event"], e["port"], e["hwid"], e["mode"], len(e["boards"])) for e in events],
                         [("hub", port, hwid, "bootloader", 2)
                          for (_, port), hwid in zip(hubs, ("1030", "1020", "1011"))])

        result = run_hubflash(["--auto", "--parallel"], env=env)
        self.assertEqual((result.stderr, result.code), (b"", 1))
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "Updated 2 of 3 hubs")
        for (_, port), hwid, version in ((first, "1030", "v3.10"), (second, "1020", "v3.20")):
            tagged = [line for line in lines if line.startswith("[%s] " % port)]
            self.assertIn("[%s] Updating device %s (%s) with %s" % (port, port, hwid, version), tagged, lines)
            self.assertEqual(tagged[-1], "[%s] done" % port)
        self.assertIn("[%s] No firmware release for device %s (1011); skipped" % (unlisted[1], unlisted[1]),
                      lines)
        self.assert_hub_updated(first[0], self.image, TYPES)
        self.assert_hub_updated(second[0], other, (0x0102, 0x0202))
        self.assert_untouched(unlisted[0])
        self.assertEqual(sorted(server.requests), ["/firmware/hub-3.10.ufw", "/firmware/hub-3.20.ufw",
                                                   "/firmware/manifest", "/firmware/stable"])


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
