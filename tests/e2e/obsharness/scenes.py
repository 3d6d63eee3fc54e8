"""A scene collection as OBS 29 writes it, from a short description:
scene name -> the Source items placed in it."""

from dataclasses import dataclass, field


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
