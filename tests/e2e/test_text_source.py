#!/usr/bin/python3
"""The Quillmarch live text source inside a real OBS Studio.

OBS on Xvfb, the plug-in in an isolated home, a scene with one
"quillmarch_text" source: the plug-in loads, the source comes back from the
scene collection with the default template and renders it (placeholders
without live data as nothing, a plain template readable by OCR, in the
source and in OBS's window), and a window close unloads the plug-in.

    tests/e2e/test_text_source.py --plugin-dir DIR --artifacts DIR
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

    def rendered_size(self, differs_from=None):
        """(width, height) once non-zero and not differs_from."""
        def size():
            w, h = self.obs.ws.source_size(SCENE, SOURCE)
            return (w, h) if w > 0 and h > 0 and (w, h) != differs_from else None
        return wait_for(size, 15, f"{SOURCE} to render with a non-zero size "
                        f"other than {differs_from}", interval=0.25)

    def test_1_plugin_loads(self):
        """plug-in loads"""
        lines = self.obs.log.lines()
        loading = f"{LOG_TAG} loading plugin {self.args.expect_version}"
        self.assertTrue(loading in lines, f"no '{loading}' in the OBS log; "
                        "quillmarch lines: "
                        f"{[l for l in lines if 'quillmarch' in l.lower()]}")
        # The Bluetooth helper is installed beside the plug-in's data.
        module_errors = [l for l in lines
                         if re.search(r"Failed to load .*quillmarch-obs", l)
                         or "Bluetooth helper" in l]
        self.assertFalse(module_errors, f"OBS reports: {module_errors}")
        kinds = self.obs.ws.request("GetInputKindList", {
            "unversioned": False})["inputKinds"]
        self.assertIn(KIND, kinds)
        self.assertIn("quillmarch_graphics", kinds)

    def test_2_source_from_collection(self):
        """source comes back from the scene collection"""
        items = {i["sourceName"]: i for i in self.obs.ws.request(
            "GetSceneItemList", {"sceneName": SCENE})["sceneItems"]}
        self.assertIn(SOURCE, sorted(items), f"scene {SCENE}")
        self.assertEqual(items[SOURCE]["inputKind"], KIND, items[SOURCE])
        # The collection stored no template: the default one is in effect.
        self.assert_default_template(self.obs, SOURCE)

    def test_3_rendering(self):
        """source renders its template"""
        obs = self.obs
        # Default template, no live data: " - ".
        default_size = self.rendered_size()
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
        literal_size = self.rendered_size()
        self.assertEqual(literal_size, default_size,
                         f"'{DEFAULT_TEMPLATE}' without live data renders at "
                         f"{default_size}, the literal ' - ' at {literal_size}:"
                         " placeholders are not replaced by empty text")

        # A longer plain template grows the source and reads back as typed.
        obs.ws.set_input_settings(SOURCE, {"template": LONG_TEXT})
        long_size = self.rendered_size(default_size)
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
    sys.exit(testing.main(__doc__, limit_s=150, expect_version="1.0.1"))
