"""Real-OBS tests on unittest: the options every such test takes, one OBS
per test class, and a time limit on the whole run. A test file ends with

    if __name__ == "__main__":
        sys.exit(testing.main(__doc__, limit_s=150))

Arguments main() does not know go to unittest (-k PATTERN, a class name).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest


from . import xinput
from .base import HarnessError, port_problem
from .plugin import (DEFAULT_TEMPLATE, FEED_PORT, KIND, LOG_TAG, MODULE,
                     Portal, start_device)
from .session import ObsSession


def image_alpha_mean(path):
    """Mean opacity (0..1) of a PNG: 0 means nothing was drawn."""
    out = subprocess.run(
        ["convert", path, "-alpha", "extract", "-format", "%[fx:mean]", "info:"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, check=True)
    return float(out.stdout.decode().strip())


def _tesseract(path, *options):
    if not shutil.which("tesseract"):
        raise HarnessError("tesseract is not installed (Debian: tesseract-ocr)")
    out = subprocess.run(["tesseract", path, "-", *options], timeout=60,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return out.stdout.decode(errors="replace").strip()


def ocr_line(path, charset=None):
    """One line read from a source screenshot, in both polarities (kept
    beside it): tesseract wants dark text on white, sources draw light text
    on transparency. charset keeps a score's 1 from becoming an l."""
    readings = []
    for negate, suffix in ((True, "-ocr-negated.png"), (False, "-ocr.png")):
        prepared = re.sub(r"\.png$", "", path) + suffix
        subprocess.run(
            ["convert", path, "-background", "black" if negate else "white",
             "-alpha", "remove", "-alpha", "off", *(["-negate"] if negate else []),
             "-resize", "x80", "-bordercolor", "white", "-border", "30", prepared],
            check=True, timeout=30)
        options = ["-c", f"tessedit_char_whitelist={charset}"] if charset else []
        readings.append(_tesseract(prepared, "--psm", "7", *options))
    return readings


def ocr_screen(path, inverted_path):
    """All text OCR finds on a screenshot of OBS's window, normalised; the
    dark theme reads better inverted (kept at inverted_path)."""
    subprocess.run(["convert", path, "-negate", inverted_path], check=True,
                   timeout=30)
    return normalise_text(_tesseract(inverted_path))


