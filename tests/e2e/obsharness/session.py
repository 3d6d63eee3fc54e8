"""One OBS run: start in an isolated home, talk to it, quit it cleanly."""

import json
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass

from .base import HarnessError, free_tcp_port, kill_group, start_child
from .home import ObsHome, qt_window_geometry
from .obslog import ObsLog
from .obsws import ObsWebSocket
from .xserver import (Xvfb, build_x11_close, close_windows, list_windows,
                      screenshot)

# Title of OBS's main window: "OBS 29.0.2 (linux) - Profile: X - Scenes: Y".
MAIN_WINDOW_PREFIX = "OBS "


def obs_host(obs_binary, env):
    """The OBS to start: Debian's "obs" on the PATH, or an OBS unpacked in a
    folder of its own (bin/obs beside lib/, such as /opt/obs-studio-30),
    which needs its lib/ on LD_LIBRARY_PATH and starts from its bin/
    folder. Returns the binary and the folder to start in (None: any)."""
    binary = shutil.which(obs_binary)
    if not binary:
        raise HarnessError(f"no OBS binary {obs_binary}")
    bin_dir = os.path.dirname(os.path.realpath(binary))
    lib_dir = os.path.join(os.path.dirname(bin_dir), "lib")
    if not os.path.isdir(os.path.join(lib_dir, "obs-plugins")):
        return binary, None
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        p for p in (lib_dir, env.get("LD_LIBRARY_PATH")) if p)
    return binary, bin_dir


@dataclass
class QuitResult:
    clean: bool          # exited on its own after the window close
    returncode: int      # exit code, or -signal when it had to be killed
    seconds: float       # time from the close request to exit
    detail: str          # what happened, for failure messages


