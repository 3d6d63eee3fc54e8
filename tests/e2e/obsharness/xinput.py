"""A user's mouse and keyboard on an X display: clicks, typed text and key
presses sent through the XTEST extension (libXtst through ctypes), so the
events reach the real window as if from the hardware. Xvfb has XTEST; the
library comes with x11-utils (Debian's libxtst6)."""

import ctypes
import time
from contextlib import contextmanager
from ctypes import c_char_p, c_int, c_uint, c_ulong, c_void_p

from .base import HarnessError
from .xserver import _x11

_xtst = None


def _libs():
    global _xtst
    x = _x11()
    if _xtst:
        return x, _xtst
    t = ctypes.CDLL("libXtst.so.6")
    D, I, U, L = c_void_p, c_int, c_uint, c_ulong
    for lib, name, res, args in (
            (t, "XTestFakeMotionEvent", I, [D, I, I, I, L]),
            (t, "XTestFakeButtonEvent", I, [D, U, I, L]),
            (t, "XTestFakeKeyEvent", I, [D, U, I, L]),
            (x, "XStringToKeysym", L, [c_char_p]),
            (x, "XKeysymToKeycode", ctypes.c_ubyte, [D, L]),
            (x, "XkbKeycodeToKeysym", L, [D, ctypes.c_ubyte, I, I])):
        getattr(lib, name).restype, getattr(lib, name).argtypes = res, args
    _xtst = t
    return x, t


@contextmanager
def _display(display):
    x, t = _libs()
    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        raise HarnessError(f"cannot open X display {display}")
    try:
        yield x, t, dpy
        x.XSync(dpy, 0)
    finally:
        x.XCloseDisplay(dpy)


HOVER_S = 0.1       # the pointer rests on the target before the press
CLICK_HOLD_MS = 40  # as long as a finger holds the button down


def click(display, x_pos, y_pos, button=1):
    """Moves the pointer to (x_pos, y_pos) on the screen and clicks the
    way a hand does: a rest on the target, then a press held briefly. (In
    one run OBS 30 ignored a press sent in the same instant as the move,
    just after a window had closed; the cause was not found.)"""
    with _display(display) as (x, t, dpy):
        t.XTestFakeMotionEvent(dpy, -1, int(x_pos), int(y_pos), 0)
        x.XSync(dpy, 0)  # the press lands where the pointer now is
        time.sleep(HOVER_S)
        t.XTestFakeButtonEvent(dpy, button, 1, 0)
        x.XSync(dpy, 0)
        # Waited here: a release the server is told to delay is lost
        # when this connection closes first.
        time.sleep(CLICK_HOLD_MS / 1000)
        t.XTestFakeButtonEvent(dpy, button, 0, 0)


def _keycode(x, dpy, keysym, what):
    code = x.XKeysymToKeycode(dpy, keysym)
    if not code:
        raise HarnessError(f"the X keyboard map has no key for {what!r}")
    return code


# Time a key is held and left between keys. A press and a release in the
# same instant, key after key, is faster than any hand: Qt was seen to drop
# single keys of such a burst (a first or last letter of an address).
KEY_HOLD_MS = 15
KEY_GAP_S = 0.03


def _tap(x, t, dpy, code, shift=None):
    if shift:
        t.XTestFakeKeyEvent(dpy, shift, 1, 0)
    t.XTestFakeKeyEvent(dpy, code, 1, 0)
    t.XTestFakeKeyEvent(dpy, code, 0, KEY_HOLD_MS)
    if shift:
        t.XTestFakeKeyEvent(dpy, shift, 0, KEY_HOLD_MS)
    x.XSync(dpy, 0)
    time.sleep(KEY_GAP_S)


def type_text(display, text):
    """Types printable ASCII into whatever has the keyboard focus; Shift
    is held for characters on a key's second level ('@', capitals)."""
    with _display(display) as (x, t, dpy):
        shift = _keycode(x, dpy, x.XStringToKeysym(b"Shift_L"), "Shift_L")
        for char in text:
            if not " " <= char <= "~":
                raise HarnessError(f"cannot type {char!r}: ASCII only")
            keysym = ord(char)  # Latin-1 keysyms are their code points
            code = _keycode(x, dpy, keysym, char)
            _tap(x, t, dpy, code,
                 shift if x.XkbKeycodeToKeysym(dpy, code, 0, 0) != keysym
                 else None)


def press_key(display, name):
    """Presses and releases one key by its X keysym name ("Return",
    "Escape", "Tab")."""
    with _display(display) as (x, t, dpy):
        keysym = x.XStringToKeysym(name.encode())
        if not keysym:
            raise HarnessError(f"no X keysym named {name!r}")
        _tap(x, t, dpy, _keycode(x, dpy, keysym, name))
