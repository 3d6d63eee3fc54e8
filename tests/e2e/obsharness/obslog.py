"""OBS's own log of one run, for assertions and failure reports."""

import os
import re
import shutil

from .base import wait_for

# OBS prefixes every log line with a wall-clock time: "23:12:01.123: ".
LOG_TIME_PREFIX = re.compile(r"^\d{2}:\d{2}:\d{2}\.\d{3}: ")


def strip_log_time(line):
    return LOG_TIME_PREFIX.sub("", line, count=1)


class ObsLog:
    """The log file an OBS run writes into its home's logs folder.

    OBS names the file by its start time, so this run's log is the file
    that was not there before the run (watch() notes those). save() copies
    it into the artifacts, where it stays readable once a temporary home
    is gone.
    """

    def __init__(self, artifacts_dir):
        self.artifacts_dir = artifacts_dir
        self.path = None
        self._home = None
        self._old = set()
        self._copy = None

    def watch(self, home):
        """Call before OBS starts in home."""
        self._home = home
        self._old = set(home.log_files())

    def _current_path(self):
        if not self.path and self._home:
            new = [p for p in self._home.log_files() if p not in self._old]
            if new:
                self.path = new[-1]
        return self.path

    def save(self):
        path = self._current_path()
        if path and os.path.exists(path):
            self._copy = os.path.join(self.artifacts_dir, "obs.log")
            shutil.copyfile(path, self._copy)

    def text(self):
        """The log so far ('' until there is one)."""
        for path in (self._current_path(), self._copy):
            if path and os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    return f.read()
        return ""

    def lines(self, containing=None):
        """Log messages without OBS's time prefix; only those holding the
        text `containing` when given (such as a plug-in's "[name]" tag)."""
        lines = [strip_log_time(l) for l in self.text().splitlines()]
        return [l for l in lines if containing is None or containing in l]

    def tail(self, count=25):
        """The last lines, for a failure report: OBS's stdout while the log
        file does not exist yet."""
        lines = self.text().splitlines()
        if not lines:
            try:
                with open(os.path.join(self.artifacts_dir, "obs-stdout.log"),
                          encoding="utf-8", errors="replace") as f:
                    lines = f.read().splitlines()
            except OSError:
                pass
        return "\n".join(lines[-count:])

    def wait(self, pattern, timeout=15):
        """Waits for a log line matching the regex; returns the message."""
        regex = re.compile(pattern)

        def find():
            return next((l for l in self.lines() if regex.search(l)), None)
        return wait_for(find, timeout, f"OBS log line /{pattern}/")
