"""One OBS run: start in an isolated home, talk to it over obs-websocket,
quit it cleanly; its log."""

import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from collections import namedtuple

import websocket  # Debian package python3-websocket

from .base import HarnessError, free_tcp_port, kill_group, start_child
from .home import ObsHome, qt_window_geometry
from .xserver import screenshot, start_xvfb, x11_windows


def _sha256_b64(text):
    return base64.b64encode(hashlib.sha256(text.encode()).digest()).decode()


class ObsWebSocket:
    """Just enough of obs-websocket 5: Hello (op 0), Identify (1),
    Identified (2), then Request (6) and RequestResponse (7); Event (5)
    only on a connection made for events (requests skip them)."""

    # Event subscription bits of the Identify message.
    VENDOR_EVENTS = 1 << 9

    def __init__(self, port, timeout=10, password=None, events=0):
        self.port, self.timeout = port, timeout
        self._next_id = 0
        self._ws = websocket.create_connection(f"ws://127.0.0.1:{port}",
                                               timeout=timeout)
        try:
            challenge = self._receive_op(0).get("authentication")
            identify = {"rpcVersion": 1, "eventSubscriptions": events}
            if challenge:
                if not password:
                    raise HarnessError("obs-websocket asks for a password")
                identify["authentication"] = _sha256_b64(
                    _sha256_b64(password + challenge["salt"])
                    + challenge["challenge"])
            self._send(1, identify)
            self._receive_op(2)
        except BaseException:
            self._ws.close()
            raise

    def close(self):
        try:
            self._ws.close(timeout=2)
        except Exception:
            pass

    def _send(self, op, data):
        try:
            self._ws.send(json.dumps({"op": op, "d": data}))
        except (websocket.WebSocketException, OSError) as err:
            raise HarnessError(f"obs-websocket connection failed: {err}")

    def _receive_op(self, op):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            self._ws.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                message = json.loads(self._ws.recv() or "null")
            except (websocket.WebSocketException, OSError) as err:
                raise HarnessError(f"obs-websocket connection failed: {err}")
            if not message:
                raise HarnessError("obs-websocket closed the connection")
            if message.get("op") == op:
                return message.get("d", {})
        raise HarnessError(f"no obs-websocket message with op {op} "
                           f"within {self.timeout} s")

    def events(self, seconds):
        """(time.monotonic() of arrival, "d") of each event in the next
        seconds."""
        found, end = [], time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            self._ws.settimeout(left)
            try:
                message = json.loads(self._ws.recv() or "null")
            except websocket.WebSocketTimeoutException:
                break
            except (websocket.WebSocketException, OSError) as err:
                raise HarnessError(f"obs-websocket connection failed: {err}")
            if not message:
                raise HarnessError("obs-websocket closed the connection")
            if message.get("op") == 5:
                found.append((time.monotonic(), message.get("d", {})))
        return found

    def request(self, request_type, data=None):
        """responseData ({} if none); HarnessError when OBS reports the
        request as failed."""
        self._next_id += 1
        request_id = str(self._next_id)
        payload = {"requestType": request_type, "requestId": request_id}
        if data is not None:
            payload["requestData"] = data
        self._send(6, payload)
        while (response := self._receive_op(7)).get("requestId") != request_id:
            pass
        status = response.get("requestStatus", {})
        if not status.get("result"):
            raise HarnessError(f"{request_type} failed with code "
                               f"{status.get('code')}: {status.get('comment', '')}")
        return response.get("responseData") or {}

    def set_input_settings(self, input_name, settings):
        self.request("SetInputSettings", {"inputName": input_name,
                                          "inputSettings": settings,
                                          "overlay": True})

    def source_size(self, scene, source):
        """(width, height) of a source in a scene, in pixels."""
        item = self.request("GetSceneItemId", {"sceneName": scene,
                                               "sourceName": source})
        transform = self.request("GetSceneItemTransform", dict(
            item, sceneName=scene))["sceneItemTransform"]
        return transform["sourceWidth"], transform["sourceHeight"]

    def source_screenshot(self, source_name, path):
        """Writes a PNG of what the source renders to path."""
        encoded = self.request("GetSourceScreenshot", {
            "sourceName": source_name, "imageFormat": "png"})["imageData"]
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(encoded.split(",", 1)[1]))
        return path


