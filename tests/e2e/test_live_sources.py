#!/usr/bin/python3
"""Live scores reaching a real OBS Studio from the cloud and from the LAN feed.

Two OBS runs, each under its own Xvfb with the plug-in installed in an
isolated home, a scene holding a "quillmarch_text" source with the default
template, a stored sign-in (session.json) and the data server switched on
(settings.json):

cloud  The portal simulator holds an account with exactly one device and
       knows the stored session. Without any user action the plug-in must
       restore the sign-in, list the devices, pick that device, remember it
       and poll its state every second; the text source and the data
       server follow the scores the portal serves.

lan    settings.json routes the same device to its secure feed on this
       computer (the device simulator on 127.0.0.1:1010). The text follows
       the feed, the portal never sees a state poll, the data server names
       the device "Gym", and when the feed goes away the text keeps its
       last score and picks up again once the feed is back.

    tests/e2e/test_live_sources.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [--case cloud|lan|all]

The plug-in in DIR must be built to talk to the portal at
http://127.0.0.1:8787; the portal simulator is started on that port, so no
two such tests may run at once. Exit status 0 only when every check passed.
Needs what test_text_source.py needs, plus the two simulator programs.
"""

import argparse
import json
import os
import secrets
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obs_harness import (  # noqa: E402
    CheckRun, HarnessError, JsonLineClient, ObsSession, Source, ToolProcess,
    free_tcp_port, http_json, normalise_text, ocr_line, strip_log_time,
    tcp_port_free, wait_for)

MODULE = "quillmarch-obs"
KIND = "quillmarch_text"
DEFAULT_TEMPLATE = "{home_score} - {away_score}"
SCENE = "Scoreboard"
SCORE = "Score"
# What the default template renders without any live data; its width is
# the "nothing yet" reference.
BLANK = "Blank"
BLANK_TEXT = " - "
SCORE_CHARSET = "0123456789 -"

PORTAL_PORT = 8787
FEED_PORT = 1010
DEVICE_ID = "QM-LS0001"
OTHER_DEVICE = "QM-LS0002"
OWNER = "gym-owner@example.com"
LAN_NAME = "Gym"

# The whole run, both OBS starts and quits included.
OVERALL_LIMIT_S = 170


class TimeLimit(BaseException):
    """Past the overall limit: not caught by a check group, so it ends the
    run and the with-blocks stop every process."""


def _on_alarm(signum, frame):
    raise TimeLimit(f"the whole test ran past {OVERALL_LIMIT_S} s")


def _on_term(signum, frame):
    raise SystemExit(f"stopped by signal {signum}")


