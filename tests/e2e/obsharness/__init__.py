"""Run a real OBS Studio under Xvfb, with a plug-in installed in an isolated
home, and drive it over obs-websocket.

Modules, by concern:

* base: HarnessError, bounded waits, TCP ports, child processes that die
  with the test process;
* xserver: a private Xvfb, listing, closing (WM_DELETE_WINDOW) and
  photographing X windows;
* scenes, home: a scene collection from Source descriptions, and the OBS
  home around it (global.ini without first-run wizards, profile,
  obs-websocket on a free port, the plug-in tree, seeded plug-in files);
* obsws: a minimal obs-websocket v5 client;
* session: ObsSession, the entry point: start, bounded clean quit by a
  window close; obslog: OBS's log of that run;
* tools: simulators as ToolProcess, line-based JSON services
  (JsonLineClient), plain-HTTP admin routes;
* images: opacity and OCR of screenshots;
* plugin: the plug-in's names, the portal and device simulators, its
  seeded settings and its data server;
* testing: unittest support for the real-OBS tests.

Every wait is bounded: a hung OBS or X server is killed and reported, never
waited on forever. Run with Debian's /usr/bin/python3 (it has
python3-websocket).
"""

from .base import HarnessError, free_tcp_port, port_problem, wait_for
from .images import image_alpha_mean, normalise_text, ocr_line, ocr_screen
from .obsws import ObsWebSocket, RequestFailed
from .scenes import Source
from .session import ObsSession, QuitResult
from .tools import JsonLineClient, ToolProcess, http_json

__all__ = [
    "HarnessError", "free_tcp_port", "port_problem", "wait_for",
    "image_alpha_mean", "normalise_text", "ocr_line", "ocr_screen",
    "ObsWebSocket", "RequestFailed", "Source", "ObsSession", "QuitResult",
    "JsonLineClient", "ToolProcess", "http_json",
]
