#!/usr/bin/python3
"""Live scores reaching a real OBS Studio from the cloud and from the LAN feed.

Two OBS runs (one test class each), each under its own Xvfb with the
plug-in installed in an isolated home, a scene holding a "quillmarch_text"
source with the default template, a stored sign-in (session.json) and the
data server switched on (settings.json):

CloudRoute  The portal simulator holds an account with exactly one device
            and knows the stored session. Without any user action the
            plug-in must restore the sign-in, list the devices, pick that
            device, remember it and poll its state every second; the text
            source and the data server follow the scores the portal serves.

LanRoute    settings.json routes the same device to its secure feed on this
            computer (the device simulator on 127.0.0.1:1010). The text
            follows the feed, the portal never sees a state poll, the data
            server names the device "Gym", and when the feed goes away the
            text keeps its last score and picks up again once the feed is
            back.

    tests/e2e/test_live_sources.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [--case cloud|lan|all]

The plug-in in DIR must be built to talk to the portal at
http://127.0.0.1:8787; the portal simulator is started on that port, so no
two such tests may run at once. Exit status 0 only when every check passed.
Needs what test_text_source.py needs, plus the two simulator programs.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import HarnessError, port_problem, testing, wait_for  # noqa: E402
from obsharness.livecase import (  # noqa: E402
    BLANK, SCORE, LiveRoute, read_moving_score, read_score, score_text,
    source_size, wait_width)
from obsharness.plugin import (  # noqa: E402
    DEVICE_ID, FEED_PORT, LAN_NAME, MODULE, OTHER_DEVICE, OWNER, is_snapshot,
    score_of, server_get, server_status, snapshots, start_device)


class CloudRoute(LiveRoute, testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_live_obs("cloud", "pending")

    def test_1_signs_in_and_selects(self):
        """signs in by itself, selects and polls the account's only device

        Only requests with the stored session cookie count: a plug-in that
        did not load session.json cannot pass."""
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

        settings = wait_for(
            lambda: (lambda s: s if s and s.get("selected_device") else None)(
                self.obs.read_plugin_json(MODULE, "settings.json")),
            5, "selected_device in settings.json")
        self.assertEqual(settings["selected_device"], DEVICE_ID, settings)

        status = server_status(self.client)
        self.state["cloud_status_before_data"] = status
        self.assertTrue(status.get("signed_in") is True
                        and status.get("account") == OWNER,
                        f"data server status: {OWNER} not signed in: {status}")
        self.assertTrue(status.get("device") == DEVICE_ID
                        and status.get("source") == DEVICE_ID,
                        f"data server status: {DEVICE_ID} not the source: "
                        f"{status}")

        # One poll a second: note when each new poll shows up.
        seen = len(portal.state_polls(DEVICE_ID))
        arrivals = []
        end = time.monotonic() + 4.5
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
        """text stays blank while the device has no data

        The data server already says whose data it will be."""
        first = self.client.wait_message(is_snapshot, 5,
                                         "the snapshot sent on connect")
        self.assertEqual(first.data.get("fields"), {},
                         f"snapshot before any data: {first.data}")
        self.assert_default_template(self.obs, SCORE)
        blank = source_size(self.obs, BLANK)
        score = source_size(self.obs, SCORE)
        self.state["blank_size"] = blank
        self.assertGreater(blank[0], 0)
        self.assertEqual(score, blank, f"{SCORE} with a pending device is "
                         "not the size of the blank reference")
        # The source label follows the selection even without data.
        snap = server_get(self.client)
        self.assertTrue(snap.get("source") == DEVICE_ID
                        and snap.get("fields") == {},
                        f"snapshot with a pending device: {snap}")

    def test_3_text_follows_portal(self):
        """text and data server follow the portal's scores

        The text grows from the blank width, changes with the score and
        reads as the fields say."""
        blank_width = self.state.get("blank_size",
                                     source_size(self.obs, BLANK))[0]
        widths = []
        for seq, (home, away) in enumerate(((7, 3), (112, 98)), start=1):
            mark = self.client.count()
            served = self.portal.serve(home, away, seq)
            expected = (str(home), str(away))
            snap = self.client.wait_message(
                lambda d: is_snapshot(d) and score_of(d) == expected, 6,
                f"a snapshot with {score_text(expected)}", start=mark).data
            self.assertEqual(snap.get("source"), DEVICE_ID, snap)
            self.assertEqual(snap.get("sport"), served["sport"], snap)
            for key in ("home_name", "away_name", "period", "clock"):
                self.assertEqual(snap["fields"].get(key),
                                 str(served["fields"][key]),
                                 f"field {key}: the data server differs "
                                 "from what the portal served")
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
        """the feed is the live source, no cloud polls

        The remembered LAN route wins: data comes from the feed under the
        device's LAN name and the portal sees no state poll."""
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
        """text re-renders from the feed

        The text grows from the blank width to the score, its width changes
        as the score gains digits, and what it shows is a score the data
        server published at that moment."""
        self.assert_default_template(self.obs, SCORE)
        blank_width = source_size(self.obs, BLANK)[0]
        self.assertGreater(blank_width, 0, "the blank reference renders nothing")
        widths = {wait_width(self.obs, SCORE, lambda w: w > blank_width,
                             f"{SCORE} to grow past the blank {blank_width} px")}
        readings = [self.assert_shows_published("lan-score-1.png")]

        # The game runs fast enough to add a digit within the wait.
        deadline = time.monotonic() + 45
        while len(widths) < 2 and time.monotonic() < deadline:
            w, _ = source_size(self.obs, SCORE)
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
        """text keeps its score through a feed loss and follows again after it

        With the feed gone the text keeps its last score; once the device
        takes connections again the plug-in reconnects by itself and the
        text moves on."""
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
        width_before = source_size(self.obs, SCORE)[0]

        path = self.artifact("lan-score-no-feed.png")
        readings = read_score(self.obs, path)
        expected = score_text(score_of(last.data))
        self.state["lan_reading_without_feed"] = readings
        self.assertIn(expected, readings, f"without the feed {SCORE} does not "
                      f"show the last data ({path})")
        self.assertEqual(source_size(self.obs, SCORE)[0], width_before,
                         "the text changed size while no data came")

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
    def options(parser):
        parser.add_argument("--device-sim", required=True,
                            help="the quillmarch-sim program")
        parser.add_argument("--portal-sim", required=True,
                            help="the quillmarch-portal-sim program")
        parser.add_argument("--case", choices=("cloud", "lan", "all"),
                            default="all")
    # The whole run, both OBS starts and quits included.
    sys.exit(testing.main(
        __doc__, limit_s=170, add_options=options,
        programs=lambda args: (args.device_sim, args.portal_sim),
        pick_tests=lambda args: {"cloud": ["CloudRoute"], "lan": ["LanRoute"],
                                 "all": []}[args.case]))
