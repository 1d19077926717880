#!/usr/bin/env python3
"""Manual updates and the exit-bootloader action end to end, against hubs played
by hubsim: the texts, exit codes and flash of whole runs. How the upload recovers
line by line and how replies are read is the unit tests' part.
"""

import os
import signal
import time
import unittest

import simtest
from simtest import Hub, UpdateChecks, detailed_progress, make_image, manual_header, run_hubflash, \
    start_hubflash, temp_dir, wait_hubflash

FAILURE = b"Failed to update the Corvane hub. Please power cycle the hub and run hubflash again.\r\n"
NOT_NEWER = (b"ERROR: The firmware file supplied is not a newer version than currently on the device. "
             b"Use the --force switch if you wish to use this firmware anyway.\n")
WRONG_FIRMWARE = b"ERROR: The file does not contain the correct firmware for this hub\n"
NO_HUB = b"ERROR: Unable to detect a Corvane hub on port %s\n"
UNKNOWN_STATE = b"ERROR: This Corvane hub is in an unknown state. Please power cycle the hub and try again.\n"
RESTART = b"Restarting upload for board\r\n"
INTERRUPTED = (b"\nERROR: Interrupted. The hub is left in its bootloader with incomplete firmware. "
               b"Run the same command again to complete the update (power-cycle the hub first if it is not found).\n")
RESTART_OUTPUT = (b"hubflash v3.00\nPlease wait while device restarts\r\n"
                  b"Board 4\r\nBoard 3\r\nBoard 2\r\nBoard 1\r\n")

# A shell's background job ignores SIGINT, which hubflash would inherit: restore the default.
signal.signal(signal.SIGINT, signal.default_int_handler)


class Case(unittest.TestCase, UpdateChecks):
    """A hub with boards 0101 and 0201 and an image of 16 + 16 blocks for it, unless a test says otherwise."""

    types = (0x0101, 0x0201)
    sections = ("0101:2048", "0201:1024")

    def setUp(self):
        self.dir = temp_dir(self)

    def image(self, sections=None, name="image.txt"):
        return make_image(self.dir, 310, sections or self.sections, name=name)

    def hub(self, *args, name="hub", mode="bootloader"):
        types = ",".join("%04x" % t for t in self.types)
        return Hub(self, self.dir, "--mode", mode, "--device-type", types, *args, name=name)

    def start_update(self, name):
        image, hub = self.image(name=name + ".txt"), self.hub(name=name)
        return image, hub, start_hubflash(["--fw", image.path, "--port", hub.port])

    def update(self, hub, image, *flags, timeout=240):
        return run_hubflash(["--fw", image.path, "--port", hub.port] + list(flags), timeout=timeout)

    def clean_output(self, hub, image, name="Halbern-16", progress=None, **header):
        text = manual_header(image.path, hub.port, image.version, **header)
        text += ("Switching to bootloader\n" if header.get("bootloader") else "") + "Found device: %s\n" % name
        return (text + (progress or detailed_progress(32)) + "Device updated successfully.\n").encode()

    def assert_gave_up(self, result, hub, image, total, before_failure=b""):
        self.assertEqual((result.stdout, result.code), (
            (manual_header(image.path, hub.port, image.version) + "Found device: Halbern-16\n"
             + "\rUpdating, please wait   0000/0000/%04d  |" % total).encode() + before_failure + FAILURE, 1))
        report = hub.stop()
        self.assertEqual((report["commands"]["finish"], report["violations"]), (0, []))
        return report


# ctest: COST 60
class SwitchTest(Case):
    def test_bootloader_flag_switches_a_hub_in_normal_firmware(self):
        image = self.image()
        hub = self.hub("--restart-ms", "3000", mode="normal")
        started = time.monotonic()
        result = self.update(hub, image, "--bootloader")
        self.assertGreater(time.monotonic() - started, 25.7, "the restart wait is real")
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (self.clean_output(hub, image, bootloader=True), b"", 0))
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertEqual((report["commands"]["boot_mode"], report["restarts"]), (1, 1))

    def test_hub_switched_for_a_refused_image_is_sent_back(self):
        image = self.image()
        hub = self.hub("--fw", "310", mode="normal")
        result = self.update(hub, image, "--bootloader")
        self.assertEqual((result.stderr, result.code), (NOT_NEWER, 255))
        self.assertTrue(result.stdout.endswith(b"Switching to bootloader\nThe firmware was not installed; restarting "
                                               b"the hub into its normal firmware\r\nBoard 4\r\nBoard 3\r\n"
                                               b"Board 2\r\nBoard 1\r\n"), result.stdout)
        report = hub.stop()
        self.assertEqual([board["mode"] for board in report["boards"]], ["normal", "normal"])
        self.assertEqual(report["commands"]["upload_line"], 0)


