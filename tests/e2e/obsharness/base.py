"""What the whole harness leans on: its error, bounded waits, TCP ports,
child processes that die with the test, and the inbox a reader thread
fills."""

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
    """predicate()'s first truthy value; HarnessError naming `what` once
    timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def free_tcp_port():
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
    # A runner that kills the test outright must not leave OBS or Xvfb
    # behind: own process group, and SIGKILL when the parent dies.
    os.setsid()
    try:
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL("libc.so.6").prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except OSError:
        pass


def start_child(args, **popen_args):
    """Popen of a program in its own process group that dies with this
    process; stop it with kill_group()."""
    return subprocess.Popen(args, preexec_fn=_die_with_parent, **popen_args)


def kill_group(proc, grace):
    """SIGTERM to a start_child() group, SIGKILL after grace seconds."""
    if proc is None or proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5)):
        try:
            os.killpg(proc.pid, sig)
            proc.wait(timeout=wait)
            return
        except ProcessLookupError:
            return
        except subprocess.TimeoutExpired:
            continue


class Inbox(list):
    """What a reader thread appends, in arrival order."""

    closed = False  # the reader saw the end of its input

    def fill(self, stream, convert):
        """Appends convert(line) for each line of a binary stream (those
        not None), in a thread; returns the thread."""
        def read():
            try:
                for raw in stream:
                    item = convert(raw.decode("utf-8", errors="replace").rstrip("\r\n"))
                    if item is not None:
                        self.append(item)
            except (OSError, ValueError):  # the stream was closed under it
                pass
            self.closed = True
        thread = threading.Thread(target=read, daemon=True)
        thread.start()
        return thread

    def wait(self, match, timeout, start=0):
        """The first truthy match(item) from index start on; None when time
        ran out or the inbox closed first."""
        deadline = time.monotonic() + timeout
        while True:
            closed = self.closed  # before the scan: nothing slips through
            while start < len(self):
                found = match(self[start])
                start += 1
                if found:
                    return found
            if closed or time.monotonic() >= deadline:
                return None
            time.sleep(0.05)
