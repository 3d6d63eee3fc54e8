"""Runs a real OBS Studio on a private Xvfb, with a plug-in installed in an
isolated home, and drives it over obs-websocket. Every wait is bounded: a
hung OBS or X server is killed and reported. Run with Debian's
/usr/bin/python3 (it has python3-websocket)."""
# flake8: noqa: F401
from .base import HarnessError, free_tcp_port, port_problem, wait_for
from .home import Source
from .testing import image_alpha_mean, normalise_text, ocr_line, ocr_screen
from .session import ObsSession
from .plugin import JsonLineClient
