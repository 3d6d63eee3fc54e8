"""A private X server, and finding, closing and photographing X windows.

Windows are closed as a window manager closes them, by a WM_DELETE_WINDOW
client message (Xlib through ctypes): OBS on Linux skips module unload on
SIGTERM, so only a window close runs a plug-in's unload code. No tool in
Debian sends just that without a window manager running: wmctrl -c asks
the window manager, xdotool destroys or kills the window.
"""

import ctypes
import os
import select
import subprocess
import time
from collections import namedtuple
from ctypes import (POINTER, byref, c_char_p, c_int, c_long, c_ubyte, c_uint,
                    c_ulong, c_void_p)

from .base import HarnessError, kill_group, start_child


def start_xvfb(width, height, log_path, timeout=20):
    """A private X server: (process, display such as ":3"). -displayfd:
    Xvfb writes the free display it took once it accepts connections."""
    read_fd, write_fd = os.pipe()
    try:
        with open(log_path, "wb") as log:
            proc = start_child(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                 f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT)
    finally:
        os.close(write_fd)
    data = b""
    deadline = time.monotonic() + timeout
    try:
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError(f"Xvfb did not start within {timeout} s")
            if select.select([read_fd], [], [], left)[0]:
                chunk = os.read(read_fd, 64)
                if not chunk:
                    raise HarnessError(f"Xvfb exited during start-up "
                                       f"(code {proc.poll()})")
                data += chunk
    except BaseException:
        kill_group(proc, grace=5)
        raise
    finally:
        os.close(read_fd)
    return proc, ":" + data.decode().strip()


class _WindowAttributes(ctypes.Structure):  # XWindowAttributes
    _fields_ = [("geometry", c_int * 6), ("visual", c_void_p),
                ("root", c_ulong), ("class_and_gravity", c_int * 4),
                ("backing", c_ulong * 2), ("save_under", c_int),
                ("colormap", c_ulong), ("map_installed", c_int),
                ("map_state", c_int), ("event_masks", c_long * 3),
                ("override_redirect", c_int), ("screen", c_void_p)]


class _ClientMessage(ctypes.Structure):  # XClientMessageEvent in an XEvent
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("window", c_ulong),
                ("message_type", c_ulong), ("format", c_int),
                ("data", c_long * 5), ("pad", c_long * 12)]


IS_VIEWABLE, CLIENT_MESSAGE = 2, 33
_xlib = None


def _x11():
    global _xlib
    if _xlib:
        return _xlib
    x = ctypes.CDLL("libX11.so.6")
    P, D, W, L, I = POINTER, c_void_p, c_ulong, c_long, c_int
    for name, res, args in (
            ("XOpenDisplay", D, [c_char_p]), ("XDefaultRootWindow", W, [D]),
            ("XInternAtom", W, [D, c_char_p, I]),
            ("XQueryTree", I, [D, W, P(W), P(W), P(P(W)), P(c_uint)]),
            ("XGetWindowProperty", I, [D, W, W, L, L, I, W, P(W), P(I), P(W),
                                       P(W), P(P(c_ubyte))]),
            ("XGetWindowAttributes", I, [D, W, P(_WindowAttributes)]),
            ("XSendEvent", I, [D, W, I, L, P(_ClientMessage)]),
            ("XFree", I, [D]), ("XSync", I, [D, I]), ("XCloseDisplay", I, [D])):
        getattr(x, name).restype, getattr(x, name).argtypes = res, args
    # Windows may vanish while the tree is walked; Xlib's default handler
    # would end this process for that.
    x.ignore_errors = ctypes.CFUNCTYPE(I, D, D)(lambda d, e: 0)
    x.XSetErrorHandler(x.ignore_errors)
    _xlib = x
    return x


def _property(x, dpy, window, name):
    """A property as bytes (format 8) or a list of C longs (format 32)."""
    kind, fmt, count, after = c_ulong(), c_int(), c_ulong(), c_ulong()
    data = POINTER(c_ubyte)()
    if x.XGetWindowProperty(dpy, window, x.XInternAtom(dpy, name, 0), 0, 4096,
                            0, 0, byref(kind), byref(fmt), byref(count),
                            byref(after), byref(data)) != 0 or not data:
        return None
    try:
        if fmt.value == 8:
            return ctypes.string_at(data, count.value)
        return ctypes.cast(data, POINTER(c_long))[:count.value]
    finally:
        x.XFree(data)


X11Window = namedtuple("X11Window", "window_id pid title")


def x11_windows(display, prefix="", pid=None, close=False):
    """Mapped top-level windows whose title starts with prefix (of process
    pid when given). With close, each gets WM_DELETE_WINDOW; one that does
    not take it (a window manager would kill its client) is left out."""
    x = _x11()
    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        raise HarnessError(f"cannot open X display {display}")
    found = []
    try:
        root, parent, count = c_ulong(), c_ulong(), c_uint()
        children = POINTER(c_ulong)()
        if not x.XQueryTree(dpy, x.XDefaultRootWindow(dpy), byref(root),
                            byref(parent), byref(children), byref(count)):
            raise HarnessError(f"cannot list the windows of {display}")
        protocols = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        delete = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        for window in children[:count.value]:
            title = (_property(x, dpy, window, b"_NET_WM_NAME")
                     or _property(x, dpy, window, b"WM_NAME"))
            window_pid = (_property(x, dpy, window, b"_NET_WM_PID") or [-1])[0]
            attrs = _WindowAttributes()
            # OBS keeps hidden dialogs around; a window manager never
            # closes unmapped windows either.
            if (not isinstance(title, bytes)
                    or not title.decode(errors="replace").startswith(prefix)
                    or pid is not None and window_pid != pid
                    or not x.XGetWindowAttributes(dpy, window, byref(attrs))
                    or attrs.map_state != IS_VIEWABLE):
                continue
            if close:
                if delete not in (_property(x, dpy, window, b"WM_PROTOCOLS") or []):
                    continue
                event = _ClientMessage(type=CLIENT_MESSAGE, window=window,
                                       message_type=protocols, format=32)
                event.data[0] = delete  # data[1]: CurrentTime, 0
                x.XSendEvent(dpy, window, 0, 0, byref(event))
            found.append(X11Window(hex(window), window_pid,
                                   title.decode(errors="replace")))
        if children:
            x.XFree(children)
        x.XSync(dpy, 0)
    finally:
        x.XCloseDisplay(dpy)
    return found


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
