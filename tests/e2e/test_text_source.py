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

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obs_harness import (  # noqa: E402
    CheckRun as Run, HarnessError, ObsSession, Source, image_alpha_mean,
    normalise_text, ocr_line, strip_log_time, wait_for)

SCENE = "Scoreboard"
SOURCE = "Score"
KIND = "quillmarch_text"
DEFAULT_TEMPLATE = "{home_score} - {away_score}"
# No placeholders: must come out exactly as typed.
LONG_TEXT = "HOME TEAM 100 - AWAY TEAM 99 FINAL"
# The whole run, OBS start to quit, must stay well inside CTest's limit.
OVERALL_LIMIT_S = 150


def tesseract():
    path = shutil.which("tesseract")
    if not path:
        raise AssertionError("tesseract is not installed (Debian: tesseract-ocr)")
    return path


# --------------------------------------------------------------------------
# Checks


def check_plugin_loads(obs, version):
    lines = obs.log_lines()
    loading = f"[quillmarch] loading plugin {version}"
    assert loading in lines, (
        f"no '{loading}' line in the OBS log; quillmarch lines: "
        f"{[l for l in lines if 'quillmarch' in l.lower()]}")
    module_errors = [l for l in lines
                     if re.search(r"Failed to load .*quillmarch-obs", l)]
    assert not module_errors, f"OBS reports: {module_errors}"
    kinds = obs.ws.input_kinds()
    assert KIND in kinds, f"OBS does not know input kind {KIND}: {kinds}"


def check_source_from_collection(obs):
    items = {i["sourceName"]: i for i in obs.ws.scene_items(SCENE)}
    assert SOURCE in items, f"scene {SCENE} lacks {SOURCE}: {sorted(items)}"
    assert items[SOURCE]["inputKind"] == KIND, items[SOURCE]

    current = obs.ws.get_input_settings(SOURCE)
    assert current["inputKind"] == KIND, current
    defaults = obs.ws.get_input_default_settings(KIND)
    assert defaults.get("template") == DEFAULT_TEMPLATE, (
        f"default settings of {KIND}: {defaults}")
    # GetInputSettings lists only values that differ from the defaults; the
    # collection stored none, so the effective template is the default.
    effective = current["inputSettings"].get("template", defaults["template"])
    assert effective == DEFAULT_TEMPLATE, current


def rendered_size(obs, item_id, differs_from=None, timeout=15):
    """Waits until the source has a non-zero size (different from
    differs_from when given) and returns (width, height)."""
    def size():
        w, h = obs.ws.source_size(SCENE, item_id)
        if w > 0 and h > 0 and (w, h) != differs_from:
            return (w, h)
        return None
    what = (f"{SOURCE} to render with a size other than {differs_from}"
            if differs_from else f"{SOURCE} to render with a non-zero size")
    return wait_for(size, timeout, what, interval=0.25)


def check_rendering(obs, artifacts, state):
    item_id = obs.ws.scene_item_id(SCENE, SOURCE)

    # Default template, no live data: " - ".
    default_size = rendered_size(obs, item_id)
    state["default_size"] = default_size
    default_png = os.path.join(artifacts, "score-default.png")
    obs.ws.source_screenshot(SOURCE, default_png)
    assert image_alpha_mean(default_png) > 0, (
        f"default template renders nothing visible ({default_png})")

    # Placeholders without data render as nothing: the default template and
    # its literal remainder " - " must have the same size.
    obs.ws.set_input_settings(SOURCE, {"template": " - "})
    time.sleep(0.5)
    literal_size = rendered_size(obs, item_id)
    assert literal_size == default_size, (
        f"'{DEFAULT_TEMPLATE}' without live data renders at {default_size}, "
        f"the literal ' - ' at {literal_size}: placeholders are not replaced "
        "by empty text")

    # A longer plain template grows the source and reads back as typed.
    obs.ws.set_input_settings(SOURCE, {"template": LONG_TEXT})
    long_size = rendered_size(obs, item_id, differs_from=default_size)
    state["long_size"] = long_size
    assert long_size[0] > 4 * default_size[0], (
        f"width grew only from {default_size[0]} to {long_size[0]} for "
        f"'{LONG_TEXT}'")

    long_png = os.path.join(artifacts, "score-long.png")
    obs.ws.source_screenshot(SOURCE, long_png)
    readings = ocr_line(long_png)
    assert normalise_text(LONG_TEXT) in map(normalise_text, readings), (
        f"'{LONG_TEXT}' reads back as {readings} ({long_png})")


