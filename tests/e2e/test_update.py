#!/usr/bin/python3
"""The plug-in updates itself inside a real OBS Studio.

The next release is today's plug-in with its version text changed to 1.0.2
(the same number of bytes, so the binary stays intact), packed by the
release tool and served by the update-site stand-in on 127.0.0.1:8788, the
address the plug-in under test is built for. OBS starts with 1.0.1; its
automatic check (20 s after start) shows the update in the dock, a click on
"Update now" installs it, and the next OBS start loads 1.0.2 from the same
folder with nothing of the swap left behind.

    tests/e2e/test_update.py --plugin-dir DIR --artifacts DIR \\
        --update-site PATH --release-tool PATH
"""

import glob
import hashlib
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import HarnessError, port_problem, testing, xinput  # noqa: E402
from obsharness.plugin import LOG_TAG, MODULE, SCENE, ToolProcess  # noqa: E402
from obsharness.session import ObsSession  # noqa: E402
from obsharness.testing import find_text, ocr_words, screen_text  # noqa: E402

SITE_PORT = 8788
CURRENT, NEXT = "1.0.1", "1.0.2"
PLATFORM = "linux-x86_64"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Update(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        problem = port_problem(SITE_PORT)
        if problem:
            raise HarnessError(f"cannot start the update site: {problem}")
        # The next release: the plug-in tree with its version text bumped.
        work = cls.artifact("release")
        shutil.rmtree(work, ignore_errors=True)
        tree = os.path.join(work, MODULE)
        shutil.copytree(os.path.join(cls.args.plugin_dir, MODULE), tree)
        cls.binary = os.path.join(tree, "bin", "64bit", MODULE + ".so")
        with open(cls.binary, "rb") as f:
            code = f.read()
        old, new = CURRENT.encode() + b"\0", NEXT.encode() + b"\0"
        if old not in code:
            raise HarnessError(f"no version text {CURRENT} in {cls.binary}")
        with open(cls.binary, "wb") as f:
            f.write(code.replace(old, new))
        site = os.path.join(work, "site")
        out = os.path.join(site, "downloads", "obs")
        tool = ToolProcess([cls.args.release_tool, "--tree", tree, "--version",
                            NEXT, "--platform", PLATFORM, "--notes",
                            "Scores in tenths under a minute.", "--url-base",
                            f"http://127.0.0.1:{SITE_PORT}/downloads/obs/",
                            "--out", out], "release", cls.args.artifacts)
        tool.start()
        if tool.proc.wait(60) != 0:
            raise HarnessError("the release tool failed (see its log)")
        cls.site = ToolProcess([cls.args.update_site, "--root", site,
                                "--port", str(SITE_PORT)], "update-site",
                               cls.args.artifacts)
        cls.addClassCleanup(cls.site.stop)
        cls.site.start().wait_line(rf"^update-site http://127\.0\.0\.1:{SITE_PORT}$")
        cls.obs = cls.start_obs(cls.args.artifacts, {SCENE: []})

    def bundle(self, obs):
        return os.path.join(obs.home.config_dir, "plugins", MODULE)

    def test_1_update_found_and_installed(self):
        """the automatic check shows the update; a click installs it"""
        name, deadline, lines = "update-banner.png", time.monotonic() + 60, []
        while time.monotonic() < deadline:
            path = self.obs.screenshot(name)
            lines = ocr_words(path, self.artifact("update-banner-ocr.png"))
            if find_text(lines, "Update now"):
                break
            time.sleep(1)
        text = screen_text(lines)
        self.assertIn(f"Quillmarch {NEXT} is available", text,
                      f"no update news on screen ({self.artifact(name)})")
        xinput.click(self.obs.display, *find_text(lines, "Update now"))
        installed = f"{LOG_TAG} plugin {NEXT} installed; takes effect on the next OBS start"
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and installed not in self.obs.log.lines():
            time.sleep(0.5)
        self.assertIn(installed, self.obs.log.lines(),
                      f"last lines: {self.obs.log.lines(LOG_TAG)[-5:]}")
        self.obs.screenshot("update-installed.png")
        self.assertEqual(
            sha256(os.path.join(self.bundle(self.obs), "bin", "64bit", MODULE + ".so")),
            sha256(self.binary), "the installed binary is not the new release")

    def test_2_next_start_runs_the_new_version(self):
        """OBS quits; the next start loads the new version, nothing left over"""
        home = self.obs.home.root
        self.assert_clean_quit(self.obs)
        again = ObsSession(self.artifact("restart"), {SCENE: []}, home=home,
                           obs_binary=self.args.obs)
        try:
            again.start()
            ours = again.log.lines(LOG_TAG)
            self.assertIn(f"{LOG_TAG} loading plugin {NEXT}", ours, ours[:5])
            bundle = self.bundle(again)
            leftovers = [p for p in glob.glob(os.path.join(bundle, "..", "*"))
                         if os.path.basename(p) != MODULE] + glob.glob(
                             os.path.join(bundle, "**", "*.old"), recursive=True)
            self.assertFalse(leftovers, f"left behind: {leftovers}")
            self.assert_clean_quit(again)
        finally:
            again.close()


if __name__ == "__main__":
    sys.exit(testing.main(__doc__, limit_s=230,
                          programs=("update-site", "release-tool")))