# Title of OBS's main window: "OBS 29.0.2 (linux) - Profile: X - Scenes: Y".
MAIN_WINDOW_PREFIX = "OBS "
SCREEN = (1600, 1000)
# OBS starts every log line with a wall-clock time: "23:12:01.123: ".
LOG_TIME_PREFIX = re.compile(r"^\d{2}:\d{2}:\d{2}\.\d{3}: ")


class ObsLog:
    """This run's log: the file that was not in the logs folder before the
    start; save() copies it into the artifacts."""

    def __init__(self, artifacts_dir):
        self.artifacts_dir = artifacts_dir
        self.path = self._home = self.copy = None
        self._old = set()

    def watch(self, home):
        self._home = home
        self._old = set(home.log_files())

    def _current_path(self):
        if not self.path and self._home:
            new = [p for p in self._home.log_files() if p not in self._old]
            self.path = new[-1] if new else None
        return self.path

    def save(self):
        if self._current_path() and os.path.exists(self.path):
            self.copy = os.path.join(self.artifacts_dir, "obs.log")
            shutil.copyfile(self.path, self.copy)

    def text(self, path=None):
        for path in (path, self._current_path(), self.copy):
            if path and os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    return f.read()
        return ""

    def lines(self, containing=None):
        """Messages without the time prefix; only those holding
        `containing` (such as a plug-in's "[name]" tag) when given."""
        lines = [LOG_TIME_PREFIX.sub("", l, count=1)
                 for l in self.text().splitlines()]
        return [l for l in lines if containing is None or containing in l]

    def tail(self, count=25):
        """The last lines; OBS's stdout while there is no log file yet."""
        lines = (self.text().splitlines() or self.text(os.path.join(
            self.artifacts_dir, "obs-stdout.log")).splitlines())
        return "\n".join(lines[-count:])


def obs_host(obs_binary, env):
    """The OBS binary and the folder to start it in (None: any). An unpacked
    OBS (bin/obs beside lib/, as /opt/obs-studio-30) starts from bin/ with
    lib/ on LD_LIBRARY_PATH."""
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


# clean: exited with 0 on its own after the window close; detail: what
# happened, for failure messages.
QuitResult = namedtuple("QuitResult", "clean detail")


