#!/usr/bin/python3
"""Run a real OBS Studio under Xvfb and drive it over obs-websocket.

End-to-end tests use this module to:

* start a private X server (Xvfb) on a display nobody else uses;
* lay out an isolated OBS home: global.ini without first-run wizards, a
  profile, a scene collection built from a small Python description, the
  obs-websocket server on a free port without authentication, and a copy of
  the plug-in tree under ~/.config/obs-studio/plugins;
* start `obs`, wait until its websocket server answers and its main window
  is mapped;
* talk to OBS with a minimal obs-websocket v5 client;
* take screenshots of the X screen;
* quit OBS the way a user does (closing the main window), because OBS on
  Linux dies on SIGTERM without unloading its modules, so only a window
  close runs module unload code;
* expose OBS's own log so tests can assert on it;
* seed a plug-in's own configuration files before OBS starts and read
  them back while it runs;
* run helper programs beside OBS (simulators: ToolProcess), talk to
  line-based JSON services (JsonLineClient), call plain-HTTP admin routes
  (http_json);
* read a text source's screenshot with OCR and report groups of checks
  (CheckRun).

Every wait is bounded: a hung OBS or X server is killed and reported, never
waited on forever.

Run with Debian's /usr/bin/python3 (it has python3-websocket); other Python
installs on the machine may lack the websocket-client module.

The module doubles as a small command line tool (`demo` mode, the plug-in
alone) used by scripts/run-obs --no-simulators; see `main()`. Its demo
helpers (demo_session and the rest) also serve demo_live.py.
"""

import argparse
import base64
import ctypes
import hashlib
import json
import os
import re
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from dataclasses import dataclass, field

try:
    import websocket  # Debian package python3-websocket
except ImportError:  # pragma: no cover - reported when a client is made
    websocket = None

REPO_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
X11_CLOSE_SOURCE = os.path.join(REPO_ROOT, "tests", "support", "x11_close.c")

# Title of OBS's main window: "OBS 29.0.2 (linux) - Profile: X - Scenes: Y".
MAIN_WINDOW_PREFIX = "OBS "

# OBS prefixes every log line with a wall-clock time: "23:12:01.123: ".
LOG_TIME_PREFIX = re.compile(r"^\d{2}:\d{2}:\d{2}\.\d{3}: ")


class HarnessError(Exception):
    """Something around OBS failed: start-up, a timeout, a dead process."""


class RequestFailed(HarnessError):
    """obs-websocket answered a request with a failure status."""

    def __init__(self, request_type, code, comment):
        super().__init__(f"{request_type} failed with code {code}: {comment}")
        self.request_type = request_type
        self.code = code
        self.comment = comment


