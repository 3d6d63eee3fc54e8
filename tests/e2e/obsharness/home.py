"""An isolated OBS home: configuration, scenes, plug-ins and their files."""

import base64
import json
import os
import shutil
import struct
from dataclasses import dataclass, field

from .base import HarnessError

OBS_29_0_2 = 486539266  # as "prev_ver": no upgrade paths on load
CANVAS = (1280, 720)


@dataclass
class Source:
    kind: str
    name: str
    settings: dict = field(default_factory=dict)
    position: tuple = (0.0, 0.0)
    scale: tuple = (1.0, 1.0)
    visible: bool = True


def _source_json(kind, name, settings, hotkeys=None):
    # Field set and values as OBS 29 writes them itself.
    return {
        "balance": 0.5, "deinterlace_field_order": 0, "deinterlace_mode": 0,
        "enabled": True, "flags": 0, "hotkeys": hotkeys or {}, "id": kind,
        "mixers": 0, "monitoring_type": 0, "muted": False, "name": name,
        "prev_ver": OBS_29_0_2, "private_settings": {}, "push-to-mute": False,
        "push-to-mute-delay": 0, "push-to-talk": False,
        "push-to-talk-delay": 0, "settings": settings, "sync": 0,
        "versioned_id": kind, "volume": 1.0,
    }


def _scene_item_json(item_id, source):
    x, y = source.position
    sx, sy = source.scale
    return {
        "align": 5,  # top left
        "blend_method": "default", "blend_type": "normal",
        "bounds": {"x": 0.0, "y": 0.0}, "bounds_align": 0, "bounds_type": 0,
        "crop_bottom": 0, "crop_left": 0, "crop_right": 0, "crop_top": 0,
        "group_item_backup": False, "hide_transition": {"duration": 0},
        "id": item_id, "locked": False, "name": source.name,
        "pos": {"x": float(x), "y": float(y)}, "private_settings": {},
        "rot": 0.0, "scale": {"x": float(sx), "y": float(sy)},
        "scale_filter": "disable", "show_transition": {"duration": 0},
        "visible": source.visible,
    }


def scene_collection(name, scenes):
    """{scene name: [Source, bottom-most first]} as OBS stores it; the
    first scene is the current one."""
    sources, scene_sources = {}, []
    for scene_name, items in scenes.items():
        for src in items:
            sources.setdefault(src.name, _source_json(src.kind, src.name,
                                                      dict(src.settings)))
        scene_sources.append(_source_json("scene", scene_name, {
            "custom_size": False, "id_counter": len(items),
            "items": [_scene_item_json(i, s) for i, s in enumerate(items, 1)]},
            {"OBSBasic.SelectScene": []}))
    first = next(iter(scenes))
    return {
        "current_program_scene": first, "current_scene": first,
        "current_transition": "Fade", "groups": [], "modules": {},
        "name": name, "preview_locked": False, "quick_transitions": [],
        "saved_projectors": [], "scaling_enabled": False, "scaling_level": 0,
        "scaling_off_x": 0.0, "scaling_off_y": 0.0,
        "scene_order": [{"name": n} for n in scenes],
        "sources": list(sources.values()) + scene_sources,
        "transition_duration": 300, "transitions": [],
    }


def qt_window_geometry(width, height):
    """A QWidget::saveGeometry() blob (Qt 5.15) of a window at 0,0: without
    a window manager the only way to a window larger than Qt's default."""
    rect = (0, 0, width - 1, height - 1)
    blob = struct.pack(">IHH4i4iiBBi4i", 0x1D9D0CB, 3, 0, *rect, *rect,
                       0, 0, 0, width, *rect)
    return base64.b64encode(blob).decode()


def _write(path, content):  # a dict or list as JSON
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(content, (dict, list)):
        content = json.dumps(content, indent=2)
    with open(path, "wb") as f:
        f.write(content.encode("utf-8") if isinstance(content, str) else content)


