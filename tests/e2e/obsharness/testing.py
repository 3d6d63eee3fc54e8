"""Real-OBS tests on Python's unittest: the options every such test takes,
one OBS session per test class, and a time limit on the whole run.

A test file defines ObsTestCase classes and ends with

    if __name__ == "__main__":
        sys.exit(testing.main(__doc__, limit_s=150))

It is run as a program (CTest does): the options name the plug-in tree
and the artifacts folder; what main() does not know goes to unittest
(-k PATTERN, a class name).
"""

import argparse
import os
import signal
import sys
import time
import unittest

from .plugin import DEFAULT_TEMPLATE, KIND, LOG_TAG, MODULE
from .session import ObsSession


class RunStopped(Exception):
    """The run was stopped (time limit, SIGTERM): the check under way fails,
    no later one starts, and the class's OBS is still stopped."""


_result = None  # the run under way, for the signal handlers


class _Result(unittest.TextTestResult):
    """Also prints how long each check took, before its verdict."""

    _current = (None, 0.0)  # the check under way and when it started

    def startTestRun(self):
        global _result
        _result = self
        super().startTestRun()

    def startTest(self, test):
        self._current = (test, time.monotonic())
        super().startTest(test)

    def _took(self, test):
        # Class set-up errors come without a startTest.
        if self.showAll and self._current[0] is test:
            self.stream.write(f"({time.monotonic() - self._current[1]:.1f} s) ")

    def addSuccess(self, test):
        self._took(test)
        super().addSuccess(test)

    def addFailure(self, test, err):
        self._took(test)
        super().addFailure(test, err)

    def addError(self, test, err):
        self._took(test)
        super().addError(test, err)


def _stop_run(reason):
    def handler(signum, frame):
        if _result:
            _result.stop()
        raise RunStopped(reason)
    return handler


class ObsTestCase(unittest.TestCase):
    """Checks sharing one OBS run (or a few pieces around it) started in
    setUpClass with start_obs(). Test methods run in name order
    (test_1_..., test_2_...): each builds on what the earlier ones did,
    the last one quits OBS. The first docstring line names the check."""

    args = None  # the command-line options, set by main()

    @classmethod
    def setUpClass(cls):
        if cls.args is None:
            raise RuntimeError("run the test file itself: it needs "
                               "--plugin-dir and --artifacts")
        # Figures the checks note (sizes, readings, gaps), printed at the
        # end for a human reading the log.
        cls.state = {}
        cls.addClassCleanup(cls._print_state)

    @classmethod
    def _print_state(cls):
        for key, value in cls.state.items():
            print(f"{cls.__name__}: {key}: {value}")

    @classmethod
    def artifact(cls, *parts):
        return os.path.join(cls.args.artifacts, *parts)

    @classmethod
    def start_obs(cls, artifacts_dir, scenes, plugin_files=None):
        """OBS with the plug-in under test, on a private Xvfb; stopped (and
        the plug-in's log lines printed) when the class is done."""
        session = ObsSession(
            artifacts_dir, scenes, plugin_tree=cls.args.plugin_dir,
            x11_close=cls.args.x11_close, obs_binary=cls.args.obs,
            start_timeout=60, quit_timeout=30,
            plugin_config={MODULE: plugin_files} if plugin_files else None)
        cls.addClassCleanup(print_plugin_log, cls.__name__, session)
        cls.addClassCleanup(session.close)
        started = time.monotonic()
        session.start()
        print(f"{cls.__name__}: OBS up on {session.display} after "
              f"{time.monotonic() - started:.1f} s")
        return session

    def assert_default_template(self, obs, source):
        """source is one of ours and renders the default template."""
        current = obs.ws.get_input_settings(source)
        self.assertEqual(current["inputKind"], KIND, current)
        defaults = obs.ws.get_input_default_settings(KIND)
        self.assertEqual(defaults.get("template"), DEFAULT_TEMPLATE,
                         f"default settings of {KIND}: {defaults}")
        # GetInputSettings lists only values that differ from the defaults.
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


def print_plugin_log(label, session):
    lines = session.log.lines(LOG_TAG)
    if lines:
        print(f"{label}: {LOG_TAG} log lines:")
        for line in lines:
            print("    " + line)


def main(description, limit_s, add_options=None, programs=(),
         pick_tests=None):
    """Parses the options, runs the test classes of __main__ with a
    verdict per check, and returns the exit status (0: all passed).

    add_options(parser) adds a test's own options; programs(args) lists
    files that must exist before anything starts; pick_tests(args) the
    test names to run (all when empty). The whole run, OBS starts and
    quits included, is stopped after limit_s seconds.
    """
    parser = argparse.ArgumentParser(
        description=description.split("\n")[0],
        epilog="Other arguments go to unittest (for example -k PATTERN).")
    parser.add_argument("--plugin-dir", required=True,
                        help="directory holding quillmarch-obs/")
    parser.add_argument("--artifacts", required=True,
                        help="where screenshots and logs are written")
    parser.add_argument("--obs", default="obs",
                        help="the OBS to test in: Debian's obs (default) or "
                        "the bin/obs of an unpacked OBS such as "
                        "/opt/obs-studio-30")
    parser.add_argument("--x11-close", default=None,
                        help="built x11_close helper (else $QM_X11_CLOSE, "
                        "else compiled on the fly)")
    if add_options:
        add_options(parser)
    args, unittest_args = parser.parse_known_args()

    sys.stdout.reconfigure(line_buffering=True)
    so = os.path.join(args.plugin_dir, MODULE, "bin", "64bit", MODULE + ".so")
    missing = [p for p in [so, *(programs(args) if programs else ())]
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
        tests = list(pick_tests(args)) if pick_tests else []
        result = unittest.main(module="__main__", testRunner=runner,
                               argv=[sys.argv[0], *unittest_args, *tests],
                               exit=False).result
    finally:
        signal.alarm(0)
        print(f"artifacts in {args.artifacts}; took "
              f"{time.monotonic() - started:.1f} s")
    # A filter that matched nothing has not shown anything to work.
    return 0 if result.testsRun and result.wasSuccessful() else 1
