#!/usr/bin/python3
"""The live demo scripts/run-obs starts: OBS fed by the simulators.

Starts the portal simulator (on the address the plug-in was built for,
http://127.0.0.1:8787, already knowing one signed-in session) and the
device simulator (its secure live feed on 127.0.0.1:1010, a basketball
game running), seeds the demo home's plug-in files so the plug-in signs
in by itself and takes the device's feed over the local network, and
starts OBS with a "Scoreboard" scene holding two Quillmarch Live Text
sources, "Score" and "Clock". The plug-in's data server is switched on at
a free port on 127.0.0.1 so other programs can read the same data.

Once the first scores reach the data server it saves a screenshot; after
the wait it saves another one, prints the data server's last snapshot,
quits OBS by closing its window and stops the simulators.

Port 1010 is privileged: when it cannot be bound (not root) or is taken,
the device gets no LAN route and the plug-in polls the portal instead,
whose own simulated game then supplies the scores.

    tests/e2e/demo_live.py --home DIR --plugin-tree DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [--display :0] [--seconds N]

Every file the demo seeds (scene collection, settings.json, session.json)
is written fresh on each run, over whatever an earlier run left.
"""

import argparse
import errno
import json
import os
import secrets
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obs_harness import (  # noqa: E402
    HarnessError, JsonLineClient, Source, ToolProcess, demo_quit,
    demo_session, demo_wait, demo_window_shot, free_tcp_port, say)
from test_live_sources import (  # noqa: E402
    DEVICE_ID, FEED_PORT, KIND, LAN_NAME, MODULE, OWNER, SCENE, Portal,
    is_snapshot, plugin_settings, server_status)

SCORE_TEMPLATE = "{home_name} {home_score} - {away_score} {away_name}"
CLOCK_TEMPLATE = "Q{period} {clock}"
COLLECTION = "QuillmarchLive"
# How long the plug-in gets, from OBS's window appearing, to bring the
# first scores, however short the wait asked for.
FIRST_DATA_LIMIT_S = 30
# The two screenshots are at least this far apart, so the game has moved.
SHOT_GAP_S = 4


def font(size):
    # Settings of OBS's own text source, which draws ours.
    return {"face": "Sans", "style": "Bold", "size": size, "flags": 1}


def scenes():
    """On the 1280x720 canvas: team names and score across the top, the
    period and game clock large below them."""
    return {SCENE: [
        Source(KIND, "Score", {"template": SCORE_TEMPLATE,
                               "font": font(44), "drop_shadow": True},
               position=(48.0, 48.0)),
        Source(KIND, "Clock", {"template": CLOCK_TEMPLATE,
                               "font": font(120), "drop_shadow": True},
               position=(48.0, 150.0)),
    ]}


