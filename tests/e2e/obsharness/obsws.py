"""A minimal obs-websocket v5 client."""

import base64
import hashlib
import json
import os
import time

try:
    import websocket  # Debian package python3-websocket
except ImportError:  # pragma: no cover - reported when a client is made
    websocket = None

from .base import HarnessError


class RequestFailed(HarnessError):
    """obs-websocket answered a request with a failure status."""

    def __init__(self, request_type, code, comment):
        super().__init__(f"{request_type} failed with code {code}: {comment}")
        self.request_type = request_type
        self.code = code
        self.comment = comment


class ObsWebSocket:
    """Just enough of the obs-websocket 5 protocol for tests.

    Hello (op 0) -> Identify (op 1) -> Identified (op 2), then Request
    (op 6) / RequestResponse (op 7). Events are not subscribed to.
    """

    def __init__(self, port, host="127.0.0.1", timeout=10, password=None):
        if websocket is None:
            raise HarnessError("python module 'websocket' missing: run with "
                               "/usr/bin/python3 and install python3-websocket")
        self.timeout = timeout
        self._next_id = 0
        self._ws = websocket.create_connection(f"ws://{host}:{port}",
                                               timeout=timeout)
        try:
            hello = self._receive_op(0)
            identify = {"rpcVersion": 1, "eventSubscriptions": 0}
            challenge = hello.get("authentication")
            if challenge:
                if not password:
                    raise HarnessError("obs-websocket asks for a password")
                identify["authentication"] = self.auth_string(
                    password, challenge["salt"], challenge["challenge"])
            self._send(1, identify)
            self.rpc_version = self._receive_op(2)["negotiatedRpcVersion"]
        except BaseException:
            self._ws.close()
            raise

    @staticmethod
    def auth_string(password, salt, challenge):
        """obs-websocket 5 authentication: base64(sha256(base64(sha256(
        password + salt)) + challenge))."""
        secret = base64.b64encode(
            hashlib.sha256((password + salt).encode()).digest()).decode()
        return base64.b64encode(
            hashlib.sha256((secret + challenge).encode()).digest()).decode()

    def close(self):
        try:
            self._ws.close(timeout=2)
        except Exception:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _send(self, op, data):
        self._ws.send(json.dumps({"op": op, "d": data}))

    def _receive_op(self, op, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError(f"no obs-websocket message with op {op} "
                                   f"within {timeout or self.timeout} s")
            self._ws.settimeout(left)
            try:
                raw = self._ws.recv()
            except websocket.WebSocketTimeoutException:
                continue
            except (websocket.WebSocketException, OSError) as err:
                raise HarnessError(f"obs-websocket connection failed: {err}")
            if not raw:
                raise HarnessError("obs-websocket closed the connection")
            message = json.loads(raw)
            if message.get("op") == op:
                return message.get("d", {})

    def request(self, request_type, data=None, timeout=None):
        """Sends one request and returns its responseData ({} if none).

        Raises RequestFailed when OBS reports the request as failed.
        """
        self._next_id += 1
        request_id = str(self._next_id)
        payload = {"requestType": request_type, "requestId": request_id}
        if data is not None:
            payload["requestData"] = data
        try:
            self._send(6, payload)
        except (websocket.WebSocketException, OSError) as err:
            raise HarnessError(f"obs-websocket connection failed: {err}")
        while True:
            response = self._receive_op(7, timeout)
            if response.get("requestId") == request_id:
                break
        status = response.get("requestStatus", {})
        if not status.get("result"):
            raise RequestFailed(request_type, status.get("code"),
                                status.get("comment", ""))
        return response.get("responseData") or {}

    # Convenience wrappers for the requests tests use most.

    def get_version(self):
        return self.request("GetVersion")

    def input_kinds(self):
        return self.request("GetInputKindList",
                            {"unversioned": False})["inputKinds"]

    def get_input_settings(self, input_name):
        """{"inputKind": ..., "inputSettings": {...}}; the settings hold only
        values that differ from the source's defaults."""
        return self.request("GetInputSettings", {"inputName": input_name})

    def get_input_default_settings(self, input_kind):
        return self.request("GetInputDefaultSettings",
                            {"inputKind": input_kind})["defaultInputSettings"]

    def set_input_settings(self, input_name, settings, overlay=True):
        self.request("SetInputSettings", {"inputName": input_name,
                                          "inputSettings": settings,
                                          "overlay": overlay})

    def scene_items(self, scene_name):
        return self.request("GetSceneItemList",
                            {"sceneName": scene_name})["sceneItems"]

    def scene_item_id(self, scene_name, source_name):
        return self.request("GetSceneItemId", {
            "sceneName": scene_name, "sourceName": source_name})["sceneItemId"]

    def scene_item_transform(self, scene_name, scene_item_id):
        return self.request("GetSceneItemTransform", {
            "sceneName": scene_name,
            "sceneItemId": scene_item_id})["sceneItemTransform"]

    def source_size(self, scene_name, scene_item_id):
        """(sourceWidth, sourceHeight) of a scene item, in pixels."""
        transform = self.scene_item_transform(scene_name, scene_item_id)
        return transform["sourceWidth"], transform["sourceHeight"]

    def source_screenshot(self, source_name, path=None, image_format="png",
                          width=None, height=None):
        """PNG (or other format) bytes of what the source renders; written
        to path when given."""
        data = {"sourceName": source_name, "imageFormat": image_format}
        if width:
            data["imageWidth"] = width
        if height:
            data["imageHeight"] = height
        encoded = self.request("GetSourceScreenshot", data)["imageData"]
        image = base64.b64decode(encoded.split(",", 1)[1])
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            with open(path, "wb") as f:
                f.write(image)
        return image
