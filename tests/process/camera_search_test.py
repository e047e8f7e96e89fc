"""The camera searches the status page asks for (POST /api/cameras, then GET
/api/cameras?id=) against the project's fake ONVIF camera on 127.0.0.1: by
address with the password and the camera's clock hours off, a wrong password
sent once, a camera that never answers ending by its limit while the server
answers on, one search at a time, and a source's stored password going to its
stored camera only and into no answer or log line. And the page's way, in
headless Chromium: a camera asked by address becomes a running source."""
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from camera_check_test import Silent  # noqa: E402
from find_cameras_test import REFUSED, loopback_address  # noqa: E402
from harness import WINE, scratch_dir  # noqa: E402
from onvif_camera import FakeCamera  # noqa: E402
from supervise_harness import Supervisor, free_port  # noqa: E402
from supervise_test import DevTools, log_in, request, set_password  # noqa: E402
import media_check  # noqa: E402

PAGE_PASSWORD = "the page's own password"
SECRET = "s3cret-of-the-camera"


@unittest.skipIf(WINE, "its helpers run the supervisor natively: supervise_win_test asks the API under Wine")
class CameraSearch(unittest.TestCase):
    def camera(self, **kw):
        host = loopback_address()
        cam = FakeCamera(host=host, udp_host=host, password=SECRET, **kw)
        self.addCleanup(cam.close)
        return cam, "%s:%d" % (host, cam.port)

    def test_by_address_and_by_source_one_at_a_time_and_no_password_anywhere(self):
        good, good_address = self.camera(clock_offset=10 * 3600)
        wrong, wrong_address = self.camera(http_digest="MD5", digest_all=True)
        silent = Silent()
        self.addCleanup(silent.close)
        silent_address = "127.0.0.1:%d" % silent.port
        password_file = os.path.join(scratch_dir(), "password")
        self.assertEqual(set_password(password_file, PAGE_PASSWORD.encode() + b"\n")[0], 0)
        port = free_port()
        found = {"name": "Found", "input": "rtsp://%s:554/prof1/live" % good_address.split(":")[0], "enabled": False,
                 "user": "admin", "password": SECRET,
                 "onvif": {"device": "http://%s/onvif/device_service" % good_address, "profile": "prof1"}}
        answers = []
        with Supervisor([found], status="127.0.0.1:%d" % port, options=["--password-file", password_file]) as sup:
            headers = log_in(port, PAGE_PASSWORD)

            def post(body, with_headers=headers):
                code, head, text = request(port, "POST", "/api/cameras", json.dumps(body).encode(), with_headers)
                answers.append(text)
                return code, head, json.loads(text) if text.startswith(b"{") else text

            def result(search_id, limit):
                started = time.monotonic()
                while True:
                    code, _, text = request(port, "GET", "/api/cameras?id=" + search_id, headers=headers[:1])
                    answers.append(text)
                    self.assertEqual(code, 200, text)
                    if json.loads(text) != {"state": "running"}:
                        return json.loads(text)["cameras"]
                    # The server answers on meanwhile.
                    self.assertEqual(request(port, "GET", "/status.json", headers=headers[:1])[0], 200)
                    self.assertLess(time.monotonic() - started, limit)
                    time.sleep(0.2)

            # A change like any other.
            ask = {"addresses": [good_address, silent_address], "user": "admin", "password": SECRET}
            self.assertEqual(post(ask, headers[:1] + headers[2:])[0], 403)  # no token
            self.assertEqual(post(ask, headers[:3] + ["Content-Type: text/plain"])[0], 415)
            for bad in ({"addresses": ["a/b"]}, {"addresses": ["h"] * 9}, {"password": SECRET},
                        {"source": "Found", "addresses": [good_address]}, {"source": "Found", "user": "x"}):
                self.assertEqual(post(bad)[0], 400, bad)
            self.assertEqual(post({"source": "Nobody"})[0], 404)

            code, _, body = post(ask)
            self.assertEqual(code, 202, body)
            code, head, _ = post({"addresses": [good_address]})
            self.assertEqual(code, 429)
            self.assertIn("Retry-After: ", head)
            # The silent one by its 5 s for the first call.
            cameras = result(body["id"], 15)
            by_address = {c["address"]: c for c in cameras}
            good_line = by_address["http://%s/onvif/device_service" % good_address]
            self.assertNotIn("error", good_line)
            self.assertLess(abs(good_line["clock_offset"] - 36000), 5)
            self.assertEqual([p["token"] for p in good_line["profiles"]], ["prof1", "prof2"])
            silent_url = "http://%s/onvif/device_service" % silent_address
            self.assertEqual(by_address[silent_url]["error"],
                             "GetSystemDateAndTime at %s: no whole answer within 5 s" % silent_url)

            # A wrong password: said, and sent once.
            code, _, body = post({"addresses": [wrong_address], "user": "admin", "password": "not it"})
            self.assertEqual(code, 202, body)
            self.assertEqual([c["error"] for c in result(body["id"], 15)], [REFUSED])
            self.assertEqual(wrong.refusals, 1)

            # The stored password, at the stored camera.
            calls_before = len(good.calls)
            code, _, body = post({"source": "Found"})
            self.assertEqual(code, 202, body)
            cameras = result(body["id"], 15)
            self.assertEqual([c["address"] for c in cameras], [found["onvif"]["device"]])
            self.assertEqual(len(cameras[0]["profiles"]), 2)
            self.assertGreater(len(good.calls), calls_before)
            self.assertEqual(good.refusals, 0)

            answers.append(request(port, "GET", "/status.json", headers=headers[:1])[2])
            code, _ = sup.terminate()
        self.assertEqual(code, 0, sup.stderr)
        self.assertIn(b"searched for cameras at 2 addresses: 2 cameras, 1 told their profiles", sup.stderr)
        for text in answers + [sup.stderr] + [raw for _, raw in sup.raw]:
            self.assertNotIn(SECRET.encode(), text)

    @unittest.skipUnless(sys.platform.startswith("linux"), "Chromium on Linux only")
    def test_the_page_asks_a_camera_and_adds_its_profile_as_a_source_in_chromium(self):
        password_file = os.path.join(scratch_dir(), "password")
        self.assertEqual(set_password(password_file, PAGE_PASSWORD.encode() + b"\n")[0], 0)
        port = free_port()
        # A source already named as the camera is: the new one gets another name.
        taken = {"name": "Fake Camera", "input": "rtsp://cam.invalid/x", "enabled": False}
        with media_check.camera(width=320, height=180, user="admin", password=SECRET) as url, \
                Supervisor([taken], status="127.0.0.1:%d" % port, options=["--password-file", password_file]) as sup:
            cam, address = self.camera(stream=url)
            browser = DevTools()
            self.addCleanup(browser.close)
            browser.open("http://127.0.0.1:%d/" % port)
            self.assertTrue(browser.until("!document.getElementById('login').hidden"))
            browser.value("document.getElementById('password').value = %s;"
                          "document.querySelector('#login button').click()" % json.dumps(PAGE_PASSWORD))
            self.assertTrue(browser.until("!document.getElementById('edit').hidden"))
            browser.value("var f = document.getElementById('find'); f.elements.namedItem('address').value = %s;"
                          "f.querySelector('button[type=submit]').click()" % json.dumps(address))
            camera = "document.querySelector('#cameras .camera')"
            self.assertTrue(browser.until(camera + " !== null"))
            self.assertEqual(browser.value(camera + ".querySelector('h4').textContent"), "Fake Camera")

            def ask(password):
                browser.value("(function (c) { c.querySelector('input[name=user]').value = 'admin';"
                              " c.querySelector('input[name=password]').value = %s;"
                              " c.querySelector('.profiles').textContent = '';"
                              " c.querySelector('.findstate').textContent = '';"
                              " Array.from(c.querySelectorAll('button')).filter(function (b) {"
                              "  return b.textContent === 'Ask'; })[0].click(); })(%s)" % (json.dumps(password), camera))
            ask("not it")
            self.assertEqual(browser.until("(function (t) { return t.indexOf('Asking') < 0 && t; })(%s"
                                           ".querySelector('.findstate').textContent)" % camera),
                             "refused the user name or password")
            self.assertEqual(cam.refusals, 1)
            ask(SECRET)
            rows = camera + ".querySelectorAll('.profiles tr')"
            self.assertTrue(browser.until(rows + ".length === 2"))
            # The stream is on another host than the camera: said beside Use.
            self.assertIn("stream on another host: 127.0.0.1",
                          browser.value(rows + "[0].textContent"))
            browser.value(rows + "[0].querySelector('button').click()")
            new_form = "document.querySelector('form.source[data-name=\"\"]')"
            self.assertEqual(browser.value(new_form + ".elements.namedItem('name').value"), "Fake Camera 2")
            browser.value(new_form + ".querySelector('button.save').click()")
            deadline = time.monotonic() + 30
            while True:
                with open(sup.path) as f:
                    added = [s for s in json.load(f)["sources"] if s["name"] == "Fake Camera 2"]
                if added or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            self.assertEqual(added, [{"name": "Fake Camera 2", "input": url, "user": "admin", "password": SECRET,
                                      "onvif": {"device": "http://%s/onvif/device_service" % address,
                                                "endpoint": cam.endpoint, "profile": "prof1"}}])
            sup.wait_for("the found camera's start",
                         lambda: any(ev.get("event") == "started" for _, ev in sup.of("Fake Camera 2")), 30)
