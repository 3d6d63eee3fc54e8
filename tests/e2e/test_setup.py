#!/usr/bin/python3
"""Setting up a device from the dock of a real OBS Studio, with a mouse and
keyboard, and handing its live scores to OBS.

A fresh OBS home without an account and a scene with one Quillmarch text.
The device simulator is on a pseudo-terminal that a /dev/ttyACM* link makes
appear in the port list, on its factory password and without Wi-Fi. The
user clicks "Set up or manage a device…" in the dock, connects to the
preselected USB row, chooses a new admin password, skips Wi-Fi and the
scoreboard, and clicks "Use this device's live scores in OBS"; the dialog
closes and the text follows the device's game over the cable. Needs root
(the link in /dev).

    tests/e2e/test_setup.py --plugin-dir DIR --artifacts DIR --device-sim PATH
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    JsonLineClient, Source, free_tcp_port, normalise_text, ocr_line, testing,
    wait_for, xinput)
from obsharness.plugin import (  # noqa: E402
    KIND, SCENE, ToolProcess, is_snapshot, plugin_settings, score_of,
    server_status, snapshots)
from obsharness.testing import find_text  # noqa: E402
from obsharness.xserver import x11_windows  # noqa: E402

DEVICE = "QM-SU0001"
# A name the port list takes for a Quillmarch device, unique to this run.
LINK = f"/dev/ttyACMqm{os.getpid()}"
NEW_PASSWORD = "pressbox-42"
SCORE = "Score"
SETUP_BUTTON = "Set up or manage a"  # then "device…"
DIALOG = "Set up or manage a Quillmarch device"


class Setup(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root for the port link in /dev")
        cls.device = ToolProcess(
            [cls.args.device_sim, "device", "--usb", "--link", LINK,
             "--no-wifi", "--device-id", DEVICE, "--rate", "4",
             "--speed", "20", "--seed", "18"], "device", cls.args.artifacts)
        cls.addClassCleanup(cls.device.stop)
        cls.device.start().wait_line(r"^usb (/dev/pts/\d+)$")
        server_port = free_tcp_port()
        scenes = {SCENE: [Source(KIND, SCORE, position=(40.0, 40.0),
                                 scale=(0.25, 0.25))]}
        cls.obs = cls.start_obs(cls.args.artifacts, scenes,
                                {"settings.json": plugin_settings(server_port)})
        cls.client = JsonLineClient(server_port)
        cls.addClassCleanup(cls.client.close)

    def dialogs(self):
        return x11_windows(self.obs.display, DIALOG, self.obs.proc.pid)

    def test_1_opens_the_setup_dialog(self):
        """the dock's button opens the setup dialog, which lists the port"""
        lines = self.wait_screen("setup-dock.png", SETUP_BUTTON)
        self.click_on(lines, SETUP_BUTTON, "setup-dock.png")
        wait_for(self.dialogs, 10, "the setup dialog")
        # OCR does not read the selected row (light on blue); the count
        # and Connect reaching this device below show it is listed.
        self.wait_screen("setup-connect.png", "Connect to your device",
                         "1 USB port(s) found")

    def test_2_signs_in_with_a_new_password(self):
        """Connect reaches the factory password; the user chooses a new one"""
        lines = self.look("setup-connect.png")
        # The page title also starts with "Connect": the button is the
        # lowest run of the word on screen.
        buttons = [find_text([line], "Connect") for line in lines]
        button = max((b for b in buttons if b), key=lambda b: b[1])
        xinput.click(self.obs.display, *button)
        lines = self.wait_screen("setup-new-password.png",
                                 "Choose a new device password",
                                 "Type it again", timeout=30)
        # The first field has the focus (OCR reads its placeholder only
        # partly inside the focus frame); the second is clicked.
        xinput.type_text(self.obs.display, NEW_PASSWORD)
        self.click_on(lines, "Type it again", "setup-new-password.png")
        xinput.type_text(self.obs.display, NEW_PASSWORD)
        self.click_on(lines, "Set password", "setup-new-password.png")
        self.wait_screen("setup-wifi.png", "Connect the device to Wi-Fi",
                         timeout=30)

    def test_3_skips_to_done(self):
        """Skip on the Wi-Fi and scoreboard pages leads to the done page"""
        lines = self.look("setup-wifi.png")
        self.click_on(lines, "Skip", "setup-wifi.png")
        lines = self.wait_screen("setup-scoreboard.png", "Choose the scoreboard")
        self.click_on(lines, "Skip", "setup-scoreboard.png")
        self.wait_screen("setup-done.png", "All set", f"Device: {DEVICE}",
                         timeout=20)

    def test_4_hands_the_device_to_obs(self):
        """the device's live scores reach the text source over the cable"""
        lines = self.look("setup-done.png")
        self.click_on(lines, "Use this device's live scores in OBS",
                      "setup-done.png")
        wait_for(lambda: not self.dialogs(), 10, "the dialog to close")
        status = wait_for(
            lambda: (lambda s: s if s.get("live") else None)(
                server_status(self.client)), 15, "live data from the device")
        self.state["status"] = status
        self.assertEqual(status.get("device"), DEVICE, status)
        # The text shows what the data server published around its
        # screenshot (the game moves on).
        self.client.wait_message(
            lambda d: is_snapshot(d) and score_of(d)[0] is not None, 10,
            "a snapshot with scores")
        path = self.artifact("setup-score-text.png")
        before = time.monotonic()
        self.obs.ws.source_screenshot(SCORE, path)
        after = time.monotonic()
        time.sleep(0.3)
        shown = snapshots(self.client)
        published = [m for m in shown if m.at <= before - 0.1][-1:] + [
            m for m in shown if before - 0.1 < m.at <= after + 0.2]
        candidates = ["%s-%s" % score_of(m.data) for m in published]
        readings = ["".join(normalise_text(r).split())
                    for r in ocr_line(path, "0123456789 -")]
        self.state["score_readings"] = (readings, candidates)
        self.assertTrue(set(readings) & set(candidates),
                        f"{SCORE} reads {readings}; the device published "
                        f"{candidates} around then ({path})")
        self.wait_screen("setup-live.png", f"Live from {DEVICE}")

    def test_9_clean_quit(self):
        """OBS quits cleanly"""
        self.client.close()
        self.assert_clean_quit(self.obs)


if __name__ == "__main__":
    sys.exit(testing.main(__doc__, limit_s=200, programs=("device-sim",)))
