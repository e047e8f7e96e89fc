"""The camera check the status page asks for (POST /api/check), with the real
ffprobe and ffmpeg against real servers on 127.0.0.1: the test camera asking
for a user and password, a port nobody listens on, a socket that accepts and
never answers, a name that does not resolve. Each reason comes from what the
decoder really says, and the password is in no answer and no message."""
import json
import os
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import media_check as mc  # noqa: E402
from supervise_harness import Supervisor, free_port  # noqa: E402
from supervise_test import request, set_password  # noqa: E402
from harness import scratch_dir  # noqa: E402

USER = "adm"
SECRET = "p@ss w0rd!"
WRONG = "wr0ng-s3cret"


class Silent:
    """A listener that accepts every connection and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                self.held.append(self.sock.accept()[0])
        except OSError:
            pass

    def close(self):
        self.sock.close()
        for c in self.held:
            c.close()


class CameraCheck(unittest.TestCase):
    def test_each_reason_from_the_real_decoder_and_the_password_in_no_answer(self):
        path = os.path.join(scratch_dir(), "password")
        self.assertEqual(set_password(path, b"the page's own password\n")[0], 0)
        port = free_port()
        origin = "Origin: http://127.0.0.1:%d" % port
        json_type = "Content-Type: application/json"
        silent = Silent()
        closed = free_port()
        with mc.camera(width=320, height=240, user=USER, password=SECRET) as url, \
                Supervisor([], status="127.0.0.1:%d" % port, options=["--password-file", path]) as sup:
            base = url.rsplit("/", 1)[0]
            deadline = time.monotonic() + 20
            while True:
                try:
                    code, head, _ = request(port, "POST", "/api/login", b'{"password": "the page\'s own password"}',
                                            [origin, json_type])
                    break
                except OSError:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.2)
            self.assertEqual(code, 204, head)
            cookie = "Cookie: qor_session=" + re.search(r"qor_session=([0-9a-f]+)", head).group(1)
            csrf = json.loads(request(port, "GET", "/api/session", headers=[cookie])[2])["csrf"]
            allowed = [cookie, "X-CSRF-Token: " + csrf, origin, json_type]
            answers = []

            def post(body, headers=allowed):
                code, _, text = request(port, "POST", "/api/check", json.dumps(body).encode(), headers)
                answers.append(text)
                return code, text

            # A change like any other: without its token nothing starts.
            self.assertEqual(post({"input": url}, allowed[:1] + allowed[2:])[0], 403)
            self.assertEqual(post({"input": 5})[0], 400)

            cases = [  # (input, password, reason; None: ok)
                ("rtsp://127.0.0.1:%d/cam" % silent.port, SECRET, "timeout"),
                ("rtsp://127.0.0.1:%d/other" % silent.port, SECRET, "timeout"),
                (url, SECRET, None),
                (url, WRONG, "auth"),
                (base + "/nope", SECRET, "not_found"),
                ("rtsp://127.0.0.1:%d/cam" % closed, SECRET, "unreachable"),
                ("rtsp://qor-camera.invalid/cam", SECRET, "no_name"),
                (base + "/audio", SECRET, "no_video"),
                ("http://127.0.0.1:%d/cam" % closed, SECRET, "not_rtsp"),
            ]
            results = {}
            for first in range(0, len(cases), 2):
                pair = cases[first:first + 2]
                ids = []
                for input_, password, _ in pair:
                    code, text = post({"input": input_, "user": USER, "password": password, "audio": True})
                    self.assertEqual(code, 202, text)
                    ids.append(json.loads(text)["id"])
                # Two at once, no more (the first two take their 10 s).
                if not results:
                    self.assertEqual(post({"input": url})[0], 429)
                started = time.monotonic()
                for n, (id_, case) in enumerate(zip(ids, pair)):
                    while True:
                        code, _, text = request(port, "GET", "/api/check?id=" + id_, headers=[cookie])
                        answers.append(text)
                        self.assertEqual(code, 200, text)
                        result = json.loads(text)
                        if result != {"state": "running"}:
                            break
                        # Within its 10 s, and a little for the reader.
                        self.assertLess(time.monotonic() - started, 13, case)
                        time.sleep(0.2)
                    results[first + n] = (id_, result)

            for n, (input_, _, reason) in enumerate(cases):
                id_, result = results[n]
                if reason is None:
                    self.assertEqual(result["ok"], True, result)
                    self.assertEqual(result["video"]["codec"], "h264")
                    self.assertEqual((result["video"]["width"], result["video"]["height"]), (320, 240))
                    self.assertEqual((result["audio"]["codec"], result["audio"]["rate"], result["audio"]["channels"]),
                                     ("aac", 48000, 2))
                    code, head, jpeg = request(port, "GET", result["snapshot"], headers=[cookie])
                    self.assertEqual(code, 200, head)
                    self.assertIn("Content-Type: image/jpeg", head)
                    self.assertTrue(jpeg.startswith(b"\xff\xd8"))
                    # The session's own.
                    self.assertEqual(request(port, "GET", result["snapshot"])[0], 403)
                else:
                    self.assertEqual((result["ok"], result["reason"]), (False, reason), (input_, result))
                    self.assertTrue(result["message"], result)
                    if reason not in ("timeout", "not_rtsp"):
                        self.assertTrue(result["detail"], result)
            self.assertEqual(request(port, "GET", "/api/check?id=" + "0" * 32, headers=[cookie])[0], 404)
            sup.terminate()
            said = b"".join(answers) + sup.stderr
            for secret in (SECRET, WRONG, "p%40ss"):
                self.assertNotIn(secret.encode(), said)
        silent.close()


if __name__ == "__main__":
    unittest.main()
