"""What every part of the harness leans on: its error type, bounded waits,
TCP ports, child processes that die with the test, and the inbox a reader
thread fills."""

import ctypes
import errno
import os
import signal
import socket
import subprocess
import threading
import time


class HarnessError(Exception):
    """Something around OBS failed: start-up, a timeout, a dead process."""


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


def port_problem(port, host="127.0.0.1"):
    """None when host:port can be bound now, else why not, in words."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((host, port))
        except OSError as err:
            if err.errno == errno.EACCES:
                return f"port {port} is privileged and this is not root"
            if err.errno == errno.EADDRINUSE:
                return f"another program listens on {host}:{port}"
            return f"{host}:{port} cannot be bound ({err.strerror})"
    return None


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


def start_child(args, **popen_args):
    """subprocess.Popen of a program in its own process group that dies
    with this process; stop it with kill_group()."""
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **popen_args)


def kill_group(proc, grace):
    """Stops a process from start_child() and its children: SIGTERM, and
    SIGKILL when it is still there after `grace` seconds."""
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


class Inbox:
    """What a reader thread collects (a program's output lines, a
    service's messages), kept in arrival order, with a bounded wait for the
    first one that matches."""

    def __init__(self):
        self._items = []
        self._cond = threading.Condition()
        self.closed = False  # the reader saw the end of its input

    def put(self, item):
        with self._cond:
            self._items.append(item)
            self._cond.notify_all()

    def close(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def items(self, start=0):
        with self._cond:
            return list(self._items[start:])

    def __len__(self):
        with self._cond:
            return len(self._items)

    def wait(self, match, timeout, start=0):
        """The first truthy match(item) among items from index start on,
        waiting up to timeout seconds for more. None when time ran out or
        the inbox closed first (then `closed` is true)."""
        deadline = time.monotonic() + timeout
        index = start
        with self._cond:
            while True:
                while index < len(self._items):
                    found = match(self._items[index])
                    if found:
                        return found
                    index += 1
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    return None
                self._cond.wait(min(left, 0.5))
