#!/usr/bin/python3
"""The scorebug overlay in a real browser, fed by a real OBS Studio.

Headless Chromium shows the scorebug page from the installed plug-in tree,
pointed at the browser feed beside the plug-in's data server (its port + 1);
the device simulator's LAN feed drives the plug-in. The page waits before
OBS is up, then shows the score the data server publishes (while a TCP
client and an obs-websocket vendor-event client follow the same game), says it
reconnects once OBS has quit, and follows the score again after a second
OBS start in the same home. The plug-in must be built for the portal at
http://127.0.0.1:8787; without Chromium the test skips.

    tests/e2e/test_overlay.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [--chromium PATH]
"""

import base64
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import websocket  # Debian package python3-websocket

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    HarnessError, JsonLineClient, free_tcp_port, port_problem, testing,
    wait_for)
from obsharness.base import kill_group, start_child  # noqa: E402
from obsharness.session import ObsWebSocket  # noqa: E402
from obsharness.plugin import (  # noqa: E402
    MODULE, SCENE, is_snapshot, plugin_settings, snapshots)

WAITING, RECONNECTING = "Waiting for live data…", "Reconnecting…"

# What a viewer sees of the page: each part's text while it is rendered,
# None while it is hidden.
READ_PAGE = """(() => {
    const seen = (selector, text = (e) => e.textContent.trim()) => {
        const e = document.querySelector(selector);
        return e && e.offsetParent !== null ? text(e) : null;
    };
    const ball = document.querySelector(".team.has-ball");
    return {waiting: seen("#waiting", (e) => e.innerText.trim()),
            home_name: seen("#home .name"), home_score: seen("#home .score"),
            away_name: seen("#away .name"), away_score: seen("#away .score"),
            period: seen("#period"), clock: seen("#clock"),
            possession: ball && seen("#bug") !== null ? ball.id : null};
})()"""