class ObsSession:
    """One OBS run in an isolated home, normally on a private Xvfb.

        with ObsSession(artifacts, scenes={"Scene": [Source(...)]},
                        plugin_tree=plugins) as obs:
            obs.ws.get_input_settings("Score")
            obs.screenshot("obs-window.png")
            result = obs.quit()
        text = obs.log.text()

    Leaving the with-block (or close()) always stops OBS and Xvfb, killing
    them when they do not stop in time, and copies OBS's log into the
    artifacts. home, when given, is kept between runs; without it the
    session works in a temporary folder.
    """

    def __init__(self, artifacts_dir, scenes, plugin_tree=None, home=None,
                 display=None, x11_close=None, profile="Quillmarch",
                 collection="Quillmarch", canvas=(1280, 720),
                 screen=(1600, 1000), start_timeout=60, quit_timeout=30,
                 obs_binary="obs", keep_collection=False,
                 websocket_password=None, plugin_config=None):
        self.artifacts_dir = os.path.abspath(artifacts_dir)
        self.scenes = scenes
        self.plugin_tree = plugin_tree
        self._home_root = home
        self._display = display
        self._x11_close_path = x11_close
        self.profile = profile
        self.collection = collection
        self.canvas = canvas
        self.screen = screen
        self.start_timeout = start_timeout
        self.quit_timeout = quit_timeout
        self.obs_binary = obs_binary
        self.keep_collection = keep_collection
        self.websocket_password = websocket_password
        self.plugin_config = plugin_config

        self.log = ObsLog(self.artifacts_dir)
        self.workdir = None
        self.home = None
        self.xvfb = None
        self.display = None
        self.x11_close = None
        self.proc = None
        self.ws = None
        self.quit_result = None
        self._stdout = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        """Starts OBS and returns once obs-websocket answers and the main
        window is mapped. Call close() also when this fails."""
        os.makedirs(self.artifacts_dir, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="qm-obs-")
        self.x11_close = build_x11_close(os.path.join(self.workdir, "bin"),
                                         self._x11_close_path)
        geometry = None
        if self._display:
            self.display = self._display
        else:
            self.xvfb = Xvfb(*self.screen, log_path=os.path.join(
                self.artifacts_dir, "xvfb.log")).start()
            self.display = self.xvfb.display
            # No window manager: size the window to the whole screen.
            geometry = qt_window_geometry(0, 0, *self.screen, self.screen[0])

        port = free_tcp_port()
        self.home = ObsHome(self._home_root or os.path.join(self.workdir, "home"),
                            self.scenes, self.profile, self.collection, port,
                            self.canvas, geometry, self.websocket_password,
                            self.plugin_config)
        self.home.write(keep_collection=self.keep_collection)
        if self.plugin_tree:
            self.home.install_plugins(self.plugin_tree)
        self.log.watch(self.home)

        env = dict(os.environ)
        env.update({
            "HOME": self.home.root,
            "DISPLAY": self.display,
            "LIBGL_ALWAYS_SOFTWARE": "1",
            # Closing the window by X11 message needs an X11 window, also
            # inside a Wayland session.
            "QT_QPA_PLATFORM": "xcb",
            "XDG_CONFIG_HOME": os.path.join(self.home.root, ".config"),
        })
        for var in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "SESSION_MANAGER"):
            env.pop(var, None)
        binary, cwd = obs_host(self.obs_binary, env)
        cmd = [binary, "--multi", "--disable-updater",
               "--disable-missing-files-check",
               "--profile", self.profile, "--collection", self.collection,
               "--scene", next(iter(self.scenes))]
        if cwd:
            # OBS 30 asks after an unclean exit whether to start in safe
            # mode; a test run never wants that question.
            cmd.append("--disable-shutdown-check")
        self._stdout = open(os.path.join(self.artifacts_dir, "obs-stdout.log"), "wb")
        self.proc = start_child(cmd, env=env, cwd=cwd or self.home.root,
                                stdin=subprocess.DEVNULL, stdout=self._stdout,
                                stderr=subprocess.STDOUT)

        deadline = time.monotonic() + self.start_timeout
        last_error = None

        def connect():
            nonlocal last_error
            try:
                return ObsWebSocket(port, timeout=10,
                                    password=self.websocket_password)
            except Exception as err:  # refused, or a handshake error
                last_error = err
                return None
        self.ws = self._while_starting(deadline, connect)
        if not self.ws:
            raise HarnessError(f"obs-websocket on port {port} did not answer "
                               f"within {self.start_timeout} s ({last_error}); "
                               f"log tail:\n{self.log.tail()}")
        if not self._while_starting(deadline, self.main_windows):
            raise HarnessError("OBS main window did not appear within "
                               f"{self.start_timeout} s")
        return self

    def _while_starting(self, deadline, attempt):
        """attempt()'s first truthy value before deadline, else None; fails
        at once when OBS exits."""
        while time.monotonic() < deadline:
            code = self.proc.poll()
            if code is not None:
                raise HarnessError(f"OBS exited with code {code} while "
                                   f"starting up; log tail:\n{self.log.tail()}")
            value = attempt()
            if value:
                return value
            time.sleep(0.3)
        return None

    def main_windows(self):
        return list_windows(self.x11_close, self.display, MAIN_WINDOW_PREFIX,
                            pid=self.proc.pid)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def _close_windows(self, prefix):
        return close_windows(self.x11_close, self.display, prefix,
                             pid=self.proc.pid)

    def quit(self, timeout=None):
        """Closes OBS's main window and waits for OBS to exit.

        Dialogs that block the close (a modal window ignores it) get closed
        too. When OBS is still running after `timeout` seconds it is killed
        and the result says clean=False.
        """
        if self.quit_result:
            return self.quit_result
        timeout = timeout or self.quit_timeout
        if self.ws:
            self.ws.close()
            self.ws = None
        if not self.running():
            code = self.proc.poll() if self.proc else None
            self.quit_result = QuitResult(False, code, 0.0,
                                          f"OBS had already exited with code {code}")
            return self.quit_result

        start = time.monotonic()
        notes = []
        sent = self._close_windows(MAIN_WINDOW_PREFIX)
        if not sent:
            notes.append("main window not found")
        code = None
        next_nudge = start + 8
        while code is None and time.monotonic() - start < timeout:
            try:
                code = self.proc.wait(timeout=0.25)
            except subprocess.TimeoutExpired:
                pass
            if code is None and time.monotonic() >= next_nudge:
                # Something modal may be in the way: close whatever else
                # OBS shows, then ask the main window again.
                for w in list_windows(self.x11_close, self.display, "",
                                      pid=self.proc.pid):
                    if not w.title.startswith(MAIN_WINDOW_PREFIX):
                        notes.append(f"closed blocking window '{w.title}'")
                        self._close_windows(w.title)
                self._close_windows(MAIN_WINDOW_PREFIX)
                next_nudge = time.monotonic() + 8

        seconds = time.monotonic() - start
        if code is None:
            notes.append(f"still running {timeout} s after the close request; killed")
            kill_group(self.proc, grace=3)
            self.quit_result = QuitResult(False, self.proc.returncode, seconds,
                                          "; ".join(notes))
        else:
            notes.append(f"exited with code {code} after {seconds:.1f} s")
            self.quit_result = QuitResult(code == 0 and sent, code, seconds,
                                          "; ".join(notes))
        return self.quit_result

    def close(self):
        """Stops everything this session started; safe to call repeatedly."""
        try:
            if self.running() and self.quit_result is None and self.x11_close:
                self.quit()
        finally:
            if self.ws:
                self.ws.close()
                self.ws = None
            kill_group(self.proc, grace=3)
            if self.xvfb:
                self.xvfb.stop()
                self.xvfb = None
            if self._stdout:
                self._stdout.close()
                self._stdout = None
            # Copy the log before a temporary home goes away with workdir.
            self.log.save()
            if self.workdir:
                shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def read_plugin_json(self, module, name):
        """A module's JSON file as it is now (None while it does not exist
        or is half written). Only while the session's home exists, that is
        before close()."""
        try:
            with open(self.home.plugin_config_path(module, name),
                      encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def screenshot(self, name, window="root"):
        """PNG of the whole X screen (or a window id) in the artifacts dir."""
        return screenshot(self.display, os.path.join(self.artifacts_dir, name),
                          window)

    def main_window_screenshot(self, name):
        windows = self.main_windows()
        if not windows:
            raise HarnessError("no OBS main window to take a screenshot of")
        return self.screenshot(name, windows[0].window_id)