class ObsSession:
    """OBS in an isolated home (a temporary one unless given), on a private
    Xvfb unless a display is given. close() (or leaving a with-block)
    always stops OBS and Xvfb and copies OBS's log into the artifacts."""

    def __init__(self, artifacts_dir, scenes, plugin_tree=None, home=None,
                 display=None, profile="Quillmarch", collection="Quillmarch",
                 start_timeout=60, obs_binary="obs", keep_collection=False,
                 websocket_password=None, plugin_config=None):
        self.artifacts_dir = os.path.abspath(artifacts_dir)
        self.scenes, self.plugin_tree, self._home_root = scenes, plugin_tree, home
        self.display, self.profile, self.collection = display, profile, collection
        self.start_timeout, self.obs_binary = start_timeout, obs_binary
        self.keep_collection, self.plugin_config = keep_collection, plugin_config
        self.websocket_password = websocket_password
        self.log = ObsLog(self.artifacts_dir)
        self.workdir = self.home = self.xvfb = self.proc = self.ws = None
        self.quit_result = self._stdout = None

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
        """Returns once obs-websocket answers and the main window is
        mapped. Call close() also when this fails."""
        os.makedirs(self.artifacts_dir, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="qm-obs-")
        geometry = None
        if not self.display:
            self.xvfb, self.display = start_xvfb(
                *SCREEN, os.path.join(self.artifacts_dir, "xvfb.log"))
            # No window manager: the window fills the screen.
            geometry = qt_window_geometry(*SCREEN)

        port = free_tcp_port()
        self.home = ObsHome(self._home_root or os.path.join(self.workdir, "home"))
        self.home.write(self.scenes, self.profile, self.collection, port,
                        geometry, self.websocket_password, self.plugin_config,
                        self.keep_collection)
        if self.plugin_tree:
            self.home.install_plugins(self.plugin_tree)
        self.log.watch(self.home)

        env = dict(os.environ, HOME=self.home.root, DISPLAY=self.display,
                   LIBGL_ALWAYS_SOFTWARE="1",
                   # A window close by X11 message needs an X11 window, also
                   # inside a Wayland session.
                   QT_QPA_PLATFORM="xcb",
                   XDG_CONFIG_HOME=os.path.join(self.home.root, ".config"))
        for var in ("WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "SESSION_MANAGER"):
            env.pop(var, None)
        binary, cwd = obs_host(self.obs_binary, env)
        cmd = [binary, "--multi", "--disable-updater",
               "--disable-missing-files-check", "--profile", self.profile,
               "--collection", self.collection, "--scene", next(iter(self.scenes))]
        if cwd:
            # OBS 30 asks after an unclean exit whether to start in safe
            # mode; a test run never wants that question.
            cmd.append("--disable-shutdown-check")
        self._stdout = open(os.path.join(self.artifacts_dir, "obs-stdout.log"), "wb")
        self.proc = start_child(cmd, env=env, cwd=cwd or self.home.root,
                                stdin=subprocess.DEVNULL, stdout=self._stdout,
                                stderr=subprocess.STDOUT)

        deadline = time.monotonic() + self.start_timeout
        errors = []

        def connect():
            try:
                return ObsWebSocket(port, password=self.websocket_password)
            except Exception as err:  # refused, or a handshake error
                errors.append(err)
                return None
        self.ws = self._while_starting(deadline, connect)
        if not self.ws:
            raise HarnessError(f"obs-websocket on port {port} did not answer "
                               f"within {self.start_timeout} s ({errors[-1:]}); "
                               f"log tail:\n{self.log.tail()}")
        def ready():
            try:  # obs-websocket answers 207 until OBS has finished loading
                return self.main_windows() and self.ws.request("GetSceneList")
            except HarnessError:
                return None
        if not self._while_starting(deadline, ready):
            raise HarnessError("OBS did not show its main window and finish "
                               f"loading within {self.start_timeout} s")
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

    def main_windows(self, close=False):
        return x11_windows(self.display, MAIN_WINDOW_PREFIX, self.proc.pid, close)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def quit(self, timeout=30):
        """Closes OBS's main window, and what else it shows when it takes
        long (a modal window blocks the close); kills OBS after timeout."""
        if self.quit_result:
            return self.quit_result
        if self.ws:
            self.ws.close()
            self.ws = None
        if not self.running():
            code = self.proc.poll() if self.proc else None
            self.quit_result = QuitResult(
                False, f"OBS had already exited with code {code}")
            return self.quit_result

        start = time.monotonic()
        sent = bool(self.main_windows(close=True))
        notes = [] if sent else ["main window not found"]
        while True:
            left = start + timeout - time.monotonic()
            try:
                code = self.proc.wait(timeout=max(0.1, min(8, left)))
                notes.append(f"exited with code {code} after "
                             f"{time.monotonic() - start:.1f} s")
                break
            except subprocess.TimeoutExpired:
                pass
            if left <= 8:
                notes.append(f"still running {timeout} s after the close "
                             "request; killed")
                kill_group(self.proc, grace=3)
                code = None
                break
            # Something modal may be in the way: close whatever else OBS
            # shows, then ask the main window again.
            for w in x11_windows(self.display, "", self.proc.pid):
                if not w.title.startswith(MAIN_WINDOW_PREFIX):
                    notes.append(f"closed blocking window '{w.title}'")
                    x11_windows(self.display, w.title, self.proc.pid, True)
            self.main_windows(close=True)
        self.quit_result = QuitResult(code == 0 and sent, "; ".join(notes))
        return self.quit_result

    def close(self):
        """Stops everything this session started; safe to call repeatedly."""
        try:
            if self.running() and self.quit_result is None:
                self.quit()
        finally:
            if self.ws:
                self.ws.close()
                self.ws = None
            kill_group(self.proc, grace=3)
            kill_group(self.xvfb, grace=5)
            if self._stdout:
                self._stdout.close()
                self._stdout = None
            # Before a temporary home goes away with workdir.
            self.log.save()
            if self.workdir:
                shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def read_plugin_json(self, module, name):
        """A module's JSON file as it is now (None while missing or half
        written); only before close()."""
        try:
            with open(self.home.plugin_config_path(module, name),
                      encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def screenshot(self, name, window="root"):
        """PNG of the whole X screen (or a window id) in the artifacts."""
        return screenshot(self.display, os.path.join(self.artifacts_dir, name),
                          window)

    def main_window_screenshot(self, name):
        windows = self.main_windows()
        if not windows:
            raise HarnessError("no OBS main window to take a screenshot of")
        return self.screenshot(name, windows[0].window_id)