# --------------------------------------------------------------------------
# The pieces around OBS


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
        if not tcp_port_free(PORTAL_PORT):
            raise HarnessError(f"127.0.0.1:{PORTAL_PORT} is in use; another "
                               "portal simulator is running")
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
        keeps the requests that carry this test's session cookie.
        """
        out = []
        for r in self.admin("GET", "requests")["requests"]:
            cookie = r["headers"].get("cookie", "")
            if ours and f"qm_session={self.token}" not in cookie:
                continue
            out.append((r["method"], r["target"].split("?", 1)[0],
                        r["headers"]))
        return out

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


def plugin_settings(server_port, **extra):
    settings = {"server_enabled": True, "server_port": server_port,
                "server_allow_network": False, "auto_check_updates": False}
    settings.update(extra)
    return settings


def scenes():
    return {SCENE: [
        Source(KIND, SCORE, position=(40.0, 40.0), scale=(0.25, 0.25)),
        Source(KIND, BLANK, {"template": BLANK_TEXT},
               position=(40.0, 400.0), scale=(0.25, 0.25)),
    ]}


def start_obs(artifacts, args, plugin_files):
    return ObsSession(artifacts, scenes(), plugin_tree=args.plugin_dir,
                      x11_close=args.x11_close, start_timeout=60,
                      quit_timeout=30, plugin_config={MODULE: plugin_files})


# --------------------------------------------------------------------------
# Reading the data server and the text source


def is_snapshot(data):
    return isinstance(data, dict) and "fields" in data and "op" not in data


def score_of(snapshot):
    fields = snapshot.get("fields", {})
    return fields.get("home_score"), fields.get("away_score")


def score_text(score):
    """A score as OCR gives it back: white space is left out, because
    tesseract reads the narrow gaps around the dash either way."""
    return f"{score[0]}-{score[1]}"


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


def snapshots(client, start=0):
    return [m for m in client.messages(start) if is_snapshot(m.data)]


def source_size(obs, name):
    return obs.ws.source_size(SCENE, obs.ws.scene_item_id(SCENE, name))


def wait_width(obs, predicate, what, timeout=10):
    def width():
        w, h = source_size(obs, SCORE)
        return w if h > 0 and predicate(w) else None
    return wait_for(width, timeout, what, interval=0.1)


def read_score(obs, path):
    """Screenshot of the score source, and what OCR reads in it."""
    obs.ws.source_screenshot(SCORE, path)
    return [compact(r) for r in ocr_line(path, SCORE_CHARSET)]


def compact(text):
    return "".join(normalise_text(text).split())


def read_moving_score(obs, client, path):
    """Reads the score source while scores keep changing; returns the
    OCR readings and the scores the data server published around the
    moment of the screenshot (the one in effect before it, and any that
    arrived while it was taken)."""
    before = time.monotonic()
    obs.ws.source_screenshot(SCORE, path)
    after = time.monotonic()
    time.sleep(0.3)  # let a line sent while the frame was drawn arrive
    shown = snapshots(client)
    earlier = [m for m in shown if m.at <= before - 0.1]
    during = [m for m in shown if before - 0.1 < m.at <= after + 0.2]
    candidates = ([earlier[-1]] if earlier else []) + during
    readings = [compact(r) for r in ocr_line(path, SCORE_CHARSET)]
    return readings, [score_text(score_of(m.data)) for m in candidates]


def check_template_is_default(obs):
    current = obs.ws.get_input_settings(SCORE)
    assert current["inputKind"] == KIND, current
    defaults = obs.ws.get_input_default_settings(KIND)
    effective = current["inputSettings"].get("template",
                                             defaults.get("template"))
    assert effective == DEFAULT_TEMPLATE, (
        f"{SCORE} renders template {effective!r}, expected the default "
        f"{DEFAULT_TEMPLATE!r}: {current}")


def check_clean_quit(obs):
    result = obs.quit()
    assert result.clean, f"OBS did not quit cleanly: {result.detail}"
    ours = [l for l in obs.log_lines() if "[quillmarch]" in l]
    assert ours and ours[-1] == "[quillmarch] plugin unloaded", (
        f"last [quillmarch] lines: {ours[-5:]}")


# --------------------------------------------------------------------------
# Cloud route


def cloud_signs_in_and_selects(obs, portal, client, state):
    """The stored session is restored, the account's only device is
    chosen and remembered, and its state is polled every second."""
    try:
        wait_for(lambda: portal.state_polls(DEVICE_ID), 20,
                 f"a state poll of {DEVICE_ID}", interval=0.25)
    except HarnessError as err:
        raise AssertionError(
            f"{err}; the portal saw: "
            f"{[f'{m} {p}' for m, p, _ in portal.requests(ours=False)]}")
    # Only requests with the stored session cookie count: a plug-in that
    # did not load session.json cannot pass.
    paths = [f"{m} {p}" for m, p, _ in portal.requests()]
    state["cloud_first_requests"] = paths[:6]
    for wanted in ("GET /auth/me", "GET /devices",
                   f"GET /devices/{DEVICE_ID}/state"):
        assert wanted in paths, (
            f"no {wanted} with the stored session cookie: {paths[:20]}")
    me = paths.index("GET /auth/me")
    devices = paths.index("GET /devices")
    poll = paths.index(f"GET /devices/{DEVICE_ID}/state")
    assert me < devices < poll, (
        f"expected sign-in, then the device list, then state polls: "
        f"{paths[:20]}")
    others = portal.state_polls(OTHER_DEVICE)
    assert not others, f"the plug-in asked about a device not on the account: {others}"

    settings = wait_for(
        lambda: (lambda s: s if s and s.get("selected_device") else None)(
            obs.read_plugin_json(MODULE, "settings.json")),
        5, "selected_device in settings.json")
    assert settings["selected_device"] == DEVICE_ID, settings

    status = server_status(client)
    state["cloud_status_before_data"] = status
    assert status.get("signed_in") is True and status.get("account") == OWNER, (
        f"data server status does not show {OWNER} signed in: {status}")
    assert status.get("device") == DEVICE_ID and status.get("source") == DEVICE_ID, (
        f"data server status does not name {DEVICE_ID} as the source: {status}")

    # One poll a second: note when each new poll shows up in the log.
    seen = len(portal.state_polls(DEVICE_ID))
    arrivals = []
    end = time.monotonic() + 4.5
    while time.monotonic() < end:
        count = len(portal.state_polls(DEVICE_ID))
        arrivals += [time.monotonic()] * (count - seen)
        seen = count
        time.sleep(0.05)
    gaps = [round(b - a, 2) for a, b in zip(arrivals, arrivals[1:])]
    state["cloud_poll_gaps_s"] = gaps
    assert len(gaps) >= 2 and all(0.7 <= g <= 1.3 for g in gaps), (
        f"state polls {gaps} s apart; expected one a second")


def cloud_blank_until_data(obs, client, state):
    """While the device has never sent data the text shows only the
    template's literal part, and the data server says whose data it
    will be."""
    first = client.wait_message(is_snapshot, 5, "the snapshot sent on connect")
    assert first.data.get("fields") == {}, (
        f"snapshot before any data has fields: {first.data}")
    check_template_is_default(obs)
    blank = source_size(obs, BLANK)
    score = source_size(obs, SCORE)
    state["blank_size"] = blank
    assert blank[0] > 0 and score == blank, (
        f"{SCORE} with a pending device renders at {score}, the literal "
        f"{BLANK_TEXT!r} at {blank}")
    # The source label follows the selection even without data.
    snap = server_get(client)
    assert snap.get("source") == DEVICE_ID and snap.get("fields") == {}, (
        f"snapshot with a pending device: {snap}")


def cloud_text_follows_portal(obs, portal, client, artifacts, state):
    """Scores the portal serves reach the data server and the text: the
    text grows from the blank width, changes with the score and reads as
    the fields say."""
    blank_width = state.get("blank_size", source_size(obs, BLANK))[0]
    widths = []
    for seq, (home, away) in enumerate(((7, 3), (112, 98)), start=1):
        mark = client.count()
        served = portal.serve(home, away, seq)
        expected = (str(home), str(away))
        snap = client.wait_message(
            lambda d: is_snapshot(d) and score_of(d) == expected, 6,
            f"a snapshot with {score_text(expected)}", start=mark).data
        assert snap.get("source") == DEVICE_ID, (
            f"snapshot source is {snap.get('source')!r}, not {DEVICE_ID}")
        assert snap.get("sport") == served["sport"], snap
        for key in ("home_name", "away_name", "period", "clock"):
            assert snap["fields"].get(key) == str(served["fields"][key]), (
                f"field {key}: portal served {served['fields'][key]!r}, "
                f"data server says {snap['fields'].get(key)!r}")
        floor = widths[-1] if widths else blank_width
        width = wait_width(obs, lambda w: w > floor,
                           f"{SCORE} to grow past {floor} px for "
                           f"{score_text(expected)}")
        widths.append(width)
        path = os.path.join(artifacts, f"cloud-score-{home}-{away}.png")
        readings = read_score(obs, path)
        assert score_text(expected) in readings, (
            f"{SCORE} reads {readings}, the data says "
            f"{score_text(expected)} ({path})")
    state["cloud_widths"] = [blank_width] + widths

    status = server_status(client)
    assert status.get("live") is True, f"not live after data: {status}"
    obs.screenshot("cloud-obs-window.png")


def run_cloud(args, artifacts, run, state):
    portal = Portal(args.portal_sim, artifacts, "cloud-portal", "pending")
    server_port = free_tcp_port()
    files = {"session.json": portal.session_file(),
             "settings.json": plugin_settings(server_port)}
    session = start_obs(os.path.join(artifacts, "cloud-obs"), args, files)
    client = None
    try:
        portal.start()
        with session as obs:
            client = JsonLineClient(server_port)
            run.group("cloud: signs in by itself, selects and polls the "
                      "account's only device",
                      cloud_signs_in_and_selects, obs, portal, client, state)
            run.group("cloud: text stays blank while the device has no data",
                      cloud_blank_until_data, obs, client, state)
            run.group("cloud: text and data server follow the portal's scores",
                      cloud_text_follows_portal, obs, portal, client,
                      artifacts, state)
            client.close()
            client = None
            run.group("cloud: OBS quits cleanly", check_clean_quit, obs)
    except HarnessError as err:
        run.fail("cloud: setup", str(err))
    finally:
        if client:
            client.close()
        portal.stop()
        print_plugin_log("cloud", session)


# --------------------------------------------------------------------------
# LAN route


def lan_feed_is_the_source(obs, portal, client, state):
    """The remembered LAN route wins: data comes from the feed under the
    device's LAN name and the portal sees no state poll."""
    snap = client.wait_message(
        lambda d: is_snapshot(d) and d.get("fields", {}).get("home_score"),
        15, "a snapshot with scores").data
    assert snap.get("source") == LAN_NAME, (
        f"snapshot source is {snap.get('source')!r}, not {LAN_NAME!r}: {snap}")
    assert snap["fields"].get("home_name") == "Harbor Hawks", (
        f"fields are not the device simulator's game: {snap['fields']}")
    paths = [f"{m} {p}" for m, p, _ in portal.requests()]
    assert "GET /auth/me" in paths and "GET /devices" in paths, (
        f"the plug-in did not sign in and list devices: {paths}")
    status = server_status(client)
    assert status.get("device") == DEVICE_ID and status.get("source") == LAN_NAME \
        and status.get("live") is True, f"data server status: {status}"
    polls = portal.state_polls()
    assert not polls, f"state polls reached the portal: {polls}"