class Browser:
    """Headless Chromium with one page, driven over the DevTools protocol;
    close() ends it (its process group) and removes its profile."""

    def __init__(self, program, artifacts, url):
        self.profile = tempfile.mkdtemp(prefix="qm-chromium-")
        self.log = open(os.path.join(artifacts, "chromium.log"), "wb")
        self.ws = None
        args = [program, "--headless=new", "--remote-debugging-port=0",
                f"--user-data-dir={self.profile}", "--no-first-run",
                "--no-default-browser-check", "--disable-gpu",
                "--disable-extensions", "--disable-background-networking",
                "--disable-component-update", "--disable-sync",
                "--no-proxy-server", "--hide-scrollbars", url]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses root otherwise
        self.proc = start_child(args, stdin=subprocess.DEVNULL,
                                stdout=self.log, stderr=subprocess.STDOUT)
        try:
            self._attach()
        except BaseException:
            self.close()
            raise

    def _attach(self):
        # With port 0 Chromium writes the port it chose into the profile.
        active = os.path.join(self.profile, "DevToolsActivePort")

        def port():
            if self.proc.poll() is not None:
                raise HarnessError(f"Chromium exited with {self.proc.poll()}"
                                   f"; see {self.log.name}")
            try:
                with open(active, encoding="utf-8") as f:
                    return int(f.readline())
            except (OSError, ValueError):
                return None
        devtools = wait_for(port, 20, "Chromium's DevTools port")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(f"http://127.0.0.1:{devtools}/json/list",
                         timeout=10) as reply:
            pages = [t for t in json.load(reply) if t.get("type") == "page"]
        if not pages:
            raise HarnessError("Chromium shows no page")
        self.ws = websocket.create_connection(
            pages[0]["webSocketDebuggerUrl"], timeout=10, suppress_origin=True)
        self._next_id = 0
        # The window size leaves the page a sliver in headless mode: fix
        # the page's own size, for screenshots of the whole scorebug.
        self.call("Emulation.setDeviceMetricsOverride", width=760,
                  height=160, deviceScaleFactor=1, mobile=False)

    def call(self, method, **params):
        """The result of one DevTools command (events are not enabled)."""
        self._next_id += 1
        self.ws.send(json.dumps({"id": self._next_id, "method": method,
                                 "params": params}))
        while True:
            try:
                reply = json.loads(self.ws.recv())
            except (websocket.WebSocketException, OSError) as err:
                raise HarnessError(f"DevTools {method}: {err}")
            if reply.get("id") == self._next_id:
                break
        if "error" in reply:
            raise HarnessError(f"DevTools {method}: {reply['error']}")
        return reply.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise HarnessError(f"the page threw: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path

    def close(self):
        if self.ws:
            self.ws.close()
            self.ws = None
        kill_group(self.proc, grace=5)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


def shown(snapshot):
    """What the scorebug should show for a snapshot, as read_page reads it
    (the period as its number)."""
    f = snapshot["fields"]
    return {k: None if f.get(k) is None else str(f[k])
            for k in ("home_name", "home_score", "away_name", "away_score",
                      "clock", "possession", "period")}


def as_read(page):
    """A page reading in the terms of shown(): the period label's number."""
    ordinal = re.fullmatch(r"([1-4])(st|nd|rd|th)", page.get("period") or "")
    return dict({k: page.get(k) for k in ("home_name", "home_score",
                                          "away_name", "away_score", "clock",
                                          "possession")},
                period=ordinal.group(1) if ordinal else page.get("period"))


def has_scores(data):
    fields = data.get("fields", {}) if is_snapshot(data) else {}
    return all(fields.get(k) not in (None, "")
               for k in ("home_score", "away_score"))


class Overlay(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        chromium = shutil.which(cls.args.chromium)
        if not chromium:
            raise unittest.SkipTest(f"no Chromium at {cls.args.chromium} "
                                    "(Debian: chromium)")
        token = cls.start_device_and_portal("", rate=4, speed=10, seed=23)

        # The browser feed takes the port after the data server's.
        def two_free_ports():
            port = free_tcp_port()
            return None if port_problem(port + 1) else port
        cls.server_port = wait_for(two_free_ports, 5, "two free ports")
        page = os.path.join(os.path.abspath(cls.args.plugin_dir), MODULE,
                            "data", "overlay", "scorebug.html")
        if not os.path.isfile(page):
            raise HarnessError(f"{page} is not installed")
        cls.browser = Browser(chromium, cls.args.artifacts,
                              pathlib.Path(page).as_uri()
                              + f"?port={cls.server_port + 1}")
        cls.addClassCleanup(cls.browser.close)
        # Before OBS is up: noted here, checked by the first test.
        wait_for(lambda: cls.browser.evaluate(
            'location.protocol === "file:"'
            ' && document.readyState === "complete"'), 10, "the page to load")
        cls.state["before_obs"] = cls.browser.evaluate(READ_PAGE)
        cls.browser.screenshot(cls.artifact("overlay-waiting.png"))

        cls.files = {"session.json": cls.portal.session_file(),
                     "settings.json": plugin_settings(cls.server_port, token)}
        cls.restarted = False
        cls.start_live_obs("first")

    @classmethod
    def start_live_obs(cls, name, home=None):
        cls.obs = cls.start_obs(cls.artifact(f"obs-{name}"), {SCENE: []},
                                cls.files, home=home)
        cls.client = JsonLineClient(cls.server_port)
        cls.addClassCleanup(cls.client.close)

    def read_page(self):
        return self.browser.evaluate(READ_PAGE)

    def wait_page(self, predicate, timeout, what):
        """The first page reading that satisfies predicate; fails with
        the last one when time runs out."""
        seen = []

        def reading():
            seen[:] = [self.read_page()]
            return predicate(seen[0])
        try:
            wait_for(reading, timeout, what, interval=0.1)
        except HarnessError as err:
            raise self.failureException(
                f"{err}; the page shows {seen[-1:]}") from None
        return seen[0]

    def assert_shows_published(self, name):
        """The scorebug shows a snapshot the data server published around
        the moment it was read (the one before, or one during); returns
        the reading. Saves a screenshot as name."""
        before = time.monotonic()
        page = self.read_page()
        after = time.monotonic()
        self.browser.screenshot(self.artifact(name))
        time.sleep(0.3)  # let a line sent while the page was read arrive
        published = snapshots(self.client)
        earlier = [m for m in published if m.at <= before - 0.1]
        during = [m for m in published if before - 0.1 < m.at <= after + 0.2]
        candidates = [shown(m.data) for m in earlier[-1:] + during]
        self.assertIn(as_read(page), candidates, f"the page shows {page}; "
                      f"the data server published {candidates} around then "
                      f"({name})")
        self.assertIsNone(page["waiting"],
                          f"waiting text beside the scores: {page}")
        return page

    def assert_follows(self, name):
        """The scorebug shows what the data server publishes, and moves
        on with the game."""
        self.client.wait_message(has_scores, 20, "a snapshot with scores")
        self.wait_page(lambda p: p["home_score"] is not None, 10,
                       "the scorebug to show")
        first = self.assert_shows_published(name)

        def score(page):
            return page["home_score"], page["away_score"]
        self.wait_page(lambda p: p["home_score"] is not None
                       and score(p) != score(first), 20,
                       f"the scorebug to move on from {score(first)}")
        self.assert_shows_published(name.replace(".png", "-later.png"))

    def test_1_live_score(self):
        """waits before OBS is up, then shows the published score"""
        before = self.state["before_obs"]
        self.assertEqual((before["waiting"] or "").split("\n")[0], WAITING,
                         f"before OBS is up the page shows {before}")
        self.assertIsNone(before["home_score"], f"scores before OBS: {before}")
        self.assert_follows("overlay-live.png")
        # At the same time a Companion-style client follows the game through
        # obs-websocket's vendor events: every event is a snapshot the TCP
        # client also received, and the score moves.
        watcher = ObsWebSocket(self.obs.ws.port,
                               events=ObsWebSocket.VENDOR_EVENTS)
        self.addCleanup(watcher.close)
        events = [d["eventData"]["eventData"] for _, d in watcher.events(3.0)
                  if d.get("eventType") == "VendorEvent"
                  and d["eventData"].get("vendorName") == "quillmarch"
                  and d["eventData"].get("eventType") == "live_changed"]
        self.assert_shows_published("overlay-live-with-vendor.png")
        time.sleep(0.3)  # the TCP line of the last event arrives
        every = [m.data for m in snapshots(self.client)]
        self.state["vendor_events"] = len(events)
        self.assertTrue(events, "no live_changed vendor event in 3 s")
        self.assertFalse([e for e in events if e not in every],
                         "vendor events unlike the TCP client's snapshots")
        self.assertGreater(len({(e["fields"].get("home_score"),
                                 e["fields"].get("away_score"),
                                 e["fields"].get("clock")) for e in events}),
                           1, "the vendor events did not follow the game")

    def test_2_reconnecting_without_obs(self):
        """says it reconnects once OBS has quit"""
        self.client.close()
        self.assert_clean_quit(self.obs)
        page = self.wait_page(lambda p: RECONNECTING in (p["waiting"] or ""),
                              10, "the page to notice OBS is gone")
        self.browser.screenshot(self.artifact("overlay-reconnecting.png"))
        self.assertEqual(page["waiting"].split(),
                         WAITING.split() + [RECONNECTING],
                         f"without OBS the page shows {page}")
        self.assertIsNone(page["home_score"], f"stale scores shown: {page}")

    def test_3_recovers_after_restart(self):
        """follows the score again after OBS starts in the same home"""
        type(self).start_live_obs("second", home=self.obs.home.root)
        type(self).restarted = True
        self.assert_follows("overlay-recovered.png")

    def test_9_clean_quit(self):
        """the second OBS quits cleanly"""
        if not self.restarted:
            self.skipTest("OBS did not start a second time")
        self.client.close()
        self.assert_clean_quit(self.obs)


if __name__ == "__main__":
    # The whole run: both OBS starts and quits included.
    sys.exit(testing.main(__doc__, limit_s=200,
                          programs=("device-sim", "portal-sim"),
                          chromium="/usr/bin/chromium"))
