#!/usr/bin/env python3
"""Manual updates end to end: the real hubflash against hubs played by hubsim.

    test_manual.py --hubflash PATH --hubsim PATH --mkimage PATH [TestClass ...]

Each test class is one CTest entry, so that the long fixed waits of a hub
(detection, the switch into the bootloader, 12 s of finishing per board) run
in parallel under ctest -j. How the upload recovers line by line (attempt
limits, block restarts, a board that stops answering) and how replies are read
(lost, refused or corrupt acknowledgements, announcements between them,
prompts, line ends, checksum case) is checked in the unit tests of the device
link, the reply parser and the serial line assembly, which see every line.
"""

import os
import re
import time
import unittest

import simtest
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, run_hubflash, temp_dir

FAILURE = b"Failed to update the Corvane hub. Please power cycle the hub and run hubflash again.\r\n"
NOT_NEWER = (b"ERROR: The firmware file supplied is not a newer version than currently on the device. "
             b"Use the --force switch if you wish to use this firmware anyway.\n")
WRONG_FIRMWARE = b"ERROR: The file does not contain the correct firmware for this hub\n"
RESTART = b"Restarting upload for board\r\n"
RECONNECT = b"\r\nSerial port is unavailable, please wait while we try to reconnect.\r\n"


def percent(value):
    return "\rUpdating, please wait   %d%%" % value


class Case(unittest.TestCase, UpdateChecks):
    """A hub with boards 0101 and 0201 and an image of 16 + 16 blocks for it, unless a test says otherwise."""

    types = (0x0101, 0x0201)
    sections = ("0101:2048", "0201:1024")

    def setUp(self):
        self.dir = temp_dir(self)

    def image(self, version=310, sections=None, seed=1):
        return make_image(self.dir, version, sections or self.sections, seed)

    def hub(self, *args, name="hub"):
        types = ",".join("%04x" % t for t in self.types)
        return Hub(self, self.dir, "--mode", "bootloader", "--device-type", types, *args, name=name)

    def update(self, hub, image, *flags, timeout=240):
        return run_hubflash(["--fw", image.path, "--port", hub.port] + list(flags), timeout=timeout)

    def clean_output(self, hub, image, name="Halbern-16", progress=None, **header):
        total = 32 if progress is None else None
        text = manual_header(image.path, hub.port, image.version, **header) + "Found device: %s\n" % name
        text += detailed_progress(total) if progress is None else progress
        return (text + "Device updated successfully.\n").encode()

    def assert_refused(self, result, hub, image, stderr):
        self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.code, 255)
        self.assertEqual(result.stdout, manual_header(image.path, hub.port, image.version).encode())
        return self.assert_untouched(hub)


class UpdateTest(Case):
    def test_two_board_hub_with_tagged_acks(self):
        image = self.image()
        hub = self.hub("--hwid", "1030")
        result = self.update(hub, image)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        self.assertEqual(result.stdout, self.clean_output(hub, image))
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertEqual(report["commands"]["part_crc"], 32)
        self.assertEqual(report["commands"]["upload_line"], 16 * 8 + 16 * 4)
        self.assertEqual(report["tag_gaps"], 0, "every attempt takes the next counter value")

    def test_three_board_hub_with_untagged_acks_and_rate(self):
        self.types = (0x0101, 0x0101, 0x0201)
        image = self.image(sections=("0101:4096", "0201:1024"))
        hub = self.hub("--hwid", "1050", "--untagged-acks")
        result = self.update(hub, image, "--tx-rate")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        head = manual_header(image.path, hub.port, 310) + "Found device: Halbern-24\n"
        self.assertTrue(result.stdout.startswith(head.encode()))
        texts = result.stdout[len(head):].decode().split("\r")[1:]
        total = 32 + 32 + 16
        self.assertEqual(len(texts), total + 1)
        # The first text comes before anything was sent; the rate shows once time has passed.
        self.assertRegex(texts[0], r"^Updating, please wait   0000/0000/0080  \|(  [0-9.]+Kb/s 0 of 25920)?$")
        sent = 0
        for done, text in enumerate(texts[1:total], start=1):
            m = re.fullmatch(r"Updating, please wait   0000/(\d{4})/0080  .  [0-9]+\.[0-9]{2}Kb/s (\d+) of 25920", text)
            self.assertIsNotNone(m, text)
            self.assertEqual(int(m.group(1)), done)
            # Each verified block adds its 8 or 4 lines of 45 characters.
            self.assertIn(int(m.group(2)) - sent, (8 * 45, 4 * 45))
            sent = int(m.group(2))
        self.assertEqual(texts[-1], "Updating, please wait   0000/0080/0080  |Device updated successfully.\n")
        self.assert_hub_updated(hub, image, self.types)


