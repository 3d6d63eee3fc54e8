#!/usr/bin/python3
"""The Quillmarch live text source inside a real OBS Studio.

Starts OBS under Xvfb with the plug-in installed in an isolated home and a
scene holding one "quillmarch_text" source, then checks through
obs-websocket, screenshots, OCR and OBS's own log that:

* the plug-in loads (its version is logged, its locale is found, OBS knows
  the source kind);
* the source comes back from the scene collection with the default
  template;
* the source renders: a non-zero size, placeholders without live data
  rendering as nothing, a longer plain template growing the source and
  reading back (OCR) exactly as typed;
* OBS quits cleanly on a window close and the plug-in's last log line is
  its unload message.

    tests/e2e/test_text_source.py --plugin-dir DIR --artifacts DIR

DIR for --plugin-dir holds quillmarch-obs/bin/64bit/quillmarch-obs.so and
quillmarch-obs/data/. Exit status 0 only when every check passed.
Needs: obs-studio, xvfb, imagemagick, tesseract-ocr, python3-websocket, cc
and libx11-dev (or QM_X11_CLOSE pointing at a built x11_close).
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    Source, image_alpha_mean, normalise_text, ocr_line, ocr_screen, testing,
    wait_for)
from obsharness.plugin import (  # noqa: E402
    DEFAULT_TEMPLATE, KIND, LOG_TAG, SCENE)

SOURCE = "Score"
# No placeholders: must come out exactly as typed.
LONG_TEXT = "HOME TEAM 100 - AWAY TEAM 99 FINAL"


class TextSource(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        scenes = {SCENE: [Source(KIND, SOURCE, position=(40.0, 40.0),
                                 scale=(0.2, 0.2))]}
        cls.obs = cls.start_obs(cls.args.artifacts, scenes)

    def rendered_size(self, item_id, differs_from=None, timeout=15):
        """Waits until the source has a non-zero size (different from
        differs_from when given) and returns (width, height)."""
        def size():
            w, h = self.obs.ws.source_size(SCENE, item_id)
            if w > 0 and h > 0 and (w, h) != differs_from:
                return (w, h)
            return None
        what = (f"{SOURCE} to render with a size other than {differs_from}"
                if differs_from else f"{SOURCE} to render with a non-zero size")
        return wait_for(size, timeout, what, interval=0.25)

    def test_1_plugin_loads(self):
        """plug-in loads"""
        lines = self.obs.log.lines()
        loading = f"{LOG_TAG} loading plugin {self.args.expect_version}"
        self.assertTrue(loading in lines, f"no '{loading}' in the OBS log; "
                        "quillmarch lines: "
                        f"{[l for l in lines if 'quillmarch' in l.lower()]}")
        module_errors = [l for l in lines
                         if re.search(r"Failed to load .*quillmarch-obs", l)]
        self.assertFalse(module_errors, f"OBS reports: {module_errors}")
        self.assertIn(KIND, self.obs.ws.input_kinds())

    def test_2_source_from_collection(self):
        """source comes back from the scene collection"""
        items = {i["sourceName"]: i for i in self.obs.ws.scene_items(SCENE)}
        self.assertIn(SOURCE, sorted(items), f"scene {SCENE}")
        self.assertEqual(items[SOURCE]["inputKind"], KIND, items[SOURCE])
        # The collection stored no template: the default one is in effect.
        self.assert_default_template(self.obs, SOURCE)

    def test_3_rendering(self):
        """source renders its template"""
        obs = self.obs
        item_id = obs.ws.scene_item_id(SCENE, SOURCE)

        # Default template, no live data: " - ".
        default_size = self.rendered_size(item_id)
        self.state["default_size"] = default_size
        default_png = self.artifact("score-default.png")
        obs.ws.source_screenshot(SOURCE, default_png)
        self.assertGreater(image_alpha_mean(default_png), 0,
                           f"default template renders nothing visible "
                           f"({default_png})")

        # Placeholders without data render as nothing: the default template
        # and its literal remainder " - " must have the same size.
        obs.ws.set_input_settings(SOURCE, {"template": " - "})
        time.sleep(0.5)
        literal_size = self.rendered_size(item_id)
        self.assertEqual(literal_size, default_size,
                         f"'{DEFAULT_TEMPLATE}' without live data renders at "
                         f"{default_size}, the literal ' - ' at {literal_size}:"
                         " placeholders are not replaced by empty text")

        # A longer plain template grows the source and reads back as typed.
        obs.ws.set_input_settings(SOURCE, {"template": LONG_TEXT})
        long_size = self.rendered_size(item_id, differs_from=default_size)
        self.state["long_size"] = long_size
        self.assertGreater(long_size[0], 4 * default_size[0],
                           f"width grew only from {default_size[0]} to "
                           f"{long_size[0]} for '{LONG_TEXT}'")

        long_png = self.artifact("score-long.png")
        obs.ws.source_screenshot(SOURCE, long_png)
        readings = ocr_line(long_png)
        self.assertIn(normalise_text(LONG_TEXT),
                      [normalise_text(r) for r in readings],
                      f"'{LONG_TEXT}' reads back wrong ({long_png})")

    def test_4_window_shows_scene(self):
        """OBS window shows the scene"""
        self.assertTrue(self.obs.main_windows(), "OBS main window is not mapped")
        self.obs.ws.set_input_settings(SOURCE, {"template": LONG_TEXT})
        # Let the preview draw a few frames with the current text.
        time.sleep(1.0)
        path = self.obs.screenshot("obs-window.png")
        # The preview shows the scene scaled down; OCR of the whole screen
        # must still find the source's text there.
        screen_text = ocr_screen(path, self.artifact("obs-window-ocr.png"))
        self.assertIn(normalise_text(LONG_TEXT), screen_text,
                      f"not visible in OBS's window ({path}); OCR read: "
                      f"{screen_text[:400]}")

    def test_5_clean_quit(self):
        """clean quit unloads the plug-in"""
        lines = self.assert_clean_quit(self.obs)
        shutdown = [i for i, l in enumerate(lines)
                    if l.startswith("==== Shutting down")]
        unloaded = lines.index(f"{LOG_TAG} plugin unloaded")
        self.assertTrue(shutdown and unloaded > shutdown[0],
                        "the unload line is not part of OBS's shutdown")


if __name__ == "__main__":
    # The whole run, OBS start to quit, stays well inside CTest's limit.
    sys.exit(testing.main(
        __doc__, limit_s=150,
        add_options=lambda parser: parser.add_argument(
            "--expect-version", default="1.0.1",
            help="plug-in version the load line must show")))
