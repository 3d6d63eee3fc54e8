"""The plug-in under test and the world around it when live scores flow
(the live sources test and the live demo): simulators as ToolProcess, the
portal, the device, the plug-in's settings and its data server
(JsonLineClient)."""

import json
import os
import re
import secrets
import socket
import subprocess
import time
import urllib.error
import urllib.request
from collections import namedtuple

from .base import (HarnessError, Inbox, kill_group, port_problem, start_child,
                   wait_for)


class ToolProcess:
    """A simulator: prints what it serves on stdout, one fact a line (kept,
    and echoed into NAME.out in the artifacts), reads commands on stdin,
    logs to stderr (NAME.log there). It dies with the test."""

    def __init__(self, args, name, artifacts_dir):
        self.args = [str(a) for a in args]
        self.name = name
        self.log_path = os.path.join(artifacts_dir, name + ".log")
        self.proc = self._reader = self._files = None
        self._lines = Inbox()

    def start(self):
        self._files = [open(self.log_path, "wb"),
                       open(self.log_path[:-len(".log")] + ".out", "w")]
        try:
            self.proc = start_child(self.args, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=self._files[0])
        except OSError as err:
            self.stop()
            raise HarnessError(f"cannot start {self.name} ({self.args[0]}): {err}")

        def echo(line):
            print(line, file=self._files[1], flush=True)
            return line
        self._reader = self._lines.fill(self.proc.stdout, echo)
        return self

    def wait_line(self, pattern, timeout=15):
        """The match of the first stdout line matching the regex; fails
        early when the program ends its output."""
        found = self._lines.wait(re.compile(pattern).search, timeout)
        if found:
            return found
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            tail = "\n".join(f.read().splitlines()[-15:])
        why = (f"exited (code {self.proc.poll()}) before printing /{pattern}/"
               if self._lines.closed
               else f"printed no line /{pattern}/ within {timeout:g} s")
        raise HarnessError(f"{self.name} {why}; stderr tail:\n{tail}")

    def send(self, command):
        """Writes one command line to the program's stdin."""
        try:
            self.proc.stdin.write(command.encode("utf-8") + b"\n")
            self.proc.stdin.flush()
        except (OSError, ValueError) as err:
            raise HarnessError(f"cannot send '{command}' to {self.name} "
                               f"(exit code {self.proc.poll()}): {err}")

    def stop(self, grace=5):
        """Ends the program (SIGTERM, then SIGKILL)."""
        if self.proc:
            kill_group(self.proc, grace)
            for pipe in (self.proc.stdin, self.proc.stdout):
                pipe.close()
        if self._reader:
            self._reader.join(timeout=5)
        for f in self._files or ():
            f.close()


# at: time.monotonic() of the line's arrival; data: the JSON value, or the
# text when it is not JSON.
Message = namedtuple("Message", "at data")


def _message(text):
    if not text.strip():
        return None
    try:
        return Message(time.monotonic(), json.loads(text))
    except ValueError:
        return Message(time.monotonic(), text.strip())


class JsonLineClient:
    """A client of a service that sends one JSON value a line (the data
    server); each line is kept with its arrival time."""

    def __init__(self, port, host="127.0.0.1"):
        def connect():
            try:
                return socket.create_connection((host, port), timeout=5)
            except OSError:
                return None
        self.sock = wait_for(connect, 15, f"a connection to {host}:{port}")
        self.sock.settimeout(None)
        self._messages = Inbox()
        self._reader = self._messages.fill(self.sock.makefile("rb"), _message)

    @property
    def closed(self):
        """The service closed the connection (or close() was called)."""
        return self._messages.closed

    def send_line(self, text):
        self.sock.sendall(text.encode("utf-8") + b"\n")

    def messages(self, start=0):
        return self._messages[start:]

    def count(self):
        return len(self._messages)

    def wait_message(self, predicate, timeout, what, start=0):
        """The first message from index start on whose data satisfies
        predicate, waiting up to timeout seconds."""
        found = self._messages.wait(
            lambda m: m if predicate(m.data) else None, timeout, start)
        if found:
            return found
        raise HarnessError(f"the connection closed before {what}" if self.closed
                           else f"timed out after {timeout:g} s waiting for {what}")

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._reader.join(timeout=5)


def http_json(method, url, body=None, timeout=10):
    """(status, parsed JSON body or None) of one plain-HTTP request, for
    the simulators' admin routes; network errors raise HarnessError."""
    data = None if body is None else json.dumps(body).encode("utf-8")
    request = urllib.request.Request(url, data=data, method=method, headers={
        "Content-Type": "application/json"})
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


MODULE = "quillmarch-obs"
LOG_TAG = "[quillmarch]"  # starts each line the plug-in logs
KIND = "quillmarch_text"
DEFAULT_TEMPLATE = "{home_score} - {away_score}"
SCENE = "Scoreboard"

PORTAL_PORT = 8787  # the portal address the plug-in under test is built for
FEED_PORT = 1010    # the device's secure feed; privileged, as on the device
DEVICE_ID = "QM-LS0001"
OTHER_DEVICE = "QM-LS0002"
OWNER = "gym-owner@example.com"
LAN_NAME = "Gym"


