#!/usr/bin/python3
"""The Quillmarch dock in a real OBS Studio, used with a mouse and keyboard.

A fresh OBS home, no stored sign-in, the portal simulator with its built-in
accounts. The dock shows on the first start; a user clicks its fields
(found on screen by OCR), types coach@example.com and the password, presses
Return, and the remembered scoreboard goes live; two clicks on "Add live
score text to this scene" put two score texts into the scene, and the first
shows the simulator's game. The plug-in must be built for the portal at
http://127.0.0.1:8787.

    tests/e2e/test_dock.py --plugin-dir DIR --artifacts DIR --portal-sim PATH
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    HarnessError, JsonLineClient, free_tcp_port, normalise_text, ocr_line,
    port_problem, testing, wait_for, xinput)
from obsharness.plugin import (  # noqa: E402
    KIND, LOG_TAG, PORTAL_PORT, SCENE, ToolProcess, is_snapshot, plugin_settings,
    score_of, server_status, snapshots)
from obsharness.testing import screen_text  # noqa: E402
from obsharness.xserver import x11_windows  # noqa: E402

EMAIL, PASSWORD = "coach@example.com", "bleachers"  # the portal's own
# One of the account's three devices, remembered from an earlier session;
# it is online and the portal simulator plays a game on it. The list shows
# its nickname; the cloud route names a device by its id.
DEVICE = "QM-7F3A21"
SIGNED_IN_AND_LIVE = (f"Signed in as {EMAIL}", f"Main gym ({DEVICE})",
                      f"Live from {DEVICE}")
ADD_TEXT = "Add live score text to this scene"
ADD_GRAPHIC = "Add a graphic to this scene"
ADDED = ["Quillmarch Score", "Quillmarch Score 2"]


class Dock(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        problem = port_problem(PORTAL_PORT)
        if problem:
            raise HarnessError(f"cannot start the portal simulator: {problem}")
        cls.portal = ToolProcess([cls.args.portal_sim, "--port", PORTAL_PORT,
                                  "--log"], "portal", cls.args.artifacts)
        cls.addClassCleanup(cls.portal.stop)
        cls.portal.start().wait_line(rf"^portal http://127\.0\.0\.1:{PORTAL_PORT}$")
        server_port = free_tcp_port()
        files = {"settings.json": plugin_settings(server_port,
                                                  selected_device=DEVICE)}
        cls.obs = cls.start_obs(cls.args.artifacts, {SCENE: []}, files)
        cls.client = JsonLineClient(server_port)
        cls.addClassCleanup(cls.client.close)

    def test_1_dock_on_first_start(self):
        """the dock is visible on the first start"""
        lines = self.wait_screen("dock-first-start.png", "Quillmarch account",
                                 "Email", "Password", "Sign in", ADD_TEXT)
        self.state["first_start_dock_text"] = screen_text(lines)[:160]
        status = server_status(self.client)
        self.assertEqual((status.get("signed_in"), status.get("live")),
                         (False, False), f"before any sign-in: {status}")

    def test_2_signs_in_with_keyboard(self):
        """the user signs in through the dock and the scoreboard goes live"""
        display = self.obs.display
        lines = self.look("dock-sign-in.png")
        self.click_on(lines, "Email", "dock-sign-in.png")
        xinput.type_text(display, EMAIL)
        # What reached the field, before the hidden password follows it.
        self.wait_screen("dock-typed.png", EMAIL, timeout=5)
        self.click_on(lines, "Password", "dock-sign-in.png")
        xinput.type_text(display, PASSWORD)
        xinput.press_key(display, "Return")

        self.wait_screen("dock-signed-in.png", *SIGNED_IN_AND_LIVE, timeout=20)
        status = server_status(self.client)
        self.assertEqual([status.get(k) for k in ("signed_in", "account",
                                                   "device", "live")],
                         [True, EMAIL, DEVICE, True], f"data server: {status}")

    def test_3_adds_two_score_texts(self):
        """two clicks on the add button put two score texts into the scene;
        a graphic is refused without harm"""
        pid = self.obs.proc.pid
        for count in (1, 2):
            name = f"dock-add-{count}.png"
            self.click_on(self.look(name), ADD_TEXT, name)
            # OBS opens the new source's properties; closing them lets the
            # next click reach the dock.
            shown = wait_for(lambda: x11_windows(self.obs.display, "Properties",
                                                 pid), 10,
                             f"the properties window after add {count}")
            self.state[f"properties_{count}"] = shown[0].title
            self.obs.screenshot(f"dock-properties-{count}.png")
            x11_windows(self.obs.display, "Properties", pid, close=True)
            wait_for(lambda: not x11_windows(self.obs.display, "Properties",
                                             pid), 10,
                     "the properties window to close")
        # This OBS has no browser source: the graphic is refused with a log
        # line, nothing is added and no properties window opens.
        name = "dock-add-graphic.png"
        self.click_on(self.look(name), ADD_GRAPHIC, name)
        refused = wait_for(lambda: [l for l in self.obs.log.lines(LOG_TAG)
                                    if "Quillmarch Graphics not added" in l], 10,
                           "the graphic to be refused")
        self.state["graphic_refused"] = refused[0]
        self.assertTrue(any("has no browser source" in l
                            for l in self.obs.log.lines(LOG_TAG)))
        self.assertFalse(x11_windows(self.obs.display, "Properties", pid))
        items = self.obs.ws.request("GetSceneItemList",
                                    {"sceneName": SCENE})["sceneItems"]
        self.assertEqual([(i["sourceName"], i["inputKind"]) for i in items],
                         [(n, KIND) for n in ADDED], f"scene items: {items}")

    def test_4_first_text_shows_the_game(self):
        """the first added text shows the simulator's live score"""
        self.assert_default_template(self.obs, ADDED[0])
        self.client.wait_message(
            lambda d: is_snapshot(d) and score_of(d)[0] is not None, 10,
            "a snapshot with scores")
        # The game moves on: compare with the scores published around the
        # screenshot (the one before it and any during it).
        path = self.artifact("score-text.png")
        before = time.monotonic()
        self.obs.ws.source_screenshot(ADDED[0], path)
        after = time.monotonic()
        time.sleep(0.3)  # a line sent while the frame was drawn arrives
        shown = snapshots(self.client)
        published = [m for m in shown if m.at <= before - 0.1][-1:] + [
            m for m in shown if before - 0.1 < m.at <= after + 0.2]
        candidates = ["%s-%s" % score_of(m.data) for m in published]
        readings = ["".join(normalise_text(r).split())
                    for r in ocr_line(path, "0123456789 -")]
        self.state["score_readings"] = (readings, candidates)
        self.assertTrue(set(readings) & set(candidates),
                        f"{ADDED[0]} reads {readings}; the data server "
                        f"published {candidates} around then ({path})")
        self.wait_screen("dock-live.png", *SIGNED_IN_AND_LIVE)

    def test_9_clean_quit(self):
        """OBS quits cleanly"""
        self.client.close()
        self.assert_clean_quit(self.obs)


if __name__ == "__main__":
    sys.exit(testing.main(__doc__, limit_s=170, programs=("portal-sim",)))