def feed_port_problem(port=FEED_PORT):
    """None when the device simulator can serve its feed on
    127.0.0.1:port, else why not, in words."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(("127.0.0.1", port))
        except OSError as err:
            if err.errno == errno.EACCES:
                return f"port {port} is privileged and this is not root"
            if err.errno == errno.EADDRINUSE:
                return f"another program listens on 127.0.0.1:{port}"
            return f"127.0.0.1:{port} cannot be bound ({err.strerror})"
    return None


def start_device(program, artifacts, seed, speed):
    """The device simulator with its live feed on 127.0.0.1:1010; returns
    (process, feed access token)."""
    device = ToolProcess(
        [program, "device", "--feed", "127.0.0.1", "--device-id", DEVICE_ID,
         "--rate", "10", "--speed", speed, "--seed", seed],
        "device-sim", artifacts)
    device.start()
    try:
        device.wait_line(rf"^feed 127\.0\.0\.1:{FEED_PORT}$", timeout=15)
        token = device.wait_line(r"^token (\S+)$", timeout=5).group(1)
    except HarnessError:
        device.stop()
        raise
    return device, token


def snapshot_line(data):
    """A snapshot as the data server sends it: compact JSON, one line."""
    return json.dumps(data, ensure_ascii=False, separators=(",", ":"))


def shown(data):
    """The snapshot's fields through the two sources' templates."""
    f = data.get("fields", {})
    return (f"{f.get('home_name', '')} {f.get('home_score', '')} - "
            f"{f.get('away_score', '')} {f.get('away_name', '')}  |  "
            f"Q{f.get('period', '')} {f.get('clock', '')}")


def latest_snapshot(client):
    found = [m.data for m in client.messages() if is_snapshot(m.data)]
    return found[-1] if found else None


def has_scores(data):
    return is_snapshot(data) and "home_score" in data.get("fields", {})


def wait_first_scores(session, client, limit):
    """The first snapshot with scores, or None when none came within limit
    seconds or OBS went away first."""
    deadline = time.monotonic() + limit
    while session.running():
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        try:
            return client.wait_message(has_scores, min(left, 1.0),
                                       "live scores").data
        except HarnessError:
            if client.closed:
                raise


def run(args):
    artifacts = os.path.abspath(args.artifacts)
    os.makedirs(artifacts, exist_ok=True)
    seed = str(args.seed if args.seed is not None
               else secrets.randbelow(1 << 31))
    device = None
    portal = None
    session = None
    client = None
    try:
        problem = feed_port_problem()
        token = None
        if problem is None:
            try:
                device, token = start_device(args.device_sim, artifacts, seed,
                                             str(args.game_speed))
            except HarnessError as err:
                problem = f"the device simulator did not start: {err}"
        if device:
            say(f"device simulator {DEVICE_ID} (\"{LAN_NAME}\") serves its "
                f"live feed on 127.0.0.1:{FEED_PORT} (game seed {seed}, "
                f"{args.game_speed:g}x speed); log {device.log_path}")
        else:
            say(f"no local device feed: {problem}.")
            say("the plug-in polls the portal simulator instead, and its own "
                "simulated game supplies the scores (cloud route)")

        # Online: the device takes part in its own game on the portal too,
        # which is what the cloud route shows without a LAN feed.
        portal = Portal(args.portal_sim, artifacts, "portal", "online")
        portal.start()
        say(f"portal simulator at {portal.base}, {OWNER} signed in; log "
            f"{portal.process.log_path}")

        server_port = free_tcp_port()
        settings = plugin_settings(server_port, selected_device=DEVICE_ID)
        if device:
            settings.update(routes={DEVICE_ID: "lan"},
                            lan={DEVICE_ID: {"host": "127.0.0.1",
                                             "token": token,
                                             "name": LAN_NAME}})
        files = {"session.json": portal.session_file(),
                 "settings.json": settings}
        session = demo_session(artifacts, scenes(), args.home,
                               args.plugin_tree, args.display,
                               collection=COLLECTION, keep_collection=False,
                               plugin_config={MODULE: files})
        with session:
            say(f"OBS started (pid {session.proc.pid}), home "
                f"{session.home.root}")
            started = time.monotonic()
            client = JsonLineClient(server_port)
            say(f"data server on 127.0.0.1:{server_port} (one JSON line per "
                "change; try: nc 127.0.0.1 " + str(server_port) + ")")

            first = wait_first_scores(session, client,
                                      max(args.seconds, FIRST_DATA_LIMIT_S))
            if first is None:
                if session.running():
                    say(f"no scores reached the data server within "
                        f"{max(args.seconds, FIRST_DATA_LIMIT_S):g} s")
                else:
                    say("OBS exited before any scores arrived")
                demo_quit(session)
                return 1
            say(f"scores from {first.get('source')} on the data server "
                f"{time.monotonic() - started:.1f} s after OBS's window "
                f"appeared: {shown(first)}")
            # Give OBS a frame or two to draw them.
            time.sleep(1.0)
            if session.running():
                data = latest_snapshot(client)
                shot = demo_window_shot(session, "obs-window-first.png")
                say(f"screenshot saved to {shot} (data then: {shown(data)})")
            first_shot = time.monotonic()

            until = max(started + args.seconds, first_shot + SHOT_GAP_S)
            if demo_wait(session, until):
                data = latest_snapshot(client)
                shot = demo_window_shot(session, "obs-window.png")
                say(f"screenshot saved to {shot} (data then: {shown(data)})")
                for name in ("Score", "Clock"):
                    path = os.path.join(artifacts, name.lower() + ".png")
                    try:
                        session.ws.source_screenshot(name, path)
                        say(f"source '{name}' rendered to {path}")
                    except HarnessError as err:
                        say(f"no screenshot of source '{name}': {err}")
                status = server_status(client)
                say(f"data server status: live={status.get('live')}, "
                    f"source {status.get('source')}, device "
                    f"{status.get('device')}")
            else:
                say("OBS was closed before the wait ended")
            last = latest_snapshot(client)
            say(f"last snapshot from the data server on "
                f"127.0.0.1:{server_port}:")
            print(snapshot_line(last), flush=True)
            client.close()
            client = None
            result = demo_quit(session)
        return 0 if result.clean else 1
    finally:
        if client:
            client.close()
        for tool in (portal.process if portal else None, device):
            if tool:
                tool.stop()
        if portal or device:
            say("simulators stopped")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--home", required=True,
                        help="OBS home directory (kept between runs)")
    parser.add_argument("--plugin-tree", required=True,
                        help="directory holding quillmarch-obs/")
    parser.add_argument("--artifacts", required=True,
                        help="where screenshots and logs go")
    parser.add_argument("--device-sim", required=True,
                        help="the quillmarch-sim program")
    parser.add_argument("--portal-sim", required=True,
                        help="the quillmarch-portal-sim program")
    parser.add_argument("--display", default="",
                        help="X display to use; empty: private Xvfb")
    parser.add_argument("--seconds", type=float, default=20,
                        help="how long OBS shows the scores")
    parser.add_argument("--seed", type=int, default=None,
                        help="seed of the device's game (default: a new "
                        "game every run)")
    parser.add_argument("--game-speed", type=float, default=4,
                        help="game seconds per real second")
    args = parser.parse_args(argv)
    for path in (args.device_sim, args.portal_sim):
        if not os.access(path, os.X_OK):
            say(f"{path} is not a built program")
            return 1

    # A terminated demo still stops OBS and the simulators on its way out.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(
        f"run-obs: stopped by signal {signum}"))
    try:
        return run(args)
    except HarnessError as err:
        print(f"run-obs: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("run-obs: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
