#!/usr/bin/python3
"""Live scores reaching a real OBS Studio from the cloud and from the LAN feed.

One OBS per class, with a stored sign-in and the data server on. CloudRoute:
the plug-in signs in by itself, picks the account's only device and polls
it; the text follows the portal simulator. LanRoute: the device's feed on
127.0.0.1:1010 is the source, the portal sees no state poll, and the text
keeps its score through a feed loss and follows again after it. The
plug-in must be built for the portal at http://127.0.0.1:8787.

    tests/e2e/test_live_sources.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [CloudRoute|LanRoute]
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    HarnessError, JsonLineClient, Source, free_tcp_port, normalise_text,
    ocr_line, port_problem, testing, wait_for)
from obsharness.plugin import (  # noqa: E402
    DEVICE_ID, FEED_PORT, KIND, LAN_NAME, MODULE, OTHER_DEVICE, OWNER, SCENE,
    Portal, is_snapshot, plugin_settings, score_of, server_ask, server_status,
    snapshots, start_device)

SCORE = "Score"  # renders the default "{home_score} - {away_score}"
# The default template without live data: the "nothing yet" width.
BLANK, BLANK_TEXT = "Blank", " - "


def score_text(score):
    """A score as OCR reads it: without white space, as tesseract reads
    the narrow gaps around the dash either way."""
    return f"{score[0]}-{score[1]}"


def wait_width(obs, name, predicate, what, timeout=10):
    """The source's width once it renders and predicate(width) holds."""
    def width():
        w, h = obs.ws.source_size(SCENE, name)
        return w if h > 0 and predicate(w) else None
    return wait_for(width, timeout, what, interval=0.1)


def ocr_score(path):
    return ["".join(normalise_text(r).split())
            for r in ocr_line(path, "0123456789 -")]


def read_score(obs, path):
    """Screenshot of the score source, and what OCR reads in it."""
    return ocr_score(obs.ws.source_screenshot(SCORE, path))


def read_moving_score(obs, client, path):
    """OCR readings of the score source, and the scores the data server
    published around its screenshot (the one before it, any during it)."""
    before = time.monotonic()
    obs.ws.source_screenshot(SCORE, path)
    after = time.monotonic()
    time.sleep(0.3)  # let a line sent while the frame was drawn arrive
    shown = snapshots(client)
    earlier = [m for m in shown if m.at <= before - 0.1]
    during = [m for m in shown if before - 0.1 < m.at <= after + 0.2]
    return ocr_score(path), [score_text(score_of(m.data))
                             for m in earlier[-1:] + during]


class LiveRoute:
    """What both routes share, mixed into an ObsTestCase."""

    @classmethod
    def start_live_obs(cls, route, portal_status, lan_token=None):
        cls.portal = Portal(cls.args.portal_sim, cls.args.artifacts,
                            f"{route}-portal", portal_status)
        cls.addClassCleanup(cls.portal.stop)
        cls.portal.start()
        server_port = free_tcp_port()
        files = {"session.json": cls.portal.session_file(),
                 "settings.json": plugin_settings(server_port, lan_token)}
        scenes = {SCENE: [
            Source(KIND, SCORE, position=(40.0, 40.0), scale=(0.25, 0.25)),
            Source(KIND, BLANK, {"template": BLANK_TEXT},
                   position=(40.0, 400.0), scale=(0.25, 0.25)),
        ]}
        cls.obs = cls.start_obs(cls.artifact(f"{route}-obs"), scenes, files)
        cls.client = JsonLineClient(server_port)
        cls.addClassCleanup(cls.client.close)

    def assert_shows_published(self, name):
        """The score source shows a score the data server published around
        its screenshot; returns that reading."""
        path = self.artifact(name)
        readings, candidates = read_moving_score(self.obs, self.client, path)
        shown = [r for r in readings if r in candidates]
        self.assertTrue(shown, f"{SCORE} reads {readings}; the data server "
                        f"published {candidates} around that moment ({path})")
        return shown[0]

    def test_9_clean_quit(self):
        """OBS quits cleanly"""
        self.client.close()
        self.assert_clean_quit(self.obs)


