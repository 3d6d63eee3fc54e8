#pragma once

// The plug-in as an obs-websocket "vendor" named "quillmarch", so remote
// controls (Stream Deck, Companion, scripts) reach the live data through the
// connection they already have to OBS. Nothing happens when obs-websocket is
// not installed.
//
// Requests (CallVendorRequest); a failure answers {"ok": false, "error":
// code, "message": sentence}:
//   get_live       the live snapshot, the object the data server sends
//   get_status     the data server's "status" answer
//   get_devices    {"ok": true, "devices": [{"id", "nickname", "name",
//                  "status", "online"}]}
//   select_device  {"device_id": "..."}: makes that device of the account
//                  the live source; answers {"ok": true, "device_id"}
// Event (VendorEvent, subscription "Vendors"):
//   live_changed   the snapshot after a live change, at most 20 a second;
//                  the last change of a burst is always sent.

// After every module has loaded (obs-websocket may load after us). Needs App.
void websocket_vendor_register();
// At module unload, before App goes.
void websocket_vendor_unregister();