def portal_state(status):
    # A second account holds a device the plug-in must never ask about.
    def device(device_id, nickname, state):
        return {"device_id": device_id, "nickname": nickname, "status": state,
                "ble_passkey": "314159", "firmware_version": "1.4.2",
                "sport": "basketball", "home_name": "Harbor Hawks",
                "away_name": "Mill City Miners"}

    def account(email, device_id):
        return {"email": email, "password": "free-throw", "role": "owner",
                "cloud_plan": True, "devices": [device_id], "outputs": []}
    return {"accounts": [account(OWNER, DEVICE_ID),
                         account("rival@example.com", OTHER_DEVICE)],
            "devices": [device(DEVICE_ID, LAN_NAME, status),
                        device(OTHER_DEVICE, "Annex", "online")]}


class Portal:
    """The portal simulator, knowing one signed-in session of OWNER."""

    def __init__(self, program, artifacts, name, status):
        self.token = secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{PORTAL_PORT}"
        state_path = os.path.join(artifacts, name + "-state.json")
        with open(state_path, "w", encoding="utf-8") as f:
            json.dump(portal_state(status), f, indent=2)
        self.process = ToolProcess(
            [program, "--port", PORTAL_PORT, "--state", state_path,
             "--session", f"{self.token}={OWNER}", "--log"], name, artifacts)

    def start(self):
        problem = port_problem(PORTAL_PORT)
        if problem:
            raise HarnessError(f"cannot start the portal simulator: {problem}")
        self.process.start()
        self.process.wait_line(rf"^portal {self.base}$", timeout=15)
        return self

    def stop(self):
        self.process.stop()

    def session_file(self):
        """session.json: the portal's cookies in raw Set-Cookie form."""
        return [f"qm_session={self.token}; domain=127.0.0.1; path=/"]

    def admin(self, method, path, body=None):
        status, reply = http_json(method, self.base + "/_sim/" + path, body)
        if status != 200:
            raise HarnessError(f"portal {method} /_sim/{path}: {status} {reply}")
        return reply

    def request_lines(self, ours=True):
        """"METHOD /path" of the account API requests so far; ours: only
        those with this portal's session cookie (any OBS with this plug-in
        asks the portal's fixed address at start-up)."""
        return [f"{r['method']} {r['target'].split('?', 1)[0]}"
                for r in self.admin("GET", "requests")["requests"]
                if not ours or f"qm_session={self.token}"
                in r["headers"].get("cookie", "")]

    def state_polls(self, device_id=None):
        return [line for line in self.request_lines(ours=False)
                if line.startswith("GET /devices/") and line.endswith("/state")
                and (device_id is None
                     or line == f"GET /devices/{device_id}/state")]

    def serve(self, home, away, seq):
        """Makes the device's cloud state this envelope from now on."""
        envelope = {
            "type": "state", "v": 1, "seq": seq,
            "ts_ms": int(time.time() * 1000), "sport": "basketball",
            "online": True, "transport": "wifi",
            "fields": {"home_name": "Harbor Hawks",
                       "away_name": "Mill City Miners",
                       "home_score": home, "away_score": away,
                       "period": 2, "clock": "4:1%d" % (seq % 10)},
        }
        self.admin("POST", f"devices/{DEVICE_ID}", {"status": "online"})
        self.admin("POST", f"devices/{DEVICE_ID}/state", envelope)
        return envelope


def start_device(program, artifacts, name, rate, speed, seed, extra=()):
    """The device simulator, its feed on 127.0.0.1:FEED_PORT and a game
    running (extra: more of its options); returns (process, the feed's
    access token)."""
    device = ToolProcess(
        [program, "device", "--feed", "127.0.0.1", "--device-id", DEVICE_ID,
         "--rate", rate, "--speed", speed, "--seed", seed, *extra], name,
        artifacts)
    device.start()
    try:
        device.wait_line(rf"^feed 127\.0\.0\.1:{FEED_PORT}$", timeout=15)
        token = device.wait_line(r"^token (\S+)$", timeout=5).group(1)
    except HarnessError:
        device.stop()
        raise
    return device, token


def plugin_settings(server_port, lan_token=None, **extra):
    """settings.json: the data server on server_port; with lan_token the
    device remembered on its LAN route (127.0.0.1, named LAN_NAME)."""
    settings = {"server_enabled": True, "server_port": server_port,
                "server_allow_network": False, "auto_check_updates": False}
    if lan_token:
        settings.update(
            selected_device=DEVICE_ID, routes={DEVICE_ID: "lan"},
            lan={DEVICE_ID: {"host": "127.0.0.1", "token": lan_token,
                             "name": LAN_NAME}})
    return dict(settings, **extra)


# The data server sends one JSON value a line: a snapshot of the live data
# on connect, on every change and as the answer to "get".

def is_snapshot(data):
    return isinstance(data, dict) and "fields" in data and "op" not in data


def score_of(snapshot):
    fields = snapshot.get("fields", {})
    return fields.get("home_score"), fields.get("away_score")


def snapshots(client):
    return [m for m in client.messages() if is_snapshot(m.data)]


def latest_snapshot(client):
    found = snapshots(client)
    return found[-1].data if found else None


def server_ask(client, command):
    """The answer to "get" (a snapshot: broadcasts come with changed data
    only, not with a new source label) or "status"."""
    start = client.count()
    client.send_line(command)
    return client.wait_message(
        lambda d: is_snapshot(d) if command == "get" else
        isinstance(d, dict) and d.get("op") == command, 10,
        f"the data server's answer to {command}", start=start).data


def server_status(client):
    return server_ask(client, "status")
