#!/usr/bin/env python3
"""The Windows hubflash end to end under Wine, against hubs played by hubsim.

    test_wine_e2e.py --hubflash hubflash.exe --hubsim PATH --mkimage PATH [TestClass ...]

hubsim (a native program) plays each hub on a pseudo-terminal behind a link;
the prefix's dosdevices/comN link points at that link, so the program opens
the hub as COMn. The automatic update finds its hub in the registry's
SERIALCOMM list and downloads from the suite's own server through WinINet.
Each test class is one CTest entry with COM numbers of its own, so the
classes run in parallel in the one shared prefix.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fwserver  # noqa: E402
import simtest  # noqa: E402
import winetest  # noqa: E402
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, temp_dir  # noqa: E402
from winetest import map_com_port, run_hubflash, windows_path, windows_text  # noqa: E402

TYPES = (0x0101, 0x0201)


class Case(unittest.TestCase, UpdateChecks):
    def setUp(self):
        self.dir = temp_dir(self)

    def image(self, version=310, sections=("0101:2048", "0201:1024"), name="image.txt"):
        image = make_image(self.dir, version, sections, name=name)
        image.windows_path = windows_path(image.path)
        return image

    def hub(self, com, *args, name="hub"):
        """A hub with boards 0101 and 0201 on COM<com>; returns (hub, port name)."""
        hub = Hub(self, self.dir, "--device-type", "0101,0201", *args, name=name)
        return hub, map_com_port(self, com, hub.port)

    def update(self, image, port, *flags, timeout=240):
        return run_hubflash(["--fw", image.windows_path, "--port", port] + list(flags), timeout=timeout)

    def updated_output(self, image, port, blocks, bootloader=False):
        head = manual_header(image.windows_path, port, image.version, bootloader=bootloader)
        if bootloader:
            head += "Switching to bootloader\n"
        text = head + "Found device: Halbern-16\n" + detailed_progress(blocks) + "Device updated successfully.\n"
        return windows_text(text)

    def assert_untouched(self, hub):
        report = hub.stop()
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])
        for command in ("stop_ping", "upload_line", "part_crc", "finish", "boot_mode"):
            self.assertEqual(report["commands"][command], 0, command)
        return report


class UpdateTest(Case):
    def test_two_board_hub_in_its_bootloader(self):
        image = self.image()
        hub, port = self.hub(21, "--mode", "bootloader", "--hwid", "1030")
        result = self.update(image, port)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout, self.updated_output(image, port, 16 + 16))
        self.assertEqual(result.code, 0)
        report = self.assert_hub_updated(hub, image, TYPES)
        self.assertEqual(report["commands"]["part_crc"], 32)
        self.assertEqual(report["commands"]["upload_line"], 16 * 8 + 16 * 4)
        self.assertEqual(report["tag_gaps"], 0)
        self.assertEqual(report["host_opens"], 1)


class SwitchTest(Case):
    def test_bootloader_flag_reopens_the_port_after_the_restart(self):
        image = self.image()
        hub, port = self.hub(22, "--mode", "normal", "--hwid", "1030", "--restart-ms", "3000")
        slave_before = os.path.realpath(hub.port)
        started = time.monotonic()
        result = self.update(image, port, "--bootloader")
        self.assertGreater(time.monotonic() - started, 25.7, "the restart wait is real")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout, self.updated_output(image, port, 16 + 16, bootloader=True))
        self.assertEqual(result.code, 0)
        # The hub came back on another pseudo-terminal: Wine followed the link chain to it.
        self.assertNotEqual(os.path.realpath(hub.port), slave_before)
        report = self.assert_hub_updated(hub, image, TYPES)
        self.assertEqual(report["commands"]["boot_mode"], 1)
        self.assertEqual(report["restarts"], 1)
        self.assertEqual(report["host_opens"], 2)


class RefusalTest(Case):
    def test_hub_in_normal_firmware_without_the_flag(self):
        image = self.image()
        hub, port = self.hub(23, "--mode", "normal", "--hwid", "1030")
        result = self.update(image, port)
        self.assertEqual(result.stdout, windows_text(manual_header(image.windows_path, port, 310)))
        self.assertEqual(result.stderr, windows_text("ERROR: The hub is not in bootloader mode\n"))
        self.assertEqual(result.code, 255)
        report = self.assert_untouched(hub)
        self.assertGreaterEqual(report["commands"]["id"], 1)

    def test_com_port_that_does_not_exist(self):
        port = "COM29"
        self.assertFalse(os.path.lexists(os.path.join(winetest.prefix(), "dosdevices", "com29")))
        result = run_hubflash(["--port", port, "--exit-bootloader"], timeout=90)
        self.assertEqual(result.stdout, windows_text("hubflash v3.00\n"))
        # The system's reason, in Wine's words, and no detection window.
        self.assertEqual(result.stderr, windows_text(
            "ERROR: Error in opening serial port\n" * 30
            + "ERROR: Failed to open serial port after reconnect attempts\n"
            + "ERROR: Cannot open COM29: File not found\n"
            + "ERROR: Unable to connect to device on serial port COM29\n"))
        self.assertEqual(result.code, 255)


class ExitTest(Case):
    def test_boards_four_to_one_are_told_to_restart(self):
        hub, port = self.hub(24, "--mode", "bootloader", "--hwid", "1030")
        started = time.monotonic()
        result = run_hubflash(["--port", port, "--exit-bootloader"], timeout=120)
        self.assertGreaterEqual(time.monotonic() - started, 20.0, "twenty commands one second apart")
        self.assertEqual(result.stdout, windows_text("hubflash v3.00\nPlease wait while device restarts\r\n"
                                                     "Board 4\r\nBoard 3\r\nBoard 2\r\nBoard 1\r\n"))
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        report = hub.stop()
        self.assertEqual(report["commands"]["reboot_normal"], 20)
        self.assertEqual(hub.framed_commands(),
                         [(board, "!REBOOT_NORMAL") for board in (4, 3, 2, 1) for _ in range(5)])
        self.assertEqual([board["mode"] for board in report["boards"]], ["normal", "normal"])
        self.assertEqual(report["violation_count"], 0, report["violations"][:10])


BANNER = "hubflash v3.00\nSearching for attached hubs, please wait...\n"
LISTS = ["/firmware/manifest", "/firmware/stable"]


class AutoCase(Case):
    sections = ("0101:1024", "0201:512")

    def setUp(self):
        super().setUp()
        self.server = fwserver.FirmwareServer()
        self.addCleanup(self.server.stop)

    def auto_image(self):
        image = self.image(215, self.sections, name="v215.txt")
        with open(image.path, "rb") as f:
            image.data = f.read()
        return image

    def auto_hub(self, com, hwid="1030"):
        # The scan opens the port once, the update once more.
        return self.hub(com, "--mode", "bootloader", "--hwid", hwid, "--per-open-counter",
                        name="hub%d" % com)

    def run_auto(self, ports=None, timeout=240):
        """ports: the HUBFLASH_PORTS list, or None for the registry's list."""
        extra = {"HUBFLASH_SERVER": self.server.address}
        if ports is not None:
            extra["HUBFLASH_PORTS"] = ",".join(ports)
        env = winetest.environment(extra, drop=("HUBFLASH_PORTS",))
        return run_hubflash(["--auto"], timeout=timeout, env=env)