def _ini(sections):
    return "".join(f"[{section}]\n" + "".join(
        f"{k}={str(v).lower() if isinstance(v, bool) else v}\n"
        for k, v in values.items()) + "\n" for section, values in sections.items())


class ObsHome:
    """An isolated $HOME holding just enough OBS configuration."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.config_dir = os.path.join(self.root, ".config", "obs-studio")
        self.logs_dir = os.path.join(self.config_dir, "logs")

    def plugin_config_path(self, module, name=""):
        """Where OBS keeps a module's own files (obs_module_config_path)."""
        return os.path.join(self.config_dir, "plugin_config", module, name)

    def write(self, scenes, profile, collection, websocket_port,
              window_geometry=None, websocket_password="", plugin_config=None,
              keep_collection=False):
        """plugin_config: {module: {file: content}} a plug-in finds on its
        first load; keep_collection: what a user changed in a demo home."""
        window = {"PreviewEnabled": True, "DocksLocked": False}
        if window_geometry:
            window["geometry"] = window_geometry
        password = websocket_password or ""
        # FirstRun=false keeps the modal auto-configuration wizard away: it
        # would make OBS ignore a close request. obs-websocket 5.1 (OBS 29)
        # reads global.ini, 5.5 (OBS 30) its config.json; FirstLoad=false
        # stops it from generating a password.
        _write(os.path.join(self.config_dir, "global.ini"), _ini({
            "General": {"Pre19Defaults": False, "Pre21Defaults": False,
                        "Pre23Defaults": False, "Pre24.1Defaults": False,
                        "FirstRun": False, "LastVersion": OBS_29_0_2,
                        "EnableAutoUpdates": False},
            "Basic": {"Profile": profile, "ProfileDir": profile,
                      "SceneCollection": collection,
                      "SceneCollectionFile": collection},
            "BasicWindow": window,
            "OBSWebSocket": {"FirstLoad": False, "ServerEnabled": True,
                             "ServerPort": websocket_port,
                             "AlertsEnabled": False,
                             "AuthRequired": bool(password),
                             "ServerPassword": password},
        }))
        _write(self.plugin_config_path("obs-websocket", "config.json"), {
            "first_load": False, "server_enabled": True,
            "server_port": websocket_port, "alerts_enabled": False,
            "auth_required": bool(password), "server_password": password})
        width, height = CANVAS
        _write(os.path.join(self.config_dir, "basic", "profiles", profile,
                            "basic.ini"), _ini({
            "General": {"Name": profile},
            "Video": {"BaseCX": width, "BaseCY": height, "OutputCX": width,
                      "OutputCY": height, "FPSType": 0, "FPSCommon": 30},
            "SimpleOutput": {"FilePath": os.path.join(self.root, "recordings")},
        }))
        path = os.path.join(self.config_dir, "basic", "scenes", collection + ".json")
        if not (keep_collection and os.path.exists(path)):
            _write(path, json.dumps(scene_collection(collection, scenes), indent=4))
        for module, files in (plugin_config or {}).items():
            for name, content in files.items():
                _write(self.plugin_config_path(module, name), content)

    def install_plugins(self, plugin_tree):
        """Copies plugin_tree (NAME/bin/64bit/NAME.so, NAME/data/...) into
        the per-user plug-in folder, replacing what an older build left."""
        if not os.path.isdir(plugin_tree):
            raise HarnessError(f"plug-in directory {plugin_tree} does not exist")
        for name in os.listdir(plugin_tree):
            target = os.path.join(self.config_dir, "plugins", name)
            shutil.rmtree(target, ignore_errors=True)
            shutil.copytree(os.path.join(plugin_tree, name), target)

    def log_files(self):
        try:
            names = [n for n in os.listdir(self.logs_dir) if n.endswith(".txt")]
        except FileNotFoundError:
            return []
        return sorted(os.path.join(self.logs_dir, n) for n in names)
