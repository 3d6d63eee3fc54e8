"""A private X server, and finding, closing and photographing X windows.

Windows are closed the way a window manager does (WM_DELETE_WINDOW, by
tests/support/x11_close.c): OBS on Linux skips module unload on SIGTERM,
so only a window close runs a plug-in's unload code.
"""

import os
import select
import subprocess
import time
from dataclasses import dataclass

from .base import HarnessError, kill_group, start_child

REPO_ROOT = os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", ".."))
X11_CLOSE_SOURCE = os.path.join(REPO_ROOT, "tests", "support", "x11_close.c")


class Xvfb:
    """A private X server; `display` is like ":3" once started."""

    def __init__(self, width=1600, height=1000, depth=24, log_path=None):
        self.width = width
        self.height = height
        self.depth = depth
        self.log_path = log_path
        self.display = None
        self._proc = None
        self._log = None

    def start(self, timeout=20):
        # -displayfd lets Xvfb pick a free display number itself and write it
        # to the pipe once it accepts connections: no guessing, no polling.
        read_fd, write_fd = os.pipe()
        self._log = open(self.log_path or os.devnull, "wb")
        cmd = [
            "Xvfb", "-displayfd", str(write_fd),
            "-screen", "0", f"{self.width}x{self.height}x{self.depth}",
            "-nolisten", "tcp", "-noreset",
        ]
        try:
            self._proc = start_child(
                cmd, pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
                stdout=self._log, stderr=subprocess.STDOUT)
        finally:
            os.close(write_fd)
        data = b""
        deadline = time.monotonic() + timeout
        try:
            while not data.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise HarnessError(f"Xvfb did not start within {timeout} s")
                ready, _, _ = select.select([read_fd], [], [], left)
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        raise HarnessError(
                            f"Xvfb exited during start-up (code {self._proc.poll()})")
                    data += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_fd)
        self.display = ":" + data.decode().strip()
        return self

    def stop(self):
        kill_group(self._proc, grace=5)
        self._proc = None
        if self._log:
            self._log.close()
            self._log = None


def build_x11_close(out_dir, path=None):
    """Path of a runnable x11_close.

    Uses `path`, else $QM_X11_CLOSE (a build system may provide one), else
    compiles tests/support/x11_close.c into out_dir.
    """
    path = path or os.environ.get("QM_X11_CLOSE")
    if path:
        if not os.access(path, os.X_OK):
            raise HarnessError(f"x11_close helper {path} is not executable")
        return path
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, "x11_close")
    result = subprocess.run(
        ["cc", "-std=c11", "-O2", "-o", out, X11_CLOSE_SOURCE, "-lX11"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    if result.returncode != 0:
        raise HarnessError("cannot build x11_close (needs cc and libx11-dev):\n"
                           + result.stdout.decode(errors="replace"))
    return out


@dataclass
class X11Window:
    window_id: str
    pid: int
    title: str


def _x11_close(x11_close, display, prefix, pid, *flags):
    cmd = [x11_close, "-d", display, *flags]
    if pid is not None:
        cmd += ["-p", str(pid)]
    cmd.append(prefix)
    return subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=15)


def list_windows(x11_close, display, prefix="", pid=None):
    """Mapped top-level windows whose title starts with prefix."""
    result = _x11_close(x11_close, display, prefix, pid, "-l")
    if result.returncode not in (0, 1):
        raise HarnessError("x11_close -l failed: "
                           + result.stderr.decode(errors="replace"))
    windows = []
    for line in result.stdout.decode(errors="replace").splitlines():
        window_id, window_pid, title = (line.split(" ", 2) + ["", ""])[:3]
        windows.append(X11Window(window_id, int(window_pid), title))
    return windows


def close_windows(x11_close, display, prefix, pid=None):
    """Sends WM_DELETE_WINDOW to matching windows; True if any matched."""
    return _x11_close(x11_close, display, prefix, pid).returncode == 0


def screenshot(display, path, window="root"):
    """Saves a PNG of the X screen (or of one window id) to path."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    result = subprocess.run(
        ["import", "-display", display, "-window", window, path],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    if result.returncode != 0 or not os.path.exists(path):
        raise HarnessError(f"screenshot of {display} failed: "
                           + result.stdout.decode(errors="replace"))
    return path
