"""The plug-in under test and the world around it when live scores flow:
the portal and device simulators, the plug-in's seeded files, and its data
server.

The live sources test and the live demo set the plug-in up the same way
through these: a stored sign-in the portal simulator knows, one device on
the account, and the data server on a port of the caller's choosing.
"""

import json
import os
import secrets
import time

from .base import HarnessError, port_problem
from .tools import ToolProcess, http_json

MODULE = "quillmarch-obs"
# What starts each line the plug-in writes into OBS's log.
LOG_TAG = "[quillmarch]"
KIND = "quillmarch_text"
DEFAULT_TEMPLATE = "{home_score} - {away_score}"
SCENE = "Scoreboard"

# The portal address the plug-in under test is built for.
PORTAL_PORT = 8787
# The device's secure live feed; a privileged port, as on the device.
FEED_PORT = 1010
DEVICE_ID = "QM-LS0001"
OTHER_DEVICE = "QM-LS0002"
OWNER = "gym-owner@example.com"
LAN_NAME = "Gym"


def portal_state(status):
    """An account with one device that has a cloud plan, and a second
    account whose device the plug-in must never ask about."""
    def device(device_id, nickname, state):
        return {"device_id": device_id, "nickname": nickname, "status": state,
                "ble_passkey": "314159", "firmware_version": "1.4.2",
                "sport": "basketball", "home_name": "Harbor Hawks",
                "away_name": "Mill City Miners"}
    return {
        "accounts": [
            {"email": OWNER, "password": "free-throw", "role": "owner",
             "cloud_plan": True, "devices": [DEVICE_ID], "outputs": []},
            {"email": "rival@example.com", "password": "free-throw",
             "role": "owner", "cloud_plan": True,
             "devices": [OTHER_DEVICE], "outputs": []},
        ],
        "devices": [device(DEVICE_ID, LAN_NAME, status),
                    device(OTHER_DEVICE, "Annex", "online")],
    }


class Portal:
    """The portal simulator on the address the plug-in was built for,
    already knowing one signed-in session of OWNER."""

    def __init__(self, program, artifacts, name, status):
        self.token = secrets.token_hex(16)
        self.base = f"http://127.0.0.1:{PORTAL_PORT}"
        state_path = os.path.join(artifacts, name + "-state.json")
        with open(state_path, "w", encoding="utf-8") as f:
            json.dump(portal_state(status), f, indent=2)
        self.process = ToolProcess(
            [program, "--port", PORTAL_PORT, "--state", state_path,
             "--session", f"{self.token}={OWNER}", "--log"],
            name, artifacts)

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
        """session.json as the plug-in stores a sign-in: raw Set-Cookie
        forms of the portal's cookies."""
        return [f"qm_session={self.token}; domain=127.0.0.1; path=/"]

    def admin(self, method, path, body=None):
        status, reply = http_json(method, self.base + "/_sim/" + path, body)
        if status != 200:
            raise HarnessError(f"portal {method} /_sim/{path}: {status} {reply}")
        return reply

    def requests(self, ours=True):
        """(method, path, headers) of the account API requests so far.

        Every OBS with this plug-in asks the portal's fixed address at
        start-up, so an OBS of another test may show up here too; ours=True
        keeps the requests that carry this portal's session cookie.
        """
        out = []
        for r in self.admin("GET", "requests")["requests"]:
            cookie = r["headers"].get("cookie", "")
            if ours and f"qm_session={self.token}" not in cookie:
                continue
            out.append((r["method"], r["target"].split("?", 1)[0],
                        r["headers"]))
        return out

    def request_lines(self, ours=True):
        """The requests as "METHOD /path" lines."""
        return [f"{m} {p}" for m, p, _ in self.requests(ours)]

    def state_polls(self, device_id=None):
        return [r for r in self.requests(ours=False)
                if r[0] == "GET" and r[1].startswith("/devices/")
                and r[1].endswith("/state")
                and (device_id is None or r[1] == f"/devices/{device_id}/state")]

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


def start_device(program, artifacts, name, rate, speed, seed):
    """The device simulator with its live feed on 127.0.0.1:FEED_PORT and
    a game running; returns (process, the feed's access token)."""
    device = ToolProcess(
        [program, "device", "--feed", "127.0.0.1", "--device-id", DEVICE_ID,
         "--rate", rate, "--speed", speed, "--seed", seed], name, artifacts)
    device.start()
    try:
        device.wait_line(rf"^feed 127\.0\.0\.1:{FEED_PORT}$", timeout=15)
        token = device.wait_line(r"^token (\S+)$", timeout=5).group(1)
    except HarnessError:
        device.stop()
        raise
    return device, token


def plugin_settings(server_port, lan_token=None, **extra):
    """settings.json: the data server on 127.0.0.1:server_port, and with
    lan_token the device remembered on its local-network route (the feed
    on 127.0.0.1, named LAN_NAME)."""
    settings = {"server_enabled": True, "server_port": server_port,
                "server_allow_network": False, "auto_check_updates": False}
    if lan_token:
        settings.update(
            selected_device=DEVICE_ID, routes={DEVICE_ID: "lan"},
            lan={DEVICE_ID: {"host": "127.0.0.1", "token": lan_token,
                             "name": LAN_NAME}})
    settings.update(extra)
    return settings


# The data server: one JSON value a line; snapshots of the live data are
# sent on connect, on every change and as the answer to "get".


def is_snapshot(data):
    return isinstance(data, dict) and "fields" in data and "op" not in data


def score_of(snapshot):
    fields = snapshot.get("fields", {})
    return fields.get("home_score"), fields.get("away_score")


def snapshots(client, start=0):
    return [m for m in client.messages(start) if is_snapshot(m.data)]


def latest_snapshot(client):
    found = snapshots(client)
    return found[-1].data if found else None


def server_get(client):
    """The snapshot the data server answers to get (broadcasts only come
    with changed data, not with a new source label)."""
    start = client.count()
    client.send_line("get")
    return client.wait_message(is_snapshot, 10, "the answer to get",
                               start=start).data


def server_status(client):
    start = client.count()
    client.send_line("status")
    return client.wait_message(
        lambda d: isinstance(d, dict) and d.get("op") == "status", 10,
        "the data server's answer to status", start=start).data