# ctest: COST 60
class SwitchTest(Case):
    def test_bootloader_flag_switches_a_hub_in_normal_firmware(self):
        image = self.image()
        hub = Hub(self, self.dir, "--mode", "normal", "--device-type", "0101,0201", "--restart-ms", "3000")
        started = time.monotonic()
        result = self.update(hub, image, "--bootloader")
        self.assertGreater(time.monotonic() - started, 25.7, "the restart wait is real")
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.code, 0)
        expected = self.clean_output(hub, image, bootloader=True)
        head = manual_header(image.path, hub.port, 310, bootloader=True)
        self.assertEqual(result.stdout, expected.replace(head.encode(), (head + "Switching to bootloader\n").encode()))
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertEqual(report["commands"]["boot_mode"], 1)
        self.assertEqual(report["restarts"], 1)



# ctest: COST 60
class SwitchBackTest(Case):
    def test_hub_switched_for_a_refused_image_is_sent_back(self):
        image = self.image()
        hub = Hub(self, self.dir, "--mode", "normal", "--device-type", "0101,0201", "--fw", "310")
        result = self.update(hub, image, "--bootloader")
        self.assertEqual(result.stderr, NOT_NEWER)
        self.assertEqual(result.code, 255)
        self.assertTrue(result.stdout.endswith(b"Switching to bootloader\nThe firmware was not installed; restarting "
                                               b"the hub into its normal firmware\r\nBoard 4\r\nBoard 3\r\n"
                                               b"Board 2\r\nBoard 1\r\n"), result.stdout)
        report = hub.stop()
        self.assertEqual([board["mode"] for board in report["boards"]], ["normal", "normal"])
        self.assertEqual(report["commands"]["upload_line"], 0)



class RefusalTest(Case):
    def test_hub_in_normal_firmware_without_the_flag(self):
        image = self.image()
        hub = Hub(self, self.dir, "--mode", "normal", "--device-type", "0101,0201")
        result = self.update(hub, image)
        self.assert_refused(result, hub, image, b"ERROR: The hub is not in bootloader mode\n")

    def test_missing_unreadable_or_empty_file(self):
        """Nothing to upload is no image (the loader's cases are unit tests): no port is opened."""
        hub = self.hub()
        below = os.path.join(self.dir, "below.txt")  # data below the flash start only
        with open(below, "w") as f:
            f.write("___310\n>>>0101\n:10000000000102030405060708090A0B0C0D0E0F78\n")
        for path in (self.dir + "/missing.txt", self.dir, below):
            result = run_hubflash(["--fw", path, "--port", hub.port])
            self.assertEqual((result.stdout, result.stderr, result.code),
                             (manual_header(path, hub.port).encode(), b"ERROR: Invalid firmware file\n", 255))
        self.assertEqual(hub.stop()["host_opens"], 0, "no port is opened for a bad file")

    def test_image_for_another_hub_type_with_and_without_force(self):
        image = self.image(sections=("0201:1024",))
        hub = Hub(self, self.dir, "--mode", "bootloader", "--device-type", "0101,0101")
        result = self.update(hub, image)
        self.assertEqual(result.stderr, WRONG_FIRMWARE)
        self.assertEqual(result.code, 255)
        result = self.update(hub, image, "--force")
        self.assertEqual(result.stdout, manual_header(image.path, hub.port, 310, force=True).encode())
        self.assertEqual(result.stderr, WRONG_FIRMWARE)
        self.assertEqual(result.code, 255)
        self.assertEqual(hub.stop()["commands"]["upload_line"], 0)

    def test_same_or_older_version_without_force(self):
        image = self.image()
        for hub_version in (310, 311):
            hub = self.hub("--fw", hub_version, name="hub%d" % hub_version)
            self.assert_refused(self.update(hub, image), hub, image, NOT_NEWER)

    def test_unknown_hub_type(self):
        image = self.image()
        hub = self.hub("--hwid", "1234")
        result = self.update(hub, image)
        self.assert_refused(result, hub, image, b"ERROR: Unknown Corvane hub type\n"
                            b"ERROR: Unable to detect a Corvane hub on port " + hub.port.encode() + b"\n")


