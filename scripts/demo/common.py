"""What the two demos of scripts/run-obs share: the OBS session in the demo
home, screenshots, waiting while the user watches, the closing quit, the
options and the way a demo ends.

The OBS harness comes from tests/e2e/obsharness, so the demos drive OBS
exactly as the real-OBS tests do.
"""

import argparse
import os
import secrets
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tests", "e2e"))

from obsharness import HarnessError, ObsSession  # noqa: E402
from obsharness.plugin import LOG_TAG  # noqa: E402


def say(text):
    """One console line of a demo run."""
    print(f"run-obs: {text}", flush=True)


def parser(description):
    """The options both demos take."""
    p = argparse.ArgumentParser(description=description.split("\n")[0])
    p.add_argument("--home", required=True,
                   help="OBS home directory (kept between runs)")
    p.add_argument("--plugin-tree", required=True,
                   help="directory holding quillmarch-obs/")
    p.add_argument("--artifacts", required=True,
                   help="where screenshots and logs go")
    p.add_argument("--obs", default="obs",
                   help="the OBS to show: Debian's obs, or an unpacked "
                   "OBS's bin/obs such as /opt/obs-studio-30/bin/obs")
    p.add_argument("--display", default="",
                   help="X display to use; empty: private Xvfb")
    p.add_argument("--seconds", type=float, default=20,
                   help="how long OBS shows the scene")
    return p


def session(args, scenes, collection, keep_collection, plugin_config=None):
    """An ObsSession in the demo home kept between runs, on the user's X
    display or, when args.display is empty, on a private Xvfb."""
    if args.display:
        say(f"using display {args.display}")
    else:
        say("no display found, running OBS under Xvfb")
    os.makedirs(args.home, exist_ok=True)
    # obs-websocket listens on every interface, and on a real desktop
    # that is a network the user shares: never without a password there.
    return ObsSession(os.path.abspath(args.artifacts), scenes,
                      plugin_tree=args.plugin_tree, home=args.home,
                      display=args.display or None, profile="QuillmarchDemo",
                      collection=collection, keep_collection=keep_collection,
                      start_timeout=90, obs_binary=args.obs,
                      websocket_password=secrets.token_urlsafe(18),
                      plugin_config=plugin_config)


def window_shot(obs, name):
    """OBS's main window on a user's desktop (not the rest of their
    screen), the whole screen under Xvfb, where OBS fills it."""
    if obs.xvfb:
        return obs.screenshot(name)
    return obs.main_window_screenshot(name)


def source_shot(obs, name, file_name=None):
    """A PNG of one source in the artifacts (NAME.png unless file_name is
    given); a failure is reported, not raised."""
    path = os.path.join(obs.artifacts_dir, file_name or name.lower() + ".png")
    try:
        obs.ws.source_screenshot(name, path)
        say(f"source '{name}' rendered to {path}")
    except HarnessError as err:
        say(f"no screenshot of source '{name}': {err}")


def wait_until(obs, until):
    """Sleeps until the time.monotonic() value until, or until OBS exits
    (the user may close it); True while OBS runs."""
    while time.monotonic() < until and obs.running():
        time.sleep(0.25)
    return obs.running()


def quit_and_report(obs):
    """Quits OBS by closing its window and reports how it went, where its
    log is and what the plug-in logged. Returns the QuitResult."""
    result = obs.quit()
    say(f"OBS quit: {result.detail}")
    say(f"OBS log saved to {os.path.join(obs.artifacts_dir, 'obs.log')}")
    obs.close()  # copies the log into the artifacts
    for line in obs.log.lines(LOG_TAG):
        print("  " + line)
    return result


def run(demo, args):
    """Runs demo(args) and returns the exit status. A terminated demo
    still stops OBS and what else it started on its way out."""
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(
        f"run-obs: stopped by signal {signum}"))
    try:
        return demo(args)
    except HarnessError as err:
        print(f"run-obs: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("run-obs: interrupted", file=sys.stderr)
        return 130