class CloudRoute(LiveRoute, testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_live_obs("cloud", "pending")

    def test_1_signs_in_and_selects(self):
        """signs in by itself, selects and polls the account's only device"""
        # Only requests with the stored session cookie count: a plug-in that
        # did not load session.json cannot pass.
        portal = self.portal
        try:
            wait_for(lambda: portal.state_polls(DEVICE_ID), 20,
                     f"a state poll of {DEVICE_ID}", interval=0.25)
        except HarnessError as err:
            self.fail(f"{err}; the portal saw: {portal.request_lines(False)}")
        paths = portal.request_lines()
        self.state["cloud_first_requests"] = paths[:6]
        order = [paths.index(wanted) if wanted in paths else -1 for wanted in
                 ("GET /auth/me", "GET /devices",
                  f"GET /devices/{DEVICE_ID}/state")]
        self.assertTrue(0 <= order[0] < order[1] < order[2],
                        "expected sign-in, then the device list, then state "
                        f"polls, all with the stored session: {paths[:20]}")
        self.assertFalse(portal.state_polls(OTHER_DEVICE),
                         "the plug-in asked about a device not on the account")

        selected = wait_for(lambda: (self.obs.read_plugin_json(
            MODULE, "settings.json") or {}).get("selected_device"), 5,
            "selected_device in settings.json")
        self.assertEqual(selected, DEVICE_ID, "settings.json")

        status = server_status(self.client)
        self.state["cloud_status_before_data"] = status
        self.assertEqual([status.get(k) for k in ("signed_in", "account",
                                                   "device", "source")],
                         [True, OWNER, DEVICE_ID, DEVICE_ID],
                         f"data server status: {status}")

        # One poll a second: note when each new poll shows up.
        seen, arrivals, end = len(portal.state_polls(DEVICE_ID)), [], time.monotonic() + 4.5
        while time.monotonic() < end:
            count = len(portal.state_polls(DEVICE_ID))
            arrivals += [time.monotonic()] * (count - seen)
            seen = count
            time.sleep(0.05)
        gaps = [round(b - a, 2) for a, b in zip(arrivals, arrivals[1:])]
        self.state["cloud_poll_gaps_s"] = gaps
        self.assertTrue(len(gaps) >= 2 and all(0.7 <= g <= 1.3 for g in gaps),
                        f"state polls {gaps} s apart; expected one a second")

    def test_2_blank_until_data(self):
        """text stays blank while the device has no data"""
        first = self.client.wait_message(is_snapshot, 5,
                                         "the snapshot sent on connect")
        self.assertEqual(first.data.get("fields"), {},
                         f"snapshot before any data: {first.data}")
        self.assert_default_template(self.obs, SCORE)
        blank = self.state["blank_size"] = self.obs.ws.source_size(SCENE, BLANK)
        self.assertGreater(blank[0], 0)
        self.assertEqual(self.obs.ws.source_size(SCENE, SCORE), blank,
                         f"{SCORE} with a pending device is not the size of "
                         "the blank reference")
        # The source label follows the selection even without data.
        snap = server_ask(self.client, "get")
        self.assertEqual((snap.get("source"), snap.get("fields")),
                         (DEVICE_ID, {}), f"snapshot with a pending device: {snap}")

    def test_3_text_follows_portal(self):
        """text and data server follow the portal's scores"""
        blank_width = self.state.get("blank_size",
                                     self.obs.ws.source_size(SCENE, BLANK))[0]
        widths = []
        for seq, (home, away) in enumerate(((7, 3), (112, 98)), start=1):
            mark = self.client.count()
            served = self.portal.serve(home, away, seq)
            expected = (str(home), str(away))
            snap = self.client.wait_message(
                lambda d: is_snapshot(d) and score_of(d) == expected, 6,
                f"a snapshot with {score_text(expected)}", start=mark).data
            keys = ("home_name", "away_name", "period", "clock")
            self.assertEqual(
                [snap.get("source"), snap.get("sport")]
                + [snap["fields"].get(k) for k in keys],
                [DEVICE_ID, served["sport"]] + [str(served["fields"][k]) for k in keys],
                f"the data server differs from what the portal served: {snap}")
            floor = widths[-1] if widths else blank_width
            widths.append(wait_width(
                self.obs, SCORE, lambda w: w > floor, f"{SCORE} to grow past "
                f"{floor} px for {score_text(expected)}"))
            path = self.artifact(f"cloud-score-{home}-{away}.png")
            self.assertIn(score_text(expected), read_score(self.obs, path),
                          f"{SCORE} does not read as the data says ({path})")
        self.state["cloud_widths"] = [blank_width] + widths

        status = server_status(self.client)
        self.assertIs(status.get("live"), True, f"not live after data: {status}")
        self.obs.screenshot("cloud-obs-window.png")


class LanRoute(LiveRoute, testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        problem = port_problem(FEED_PORT)
        if problem:
            raise HarnessError(f"the device's feed cannot start: {problem}")
        cls.device, token = start_device(cls.args.device_sim,
                                         cls.args.artifacts, "lan-device",
                                         rate=4, speed=120, seed=11)
        cls.addClassCleanup(cls.device.stop)
        cls.start_live_obs("lan", "online", lan_token=token)

    def device_sign_ins(self):
        with open(self.device.log_path, encoding="utf-8",
                  errors="replace") as f:
            return sum(1 for line in f if "client signed in" in line)

    def test_1_feed_is_the_source(self):
        """the feed is the live source, no cloud polls"""
        snap = self.client.wait_message(
            lambda d: is_snapshot(d) and d.get("fields", {}).get("home_score"),
            15, "a snapshot with scores").data
        self.assertEqual(snap.get("source"), LAN_NAME, snap)
        self.assertEqual(snap["fields"].get("home_name"), "Harbor Hawks",
                         "fields are not the device simulator's game")
        paths = self.portal.request_lines()
        self.assertTrue("GET /auth/me" in paths and "GET /devices" in paths,
                        f"the plug-in did not sign in and list devices: {paths}")
        status = server_status(self.client)
        self.assertEqual((status.get("device"), status.get("source"),
                          status.get("live")), (DEVICE_ID, LAN_NAME, True),
                         f"data server status: {status}")
        self.assertFalse(self.portal.state_polls(),
                         "state polls reached the portal")

    def test_2_text_follows_feed(self):
        """text re-renders from the feed"""
        self.assert_default_template(self.obs, SCORE)
        blank_width = self.obs.ws.source_size(SCENE, BLANK)[0]
        self.assertGreater(blank_width, 0, "the blank reference renders nothing")
        widths = {wait_width(self.obs, SCORE, lambda w: w > blank_width,
                             f"{SCORE} to grow past the blank {blank_width} px")}
        readings = [self.assert_shows_published("lan-score-1.png")]

        # The game runs fast enough to add a digit within the wait.
        deadline = time.monotonic() + 45
        while len(widths) < 2 and time.monotonic() < deadline:
            w, _ = self.obs.ws.source_size(SCENE, SCORE)
            if w > 0:
                widths.add(w)
            time.sleep(0.2)
        self.state["lan_widths"] = sorted(widths)
        latest = [score_of(m.data) for m in snapshots(self.client)[-3:]]
        self.assertGreaterEqual(len(widths), 2, f"{SCORE} kept its width for "
                                "45 s while the feed ran; latest snapshots: "
                                f"{latest}")
        self.assertGreater(min(widths), blank_width,
                           f"{SCORE} fell back to the blank width")

        readings.append(self.assert_shows_published("lan-score-2.png"))
        self.state["lan_readings"] = readings
        self.assertNotEqual(readings[0], readings[1], "the text read the same "
                            "twice, seconds apart, while the scores moved")
        self.obs.screenshot("lan-obs-window.png")

    def test_3_survives_feed_loss(self):
        """text keeps its score through a feed loss and follows again after it"""
        client = self.client
        signed_in_before = self.device_sign_ins()
        self.device.send("feed refuse 2500")
        self.device.send("feed drop")
        dropped = time.monotonic()
        time.sleep(1.2)
        status = server_status(client)
        self.state["lan_status_without_feed"] = status
        self.assertIs(status.get("live"), False,
                      f"still live without the feed: {status}")
        settled = [m for m in snapshots(client) if m.at <= dropped + 0.3]
        self.assertTrue(settled, "no snapshot before the feed was dropped")
        last = settled[-1]
        late = [m.data for m in snapshots(client) if m.at > dropped + 0.3]
        self.assertFalse(late, "snapshots while the feed was away")
        width_before = self.obs.ws.source_size(SCENE, SCORE)[0]
        path = self.obs.ws.source_screenshot(SCORE, self.artifact("lan-score-no-feed.png"))
        # Sizes compared inside the feed's absence, not after the slow OCR.
        self.assertEqual(self.obs.ws.source_size(SCENE, SCORE)[0], width_before,
                         "the text changed size while no data came")
        readings = ocr_score(path)
        expected = score_text(score_of(last.data))
        self.state["lan_reading_without_feed"] = readings
        self.assertIn(expected, readings, f"without the feed {SCORE} does not "
                      f"show the last data ({path})")

        moved = client.wait_message(
            lambda d: is_snapshot(d) and score_of(d) != score_of(last.data),
            12, "a new score after the feed came back", start=client.count())
        gap = moved.at - dropped
        self.state["lan_feed_gap_s"] = round(gap, 1)
        self.assertGreaterEqual(gap, 2.0, "data came back before the device "
                                "took connections again")
        self.assertEqual(moved.data.get("source"), LAN_NAME, moved.data)
        # Give the new score a moment to reach the screen; from then on the
        # text must never show the score from before the loss again.
        time.sleep(0.5)
        path = self.artifact("lan-score-feed-back.png")
        readings, candidates = read_moving_score(self.obs, client, path)
        self.state["lan_reading_feed_back"] = readings
        self.assertTrue(set(readings) & set(candidates),
                        f"after the feed came back {SCORE} reads {readings}; "
                        f"the data server published {candidates} ({path})")
        self.assertNotIn(expected, readings, f"{SCORE} still shows the score "
                         f"from before the loss, {time.monotonic() - moved.at:.1f}"
                         f" s after new data came ({path})")

        status = server_status(client)
        self.assertIs(status.get("live"), True, f"not live again: {status}")
        self.assertEqual(self.device_sign_ins(), signed_in_before + 1,
                         "one feed reconnection expected after the drop")
        self.assertFalse(self.portal.state_polls(),
                         "the plug-in fell back to polling the portal")


if __name__ == "__main__":
    # The whole run, both OBS starts and quits included.
    sys.exit(testing.main(__doc__, limit_s=170,
                          programs=("device-sim", "portal-sim")))