def wait_for(predicate, timeout, what, interval=0.2):
    """Polls predicate() until it returns a truthy value, which is returned.

    Raises HarnessError naming `what` once `timeout` seconds have passed.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def free_tcp_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _die_with_parent():
    """Child-side setup: own session, and SIGKILL when the test process dies.

    A test runner that kills the Python process outright must not leave an
    OBS or Xvfb behind.
    """
    os.setsid()
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except OSError:
        pass


def _kill_group(proc, grace):
    """Stops a process started with _die_with_parent and its children."""
    if proc is None or proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


# --------------------------------------------------------------------------
# X server and X helpers


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
            self._proc = subprocess.Popen(
                cmd, pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
                stdout=self._log, stderr=subprocess.STDOUT,
                preexec_fn=_die_with_parent)
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
        _kill_group(self._proc, grace=5)
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
        ["cc", "-std=c11", "-O2", "-o", out,
         X11_CLOSE_SOURCE, "-lX11"],
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


def list_windows(x11_close, display, prefix="", pid=None):
    """Mapped top-level windows whose title starts with prefix."""
    cmd = [x11_close, "-d", display, "-l"]
    if pid is not None:
        cmd += ["-p", str(pid)]
    cmd.append(prefix)
    result = subprocess.run(cmd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=15)
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
    cmd = [x11_close, "-d", display]
    if pid is not None:
        cmd += ["-p", str(pid)]
    cmd.append(prefix)
    result = subprocess.run(cmd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=15)
    return result.returncode == 0


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


# --------------------------------------------------------------------------
# OBS configuration


@dataclass
class Source:
    """One input placed in a scene.

    kind is the OBS source id ("text_ft2_source_v2", "quillmarch_text", ...);
    settings are the values stored in the scene collection, anything not
    given falls back to the source's defaults.
    """

    kind: str
    name: str
    settings: dict = field(default_factory=dict)
    position: tuple = (0.0, 0.0)
    scale: tuple = (1.0, 1.0)
    visible: bool = True


def _source_json(kind, name, settings, hotkeys=None):
    # Field set and values as OBS 29 writes them itself.
    return {
        "balance": 0.5,
        "deinterlace_field_order": 0,
        "deinterlace_mode": 0,
        "enabled": True,
        "flags": 0,
        "hotkeys": hotkeys or {},
        "id": kind,
        "mixers": 0,
        "monitoring_type": 0,
        "muted": False,
        "name": name,
        "prev_ver": 486539266,  # 29.0.2, avoids upgrade paths on load
        "private_settings": {},
        "push-to-mute": False,
        "push-to-mute-delay": 0,
        "push-to-talk": False,
        "push-to-talk-delay": 0,
        "settings": settings,
        "sync": 0,
        "versioned_id": kind,
        "volume": 1.0,
    }


def _scene_item_json(item_id, source):
    return {
        "align": 5,  # top left
        "blend_method": "default",
        "blend_type": "normal",
        "bounds": {"x": 0.0, "y": 0.0},
        "bounds_align": 0,
        "bounds_type": 0,
        "crop_bottom": 0,
        "crop_left": 0,
        "crop_right": 0,
        "crop_top": 0,
        "group_item_backup": False,
        "hide_transition": {"duration": 0},
        "id": item_id,
        "locked": False,
        "name": source.name,
        "pos": {"x": float(source.position[0]), "y": float(source.position[1])},
        "private_settings": {},
        "rot": 0.0,
        "scale": {"x": float(source.scale[0]), "y": float(source.scale[1])},
        "scale_filter": "disable",
        "show_transition": {"duration": 0},
        "visible": source.visible,
    }


def scene_collection(name, scenes):
    """OBS scene collection JSON (as a dict).

    scenes maps scene name -> list of Source, bottom-most first (the order
    OBS stores scene items in). The first scene is the current one.
    """
    if not scenes:
        raise ValueError("a scene collection needs at least one scene")
    sources = []
    seen = set()
    scene_sources = []
    for scene_name, items in scenes.items():
        scene_items = []
        for index, src in enumerate(items, start=1):
            if src.name not in seen:
                seen.add(src.name)
                sources.append(_source_json(src.kind, src.name, dict(src.settings)))
            scene_items.append(_scene_item_json(index, src))
        hotkeys = {"OBSBasic.SelectScene": []}
        scene_sources.append(_source_json(
            "scene", scene_name,
            {"custom_size": False, "id_counter": len(items), "items": scene_items},
            hotkeys))
    first = next(iter(scenes))
    return {
        "current_program_scene": first,
        "current_scene": first,
        "current_transition": "Fade",
        "groups": [],
        "modules": {},
        "name": name,
        "preview_locked": False,
        "quick_transitions": [],
        "saved_projectors": [],
        "scaling_enabled": False,
        "scaling_level": 0,
        "scaling_off_x": 0.0,
        "scaling_off_y": 0.0,
        "scene_order": [{"name": n} for n in scenes],
        "sources": sources + scene_sources,
        "transition_duration": 300,
        "transitions": [],
    }


def qt_window_geometry(x, y, width, height, screen_width):
    """A QWidget::saveGeometry() blob (Qt 5.15 layout) for a plain window.

    OBS restores its main window from this; without a window manager that
    is the only way to get a window larger than Qt's default.
    """
    rect = (x, y, x + width - 1, y + height - 1)
    blob = struct.pack(">IHH4i4iiBBi4i", 0x1D9D0CB, 3, 0, *rect, *rect,
                       0, 0, 0, screen_width, *rect)
    return base64.b64encode(blob).decode()


def _write_ini(path, sections):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        for section, values in sections.items():
            f.write(f"[{section}]\n")
            for key, value in values.items():
                if isinstance(value, bool):
                    value = "true" if value else "false"
                f.write(f"{key}={value}\n")
            f.write("\n")


class ObsHome:
    """An isolated $HOME holding just enough OBS configuration.

    OBS 29 keeps obs-websocket's settings in global.ini ([OBSWebSocket]);
    FirstLoad=false stops it from generating a password on first start.
    FirstRun=false keeps the auto-configuration wizard away; while that
    modal wizard is open OBS ignores a close request on its main window.
    """

    def __init__(self, root, scenes, profile="Quillmarch",
                 collection="Quillmarch", websocket_port=None,
                 canvas=(1280, 720), window_geometry=None,
                 websocket_password=None, plugin_config=None):
        self.root = os.path.abspath(root)
        self.config_dir = os.path.join(self.root, ".config", "obs-studio")
        self.scenes = scenes
        self.profile = profile
        self.collection = collection
        self.websocket_port = websocket_port
        self.websocket_password = websocket_password
        self.canvas = canvas
        self.window_geometry = window_geometry
        # {module name: {file name: content}}: files a plug-in finds in its
        # OBS configuration folder on its first load.
        self.plugin_config = plugin_config or {}

    @property
    def logs_dir(self):
        return os.path.join(self.config_dir, "logs")

    @property
    def plugins_dir(self):
        return os.path.join(self.config_dir, "plugins")

    def plugin_config_path(self, module, name=""):
        """Where OBS keeps a module's own files (obs_module_config_path)."""
        return os.path.join(self.config_dir, "plugin_config", module, name)

    @property
    def collection_path(self):
        return os.path.join(self.config_dir, "basic", "scenes",
                            self.collection + ".json")

    def write(self, keep_collection=False):
        """Writes global.ini, the profile and the scene collection.

        keep_collection leaves an existing collection alone, so a persistent
        demo home keeps what the user changed in OBS.
        """
        basic_window = {"PreviewEnabled": True, "DocksLocked": False}
        if self.window_geometry:
            basic_window["geometry"] = self.window_geometry
        _write_ini(os.path.join(self.config_dir, "global.ini"), {
            "General": {
                "Pre19Defaults": False,
                "Pre21Defaults": False,
                "Pre23Defaults": False,
                "Pre24.1Defaults": False,
                "FirstRun": False,
                "LastVersion": 486539266,
                "EnableAutoUpdates": False,
            },
            "Basic": {
                "Profile": self.profile,
                "ProfileDir": self.profile,
                "SceneCollection": self.collection,
                "SceneCollectionFile": self.collection,
            },
            "BasicWindow": basic_window,
            "OBSWebSocket": {
                "FirstLoad": False,
                "ServerEnabled": self.websocket_port is not None,
                "ServerPort": self.websocket_port or 4455,
                "AlertsEnabled": False,
                "AuthRequired": bool(self.websocket_password),
                "ServerPassword": self.websocket_password or "",
            },
        })
        width, height = self.canvas
        _write_ini(os.path.join(self.config_dir, "basic", "profiles",
                                self.profile, "basic.ini"), {
            "General": {"Name": self.profile},
            "Video": {
                "BaseCX": width, "BaseCY": height,
                "OutputCX": width, "OutputCY": height,
                "FPSType": 0, "FPSCommon": 30,
            },
            "SimpleOutput": {"FilePath": os.path.join(self.root, "recordings")},
        })
        if not (keep_collection and os.path.exists(self.collection_path)):
            os.makedirs(os.path.dirname(self.collection_path), exist_ok=True)
            with open(self.collection_path, "w", encoding="utf-8") as f:
                json.dump(scene_collection(self.collection, self.scenes), f,
                          indent=4)
        self.write_plugin_config()
        return self

    def write_plugin_config(self):
        """Writes the files given as plugin_config. A dict or list is stored
        as JSON, str and bytes as they are."""
        for module, files in self.plugin_config.items():
            for name, content in files.items():
                path = self.plugin_config_path(module, name)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                if isinstance(content, (dict, list)):
                    content = json.dumps(content, indent=2)
                if isinstance(content, str):
                    content = content.encode("utf-8")
                with open(path, "wb") as f:
                    f.write(content)

    def install_plugins(self, plugin_tree):
        """Copies plugin_tree (holding NAME/bin/64bit/NAME.so and
        NAME/data/...) into the per-user OBS plug-in directory."""
        if not os.path.isdir(plugin_tree):
            raise HarnessError(f"plug-in directory {plugin_tree} does not exist")
        os.makedirs(self.plugins_dir, exist_ok=True)
        for name in os.listdir(plugin_tree):
            # Replace, not merge: files left from an older build must not
            # linger in a home that is kept between runs.
            target = os.path.join(self.plugins_dir, name)
            if os.path.isdir(target) and not os.path.islink(target):
                shutil.rmtree(target)
            elif os.path.lexists(target):
                os.remove(target)
            source = os.path.join(plugin_tree, name)
            if os.path.isdir(source):
                shutil.copytree(source, target)
            else:
                shutil.copy2(source, target)

    def log_files(self):
        try:
            names = [n for n in os.listdir(self.logs_dir) if n.endswith(".txt")]
        except FileNotFoundError:
            return []
        return sorted(os.path.join(self.logs_dir, n) for n in names)


