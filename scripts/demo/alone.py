#!/usr/bin/python3
"""The plug-in alone in OBS: what scripts/run-obs --no-simulators runs.

Starts OBS in the demo home with a "Scoreboard" scene holding one
Quillmarch Live Text source and no live data (an existing scene
collection is kept as the user left it), takes a screenshot of OBS's
window and one of the source after the wait, and quits OBS by closing
its window.

    scripts/demo/alone.py --home DIR --plugin-tree DIR --artifacts DIR \\
        [--display :0] [--seconds N]
"""

import sys
import time

import common
from obsharness import Source


def show(args):
    scenes = {"Scoreboard": [Source(args.source_kind, args.source_name,
                                    position=(80.0, 80.0), scale=(0.5, 0.5))]}
    obs = common.session(args, scenes, "QuillmarchDemo", keep_collection=True)
    with obs:
        common.say(f"OBS started (pid {obs.proc.pid}), home {obs.home.root}")
        if common.wait_until(obs, time.monotonic() + args.seconds):
            shot = common.window_shot(obs, args.screenshot_name)
            common.say(f"screenshot saved to {shot}")
            common.source_shot(obs, args.source_name, "source.png")
        result = common.quit_and_report(obs)
    return 0 if result.clean else 1


def main(argv=None):
    parser = common.parser(__doc__)
    parser.add_argument("--screenshot-name", default="obs-window.png")
    parser.add_argument("--source-kind", default="quillmarch_text")
    parser.add_argument("--source-name", default="Score")
    return common.run(show, parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
