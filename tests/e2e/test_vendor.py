#!/usr/bin/python3
"""A remote control (Stream Deck, Companion) reaching the live data through
obs-websocket in a real OBS Studio: the plug-in's vendor requests and its
live_changed event, checked against the data server.

The device's feed on 127.0.0.1:1010 runs a fast game (more changes a second
than the event may be sent), the portal knows the account's one device. The
plug-in must be built for the portal at http://127.0.0.1:8787.

    tests/e2e/test_vendor.py --plugin-dir DIR --artifacts DIR \\
        --device-sim PATH --portal-sim PATH
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from obsharness import (  # noqa: E402
    HarnessError, JsonLineClient, Source, free_tcp_port, testing)
from obsharness.plugin import (  # noqa: E402
    DEVICE_ID, KIND, LAN_NAME, OTHER_DEVICE, SCENE, is_snapshot,
    plugin_settings, score_of, server_status, snapshots)
from obsharness.session import ObsWebSocket  # noqa: E402

VENDOR = "quillmarch"
RATE = 50  # feed envelopes a second, each one a change
MAX_EVENTS_PER_S = 20


class VendorRemote(testing.ObsTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        token = cls.start_device_and_portal("vendor-", rate=RATE, speed=120,
                                            seed=23)
        server_port = free_tcp_port()
        files = {"session.json": cls.portal.session_file(),
                 "settings.json": plugin_settings(server_port, token)}
        scenes = {SCENE: [Source(KIND, "Score")]}
        cls.obs = cls.start_obs(cls.artifact("vendor-obs"), scenes, files)
        cls.client = JsonLineClient(server_port)
        cls.addClassCleanup(cls.client.close)

    def ask(self, request_type, data=None):
        call = {"vendorName": VENDOR, "requestType": request_type}
        if data:  # obs-websocket refuses an empty requestData
            call["requestData"] = data
        return self.obs.ws.request("CallVendorRequest", call).get(
            "responseData", {})

    def test_1_requests(self):
        """requests answer with what the data server says; a bad device is refused"""
        self.client.wait_message(
            lambda d: is_snapshot(d) and d["fields"].get("home_score"), 15,
            "a snapshot with scores from the feed")

        live = self.ask("get_live")
        self.assertEqual(live.get("source"), LAN_NAME, live)
        # Taken while the game runs: it must be one of the snapshots the
        # data server sends, field for field.
        try:
            self.client.wait_message(lambda d: d == live, 3,
                                     "the vendor's snapshot")
        except HarnessError as err:
            self.fail(f"{err}: get_live {live} is none of the data "
                      "server's snapshots")

        status = self.ask("get_status")
        served = server_status(self.client)
        del served["op"]
        self.assertEqual(status, served, "get_status and the data server's "
                         "status differ")
        self.assertEqual((status["device"], status["live"]),
                         (DEVICE_ID, True), status)

        devices = self.ask("get_devices")
        self.assertEqual(
            [(d.get("id"), d.get("nickname"), d.get("online"))
             for d in devices.get("devices", [])],
            [(DEVICE_ID, LAN_NAME, True)], devices)

        for request, error in (({"device_id": "QM-NOPE", "why": "typo"},
                                "unknown_device"),
                               ({"device_id": OTHER_DEVICE}, "unknown_device"),
                               ({"device_id": ""}, "missing_device_id"),
                               ({}, "missing_device_id")):
            answer = self.ask("select_device", request)
            self.assertEqual((answer.get("ok"), answer.get("error")),
                             (False, error), f"select_device {request}: {answer}")
            self.assertTrue(answer.get("message"), answer)
        self.assertEqual(server_status(self.client)["device"], DEVICE_ID,
                         "a refused selection changed the device")

    def test_2_live_changed(self):
        """live_changed carries the data server's snapshots, at most 20 a second, the last one included"""
        mark = self.client.count()
        watcher = ObsWebSocket(self.obs.ws.port,
                               events=ObsWebSocket.VENDOR_EVENTS)
        self.addCleanup(watcher.close)
        seconds = 3.0
        running = watcher.events(seconds)
        # Stop the game: whatever changed last must still be sent.
        self.device.send("feed refuse 5000")
        self.device.send("feed drop")
        settled = watcher.events(1.5)

        def ours(events):
            return [d["eventData"]["eventData"] for _, d in events
                    if d.get("eventType") == "VendorEvent"
                    and d["eventData"].get("vendorName") == VENDOR
                    and d["eventData"].get("eventType") == "live_changed"]
        sent = ours(running)
        published = [m.data for m in snapshots(self.client)[mark:]]
        self.state["events_and_snapshots"] = (len(sent), len(published))
        self.assertGreater(len(published), (MAX_EVENTS_PER_S + 5) * seconds,
                           "the feed changed too slowly to test the limit")
        self.assertTrue(sent, "no live_changed event while the game ran")
        self.assertLessEqual(len(sent), MAX_EVENTS_PER_S * seconds + 2,
                             f"{len(sent)} events in {seconds:g} s")
        # obs-websocket sends events from its own threads: one of a change
        # just before the subscription may still arrive.
        every = [m.data for m in snapshots(self.client)]
        strays = [d for d in sent if d not in every]
        self.assertFalse(strays, "events unlike any data server snapshot: "
                         f"{strays[:2]}")
        self.assertGreater(len({score_of(d) for d in sent}), 1,
                           "the events did not follow the score")

        final = snapshots(self.client)[-1].data
        last = ours(running + settled)[-1]
        self.assertEqual(score_of(last), score_of(final))
        self.assertEqual(last, final, "the last event is not the data "
                         "server's last snapshot")

    def test_3_select_and_quit(self):
        """the account's device is selected; OBS quits cleanly"""
        answer = self.ask("select_device", {"device_id": DEVICE_ID,
                                            "from": "button 3"})
        self.assertEqual(answer, {"ok": True, "device_id": DEVICE_ID})
        self.assertEqual(server_status(self.client)["device"], DEVICE_ID)
        self.client.close()
        self.assert_clean_quit(self.obs)
        self.assertTrue(self.obs.log.lines(f"vendor {VENDOR} registered"),
                        "no registration line in the log")


if __name__ == "__main__":
    sys.exit(testing.main(__doc__, limit_s=150,
                          programs=("device-sim", "portal-sim")))
