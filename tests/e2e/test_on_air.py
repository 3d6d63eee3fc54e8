#!/usr/bin/python3
"""On-air features in a real OBS Studio, fed by the device simulator's
secure feed: formatted fields in a text and the "show when" filter.

Two texts, "HOME BALL" and "AWAY BALL", carry the filter with the
condition possession equals home (the second inverted); as the game's
possession flips, exactly the matching one draws. A third text renders
"{period|ordinal:4} Q {home_score|pad:3}". The filter's properties are
opened the way a user does, from the source's context menu in the Sources
list. The plug-in must be built for
the portal at http://127.0.0.1:8787.

    tests/e2e/test_on_air.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    HarnessError, JsonLineClient, Source, free_tcp_port, normalise_text,
    ocr_line, testing)
from obsharness.plugin import (  # noqa: E402
    KIND, SCENE, is_snapshot, plugin_settings, server_status, snapshots)
from obsharness import wait_for, xinput  # noqa: E402
from obsharness.testing import (  # noqa: E402
    find_text, image_alpha_mean, screen_text)
from obsharness.xserver import x11_windows  # noqa: E402

FILTER_KIND = "quillmarch_visibility"
HOME, AWAY, FORMATTED = "Home ball", "Away ball", "Formatted"
FORMATTED_TEMPLATE = "{period|ordinal:4} Q {home_score|pad:3}"


def ordinal(period):
    n = int(period)
    if n > 4:
        return "OT" if n == 5 else f"{n - 4}OT"
    suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(
        n % 10, "th")
    return f"{n}{suffix}"


class OnAir(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        token = cls.start_device_and_portal("", rate=10, speed=3, seed=19)
        server_port = free_tcp_port()
        files = {"session.json": cls.portal.session_file(),
                 "settings.json": plugin_settings(server_port, token)}
        big = {"font": {"face": "Sans", "style": "Bold", "size": 96,
                        "flags": 0}}
        scenes = {SCENE: [
            Source(KIND, HOME, dict(big, template="HOME BALL"),
                   position=(40.0, 40.0), scale=(0.5, 0.5)),
            Source(KIND, AWAY, dict(big, template="AWAY BALL"),
                   position=(40.0, 160.0), scale=(0.5, 0.5)),
            Source(KIND, FORMATTED, dict(big, template=FORMATTED_TEMPLATE),
                   position=(40.0, 280.0), scale=(0.5, 0.5)),
        ]}
        cls.obs = cls.start_obs(cls.args.artifacts, scenes, files)
        cls.client = JsonLineClient(server_port)
        cls.addClassCleanup(cls.client.close)

    def shot_around(self, source, name):
        """A screenshot of source, and the possession values the data
        server published from just before it until just after it."""
        path = self.artifact(name)
        before = time.monotonic()
        self.obs.ws.source_screenshot(source, path)
        after = time.monotonic()
        time.sleep(0.3)  # a line sent while the frame was drawn arrives
        shown = snapshots(self.client)
        around = [m for m in shown if m.at <= before - 0.1][-1:] + [
            m for m in shown if before - 0.1 < m.at <= after + 0.2]
        return path, {m.data["fields"].get("possession") for m in around}

    def test_1_filter_follows_possession(self):
        """each text draws exactly while its condition holds"""
        for source, invert in ((HOME, False), (AWAY, True)):
            self.obs.ws.request("CreateSourceFilter", {
                "sourceName": source, "filterName": "Show when",
                "filterKind": FILTER_KIND, "filterSettings": {
                    "field": "possession", "compare": "equals",
                    "value": "home", "invert": invert}})
        self.client.wait_message(
            lambda d: is_snapshot(d) and d["fields"].get("possession"), 15,
            "a snapshot with possession")
        seen, checks, deadline = set(), 0, time.monotonic() + 40
        while seen != {"home", "away"} and time.monotonic() < deadline:
            for source in (HOME, AWAY):
                name = f"on-air-{source.split()[0].lower()}-{checks}.png"
                path, possession = self.shot_around(source, name)
                if len(possession) != 1:
                    continue  # it flipped while the frame was drawn
                holder = possession.pop()
                drawn = image_alpha_mean(path) > 0.005
                wanted = (holder == "home") == (source == HOME)
                self.assertEqual(drawn, wanted,
                                 f"{source} drawn={drawn} while possession is "
                                 f"{holder} ({path})")
                seen.add(holder)
                checks += 1
        self.state["checks"] = checks
        self.assertEqual(seen, {"home", "away"},
                         f"possession did not flip within 40 s ({checks} checks)")
        filters = self.obs.ws.request("GetSourceFilterList",
                                      {"sourceName": AWAY})["filters"]
        self.assertEqual([(f["filterKind"], f["filterSettings"].get("invert"))
                          for f in filters], [(FILTER_KIND, True)])

    def test_2_formatted_fields(self):
        """the formatted text reads as the formats say"""
        deadline, readings, wanted = time.monotonic() + 20, [], set()
        while time.monotonic() < deadline:
            path = self.artifact("on-air-formatted.png")
            before = time.monotonic()
            self.obs.ws.source_screenshot(FORMATTED, path)
            after = time.monotonic()
            time.sleep(0.3)
            shown = snapshots(self.client)
            around = [m for m in shown if m.at <= before - 0.1][-1:] + [
                m for m in shown if before - 0.1 < m.at <= after + 0.2]
            wanted = {"%s Q %03d" % (ordinal(m.data["fields"]["period"]),
                                     int(m.data["fields"]["home_score"]))
                      for m in around}
            readings = [normalise_text(r) for r in ocr_line(path)]
            if set(readings) & wanted:
                self.state["formatted"] = readings
                self.obs.main_window_screenshot("on-air-obs.png")
                return
        self.fail(f"{FORMATTED} reads {readings}; the formats of the "
                  f"published data give {wanted} ({path})")

    def test_3_filter_properties(self):
        """the filter's properties open from the source's context menu"""
        display, pid = self.obs.display, self.obs.proc.pid
        lines = self.look("on-air-sources.png")
        where = find_text(lines, HOME)
        self.assertTrue(where, f"no '{HOME}' in the sources list")
        xinput.click(display, *where, button=3)
        wait_for(lambda: find_text(self.look("on-air-context-menu.png"),
                                   "Rename"), 10, "the context menu")
        # The menu ends with "Filters" and "Properties": Up from the open
        # menu reaches the last item, Up again "Filters". (OCR misses the
        # item where the menu covers the highlighted source.)
        for key in ("Up", "Up", "Return"):
            xinput.press_key(display, key)
        title = f"Filters for '{HOME}'"
        try:
            wait_for(lambda: x11_windows(display, title, pid), 10,
                     "the filters window")
        except HarnessError:
            # OBS aborts when it quits with a context menu open.
            xinput.press_key(display, "Escape")
            raise
        # OCR may read a capital as small ("invert").
        phrases = ("live field", "condition", "invert")
        shown = wait_for(lambda: (lambda t: t if all(p in t.lower()
                                                      for p in phrases)
                                  else None)(screen_text(self.look(
                                      "on-air-filter-properties.png"))), 10,
                         "the filter's properties")
        self.state["filter_page"] = shown[:200]
        x11_windows(display, title, pid, close=True)
        wait_for(lambda: not x11_windows(display, title, pid), 10,
                 "the filters window to close")

    def test_9_clean_quit(self):
        """OBS quits cleanly"""
        status = server_status(self.client)
        self.assertTrue(status.get("live"), status)
        self.client.close()
        self.assert_clean_quit(self.obs)


if __name__ == "__main__":
    sys.exit(testing.main(__doc__, limit_s=200,
                          programs=("device-sim", "portal-sim")))
