"""An isolated OBS home: global.ini, a profile, a scene collection, the
plug-in tree and files seeded into a plug-in's configuration folder."""

import base64
import json
import os
import shutil
import struct

from .base import HarnessError
from .scenes import scene_collection


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

    obs-websocket 5.1 (OBS 29) keeps its settings in global.ini
    ([OBSWebSocket]), 5.5 (OBS 30) in its own config.json: both are
    written, so either host finds them. FirstLoad=false stops it from
    generating a password on first start.
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
        websocket = os.path.join(self.config_dir, "plugin_config",
                                 "obs-websocket", "config.json")
        os.makedirs(os.path.dirname(websocket), exist_ok=True)
        with open(websocket, "w", encoding="utf-8") as f:
            json.dump({"first_load": False,
                       "server_enabled": self.websocket_port is not None,
                       "server_port": self.websocket_port or 4455,
                       "alerts_enabled": False,
                       "auth_required": bool(self.websocket_password),
                       "server_password": self.websocket_password or ""}, f)
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