def lan_text_follows_feed(obs, client, artifacts, state):
    """The text grows from the blank width to the score, its width changes
    as the score gains digits, and what it shows is a score the data
    server published at that moment."""
    check_template_is_default(obs)
    blank_width = source_size(obs, BLANK)[0]
    assert blank_width > 0, "the blank reference renders nothing"
    first = wait_width(obs, lambda w: w > blank_width,
                       f"{SCORE} to grow past the blank {blank_width} px")
    widths = {first}
    readings_seen = []

    path = os.path.join(artifacts, "lan-score-1.png")
    readings, candidates = read_moving_score(obs, client, path)
    assert set(readings) & set(candidates), (
        f"{SCORE} reads {readings}; the data server published "
        f"{candidates} around that moment ({path})")
    readings_seen.append(next(r for r in readings if r in candidates))

    # The game runs fast enough to add a digit within the wait.
    deadline = time.monotonic() + 45
    while len(widths) < 2 and time.monotonic() < deadline:
        w, _ = source_size(obs, SCORE)
        if w > 0:
            widths.add(w)
        time.sleep(0.2)
    state["lan_widths"] = sorted(widths)
    assert len(widths) >= 2, (
        f"{SCORE} kept width {sorted(widths)} for 45 s while the feed ran; "
        f"latest snapshots: {[score_of(m.data) for m in snapshots(client)[-3:]]}")
    assert min(widths) > blank_width, (
        f"{SCORE} fell back to the blank width: {sorted(widths)}")

    path = os.path.join(artifacts, "lan-score-2.png")
    readings, candidates = read_moving_score(obs, client, path)
    assert set(readings) & set(candidates), (
        f"{SCORE} reads {readings}; the data server published "
        f"{candidates} around that moment ({path})")
    readings_seen.append(next(r for r in readings if r in candidates))
    state["lan_readings"] = readings_seen
    assert readings_seen[0] != readings_seen[1], (
        f"the text read {readings_seen[0]} twice, seconds apart, while the "
        "scores moved")
    obs.screenshot("lan-obs-window.png")