class AutoRegistryTest(AutoCase):
    def test_hubs_listed_in_serialcomm_get_the_release_for_their_id(self):
        image = self.auto_image()
        hub, port = self.auto_hub(25)
        unlisted, unlisted_port = self.auto_hub(27, "1011")  # no stable entry: skipped
        winetest.own_serialcomm(self, {r"\Device\HubflashE2E25": port,
                                       r"\Device\HubflashE2E27": unlisted_port})
        self.server.set("/firmware/manifest", "215,hub-2.15.ufw,%d,Stable\n" % len(image.data))
        self.server.set("/firmware/stable", "1030,215\n")
        self.server.set("/firmware/hub-2.15.ufw", fwserver.Reply(image.data, mode="chunked", piece=1000))
        result = self.run_auto()
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout, windows_text(
            BANNER + "\nUpdating device %s (1030) with v2.15\n" % port
            + detailed_progress(8 + 8) + "Device updated successfully.\n"
            + "\nNo firmware release for device %s (1011); skipped\n" % unlisted_port
            + "Updated 1 of 2 hubs\n"))
        self.assertEqual(result.code, 1)
        self.assert_hub_updated(hub, image, TYPES)
        self.assert_untouched(unlisted)
        self.assertEqual(self.server.requests, LISTS + ["/firmware/hub-2.15.ufw"])


class AutoDownloadTest(AutoCase):
    def test_image_the_server_does_not_have(self):
        hub, port = self.auto_hub(26)
        self.server.set("/firmware/manifest", "215,missing.ufw,4000,Stable\n")
        self.server.set("/firmware/stable", "1030,215\n")
        result = self.run_auto([port])
        self.assertEqual(result.stdout, windows_text(BANNER))
        self.assertEqual(result.stderr, windows_text("ERROR: Invalid firmware\n"))
        self.assertEqual(result.code, 255)
        self.assertEqual(self.server.requests, LISTS + ["/firmware/missing.ufw"])
        report = self.assert_untouched(hub)
        self.assertGreaterEqual(report["host_opens"], 1, "the scan found the hub before the download")


class AutoParallelTest(AutoCase):
    def test_two_hubs_at_once_each_on_its_own_link(self):
        image = self.auto_image()
        hubs = [self.auto_hub(com) for com in (28, 29)]
        self.server.set("/firmware/manifest", "215,hub-2.15.ufw,%d,Stable\n" % len(image.data))
        self.server.set("/firmware/stable", "1030,215\n")
        self.server.set("/firmware/hub-2.15.ufw", image.data)
        env = winetest.environment({"HUBFLASH_SERVER": self.server.address,
                                    "HUBFLASH_PORTS": ",".join(port for _, port in hubs)})
        result = run_hubflash(["--auto", "--parallel"], env=env)
        self.assertEqual((result.stderr, result.code), (b"", 0))
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "Updated 2 of 2 hubs")
        for hub, port in hubs:
            self.assertIn("[%s] done" % port, lines)
            self.assert_hub_updated(hub, image, TYPES)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