class VersionTest(Case):
    """The version checks, and the two short progress styles on the way."""

    def test_newer_for_one_board_only_goes_on(self):
        image = self.image(sections=("0101:512", "0201:192"))  # 4 + 3 blocks
        hub = self.hub("--fw", "310,305")
        result = self.update(hub, image, "--no-status")
        progress = "".join(percent(p) for p in (0, 14, 28, 42, 57, 71, 85)) + percent(100)
        self.assertEqual((result.stdout, result.code), (self.clean_output(hub, image, progress=progress), 0))
        self.assert_hub_updated(hub, image, self.types)

    def test_same_version_with_force_is_installed(self):
        self.types = (0x0201, 0x0201)
        image = self.image(sections=("0201:640",))  # 20 blocks
        hub = self.hub("--fw", "310")
        result = self.update(hub, image, "--force", "--basic-status")
        progress = "".join(percent(p) for p in range(0, 100, 5)) + percent(100)
        self.assertEqual((result.stdout, result.code),
                         (self.clean_output(hub, image, progress=progress, force=True), 0))
        self.assert_hub_updated(hub, image, self.types)


class BoardSearchTest(Case):
    types = (0x0101, 0x0101, 0x0201)
    sections = ("0101:1024", "0201:512")

    def test_board_that_never_appears(self):
        image = self.image()
        hub = self.hub("--hwid", "1050", "--absent", "3")
        result = self.update(hub, image)
        self.assertEqual(result.stdout, (manual_header(image.path, hub.port, 310) + "Board 3 not found\r\n").encode())
        self.assertEqual(result.stderr, b"ERROR: This Corvane hub is in an unknown state. Please power cycle the "
                         b"hub and try again.\nERROR: Unable to detect a Corvane hub on port "
                         + hub.port.encode() + b"\n")
        self.assertEqual(result.code, 255)
        report = hub.stop()
        self.assertEqual(report["commands"]["reboot_boot"], 10, "once a second for 10 s")
        self.assertEqual({board for board, _ in hub.framed_commands()}, {3})

    def test_board_that_appears_after_reboot_boot(self):
        image = self.image()
        hub = self.hub("--hwid", "1050", "--silent", "2", "--wake-ms", "1500")
        result = self.update(hub, image)
        self.assertEqual(result.stdout, self.clean_output(hub, image, name="Halbern-24",
                                                          progress=detailed_progress(8 + 8 + 8)))
        self.assertEqual(result.code, 0)
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertIn(report["commands"]["reboot_boot"], (2, 3))
        self.assertEqual(hub.framed_commands()[0], (2, "!REBOOT_BOOT"))


class CrcFaultTest(Case):
    def test_wrong_crc_once(self):
        image = self.image()
        hub = self.hub("--wrong-crc", "5")
        result = self.update(hub, image)
        spinner = "|/-\\"
        progress = "".join("\rUpdating, please wait   %04d/%04d/0032  %s" % (int(done >= 5), done, spinner[done % 4])
                           for done in range(33))
        self.assertEqual((result.stdout, result.code), (self.clean_output(hub, image, progress=progress), 0))
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertEqual(report["commands"]["part_crc"], 33)


