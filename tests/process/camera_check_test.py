"""The camera check the status page asks for (POST /api/check), with the real
ffprobe and ffmpeg against real servers on 127.0.0.1: the test camera asking
for a user and password, a port nobody listens on, a socket that accepts and
never answers, a name that does not resolve. Each reason comes from what the
decoder really says, and the password is in no answer and no message. And what
/status.json shows of sources whose cameras are such: down, not starting."""
import calendar
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
from supervise_harness import Supervisor, free_port, get  # noqa: E402
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


class DownCameras(unittest.TestCase):
    def test_a_refusing_and_a_silent_camera_are_down_from_their_first_run_over_their_retries(self):
        """The tool waits 30 s for a decoder that never connects; the source
        is down once its stall limit has passed without a picture, since the
        start of that first run, and stays down over the run's end, its wait,
        its check and its start again."""
        silent = Silent()
        closed = free_port()
        port = free_port()
        inputs = {"Closed": "rtsp://127.0.0.1:%d/cam" % closed, "Silent": "rtsp://127.0.0.1:%d/cam" % silent.port}
        sources = [{"name": n, "input": i, "args": ["--no-audio"], "stall": 3} for n, i in inputs.items()]
        seen = {n: [] for n in inputs}  # (seconds since the supervisor's start, row) at each change
        started = time.time()
        with Supervisor(sources, status="127.0.0.1:%d" % port) as sup:
            t0 = time.monotonic()

            def retried(name):
                # A start again waited (next_try) and has come (next_try null again).
                tries = [r["next_try"] for _, r in seen[name]]
                return any(t is not None for t in tries) and tries[-1] is None

            def key(row):
                return [row[k] for k in ("state", "down_since", "error", "exit_code")] + [row["next_try"] is None]

            while not all(seen[n] and retried(n) for n in inputs):
                self.assertLess(time.monotonic() - t0, 90, (seen, sup.stderr))
                try:
                    code, _, body = get(port, "/status.json")
                except OSError:
                    time.sleep(0.2)  # not listening yet
                    continue
                self.assertEqual(code, 200, body)
                for r in json.loads(body)["sources"]:
                    if not seen[r["name"]] or key(seen[r["name"]][-1][1]) != key(r):
                        seen[r["name"]].append((time.monotonic() - t0, r))
                time.sleep(0.2)
            # Each run ended as the tool ends it when its decoder never connects.
            ends = {n: [at - t0 for at, ev in sup.of(n) if ev["event"] == "restart"] for n in inputs}
            final = {r["name"]: r for r in json.loads(get(port, "/status.json")[2])["sources"]}
        silent.close()

        for name in inputs:
            rows = [r for _, r in seen[name]]
            states = [r["state"] for r in rows]
            self.assertEqual(states[0], "starting", seen[name])
            down = states.index("down")
            self.assertEqual(set(states[:down]), {"starting"}, seen[name])
            self.assertEqual(set(states[down:]), {"down"}, seen[name])
            # Down before the tool's own 30 s were out: the supervisor judged it.
            self.assertTrue(ends[name], sup.lines())
            self.assertLess(seen[name][down][0], ends[name][0], (seen[name], ends))
            # Since the start of its first run, the same over every retry.
            since = {r["down_since"] for r in rows[down:]}
            self.assertEqual(len(since), 1, seen[name])
            at = calendar.timegm(time.strptime(since.pop(), "%Y-%m-%dT%H:%M:%SZ"))
            self.assertLess(abs(at - started), 5, (seen[name], started))
            self.assertEqual((final[name]["error"], final[name]["exit_code"]), ("ffmpeg_connect", 3), final[name])
        self.assertEqual(final["Closed"]["diagnosis"]["reason"], "unreachable")
        self.assertEqual(final["Silent"]["diagnosis"]["reason"], "timeout")


if __name__ == "__main__":
    unittest.main()