# --------------------------------------------------------------------------
# obs-websocket v5 client


class ObsWebSocket:
    """Just enough of the obs-websocket 5 protocol for tests.

    Hello (op 0) -> Identify (op 1) -> Identified (op 2), then Request
    (op 6) / RequestResponse (op 7). Events are not subscribed to.
    """

    def __init__(self, port, host="127.0.0.1", timeout=10, password=None):
        if websocket is None:
            raise HarnessError("python module 'websocket' missing: run with "
                               "/usr/bin/python3 and install python3-websocket")
        self.timeout = timeout
        self._next_id = 0
        self._ws = websocket.create_connection(f"ws://{host}:{port}",
                                               timeout=timeout)
        try:
            hello = self._receive_op(0)
            identify = {"rpcVersion": 1, "eventSubscriptions": 0}
            challenge = hello.get("authentication")
            if challenge:
                if not password:
                    raise HarnessError("obs-websocket asks for a password")
                identify["authentication"] = self.auth_string(
                    password, challenge["salt"], challenge["challenge"])
            self._send(1, identify)
            self.rpc_version = self._receive_op(2)["negotiatedRpcVersion"]
        except BaseException:
            self._ws.close()
            raise

    @staticmethod
    def auth_string(password, salt, challenge):
        """obs-websocket 5 authentication: base64(sha256(base64(sha256(
        password + salt)) + challenge))."""
        secret = base64.b64encode(
            hashlib.sha256((password + salt).encode()).digest()).decode()
        return base64.b64encode(
            hashlib.sha256((secret + challenge).encode()).digest()).decode()

    def close(self):
        try:
            self._ws.close(timeout=2)
        except Exception:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _send(self, op, data):
        self._ws.send(json.dumps({"op": op, "d": data}))

    def _receive_op(self, op, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError(f"no obs-websocket message with op {op} "
                                   f"within {timeout or self.timeout} s")
            self._ws.settimeout(left)
            try:
                raw = self._ws.recv()
            except websocket.WebSocketTimeoutException:
                continue
            except (websocket.WebSocketException, OSError) as err:
                raise HarnessError(f"obs-websocket connection failed: {err}")
            if not raw:
                raise HarnessError("obs-websocket closed the connection")
            message = json.loads(raw)
            if message.get("op") == op:
                return message.get("d", {})

    def request(self, request_type, data=None, timeout=None):
        """Sends one request and returns its responseData ({} if none).

        Raises RequestFailed when OBS reports the request as failed.
        """
        self._next_id += 1
        request_id = str(self._next_id)
        payload = {"requestType": request_type, "requestId": request_id}
        if data is not None:
            payload["requestData"] = data
        try:
            self._send(6, payload)
        except (websocket.WebSocketException, OSError) as err:
            raise HarnessError(f"obs-websocket connection failed: {err}")
        while True:
            response = self._receive_op(7, timeout)
            if response.get("requestId") == request_id:
                break
        status = response.get("requestStatus", {})
        if not status.get("result"):
            raise RequestFailed(request_type, status.get("code"),
                                status.get("comment", ""))
        return response.get("responseData") or {}

    # Convenience wrappers for the requests tests use most.

    def get_version(self):
        return self.request("GetVersion")

    def input_kinds(self):
        return self.request("GetInputKindList",
                            {"unversioned": False})["inputKinds"]

    def get_input_settings(self, input_name):
        """{"inputKind": ..., "inputSettings": {...}}; the settings hold only
        values that differ from the source's defaults."""
        return self.request("GetInputSettings", {"inputName": input_name})

    def get_input_default_settings(self, input_kind):
        return self.request("GetInputDefaultSettings",
                            {"inputKind": input_kind})["defaultInputSettings"]

    def set_input_settings(self, input_name, settings, overlay=True):
        self.request("SetInputSettings", {"inputName": input_name,
                                          "inputSettings": settings,
                                          "overlay": overlay})

    def scene_items(self, scene_name):
        return self.request("GetSceneItemList",
                            {"sceneName": scene_name})["sceneItems"]

    def scene_item_id(self, scene_name, source_name):
        return self.request("GetSceneItemId", {
            "sceneName": scene_name, "sourceName": source_name})["sceneItemId"]

    def scene_item_transform(self, scene_name, scene_item_id):
        return self.request("GetSceneItemTransform", {
            "sceneName": scene_name,
            "sceneItemId": scene_item_id})["sceneItemTransform"]

    def source_size(self, scene_name, scene_item_id):
        """(sourceWidth, sourceHeight) of a scene item, in pixels."""
        transform = self.scene_item_transform(scene_name, scene_item_id)
        return transform["sourceWidth"], transform["sourceHeight"]

    def source_screenshot(self, source_name, path=None, image_format="png",
                          width=None, height=None):
        """PNG (or other format) bytes of what the source renders; written
        to path when given."""
        data = {"sourceName": source_name, "imageFormat": image_format}
        if width:
            data["imageWidth"] = width
        if height:
            data["imageHeight"] = height
        encoded = self.request("GetSourceScreenshot", data)["imageData"]
        image = base64.b64decode(encoded.split(",", 1)[1])
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            with open(path, "wb") as f:
                f.write(image)
        return image


# --------------------------------------------------------------------------
# OBS process


@dataclass
class QuitResult:
    clean: bool          # exited on its own after the window close
    returncode: int      # exit code, or -signal when it had to be killed
    seconds: float       # time from the close request to exit
    detail: str          # what happened, for failure messages


def strip_log_time(line):
    return LOG_TIME_PREFIX.sub("", line, count=1)


class ObsSession:
    """One OBS run in an isolated home, normally on a private Xvfb.

        with ObsSession(artifacts, scenes={"Scene": [Source(...)]},
                        plugin_tree=plugins) as obs:
            obs.ws.get_input_settings("Score")
            obs.screenshot("obs-window.png")
            result = obs.quit()
        text = obs.log_text()

    Leaving the with-block always stops OBS and Xvfb, killing them when
    they do not stop in time, and copies OBS's log into the artifacts.
    """

    def __init__(self, artifacts_dir, scenes, plugin_tree=None, home=None,
                 display=None, x11_close=None, profile="Quillmarch",
                 collection="Quillmarch", canvas=(1280, 720),
                 screen=(1600, 1000), start_timeout=60, quit_timeout=30,
                 obs_binary="obs", extra_args=(), keep_collection=False,
                 websocket_enabled=True, websocket_password=None,
                 plugin_config=None):
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
        self.extra_args = list(extra_args)
        self.keep_collection = keep_collection
        self.websocket_enabled = websocket_enabled
        self.websocket_password = websocket_password
        self.plugin_config = plugin_config

        self.workdir = None
        self.home = None
        self.xvfb = None
        self.display = None
        self.x11_close = None
        self.proc = None
        self.ws = None
        self.log_path = None
        self.quit_result = None
        self._old_logs = set()
        self._stdout = None
        self._log_copy = None

    # -- lifecycle ---------------------------------------------------------

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
        os.makedirs(self.artifacts_dir, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="qm-obs-")
        self.x11_close = build_x11_close(os.path.join(self.workdir, "bin"),
                                         self._x11_close_path)

        if self._display:
            self.display = self._display
        else:
            self.xvfb = Xvfb(*self.screen, log_path=os.path.join(
                self.artifacts_dir, "xvfb.log")).start()
            self.display = self.xvfb.display

        port = free_tcp_port() if self.websocket_enabled else None
        geometry = None
        if self.xvfb:
            # No window manager: size the window to the whole screen.
            geometry = qt_window_geometry(0, 0, *self.screen, self.screen[0])
        self.home = ObsHome(self._home_root or os.path.join(self.workdir, "home"),
                            self.scenes, self.profile, self.collection, port,
                            self.canvas, geometry, self.websocket_password,
                            self.plugin_config)
        self.home.write(keep_collection=self.keep_collection)
        if self.plugin_tree:
            self.home.install_plugins(self.plugin_tree)
        self._old_logs = set(self.home.log_files())

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
        first_scene = next(iter(self.scenes))
        cmd = [self.obs_binary, "--multi", "--disable-updater",
               "--disable-missing-files-check",
               "--profile", self.profile, "--collection", self.collection,
               "--scene", first_scene] + self.extra_args
        self._stdout = open(os.path.join(self.artifacts_dir, "obs-stdout.log"), "wb")
        self.proc = subprocess.Popen(
            cmd, env=env, cwd=self.home.root, stdin=subprocess.DEVNULL,
            stdout=self._stdout, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent)

        deadline = time.monotonic() + self.start_timeout
        if port:
            self.ws = self._connect(port, deadline)
        self._wait_main_window(deadline)
        return self

    def _check_alive(self, doing):
        code = self.proc.poll()
        if code is not None:
            raise HarnessError(f"OBS exited with code {code} while {doing}; "
                               f"log tail:\n{self.log_tail()}")

    def _connect(self, port, deadline):
        last_error = None
        while time.monotonic() < deadline:
            self._check_alive("starting up")
            try:
                return ObsWebSocket(port, timeout=10,
                                    password=self.websocket_password)
            except (OSError, HarnessError) as err:
                last_error = err
            except Exception as err:  # websocket-client handshake errors
                last_error = err
            time.sleep(0.3)
        raise HarnessError(f"obs-websocket on port {port} did not answer within "
                           f"{self.start_timeout} s ({last_error}); log tail:\n"
                           f"{self.log_tail()}")

    def _wait_main_window(self, deadline):
        while time.monotonic() < deadline:
            self._check_alive("waiting for its main window")
            if self.main_windows():
                return
            time.sleep(0.3)
        raise HarnessError("OBS main window did not appear within "
                           f"{self.start_timeout} s")

    def main_windows(self):
        return list_windows(self.x11_close, self.display, MAIN_WINDOW_PREFIX,
                            pid=self.proc.pid)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

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
        start = time.monotonic()
        if not self.running():
            code = self.proc.poll() if self.proc else None
            self.quit_result = QuitResult(False, code, 0.0,
                                          f"OBS had already exited with code {code}")
            return self.quit_result

        notes = []
        sent = close_windows(self.x11_close, self.display, MAIN_WINDOW_PREFIX,
                             pid=self.proc.pid)
        if not sent:
            notes.append("main window not found")
        next_nudge = start + 8
        while time.monotonic() - start < timeout:
            try:
                code = self.proc.wait(timeout=0.25)
                break
            except subprocess.TimeoutExpired:
                pass
            if time.monotonic() >= next_nudge:
                # Something modal may be in the way: close whatever else
                # OBS shows, then ask the main window again.
                others = [w for w in list_windows(self.x11_close, self.display,
                                                  "", pid=self.proc.pid)
                          if not w.title.startswith(MAIN_WINDOW_PREFIX)]
                for w in others:
                    notes.append(f"closed blocking window '{w.title}'")
                    close_windows(self.x11_close, self.display, w.title,
                                  pid=self.proc.pid)
                close_windows(self.x11_close, self.display, MAIN_WINDOW_PREFIX,
                              pid=self.proc.pid)
                next_nudge = time.monotonic() + 8
        else:
            code = None

        seconds = time.monotonic() - start
        if code is None:
            notes.append(f"still running {timeout} s after the close request; killed")
            _kill_group(self.proc, grace=3)
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
            if self.proc is not None and self.quit_result is None:
                if self.running() and self.x11_close:
                    self.quit()
                else:
                    _kill_group(self.proc, grace=3)
        finally:
            if self.ws:
                self.ws.close()
                self.ws = None
            if self.proc is not None:
                _kill_group(self.proc, grace=3)
            if self.xvfb:
                self.xvfb.stop()
                self.xvfb = None
            if self._stdout:
                self._stdout.close()
                self._stdout = None
            # Copy the log before a temporary home goes away with workdir.
            self._save_log()
            if self.workdir:
                shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    # -- plug-in files -------------------------------------------------------

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

    # -- artifacts and log ---------------------------------------------------

    def screenshot(self, name, window="root"):
        """PNG of the whole X screen (or a window id) in the artifacts dir."""
        return screenshot(self.display, os.path.join(self.artifacts_dir, name),
                          window)

    def main_window_screenshot(self, name):
        windows = self.main_windows()
        if not windows:
            raise HarnessError("no OBS main window to take a screenshot of")
        return self.screenshot(name, windows[0].window_id)

    def _current_log_path(self):
        if self.log_path:
            return self.log_path
        if not self.home:
            return None
        new = [p for p in self.home.log_files() if p not in self._old_logs]
        if new:
            self.log_path = new[-1]
        return self.log_path

    def _save_log(self):
        path = self._current_log_path()
        if path and os.path.exists(path):
            self._log_copy = os.path.join(self.artifacts_dir, "obs.log")
            shutil.copyfile(path, self._log_copy)

    def log_text(self):
        """Text of the log file written by this OBS run ('' until there is
        one). Still readable after close(): the artifacts copy is used."""
        path = self._current_log_path()
        if not path or not os.path.exists(path):
            path = self._log_copy
        if not path or not os.path.exists(path):
            return ""
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def log_lines(self):
        """Log messages without OBS's time prefix."""
        return [strip_log_time(l) for l in self.log_text().splitlines()]

    def log_tail(self, count=25):
        lines = self.log_text().splitlines()
        if not lines and self.artifacts_dir:
            try:
                with open(os.path.join(self.artifacts_dir, "obs-stdout.log"),
                          encoding="utf-8", errors="replace") as f:
                    lines = f.read().splitlines()
            except OSError:
                pass
        return "\n".join(lines[-count:])

    def wait_log(self, pattern, timeout=15):
        """Waits for a log line matching the regex; returns the message."""
        regex = re.compile(pattern)

        def find():
            for line in self.log_lines():
                if regex.search(line):
                    return line
            return None
        return wait_for(find, timeout, f"OBS log line /{pattern}/")


# --------------------------------------------------------------------------
# Programs beside OBS: simulators and clients of the plug-in's services


class ToolProcess:
    """A helper program a test runs beside OBS, such as a simulator that
    prints what it serves on stdout, one fact per line, reads commands on
    stdin and logs to stderr.

        with ToolProcess([exe, "device", ...], "device-sim", artifacts) as sim:
            feed = sim.wait_line(r"^feed (\S+)$").group(1)
            sim.send("feed drop")

    stdout lines are collected by a thread and echoed into NAME.out in the
    artifacts directory, stderr goes to NAME.log there. Leaving the
    with-block (or stop()) ends the program and its children; they also
    die with the test process.
    """

    def __init__(self, args, name, artifacts_dir, env=None, cwd=None):
        self.args = [str(a) for a in args]
        self.name = name
        self.artifacts_dir = os.path.abspath(artifacts_dir)
        self.env = env
        self.cwd = cwd
        self.proc = None
        self._lines = []
        self._cond = threading.Condition()
        self._reader = None
        self._stderr = None
        self._echo = None

    @property
    def log_path(self):
        return os.path.join(self.artifacts_dir, self.name + ".log")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        os.makedirs(self.artifacts_dir, exist_ok=True)
        self._stderr = open(self.log_path, "wb")
        self._echo = open(os.path.join(self.artifacts_dir, self.name + ".out"),
                          "w", encoding="utf-8")
        try:
            self.proc = subprocess.Popen(
                self.args, env=self.env, cwd=self.cwd, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=self._stderr,
                preexec_fn=_die_with_parent)
        except OSError as err:
            self.stop()
            raise HarnessError(f"cannot start {self.name} ({self.args[0]}): {err}")
        self._reader = threading.Thread(target=self._read, daemon=True,
                                        name=f"{self.name}-stdout")
        self._reader.start()
        return self

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()
            try:
                self._echo.write(line + "\n")
                self._echo.flush()
            except (OSError, ValueError):
                pass
        with self._cond:
            self._cond.notify_all()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def wait_line(self, pattern, timeout=15, start=0):
        """Waits for a stdout line (index >= start) matching the regex and
        returns its match. Fails early when the program exits."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self._lines):
                    found = regex.search(self._lines[index])
                    if found:
                        return found
                    index += 1
                if self.proc.poll() is not None and not self._reader.is_alive():
                    raise HarnessError(
                        f"{self.name} exited with code {self.proc.returncode} "
                        f"before printing /{pattern}/; stderr tail:\n"
                        f"{self.log_tail()}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise HarnessError(
                        f"{self.name} printed no line /{pattern}/ within "
                        f"{timeout:g} s; stderr tail:\n{self.log_tail()}")
                self._cond.wait(min(left, 0.5))

    def send(self, command):
        """Writes one command line to the program's stdin."""
        if not self.running():
            raise HarnessError(f"{self.name} is not running; cannot send "
                               f"'{command}'")
        try:
            self.proc.stdin.write(command.encode("utf-8") + b"\n")
            self.proc.stdin.flush()
        except OSError as err:
            raise HarnessError(f"cannot write to {self.name}: {err}")

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def log_tail(self, count=15):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return "\n".join(f.read().splitlines()[-count:])
        except OSError:
            return ""

    def stop(self, grace=5):
        """Ends the program (SIGTERM, then SIGKILL); returns its exit code."""
        if self.proc is not None:
            _kill_group(self.proc, grace)
            for pipe in (self.proc.stdin, self.proc.stdout):
                try:
                    pipe.close()
                except (OSError, AttributeError):
                    pass
        if self._reader is not None:
            self._reader.join(timeout=5)
            self._reader = None
        for f in (self._stderr, self._echo):
            if f:
                f.close()
        self._stderr = self._echo = None
        return self.proc.returncode if self.proc else None


@dataclass
class Message:
    at: float      # time.monotonic() when the line arrived
    data: object   # the parsed JSON value, or the raw text if it is not JSON


class JsonLineClient:
    """A TCP client of a service that speaks one JSON value per line (such
    as the plug-in's data server). A thread reads every line and keeps it
    with its arrival time, so a test can look back at what came when.
    """

    def __init__(self, port, host="127.0.0.1", connect_timeout=15):
        deadline = time.monotonic() + connect_timeout
        last_error = None
        self.sock = None
        while self.sock is None:
            try:
                self.sock = socket.create_connection((host, port), timeout=5)
            except OSError as err:
                last_error = err
                if time.monotonic() >= deadline:
                    raise HarnessError(f"nothing accepts connections on "
                                       f"{host}:{port} ({last_error})")
                time.sleep(0.2)
        self.sock.settimeout(None)
        self.closed = False
        self._messages = []
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True,
                                        name=f"json-lines-{port}")
        self._reader.start()

    def _read(self):
        buffer = b""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                buffer += chunk
                while b"\n" in buffer:
                    raw, buffer = buffer.split(b"\n", 1)
                    text = raw.decode("utf-8", errors="replace").strip()
                    if not text:
                        continue
                    try:
                        data = json.loads(text)
                    except ValueError:
                        data = text
                    with self._cond:
                        self._messages.append(Message(time.monotonic(), data))
                        self._cond.notify_all()
        except OSError:
            pass
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def send_line(self, text):
        self.sock.sendall(text.encode("utf-8") + b"\n")

    def messages(self, start=0):
        with self._cond:
            return list(self._messages[start:])

    def count(self):
        with self._cond:
            return len(self._messages)

    def wait_message(self, predicate, timeout, what, start=0):
        """The first message (index >= start) whose data satisfies
        predicate; waits for it up to timeout seconds."""
        deadline = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self._messages):
                    message = self._messages[index]
                    if predicate(message.data):
                        return message
                    index += 1
                if self.closed:
                    raise HarnessError(f"the connection closed before {what}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise HarnessError(f"timed out after {timeout:g} s "
                                       f"waiting for {what}")
                self._cond.wait(min(left, 0.5))

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._reader.join(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def http_json(method, url, body=None, headers=None, timeout=10):
    """(status, parsed JSON body or None) of one plain-HTTP request, for
    the simulators' admin routes. Network errors raise HarnessError."""
    import urllib.error
    import urllib.request
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(url, data=data, method=method)
    request.add_header("Content-Type", "application/json")
    for key, value in (headers or {}).items():
        request.add_header(key, value)
    # A proxy from the environment must not see test traffic.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=timeout) as reply:
            status, raw = reply.status, reply.read()
    except urllib.error.HTTPError as err:
        status, raw = err.code, err.read()
    except (urllib.error.URLError, OSError) as err:
        raise HarnessError(f"{method} {url} failed: {err}")
    try:
        return status, json.loads(raw.decode("utf-8")) if raw else None
    except ValueError:
        return status, None


def tcp_port_free(port, host="127.0.0.1"):
    """True when nothing listens on host:port and it can be bound now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((host, port))
        except OSError:
            return False
    return True


# --------------------------------------------------------------------------
# Reading what a source shows, and reporting checks


def image_alpha_mean(path):
    """Mean opacity (0..1) of a PNG: 0 means nothing was drawn."""
    out = subprocess.run(
        ["convert", path, "-alpha", "extract", "-format", "%[fx:mean]", "info:"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, check=True)
    return float(out.stdout.decode().strip())


def ocr_line(path, charset=None):
    """Reads one line of text from a source screenshot; returns the
    readings of both polarities.

    Sources draw light text on a transparent background; tesseract wants
    dark text on white, so flatten onto black, invert, shrink the large
    glyphs and pad the edges. Both polarities are tried so a dark text
    colour reads as well. charset limits what tesseract may read (for
    example digits, space and "-" for a score), which keeps it from
    taking a 1 for an l.
    """
    tool = shutil.which("tesseract")
    if not tool:
        raise HarnessError("tesseract is not installed (Debian: tesseract-ocr)")
    readings = []
    for negate in (True, False):
        # Kept beside the screenshot: what OCR saw, for a failing run.
        prepared = re.sub(r"\.png$", "", path) + (
            "-ocr-negated.png" if negate else "-ocr.png")
        cmd = ["convert", path, "-background", "black" if negate else "white",
               "-alpha", "remove", "-alpha", "off"]
        if negate:
            cmd.append("-negate")
        cmd += ["-resize", "x80", "-bordercolor", "white", "-border", "30",
                prepared]
        subprocess.run(cmd, check=True, timeout=30)
        ocr = [tool, prepared, "-", "--psm", "7"]
        if charset:
            ocr += ["-c", f"tessedit_char_whitelist={charset}"]
        out = subprocess.run(ocr, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=60)
        readings.append(out.stdout.decode(errors="replace").strip())
    return readings


def normalise_text(text):
    """Dashes made plain and white space collapsed, for comparing OCR."""
    text = text.replace("\u2014", "-").replace("\u2013", "-")
    return " ".join(text.split())


class CheckRun:
    """Runs groups of related checks in order and keeps the verdicts.

    A group stops at its first failed assertion; later groups still run so
    one run reports every broken area. Groups print PASS or FAIL as they
    finish; summary() gives the closing count line.
    """

    def __init__(self):
        self.results = []

    def group(self, name, func, *args):
        start = time.monotonic()
        try:
            func(*args)
        except AssertionError as err:
            self._record(name, False, str(err) or "assertion failed", start)
        except HarnessError as err:
            self._record(name, False, f"harness: {err}", start)
        except Exception:  # a bug in a check is still a failure
            self._record(name, False, traceback.format_exc(), start)
        else:
            self._record(name, True, "", start)

    def _record(self, name, ok, detail, start):
        self.results.append((name, ok, detail))
        took = time.monotonic() - start
        print(f"{'PASS' if ok else 'FAIL'}: {name} ({took:.1f} s)", flush=True)
        if detail:
            print("    " + detail.replace("\n", "\n    "), flush=True)

    def fail(self, name, detail):
        self.results.append((name, False, detail))
        print(f"FAIL: {name}\n    {detail.replace(chr(10), chr(10) + '    ')}",
              flush=True)

    @property
    def ok(self):
        return bool(self.results) and all(ok for _, ok, _ in self.results)

    def summary(self):
        passed = sum(1 for _, ok, _ in self.results if ok)
        failed = len(self.results) - passed
        lines = [f"{'PASS' if ok else 'FAIL'}: {name}"
                 for name, ok, _ in self.results]
        return "\n".join(lines + [f"{passed} passed, {failed} failed"])


# --------------------------------------------------------------------------
# Demo runs of scripts/run-obs: this module's `demo` command (the plug-in
# alone) and demo_live.py (the plug-in fed by the simulators) share these.


def say(text):
    """One console line of a demo run."""
    print(f"run-obs: {text}", flush=True)


def demo_session(artifacts, scenes, home, plugin_tree, display,
                 collection="QuillmarchDemo", keep_collection=True,
                 plugin_config=None):
    """An ObsSession in the demo home kept between runs, on the user's X
    display or, when display is empty, on a private Xvfb."""
    if display:
        say(f"using display {display}")
    else:
        say("no display found, running OBS under Xvfb")
    os.makedirs(home, exist_ok=True)
    # obs-websocket listens on every interface, and on a real desktop
    # that is a network the user shares: never without a password there.
    return ObsSession(os.path.abspath(artifacts), scenes,
                      plugin_tree=plugin_tree, home=home,
                      display=display or None, profile="QuillmarchDemo",
                      collection=collection, keep_collection=keep_collection,
                      start_timeout=90,
                      websocket_password=secrets.token_urlsafe(18),
                      plugin_config=plugin_config)


def demo_window_shot(session, name):
    """OBS's main window on a user's desktop (not the rest of their
    screen), the whole screen under Xvfb, where OBS fills it."""
    if session.xvfb:
        return session.screenshot(name)
    return session.main_window_screenshot(name)


def demo_wait(session, until):
    """Sleeps until the time.monotonic() value until, or until OBS exits
    (the user may close it); True while OBS runs."""
    while time.monotonic() < until and session.running():
        time.sleep(0.25)
    return session.running()


def demo_quit(session):
    """Quits OBS by closing its window and reports how it went, where its
    log is and what the plug-in logged. Returns the QuitResult."""
    result = session.quit()
    say(f"OBS quit: {result.detail}")
    say(f"OBS log saved to {os.path.join(session.artifacts_dir, 'obs.log')}")
    session.close()  # copies the log into the artifacts
    for line in session.log_lines():
        if "[quillmarch]" in line:
            print("  " + line)
    return result


def _demo(args):
    scenes = {"Scoreboard": [Source(args.source_kind, args.source_name,
                                    position=(80.0, 80.0), scale=(0.5, 0.5))]}
    artifacts = os.path.abspath(args.artifacts)
    session = demo_session(artifacts, scenes, args.home, args.plugin_tree,
                           args.display)
    with session:
        say(f"OBS started (pid {session.proc.pid}), home {session.home.root}")
        if demo_wait(session, time.monotonic() + args.seconds):
            shot = demo_window_shot(session, args.screenshot_name)
            say(f"screenshot saved to {shot}")
            try:
                source_shot = os.path.join(artifacts, "source.png")
                session.ws.source_screenshot(args.source_name, source_shot)
                say(f"source '{args.source_name}' rendered to {source_shot}")
            except HarnessError as err:
                say(f"no screenshot of source '{args.source_name}': {err}")
        result = demo_quit(session)
    return 0 if result.clean else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="start OBS with a scoreboard scene, "
                          "take a screenshot, quit")
    demo.add_argument("--home", required=True,
                      help="OBS home directory (kept between runs)")
    demo.add_argument("--plugin-tree", required=True,
                      help="directory holding quillmarch-obs/")
    demo.add_argument("--artifacts", required=True,
                      help="where screenshots and logs go")
    demo.add_argument("--display", default="",
                      help="X display to use; empty: private Xvfb")
    demo.add_argument("--seconds", type=float, default=20)
    demo.add_argument("--screenshot-name", default="obs-window.png")
    demo.add_argument("--source-kind", default="quillmarch_text")
    demo.add_argument("--source-name", default="Score")
    args = parser.parse_args(argv)
    try:
        return _demo(args)
    except HarnessError as err:
        print(f"run-obs: {err}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