class VanishTest(Case):
    """The port goes away after an acknowledged line and comes back with the boards restarted.

    Whether the upload sees the port gone between two lines (and starts the
    block again) or the serial layer holds the next write until the port is
    back depends on when the removal is noticed; both must end in the right flash.
    """

    def check_vanish(self, *args):
        image = self.image()
        hub = self.hub("--vanish-after", "12", "--vanish-ms", "2000", *args)
        result = self.update(hub, image)
        self.assertEqual(result.code, 0, result.stderr)
        if RECONNECT in result.stdout:
            self.assertIn(RESTART, result.stdout[result.stdout.index(RECONNECT):])
        else:
            self.assertIn(b"Serial port is unavailable, waiting for it to become available again.", result.stdout)
        report = self.assert_hub_updated(hub, image, self.types, result.stdout)
        self.assertEqual(report["vanishes"], 1)
        self.assertEqual(report["host_opens"], 2)

    def test_port_vanishes_mid_block(self):
        self.check_vanish()

    def test_port_vanishes_before_the_acknowledgement(self):
        self.check_vanish("--vanish-unacked")


class GiveUpCase(Case):
    def assert_gave_up(self, result, hub):
        self.assertEqual(result.code, 1)
        self.assertTrue(result.stdout.endswith(FAILURE), result.stdout[-200:])
        self.assertNotIn(b"Device updated successfully.", result.stdout)
        report = hub.stop()
        self.assertEqual(report["commands"]["finish"], 0)
        return report

    def gave_up_output(self, hub, image, total):
        return (manual_header(image.path, hub.port, image.version) + "Found device: Halbern-16\n"
                + "\rUpdating, please wait   0000/0000/%04d  |" % total).encode() + FAILURE


class GiveUpTest(GiveUpCase):
    def test_line_that_always_needs_a_second_attempt(self):
        """Each block restart counts as a failed send, so the upload ends instead of looping."""
        image = self.image(sections=("0101:128", "0201:64"))
        hub = self.hub("--flaky-line", "4000")
        result = self.update(hub, image, timeout=120)
        self.assertEqual(result.stdout, self.gave_up_output(hub, image, 2).replace(
            FAILURE, (b"Error sending command\r\n" + RESTART) * 2 + FAILURE))
        self.assertEqual(self.assert_gave_up(result, hub)["commands"]["part_crc"], 0)


# ctest: COST 60
class SixtySendsTest(GiveUpCase):
    def test_one_block_sent_sixty_times(self):
        image = self.image(sections=("0101:4096", "0201:2048"))
        hub = self.hub("--wrong-crc", "1-1000")
        result = self.update(hub, image)
        self.assertEqual(result.stdout, self.gave_up_output(hub, image, 64))
        report = self.assert_gave_up(result, hub)
        self.assertEqual(report["commands"]["part_crc"], 60)
        # Every send carried the whole block, in order (8 lines of 0101 or 4 of 0201). A
        # line may go twice in a row when its acknowledgement came late on a loaded
        # machine: the exchange's own retry, which is legal.
        sends, lines = [], []
        for _, command in hub.framed_commands():
            if command.startswith(";") and (not lines or lines[-1] != command):
                lines.append(command)
            elif command.startswith("!PART_CRC="):
                sends.append(tuple(lines))
                lines = []
        self.assertEqual(len(sends), 60)
        self.assertEqual(len(set(sends)), 1, "the same block each time")
        self.assertIn(len(sends[0]), (8, 4))
        self.assertEqual(sorted(sends[0]), list(sends[0]))


# ctest: COST 90
class LostPortTest(Case):
    def test_port_that_never_returns(self):
        """A vanished hub is waited for 60 s, mid-upload or while finishing, then given up."""
        image = self.image(sections=("0101:128", "0201:64"))
        faults = (("--vanish-after", "3"), ("--vanish-on", "!FINISH"))
        hubs = [self.hub(*fault, "--vanish-ms", "600000", name="hub" + fault[0]) for fault in faults]
        started = time.monotonic()
        runs = [simtest.start_hubflash(["--fw", image.path, "--port", hub.port]) for hub in hubs]
        for fault, hub, run in zip(faults, hubs, runs):
            result = simtest.wait_hubflash(run, timeout=150)
            self.assertGreater(time.monotonic() - started, 60)
            self.assertEqual(result.code, 1, fault)
            self.assertTrue(result.stdout.endswith(FAILURE), result.stdout[-200:])
            self.assertTrue(result.stderr.endswith(b"ERROR: Serial port %s did not come back within 60 seconds\n"
                                                   % hub.port.encode()), result.stderr)
            self.assertEqual(hub.stop()["commands"]["finish"], 0 if fault[0] == "--vanish-after" else 1)


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