def ocr_words(path, prepared_path, scale=2):
    """The lines of words OCR finds on a screenshot of OBS's window, each a
    list of (word, (left, top, right, bottom)) in the screenshot's pixels.
    The image is inverted for the dark theme and enlarged, which small
    widget text needs (the prepared copy is kept at prepared_path). The
    preview's plain black goes grey first: inverted to a large white area
    it makes tesseract's page layout read nothing at all."""
    subprocess.run(["convert", path, "-alpha", "off", "-fill", "gray15",
                    "-opaque", "black", "-negate", "-resize",
                    f"{scale * 100}%", prepared_path], check=True, timeout=30)
    lines = {}
    for row in _tesseract(prepared_path, "tsv").splitlines()[1:]:
        cells = row.split("\t")
        if len(cells) < 12 or not normalise_text(cells[11]):
            continue
        left, top, width, height = (int(c) // scale for c in cells[6:10])
        lines.setdefault(tuple(cells[1:5]), []).append(
            (normalise_text(cells[11]), (left, top, left + width, top + height)))
    return list(lines.values())


def screen_text(lines):
    """What ocr_words read, as one normalised string."""
    return " ".join(word for line in lines for word, _ in line)


def find_text(lines, phrase):
    """The centre (x, y) of the first run of words from ocr_words that
    reads phrase (a control's label or placeholder), or None."""
    wanted = normalise_text(phrase).split()
    for line in lines:
        for i in range(len(line) - len(wanted) + 1):
            run = line[i:i + len(wanted)]
            if [word for word, _ in run] == wanted:
                left, top = run[0][1][:2]
                right = max(box[2] for _, box in run)
                bottom = max(box[3] for _, box in run)
                return (left + right) // 2, (top + bottom) // 2
    return None


def normalise_text(text):
    """Dashes made plain and white space collapsed, for comparing OCR."""
    return " ".join(text.replace("\u2014", "-").replace("\u2013", "-").split())


class RunStopped(Exception):
    """Time limit or SIGTERM: fails the check under way, starts no other."""


class _Result(unittest.TextTestResult):
    current = None  # the run under way, for the signal handlers

    def startTestRun(self):
        _Result.current = self
        super().startTestRun()


def _stop_run(reason):
    def handler(signum, frame):
        if _Result.current:
            _Result.current.stop()
        raise RunStopped(reason)
    return handler


class ObsTestCase(unittest.TestCase):
    """Checks sharing one OBS from start_obs(), run in name order (test_1_,
    test_2_, ...); the last one quits OBS."""

    args = None  # the command-line options, set by main()

    @classmethod
    def setUpClass(cls):
        if cls.args is None:
            raise RuntimeError("run the test file itself: it needs "
                               "--plugin-dir and --artifacts")
        # Figures the checks note (sizes, readings, gaps), printed at the
        # end for a human reading the log.
        cls.state = {}
        cls.addClassCleanup(lambda: [print(f"{cls.__name__}: {k}: {v}")
                                     for k, v in cls.state.items()])

    @classmethod
    def artifact(cls, name):
        return os.path.join(cls.args.artifacts, name)

    @classmethod
    def start_obs(cls, artifacts_dir, scenes, plugin_files=None, home=None):
        """OBS with the plug-in under test on a private Xvfb; stopped, and
        the plug-in's log lines printed, when the class is done. home: the
        home of an earlier start (which has quit) to start in again, as a
        user restarting OBS; by default a new temporary one."""
        session = ObsSession(
            artifacts_dir, scenes, plugin_tree=cls.args.plugin_dir, home=home,
            obs_binary=cls.args.obs,
            plugin_config={MODULE: plugin_files} if plugin_files else None)
        cls.addClassCleanup(lambda: [print(f"{cls.__name__}: {line}")
                                     for line in session.log.lines(LOG_TAG)])
        cls.addClassCleanup(session.close)
        started = time.monotonic()
        session.start()
        print(f"{cls.__name__}: OBS up on {session.display} after "
              f"{time.monotonic() - started:.1f} s")
        return session

    @classmethod
    def start_device_and_portal(cls, prefix, rate, speed, seed):
        """The device simulator's secure feed on FEED_PORT (cls.device) and
        the portal simulator with the device online (cls.portal), both
        stopped when the class is done; returns the feed's token."""
        problem = port_problem(FEED_PORT)
        if problem:
            raise HarnessError(f"the device's feed cannot start: {problem}")
        cls.device, token = start_device(cls.args.device_sim,
                                         cls.args.artifacts, f"{prefix}device",
                                         rate=rate, speed=speed, seed=seed)
        cls.addClassCleanup(cls.device.stop)
        cls.portal = Portal(cls.args.portal_sim, cls.args.artifacts,
                            f"{prefix}portal", "online")
        cls.addClassCleanup(cls.portal.stop)
        cls.portal.start()
        return token

    # Reading and clicking the screen of the class's OBS (self.obs) the way
    # a user finds controls: by the texts OCR reads on a screenshot.
    def look(self, name):
        """A screenshot of the screen kept as name, and its OCR lines."""
        path = self.obs.screenshot(name)
        return ocr_words(path, self.artifact(name[:-4] + "-ocr.png"))

    def wait_screen(self, name, *phrases, timeout=15):
        """OCR lines of the first screenshot showing all phrases."""
        deadline, lines = time.monotonic() + timeout, []
        while time.monotonic() < deadline:
            lines = self.look(name)
            if all(p in screen_text(lines) for p in phrases):
                return lines
            time.sleep(0.5)
        self.fail(f"{phrases} not on screen within {timeout} s; OCR read: "
                  f"{screen_text(lines)!r} ({self.artifact(name)})")

    def click_on(self, lines, label, name):
        """Clicks the words label where the screenshot name showed them."""
        where = find_text(lines, label)
        self.assertTrue(where, f"no '{label}' on screen ({self.artifact(name)})")
        xinput.click(self.obs.display, *where)

    def assert_default_template(self, obs, source):
        """source is one of ours and renders the default template."""
        # GetInputSettings lists only values that differ from the defaults.
        current = obs.ws.request("GetInputSettings", {"inputName": source})
        self.assertEqual(current["inputKind"], KIND, current)
        defaults = obs.ws.request("GetInputDefaultSettings", {
            "inputKind": KIND})["defaultInputSettings"]
        self.assertEqual(defaults.get("template"), DEFAULT_TEMPLATE,
                         f"default settings of {KIND}: {defaults}")
        effective = current["inputSettings"].get("template",
                                                 defaults["template"])
        self.assertEqual(effective, DEFAULT_TEMPLATE,
                         f"{source} renders another template: {current}")

    def assert_clean_quit(self, obs):
        """OBS quits on a window close and the plug-in's last log line is
        its unload message; returns OBS's log lines."""
        result = obs.quit()
        self.assertTrue(result.clean,
                        f"OBS did not quit cleanly: {result.detail}")
        ours = obs.log.lines(LOG_TAG)
        self.assertTrue(ours, f"no {LOG_TAG} lines in the OBS log")
        self.assertEqual(ours[-1], f"{LOG_TAG} plugin unloaded",
                         f"last {LOG_TAG} lines: {ours[-5:]}")
        return obs.log.lines()


def main(description, limit_s, programs=(), **options):
    """Runs the test classes of __main__ with a verdict per check; returns
    the exit status (0: all passed). programs: options naming programs
    that must exist; options: other options' defaults. The whole run, OBS
    starts and quits included, is stopped after limit_s seconds."""
    parser = argparse.ArgumentParser(
        description=description.split("\n")[0],
        epilog="Other arguments go to unittest (-k PATTERN, a class name).")
    parser.add_argument("--plugin-dir", required=True,
                        help="directory holding quillmarch-obs/")
    parser.add_argument("--artifacts", required=True,
                        help="where screenshots and logs are written")
    parser.add_argument("--obs", default="obs", help="the OBS to test in: "
                        "Debian's obs or the bin/obs of an unpacked one")
    for name in programs:
        parser.add_argument("--" + name, required=True)
    for name, default in options.items():
        parser.add_argument("--" + name.replace("_", "-"), default=default)
    args, unittest_args = parser.parse_known_args()

    sys.stdout.reconfigure(line_buffering=True)
    so = os.path.join(args.plugin_dir, MODULE, "bin", "64bit", MODULE + ".so")
    missing = [p for p in [so, *(getattr(args, n.replace("-", "_")) for n in programs)]
               if not os.path.isfile(p)]
    for path in missing:
        print(f"setup: {path} does not exist")
    if missing:
        return 1
    args.artifacts = os.path.abspath(args.artifacts)
    os.makedirs(args.artifacts, exist_ok=True)
    ObsTestCase.args = args

    signal.signal(signal.SIGALRM,
                  _stop_run(f"the whole test ran past {limit_s} s"))
    signal.signal(signal.SIGTERM, _stop_run("stopped by SIGTERM"))
    signal.alarm(limit_s)
    started = time.monotonic()
    try:
        runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2,
                                         resultclass=_Result)
        result = unittest.main(module="__main__", testRunner=runner,
                               argv=[sys.argv[0], *unittest_args],
                               exit=False).result
    finally:
        signal.alarm(0)
        print(f"artifacts in {args.artifacts}; took "
              f"{time.monotonic() - started:.1f} s")
    # A filter that matched nothing has not shown anything to work; a
    # class that skipped itself (it cannot run here) says so with 77.
    if not result.testsRun and result.skipped and result.wasSuccessful():
        return 77
    return 0 if result.testsRun and result.wasSuccessful() else 1