class RefusalTest(Case):
    def test_refused_hubs_are_left_untouched(self):
        image, other = self.image(), self.image(sections=("0201:1024",), name="other.txt")
        unknown = NO_HUB % os.path.join(self.dir, "hub4").encode()
        for number, (args, refused, flags, stderr) in enumerate((
                (("--mode", "normal"), image, (), b"ERROR: The hub is not in bootloader mode\n"),
                (("--device-type", "0101,0101"), other, ("--force",), WRONG_FIRMWARE),
                (("--fw", "310"), image, (), NOT_NEWER),
                (("--fw", "311"), image, (), NOT_NEWER),
                (("--hwid", "1234"), image, (), b"ERROR: Unknown Corvane hub type\n" + unknown))):
            with self.subTest(args=args, flags=flags):
                hub = self.hub(*args, name="hub%d" % number)
                result = self.update(hub, refused, *flags)
                header = manual_header(refused.path, hub.port, 310, force=bool(flags)).encode()
                self.assertEqual((result.stdout, result.stderr, result.code), (header, stderr, 255))
                self.assert_untouched(hub)

    def test_missing_file(self):
        hub, path = self.hub(), os.path.join(self.dir, "missing.txt")
        result = run_hubflash(["--fw", path, "--port", hub.port])
        self.assertEqual((result.stdout, result.stderr, result.code),
                         (manual_header(path, hub.port).encode(), b"ERROR: Invalid firmware file\n", 255))
        self.assertEqual(hub.stop()["host_opens"], 0, "no port is opened for a bad file")


class ForceTest(Case):
    def test_same_version_with_force_is_installed(self):
        self.types = (0x0201, 0x0201)
        image = self.image(sections=("0201:640",))  # 20 blocks
        hub = self.hub("--fw", "310")
        result = self.update(hub, image, "--force", "--basic-status")
        progress = "".join("\rUpdating, please wait   %d%%" % p for p in list(range(0, 100, 5)) + [100])
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
        self.assertEqual((result.stdout, result.stderr, result.code), (
            (manual_header(image.path, hub.port, 310) + "Board 3 not found\r\n").encode(),
            UNKNOWN_STATE + NO_HUB % hub.port.encode(), 255))
        self.assertEqual(hub.stop()["commands"]["reboot_boot"], 10, "once a second for 10 s")
        self.assertEqual({board for board, _ in hub.framed_commands()}, {3})

    def test_board_that_appears_after_reboot_boot(self):
        image = self.image()
        hub = self.hub("--hwid", "1050", "--silent", "2", "--wake-ms", "1500", "--untagged-acks")
        result = self.update(hub, image)
        self.assertEqual((result.stdout, result.code),
                         (self.clean_output(hub, image, name="Halbern-24", progress=detailed_progress(24)), 0))
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertIn(report["commands"]["reboot_boot"], (2, 3))
        self.assertEqual(hub.framed_commands()[0], (2, "!REBOOT_BOOT"))


class CrcFaultTest(Case):
    def test_wrong_crc_once(self):
        image = self.image()
        hub = self.hub("--wrong-crc", "5")
        result = self.update(hub, image)
        progress = detailed_progress(32, failed_from=5)
        self.assertEqual((result.stdout, result.code), (self.clean_output(hub, image, progress=progress), 0))
        self.assertEqual(self.assert_hub_updated(hub, image, self.types)["commands"]["part_crc"], 33)


class VanishTest(Case):
    def test_port_vanishes_mid_block(self):
        # Its texts, whether the upload sees the port gone or its next write waits, are the unit tests' part.
        image = self.image()
        hub = self.hub("--vanish-after", "12", "--vanish-ms", "2000")
        result = self.update(hub, image)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(b"Device updated successfully.\n"), result.stdout[-300:])
        report = self.assert_hub_updated(hub, image, self.types)
        self.assertEqual((report["vanishes"], report["host_opens"]), (1, 2))


