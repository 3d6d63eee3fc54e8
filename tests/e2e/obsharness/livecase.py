"""Tests of live scores in OBS: the scene, the pieces around OBS both
routes (cloud and LAN) share, and reading the score source's size and
text next to what the data server published."""

import time

from .base import free_tcp_port, wait_for
from .images import normalise_text, ocr_line
from .plugin import (KIND, SCENE, Portal, plugin_settings, score_of,
                     snapshots)
from .scenes import Source
from .tools import JsonLineClient

# The score source renders the default "{home_score} - {away_score}".
SCORE = "Score"
SCORE_CHARSET = "0123456789 -"
# What the default template renders without any live data; its width is
# the "nothing yet" reference.
BLANK = "Blank"
BLANK_TEXT = " - "


def score_text(score):
    """A score as OCR gives it back: white space is left out, because
    tesseract reads the narrow gaps around the dash either way."""
    return f"{score[0]}-{score[1]}"


def compact(text):
    return "".join(normalise_text(text).split())


def source_size(obs, name):
    return obs.ws.source_size(SCENE, obs.ws.scene_item_id(SCENE, name))


def wait_width(obs, name, predicate, what, timeout=10):
    """The source's width once it renders and predicate(width) holds."""
    def width():
        w, h = source_size(obs, name)
        return w if h > 0 and predicate(w) else None
    return wait_for(width, timeout, what, interval=0.1)


def read_score(obs, path, source=SCORE):
    """Screenshot of the score source, and what OCR reads in it."""
    obs.ws.source_screenshot(source, path)
    return [compact(r) for r in ocr_line(path, SCORE_CHARSET)]


def read_moving_score(obs, client, path, source=SCORE):
    """Reads the score source while scores keep changing; returns the
    OCR readings and the scores the data server published around the
    moment of the screenshot (the one in effect before it, and any that
    arrived while it was taken)."""
    before = time.monotonic()
    obs.ws.source_screenshot(source, path)
    after = time.monotonic()
    time.sleep(0.3)  # let a line sent while the frame was drawn arrive
    shown = snapshots(client)
    earlier = [m for m in shown if m.at <= before - 0.1]
    during = [m for m in shown if before - 0.1 < m.at <= after + 0.2]
    candidates = ([earlier[-1]] if earlier else []) + during
    readings = [compact(r) for r in ocr_line(path, SCORE_CHARSET)]
    return readings, [score_text(score_of(m.data)) for m in candidates]


class LiveRoute:
    """What both routes share, mixed into a testing.ObsTestCase (alone it
    is no test class): the portal simulator, OBS with the seeded sign-in
    and settings, a client of the data server, the closing quit."""

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
        the moment of its screenshot; returns that reading."""
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