def lan_survives_feed_loss(obs, portal, device, client, artifacts, state):
    """With the feed gone the text keeps its last score; once the device
    takes connections again the plug-in reconnects by itself and the text
    moves on."""
    signed_in_before = device_sign_ins(device)
    device.send("feed refuse 2500")
    device.send("feed drop")
    dropped = time.monotonic()
    time.sleep(1.2)
    status = server_status(client)
    state["lan_status_without_feed"] = status
    assert status.get("live") is False, f"still live without the feed: {status}"
    settled = [m for m in snapshots(client) if m.at <= dropped + 0.3]
    assert settled, "no snapshot before the feed was dropped"
    last = settled[-1]
    late = [m.data for m in snapshots(client) if m.at > dropped + 0.3]
    assert not late, f"snapshots while the feed was away: {late}"
    width_before = source_size(obs, SCORE)[0]

    path = os.path.join(artifacts, "lan-score-no-feed.png")
    readings = read_score(obs, path)
    expected = score_text(score_of(last.data))
    state["lan_reading_without_feed"] = readings
    assert expected in readings, (
        f"without the feed {SCORE} reads {readings}, the last data was "
        f"{expected} ({path})")
    assert source_size(obs, SCORE)[0] == width_before, (
        "the text changed size while no data came")

    mark = client.count()
    moved = client.wait_message(
        lambda d: is_snapshot(d) and score_of(d) != score_of(last.data),
        12, "a new score after the feed came back", start=mark)
    gap = moved.at - dropped
    state["lan_feed_gap_s"] = round(gap, 1)
    assert gap >= 2.0, (
        f"data came back {gap:.1f} s after the drop, before the device "
        "took connections again")
    assert moved.data.get("source") == LAN_NAME, moved.data
    # Give the new score a moment to reach the screen; from then on the
    # text must never show the score from before the loss again.
    time.sleep(0.5)
    path = os.path.join(artifacts, "lan-score-feed-back.png")
    readings, candidates = read_moving_score(obs, client, path)
    state["lan_reading_feed_back"] = readings
    assert set(readings) & set(candidates), (
        f"after the feed came back {SCORE} reads {readings}; the data "
        f"server published {candidates} around that moment ({path})")
    assert expected not in readings, (
        f"{SCORE} still shows {expected} from before the loss, "
        f"{time.monotonic() - moved.at:.1f} s after new data "
        f"came ({path})")

    status = server_status(client)
    assert status.get("live") is True, f"not live again: {status}"
    sign_ins = device_sign_ins(device)
    assert sign_ins == signed_in_before + 1, (
        f"the device saw {sign_ins - signed_in_before} feed sign-ins after "
        "the drop; one reconnection expected")
    polls = portal.state_polls()
    assert not polls, f"the plug-in fell back to polling the portal: {polls}"