def check_window_shows_scene(obs, artifacts):
    assert obs.main_windows(), "OBS main window is not mapped"
    obs.ws.set_input_settings(SOURCE, {"template": LONG_TEXT})
    # Let the preview draw a few frames with the current text.
    time.sleep(1.0)
    path = obs.screenshot("obs-window.png")
    # The preview shows the scene scaled down; OCR of the whole screen must
    # still find the source's text there. OBS's dark theme reads better
    # inverted.
    inverted = os.path.join(artifacts, "obs-window-ocr.png")
    subprocess.run(["convert", path, "-negate", inverted], check=True,
                   timeout=30)
    out = subprocess.run([tesseract(), inverted, "-"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=60)
    screen_text = normalise_text(out.stdout.decode(errors="replace"))
    assert normalise_text(LONG_TEXT) in screen_text, (
        f"'{LONG_TEXT}' not visible in OBS's window ({path}); OCR read: "
        f"{screen_text[:400]}")


def check_clean_quit(obs):
    result = obs.quit()
    assert result.clean, f"OBS did not quit cleanly: {result.detail}"
    lines = obs.log_lines()
    ours = [l for l in lines if "[quillmarch]" in l]
    assert ours, "no [quillmarch] lines in the OBS log"
    assert ours[-1] == "[quillmarch] plugin unloaded", (
        f"last [quillmarch] line is '{ours[-1]}'; tail: {ours[-5:]}")
    shutdown = [i for i, l in enumerate(lines) if l.startswith("==== Shutting down")]
    unloaded = lines.index("[quillmarch] plugin unloaded")
    assert shutdown and unloaded > shutdown[0], (
        "the unload line is not part of OBS's shutdown")


# --------------------------------------------------------------------------


class TimeLimit(BaseException):
    """Past the overall limit: not caught by a check group, so it ends the
    run and the with-block stops OBS."""


def _on_alarm(signum, frame):
    raise TimeLimit(f"the whole test ran past {OVERALL_LIMIT_S} s")


def _on_term(signum, frame):
    # Let the with-block stop OBS and Xvfb before the process goes.
    raise SystemExit(f"stopped by signal {signum}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plugin-dir", required=True,
                        help="directory holding quillmarch-obs/")
    parser.add_argument("--artifacts", required=True,
                        help="where screenshots and OBS's log are written")
    parser.add_argument("--expect-version", default="1.0.1",
                        help="plug-in version the load line must show")
    parser.add_argument("--x11-close", default=None,
                        help="built x11_close helper (else $QM_X11_CLOSE, "
                        "else compiled on the fly)")
    args = parser.parse_args()

    so = os.path.join(args.plugin_dir, "quillmarch-obs", "bin", "64bit",
                      "quillmarch-obs.so")
    if not os.path.isfile(so):
        print(f"FAIL: setup\n    {so} does not exist")
        print("0 passed, 1 failed")
        return 1

    artifacts = os.path.abspath(args.artifacts)
    os.makedirs(artifacts, exist_ok=True)
    signal.signal(signal.SIGALRM, _on_alarm)
    signal.signal(signal.SIGTERM, _on_term)
    signal.alarm(OVERALL_LIMIT_S)

    run = Run()
    started = time.monotonic()
    scenes = {SCENE: [Source(KIND, SOURCE, position=(40.0, 40.0),
                             scale=(0.2, 0.2))]}
    state = {}
    session = ObsSession(artifacts, scenes, plugin_tree=args.plugin_dir,
                         x11_close=args.x11_close, start_timeout=60,
                         quit_timeout=30)
    try:
        with session as obs:
            print(f"OBS up on {obs.display} after "
                  f"{time.monotonic() - started:.1f} s", flush=True)
            run.group("plug-in loads", check_plugin_loads, obs,
                      args.expect_version)
            run.group("source comes back from the scene collection",
                      check_source_from_collection, obs)
            run.group("source renders its template", check_rendering, obs,
                      artifacts, state)
            run.group("OBS window shows the scene", check_window_shows_scene,
                      obs, artifacts)
            run.group("clean quit unloads the plug-in", check_clean_quit, obs)
    except (HarnessError, TimeLimit) as err:
        run.fail("OBS session", str(err))
    finally:
        signal.alarm(0)
        quillmarch_lines = [strip_log_time(l) for l in
                            session.log_text().splitlines() if "[quillmarch]" in l]
        if quillmarch_lines:
            print("[quillmarch] log lines:")
            for line in quillmarch_lines:
                print("    " + line)
        if state:
            print(f"source sizes: {state}")
        print(f"artifacts in {artifacts}; took {time.monotonic() - started:.1f} s")
    print(run.summary())
    return 0 if run.ok else 1


if __name__ == "__main__":
    sys.exit(main())