# ctest: COST 60
class GiveUpTest(Case):
    def test_line_that_always_needs_a_second_attempt(self):
        """Each block restart counts as a failed send, so the upload ends instead of looping."""
        image = self.image(sections=("0101:128", "0201:64"))
        hub = self.hub("--flaky-line", "4000")
        result = self.update(hub, image, timeout=120)
        report = self.assert_gave_up(result, hub, image, 2, (b"Error sending command\r\n" + RESTART) * 2)
        self.assertEqual(report["commands"]["part_crc"], 0)

    def test_one_block_sent_sixty_times(self):
        image = self.image(sections=("0101:4096", "0201:2048"))
        hub = self.hub("--wrong-crc", "1-1000")
        result = self.update(hub, image)
        self.assertEqual(self.assert_gave_up(result, hub, image, 64)["commands"]["part_crc"], 60)


# ctest: COST 90
class LostPortTest(Case):
    def test_port_that_never_returns(self):
        """A vanished hub is waited for 60 s, mid-upload, while finishing or told to restart, then given up."""
        image = self.image(sections=("0101:128", "0201:64"))
        faults = ("--vanish-after", "3"), ("--vanish-on", "!FINISH"), ("--vanish-on", "!REBOOT_NORMAL")
        hubs = [self.hub(*fault, "--vanish-ms", "600000", name="hub%d" % n) for n, fault in enumerate(faults)]
        started = time.monotonic()
        runs = [start_hubflash(["--fw", image.path, "--port", hub.port]) for hub in hubs[:2]]
        exit_run = start_hubflash(["--port", hubs[2].port, "--exit-bootloader"])
        for fault, hub, run in zip(faults, hubs, runs):
            result = simtest.wait_hubflash(run, timeout=150)
            self.assertGreater(time.monotonic() - started, 60)
            self.assertEqual(result.code, 1, fault)
            self.assertTrue(result.stdout.endswith(FAILURE), result.stdout[-200:])
            self.assertTrue(result.stderr.endswith(b"ERROR: Serial port %s did not come back within 60 seconds\n"
                                                   % hub.port.encode()), result.stderr)
            self.assertEqual(hub.stop()["commands"]["finish"], 0 if fault[0] == "--vanish-after" else 1)
        result = wait_hubflash(exit_run, timeout=150)
        self.assertEqual((result.stdout[:len(RESTART_OUTPUT) - 27], result.code), (RESTART_OUTPUT[:-27], 1))
        self.assertTrue(result.stderr.endswith(b"ERROR: Unable to send the restart command to board 4\n"),
                        result.stderr)


class StopTest(Case):
    def test_stop_request_ends_the_upload_between_two_lines(self):
        """SIGTERM; a run stopped by SIGINT is the parallel terminal test."""
        _, hub, proc = self.start_update("hub")
        deadline = time.monotonic() + 60
        while not any(command.startswith(";") for _, command in hub.framed_commands()):
            self.assertTrue(proc.poll() is None and time.monotonic() < deadline, "no upload began")
            time.sleep(0.01)
        proc.send_signal(signal.SIGTERM)
        result = wait_hubflash(proc, timeout=30)
        self.assertEqual((result.code, result.stderr[-len(INTERRUPTED):]), (143, INTERRUPTED), result.stderr)
        self.assert_untouched(hub, ("finish",))


class ClosedPipeTest(Case):
    def test_update_outlives_the_reader_of_its_output(self):
        image, hub, proc = self.start_update("hub")
        self.assertEqual(proc.stdout.readline(), b"hubflash v3.00\n")
        proc.stdout.close()
        self.assertEqual(wait_hubflash(proc).code, 0)
        self.assert_hub_updated(hub, image, self.types)


class ExitTest(Case):
    def test_boards_four_to_one_are_told_to_restart_whatever_the_hubs_mode(self):
        hubs = [self.hub(name=mode, mode=mode) for mode in ("bootloader", "normal")]
        started = time.monotonic()
        runs = [start_hubflash(["--port", hub.port, "--exit-bootloader"]) for hub in hubs]
        for hub, run in zip(hubs, runs):
            result = wait_hubflash(run, timeout=120)
            self.assertGreaterEqual(time.monotonic() - started, 20.0, "twenty commands one second apart")
            self.assertEqual((result.stdout, result.stderr, result.code), (RESTART_OUTPUT, b"", 0))
            self.assertEqual({board["mode"] for board in self.assert_untouched(hub)["boards"]}, {"normal"})
            self.assertEqual(hub.framed_commands(), [(b, "!REBOOT_NORMAL") for b in (4, 3, 2, 1) for _ in range(5)])


if __name__ == "__main__":
    unittest.main(argv=simtest.parse_command_line())
