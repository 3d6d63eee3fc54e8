"""Programs beside OBS (simulators) and clients of the services around it:
line-based JSON servers and plain-HTTP admin routes."""

import json
import os
import re
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request
from dataclasses import dataclass

from .base import HarnessError, Inbox, kill_group, start_child, wait_for


class ToolProcess:
    """A helper program a test runs beside OBS, such as a simulator that
    prints what it serves on stdout, one fact per line, reads commands on
    stdin and logs to stderr.

        with ToolProcess([exe, "device", ...], "device-sim", artifacts) as sim:
            feed = sim.wait_line(r"^feed (\\S+)$").group(1)
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
        self._lines = Inbox()
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
            self.proc = start_child(
                self.args, env=self.env, cwd=self.cwd, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=self._stderr)
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
            self._lines.put(line)
            try:
                self._echo.write(line + "\n")
                self._echo.flush()
            except (OSError, ValueError):
                pass
        self._lines.close()

    def lines(self):
        return self._lines.items()

    def wait_line(self, pattern, timeout=15, start=0):
        """Waits for a stdout line (index >= start) matching the regex and
        returns its match. Fails early when the program ends its output."""
        found = self._lines.wait(re.compile(pattern).search, timeout, start)
        if found:
            return found
        if self._lines.closed:
            raise HarnessError(
                f"{self.name} exited (code {self.proc.poll()}) before printing "
                f"/{pattern}/; stderr tail:\n{self.log_tail()}")
        raise HarnessError(
            f"{self.name} printed no line /{pattern}/ within {timeout:g} s; "
            f"stderr tail:\n{self.log_tail()}")

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
            kill_group(self.proc, grace)
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
        errors = []

        def connect():
            try:
                return socket.create_connection((host, port), timeout=5)
            except OSError as err:
                errors.append(err)
                return None
        try:
            self.sock = wait_for(connect, connect_timeout,
                                 f"a connection to {host}:{port}")
        except HarnessError:
            raise HarnessError(f"nothing accepts connections on "
                               f"{host}:{port} ({errors[-1]})") from None
        self.sock.settimeout(None)
        self._messages = Inbox()
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
                    self._messages.put(Message(time.monotonic(), data))
        except OSError:
            pass
        self._messages.close()

    @property
    def closed(self):
        """The service closed the connection (or close() was called)."""
        return self._messages.closed

    def send_line(self, text):
        self.sock.sendall(text.encode("utf-8") + b"\n")

    def messages(self, start=0):
        return self._messages.items(start)

    def count(self):
        return len(self._messages)

    def wait_message(self, predicate, timeout, what, start=0):
        """The first message (index >= start) whose data satisfies
        predicate; waits for it up to timeout seconds."""
        found = self._messages.wait(
            lambda m: m if predicate(m.data) else None, timeout, start)
        if found:
            return found
        if self.closed:
            raise HarnessError(f"the connection closed before {what}")
        raise HarnessError(f"timed out after {timeout:g} s waiting for {what}")

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
