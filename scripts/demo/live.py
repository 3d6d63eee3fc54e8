#!/usr/bin/python3
"""The live demo scripts/run-obs starts: OBS fed by the simulators.

Starts the portal simulator (on the address the plug-in was built for,
http://127.0.0.1:8787, already knowing one signed-in session) and the
device simulator (its secure live feed on 127.0.0.1:1010, its USB cable on
a pseudo-terminal linked as /dev/ttyACMquillmarch-demo when run as root, a
basketball game running), seeds the demo home's plug-in files so the plug-in signs
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

    scripts/demo/live.py --home DIR --plugin-tree DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH [--display :0] [--seconds N]

Every file the demo seeds (scene collection, settings.json, session.json)
is written fresh on each run, over whatever an earlier run left.
"""

import json
import os
import secrets
import sys
import time

import common
from common import say
from obsharness import (HarnessError, JsonLineClient, Source, free_tcp_port,
                        port_problem)
from obsharness.plugin import (
    DEVICE_ID, FEED_PORT, KIND, LAN_NAME, MODULE, OWNER, SCENE, Portal,
    is_snapshot, latest_snapshot, plugin_settings, server_status,
    start_device)

SCORE_TEMPLATE = "{home_name} {home_score} - {away_score} {away_name}"
CLOCK_TEMPLATE = "{period|ordinal:4} {clock|clock}"
COLLECTION = "QuillmarchLive"
# How long the plug-in gets, from OBS's window appearing, to bring the
# first scores, however short the wait asked for.
FIRST_DATA_LIMIT_S = 30
# The two screenshots are at least this far apart, so the game has moved.
SHOT_GAP_S = 4
# Where the device's cable appears for the setup dialog (as root).
USB_LINK = "/dev/ttyACMquillmarch-demo"


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


def shown(data):
    """The snapshot's fields through the two sources' templates."""
    f = data.get("fields", {})
    return (f"{f.get('home_name', '')} {f.get('home_score', '')} - "
            f"{f.get('away_score', '')} {f.get('away_name', '')}  |  "
            f"period {f.get('period', '')}, {f.get('clock', '')}")


def has_scores(data):
    return is_snapshot(data) and "home_score" in data.get("fields", {})


def wait_first_scores(obs, client, limit):
    """The first snapshot with scores, or None when none came within limit
    seconds or OBS went away first."""
    deadline = time.monotonic() + limit
    while obs.running():
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        try:
            return client.wait_message(has_scores, min(left, 1.0),
                                       "live scores").data
        except HarnessError:
            if client.closed:
                raise


def window_shot(obs, client, name):
    data = latest_snapshot(client)
    shot = common.window_shot(obs, name)
    say(f"screenshot saved to {shot} (data then: {shown(data)})")


def start_simulators(args, artifacts, stack):
    """The device simulator when its feed port can be had, and the portal
    simulator; returns (portal, device or None, feed token or None)."""
    seed = str(args.seed if args.seed is not None
               else secrets.randbelow(1 << 31))
    device = token = None
    problem = port_problem(FEED_PORT)
    # The cable side too, so "Set up or manage a device…" finds the device:
    # the port list shows /dev/ttyACM* names, and only root can add one.
    cable = ["--usb"] + (["--link", USB_LINK] if os.geteuid() == 0 else [])
    if problem is None:
        try:
            device, token = start_device(args.device_sim, artifacts,
                                         "device-sim", 10, args.game_speed,
                                         seed, cable)
            stack.append(device)
        except HarnessError as err:
            problem = f"the device simulator did not start: {err}"
    if device:
        say(f"device simulator {DEVICE_ID} (\"{LAN_NAME}\") serves its live "
            f"feed on 127.0.0.1:{FEED_PORT} (game seed {seed}, "
            f"{args.game_speed:g}x speed); log {device.log_path}")
        pty = device.wait_line(r"^usb (\S+)$").group(1)
        say(f"its USB cable is {pty}" + (
            f", listed as {os.path.basename(USB_LINK)} by \"Set up or manage "
            f"a device…\" (factory password corvalinth)"
            if os.geteuid() == 0 else
            " (not root: no /dev/ttyACM* link, so the setup dialog does "
            "not list it)"))
    else:
        say(f"no local device feed: {problem}.")
        say("the plug-in polls the portal simulator instead, and its own "
            "simulated game supplies the scores (cloud route)")

    # Online: the device takes part in its own game on the portal too,
    # which is what the cloud route shows without a LAN feed.
    portal = Portal(args.portal_sim, artifacts, "portal", "online")
    stack.append(portal.process)
    portal.start()
    say(f"portal simulator at {portal.base}, {OWNER} signed in; log "
        f"{portal.process.log_path}")
    return portal, device, token


def show(args):
    artifacts = os.path.abspath(args.artifacts)
    os.makedirs(artifacts, exist_ok=True)
    simulators = []
    client = None
    try:
        portal, device, token = start_simulators(args, artifacts, simulators)
        server_port = free_tcp_port()
        files = {"session.json": portal.session_file(),
                 "settings.json": plugin_settings(
                     server_port, token, selected_device=DEVICE_ID)}
        with common.session(args, scenes(), COLLECTION, keep_collection=False,
                            plugin_config={MODULE: files}) as obs:
            say(f"OBS started (pid {obs.proc.pid}), home {obs.home.root}")
            started = time.monotonic()
            client = JsonLineClient(server_port)
            say(f"data server on 127.0.0.1:{server_port} (one JSON line per "
                f"change; try: nc 127.0.0.1 {server_port})")

            limit = max(args.seconds, FIRST_DATA_LIMIT_S)
            first = wait_first_scores(obs, client, limit)
            if first is None:
                say(f"no scores reached the data server within {limit:g} s"
                    if obs.running() else "OBS exited before any scores arrived")
                common.quit_and_report(obs)
                return 1
            say(f"scores from {first.get('source')} on the data server "
                f"{time.monotonic() - started:.1f} s after OBS's window "
                f"appeared: {shown(first)}")
            # Give OBS a frame or two to draw them.
            time.sleep(1.0)
            if obs.running():
                window_shot(obs, client, "obs-window-first.png")
            until = max(started + args.seconds, time.monotonic() + SHOT_GAP_S)
            if common.wait_until(obs, until):
                window_shot(obs, client, "obs-window.png")
                for name in ("Score", "Clock"):
                    common.source_shot(obs, name)
                status = server_status(client)
                say(f"data server status: live={status.get('live')}, "
                    f"source {status.get('source')}, device "
                    f"{status.get('device')}")
            else:
                say("OBS was closed before the wait ended")
            say(f"last snapshot from the data server on "
                f"127.0.0.1:{server_port}:")
            print(json.dumps(latest_snapshot(client), ensure_ascii=False,
                             separators=(",", ":")), flush=True)
            client.close()
            client = None
            result = common.quit_and_report(obs)
        return 0 if result.clean else 1
    finally:
        if client:
            client.close()
        for tool in reversed(simulators):
            tool.stop()
        if simulators:
            say("simulators stopped")


def main(argv=None):
    parser = common.parser(__doc__)
    parser.add_argument("--device-sim", required=True,
                        help="the quillmarch-sim program")
    parser.add_argument("--portal-sim", required=True,
                        help="the quillmarch-portal-sim program")
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
    return common.run(show, args)


if __name__ == "__main__":
    sys.exit(main())