def device_sign_ins(device):
    with open(device.log_path, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if "client signed in" in line)


def run_lan(args, artifacts, run, state):
    if not tcp_port_free(FEED_PORT):
        run.fail("lan: setup", f"127.0.0.1:{FEED_PORT} is in use")
        return
    device = ToolProcess(
        [args.device_sim, "device", "--feed", "127.0.0.1",
         "--device-id", DEVICE_ID, "--rate", "4", "--speed", "120",
         "--seed", "11"],
        "lan-device", artifacts)
    portal = Portal(args.portal_sim, artifacts, "lan-portal", "online")
    server_port = free_tcp_port()
    session = None
    client = None
    try:
        device.start()
        device.wait_line(rf"^feed 127\.0\.0\.1:{FEED_PORT}$", timeout=15)
        token = device.wait_line(r"^token (\S+)$", timeout=5).group(1)
        portal.start()
        files = {
            "session.json": portal.session_file(),
            "settings.json": plugin_settings(
                server_port, selected_device=DEVICE_ID,
                routes={DEVICE_ID: "lan"},
                lan={DEVICE_ID: {"host": "127.0.0.1", "token": token,
                                 "name": LAN_NAME}}),
        }
        session = start_obs(os.path.join(artifacts, "lan-obs"), args, files)
        with session as obs:
            client = JsonLineClient(server_port)
            run.group("lan: the feed is the live source, no cloud polls",
                      lan_feed_is_the_source, obs, portal, client, state)
            run.group("lan: text re-renders from the feed",
                      lan_text_follows_feed, obs, client, artifacts, state)
            run.group("lan: text keeps its score through a feed loss and "
                      "follows again after it",
                      lan_survives_feed_loss, obs, portal, device, client,
                      artifacts, state)
            client.close()
            client = None
            run.group("lan: OBS quits cleanly", check_clean_quit, obs)
    except HarnessError as err:
        run.fail("lan: setup", str(err))
    finally:
        if client:
            client.close()
        portal.stop()
        device.stop()
        if session:
            print_plugin_log("lan", session)


def print_plugin_log(case, session):
    lines = [strip_log_time(l) for l in session.log_text().splitlines()
             if "[quillmarch]" in l]
    if lines:
        print(f"{case}: [quillmarch] log lines:")
        for line in lines:
            print("    " + line)


# --------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plugin-dir", required=True,
                        help="directory holding quillmarch-obs/")
    parser.add_argument("--artifacts", required=True,
                        help="where screenshots, OBS's and the simulators' "
                        "logs are written")
    parser.add_argument("--device-sim", required=True,
                        help="the quillmarch-sim program")
    parser.add_argument("--portal-sim", required=True,
                        help="the quillmarch-portal-sim program")
    parser.add_argument("--case", choices=("cloud", "lan", "all"),
                        default="all")
    parser.add_argument("--x11-close", default=None,
                        help="built x11_close helper (else $QM_X11_CLOSE, "
                        "else compiled on the fly)")
    args = parser.parse_args()

    run = CheckRun()
    so = os.path.join(args.plugin_dir, MODULE, "bin", "64bit", MODULE + ".so")
    for path in (so, args.device_sim, args.portal_sim):
        if not os.path.isfile(path):
            run.fail("setup", f"{path} does not exist")
    if not run.results:
        artifacts = os.path.abspath(args.artifacts)
        os.makedirs(artifacts, exist_ok=True)
        signal.signal(signal.SIGALRM, _on_alarm)
        signal.signal(signal.SIGTERM, _on_term)
        signal.alarm(OVERALL_LIMIT_S)
        started = time.monotonic()
        state = {}
        try:
            if args.case in ("cloud", "all"):
                run_cloud(args, artifacts, run, state)
            if args.case in ("lan", "all"):
                run_lan(args, artifacts, run, state)
        except TimeLimit as err:
            run.fail("time limit", str(err))
        finally:
            signal.alarm(0)
            for key, value in state.items():
                print(f"{key}: {value}")
            print(f"artifacts in {artifacts}; took "
                  f"{time.monotonic() - started:.1f} s")
    print(run.summary())
    return 0 if run.ok else 1


if __name__ == "__main__":
    sys.exit(main())
