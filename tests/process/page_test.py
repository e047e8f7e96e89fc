"""The status page in headless Chromium as an operator uses it, at a laptop's
1366x768 and a phone's 390x844: the wall of tiles read from across the room,
a camera added, checked, resized, lost and removed through the page, and
axe-core over the wall, a form and the login in light and dark. Each step's
screenshot is kept in the build's artefacts (QOR_ARTEFACT_DIR/page)."""
import base64
import json
import os
import socket
import sys
import time
import unittest

import media_check
from harness import fake_url, scratch_dir
from supervise_harness import SMALL, STEADY, Supervisor, free_port, get
from supervise_test import DevTools, set_password

PASSWORD = "correct horse battery"
ARTEFACTS = os.path.join(os.environ.get("QOR_ARTEFACT_DIR") or scratch_dir(), "page")
AXE = os.path.join(os.environ.get("QOR_SOURCE_DIR", ".."), "build", "third_party", "axe-core", "node_modules",
                   "axe-core", "axe.min.js")
LAPTOP, PHONE = (1366, 768), (390, 844)


class Browser(DevTools):
    """DevTools with a screen size, a colour scheme, screenshots and axe-core."""

    def screen(self, size, dark=False):
        width, height = size
        self.call("Emulation.setDeviceMetricsOverride", self.session, width=width, height=height,
                  deviceScaleFactor=1, mobile=width < 600)
        self.call("Emulation.setEmulatedMedia", self.session,
                  features=[{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}])

    def shot(self, name):
        os.makedirs(ARTEFACTS, exist_ok=True)
        data = self.call("Page.captureScreenshot", self.session, format="png")["data"]
        with open(os.path.join(ARTEFACTS, name + ".png"), "wb") as f:
            f.write(base64.b64decode(data))

    def run(self, script):
        """The value of a script that gives a promise, once it has settled."""
        result = self.call("Runtime.evaluate", self.session, expression=script, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(result["exceptionDetails"])
        return result["result"].get("value")

    def axe(self):
        """axe-core's serious and critical findings on the page as it is now."""
        if not self.value("typeof axe !== 'undefined'"):
            with open(AXE, encoding="utf-8") as f:
                self.call("Runtime.evaluate", self.session, expression=f.read())
        return json.loads(self.run(
            "axe.run(document, {resultTypes: ['violations']}).then(function (r) {"
            " return JSON.stringify(r.violations.filter(function (v) {"
            "  return v.impact === 'serious' || v.impact === 'critical'; }).map(function (v) {"
            "  return [v.id, v.nodes.map(function (n) { return n.target.join(' ') + ': ' + n.failureSummary; })];"
            " })); })"))


def tile(name, script):
    """A script over the tile of the source named name (t; null without it)."""
    return "(function (t) { %s })(document.querySelector('.tile[data-name=' + JSON.stringify(%s) + ']'))" % (
        script, json.dumps(name))


def log_in(browser, port):
    browser.open("http://127.0.0.1:%d/" % port)
    assert browser.until("!document.getElementById('login').hidden")
    browser.value("document.getElementById('password').value = %s;"
                  "document.querySelector('#login button').click()" % json.dumps(PASSWORD))
    assert browser.until("!document.getElementById('add').hidden")


@unittest.skipUnless(sys.platform.startswith("linux"), "Linux only")
class Wall(unittest.TestCase):
    def test_the_wall_reads_from_across_the_room_and_axe_finds_nothing_serious_light_or_dark(self):
        d = scratch_dir()
        path = os.path.join(d, "password")
        self.assertEqual(set_password(path, PASSWORD.encode() + b"\n")[0], 0)
        tally = os.path.join(d, "tally")
        with open(tally, "w") as f:
            f.write("Stage\tprogram\nDoor\tpreview\nLobby\toff\n")
        sources = [{"name": "Stage", "input": fake_url(**STEADY, tone=-6), "args": SMALL},
                   {"name": "Door", "input": fake_url(**STEADY, tone=-20), "args": SMALL},
                   {"name": "Lobby", "input": fake_url(**STEADY, tone=-12, rtone=-30), "args": SMALL},
                   {"name": "Yard", "input": fake_url(**STEADY), "args": SMALL, "enabled": False},
                   {"name": "Broken", "input": fake_url(), "args": ["--ffmpeg", os.path.join(d, "none")]}]
        port = free_port()
        with Supervisor(sources, status="127.0.0.1:%d" % port, options=["--password-file", path],
                        env={"QOR_STANDIN_TALLY_FILE": tally}) as sup:
            browser = Browser()
            try:
                self.wall(browser, port)
            finally:
                browser.close()
            code, _ = sup.terminate()
        self.assertEqual(code, 0, sup.stderr)

    def wall(self, browser, port):
        problems = {}
        browser.screen(LAPTOP)
        browser.open("http://127.0.0.1:%d/" % port)
        self.assertTrue(browser.until("!document.getElementById('login').hidden"))
        # A wrong password: said, the field emptied, marked and ready again.
        browser.value("document.getElementById('password').value = 'not the password';"
                      "document.querySelector('#login button').click()")
        self.assertEqual(browser.until("document.getElementById('loginerror').textContent"), "Wrong password.")
        self.assertEqual(browser.value("(function (p) { return [p.value, document.activeElement === p,"
                                       " p.getAttribute('aria-invalid')]; })(document.getElementById('password'))"),
                         ["", True, "true"])
        self.assertIn("qor-ndi-supervise --set-password",
                      browser.value("document.getElementById('login').textContent"))
        # The page's icon is linked and served.
        self.assertEqual(browser.run("fetch(document.querySelector('link[rel=icon]').href).then(function (r) {"
                                     " return r.status + ' ' + r.headers.get('Content-Type'); })"), "200 image/svg+xml")
        for dark in (False, True):
            browser.screen(LAPTOP, dark)
            browser.shot("login-%s" % ("dark" if dark else "light"))
            problems["login, %s" % ("dark" if dark else "light")] = browser.axe()
        browser.value("document.getElementById('password').value = %s;"
                      "document.querySelector('#login button').click()" % json.dumps(PASSWORD))
        # Every source on the wall: Broken stopped, Yard off, the rest with pictures.
        settled = ("(function () { var t = document.querySelectorAll('.tile'); return t.length === 5 &&"
                   " document.querySelectorAll('.tile img.picture').length >= 3 &&"
                   " Array.from(document.querySelectorAll('.tile .state')).map(function (s) {"
                   "  return s.textContent; }).join() === 'Running,Running,Running,Switched off,Stopped'; })()")
        self.assertTrue(browser.until(settled, 40))
        facts = ("Array.from(document.querySelectorAll('.tile')).map(function (t) {"
                 " var s = t.querySelector('.signal');"
                 " return [t.querySelector('.name').textContent, t.querySelector('.tally').hidden ? '' :"
                 "  t.querySelector('.tally').textContent, getComputedStyle(t).borderTopColor,"
                 "  t.querySelector('.state').textContent, s && s.isConnected ? s.textContent : '',"
                 "  t.classList.contains('down')]; })")
        red, green = "rgb(208, 32, 27)", "rgb(23, 166, 64)"
        tiles = browser.value(facts)
        self.assertEqual([t[2] for t in tiles][:2], [red, green])
        self.assertNotIn(tiles[2][2], (red, green), tiles)
        self.assertEqual([t[:2] + t[3:] for t in tiles],
                         [["Stage", "PROGRAM", "Running", "", False],
                          ["Door", "PREVIEW", "Running", "", False],
                          ["Lobby", "", "Running", "", False],
                          ["Yard", "", "Switched off", "OFF", False],
                          ["Broken", "", "Stopped", "NO SIGNAL", True]])
        # Broken: why in words first, the code in its details; the header counts it.
        self.assertEqual(browser.value(tile("Broken", "return [t.querySelector('.why').textContent,"
                                                      " t.querySelector('details.more').textContent];"))[0],
                         "The decoder could not be started on the box.")
        self.assertIn("ffmpeg_spawn", browser.value(tile("Broken", "return t.querySelector('details.more')"
                                                                   ".textContent;")))
        self.assertEqual(browser.value("document.getElementById('attention').textContent"), "1 stopped")
        # The details open on a tap (a click), as on hover.
        browser.value(tile("Door", "t.querySelector('details.more summary').click();"))
        self.assertTrue(browser.value(tile("Door", "return t.querySelector('details.more').open;")))
        browser.value(tile("Door", "t.querySelector('details.more summary').click();"))
        # About 4 tiles across a laptop's screen, 1 across a phone's; the
        # pictures large enough to read.
        columns = ("(function () { var tops = Array.from(document.querySelectorAll('.tile')).map(function (t) {"
                   " return t.getBoundingClientRect().top; }); return tops.filter(function (x) {"
                   " return x === tops[0]; }).length; })()")
        picture_width = "document.querySelector('.tile .screen').getBoundingClientRect().width"
        for size, across, least in ((LAPTOP, 4, 280), (PHONE, 1, 340)):
            for dark in (False, True):
                browser.screen(size, dark)
                self.assertTrue(browser.until(settled))
                self.assertEqual(browser.value(columns), across, size)
                self.assertGreaterEqual(browser.value(picture_width), least, size)
                self.assertEqual(browser.value("document.documentElement.scrollWidth <= innerWidth"), True, size)
                name = "wall-%dx%d-%s" % (size[0], size[1], "dark" if dark else "light")
                browser.shot(name)
                problems[name] = browser.axe()
        # The form over the wall, in both schemes.
        browser.screen(LAPTOP)
        browser.value("document.getElementById('add').click()")
        self.assertTrue(browser.until("document.getElementById('editor').open && document.activeElement === "
                                      "document.querySelector('#editor input[name=name]')"))
        for dark in (False, True):
            browser.screen(LAPTOP, dark)
            name = "form-%s" % ("dark" if dark else "light")
            browser.shot(name)
            problems[name] = browser.axe()
        # The view links' panel at the top: a link made for a screen, shown
        # once in full, listed with its name and last use.
        browser.value("document.getElementById('editor').close(); document.getElementById('views').open = true")
        self.assertEqual(browser.until("document.getElementById('viewstate').textContent"), "No view links yet.")
        browser.value("document.getElementById('viewname').value = 'Lobby screen';"
                      "document.querySelector('#newview button').click()")
        link = browser.until("(function (a) { return a && a.href; })(document.querySelector('#viewlink a'))")
        self.assertRegex(link, r"^http://127\.0\.0\.1:%d/\?view=[0-9a-f]{64}$" % port)
        self.assertEqual(browser.until("(function (l) { return l.length && l[0].textContent; })("
                                       "document.querySelectorAll('#viewlist li'))"), "Lobby screennever usedRevoke")
        for dark in (False, True):
            browser.screen(LAPTOP, dark)
            name = "views-%s" % ("dark" if dark else "light")
            browser.shot(name)
            problems[name] = browser.axe()
        self.assertEqual({k: v for k, v in problems.items() if v}, {})

        # Opened without a session, the link shows the wall and nothing that
        # changes a thing; its pictures come with the token.
        browser.value("document.getElementById('logout').click()")
        self.assertTrue(browser.until("!document.getElementById('login').hidden"))
        browser.open(link)
        self.assertTrue(browser.until(settled, 20))
        self.assertTrue(browser.until("Array.from(document.querySelectorAll('.tile img.picture')).every(function (i) {"
                                      " return i.complete && i.naturalWidth > 0 && i.src.indexOf('&view=') > 0; })"))
        self.assertEqual(browser.value("Array.from(document.querySelectorAll('button, input, select, summary'))"
                                       ".filter(function (x) { return x.getClientRects().length > 0; })"
                                       ".map(function (x) { return x.textContent; })"), ["Details"] * 5)
        browser.shot("view-link-wall")

        # Revoked, it works no more: said so, no login offered.
        browser.open("http://127.0.0.1:%d/" % port)
        self.assertTrue(browser.until("!document.getElementById('login').hidden"))
        browser.value("document.getElementById('password').value = %s;"
                      "document.querySelector('#login button').click()" % json.dumps(PASSWORD))
        self.assertTrue(browser.until("!document.getElementById('views').hidden"))
        browser.value("document.getElementById('views').open = true")
        self.assertTrue(browser.until("document.querySelectorAll('#viewlist li').length === 1"))
        browser.value("document.querySelector('#viewlist button.revoke').click()")
        self.assertEqual(browser.until("document.getElementById('viewstate').textContent"), "No view links yet.")
        self.assertEqual(browser.value("document.getElementById('said').textContent"), "View link Lobby screen revoked")
        browser.value("document.getElementById('logout').click()")
        self.assertTrue(browser.until("!document.getElementById('login').hidden"))
        browser.open(link)
        self.assertEqual(browser.until("(function (g) { return !g.hidden && g.textContent; })("
                                       "document.getElementById('viewgone'))"),
                         "This view link no longer works. Ask whoever runs the box for a new one.")
        self.assertEqual(browser.value("[document.getElementById('login').hidden, document.getElementById('wall')"
                                       ".hidden, document.getElementById('add').hidden]"), [True, True, True])


@unittest.skipUnless(sys.platform.startswith("linux"), "Linux only")
class Operator(unittest.TestCase):
    def test_a_camera_is_added_checked_resized_lost_and_removed_at_its_tile_on_a_phone(self):
        d = scratch_dir()
        path = os.path.join(d, "password")
        self.assertEqual(set_password(path, PASSWORD.encode() + b"\n")[0], 0)
        port = free_port()
        sources = [{"name": "Stage", "input": fake_url(**STEADY), "args": SMALL}]
        with media_check.camera(width=320, height=180, user="op", password="right one") as url, \
                Supervisor(sources, status="127.0.0.1:%d" % port, options=["--password-file", path]) as sup:
            browser = Browser()
            try:
                browser.screen(PHONE)
                log_in(browser, port)
                self.operate(browser, sup, url)
            finally:
                browser.close()
            code, _ = sup.terminate()
        self.assertEqual(code, 0, sup.stderr)

    def operate(self, browser, sup, url):
        form = "document.querySelector('#editor form.source')"

        def fill(values):
            browser.value("(function (f, values) { Object.keys(values).forEach(function (k) {"
                          " var i = f.elements.namedItem(k); if (i.type === 'checkbox') i.checked = values[k];"
                          " else i.value = values[k]; }); })(%s, %s)" % (form, json.dumps(values)))

        def field_error(name):
            return browser.value("(function (f) { var i = f.elements.namedItem(%s);"
                                 " return [i.getAttribute('aria-invalid'), document.getElementById("
                                 " i.getAttribute('aria-describedby').split(' ').pop()).textContent]; })(%s)"
                                 % (json.dumps(name), form))

        def in_file():
            with open(sup.path) as f:
                return {s["name"]: s for s in json.load(f)["sources"]}

        # Every request the page makes, to see that none asks the camera.
        browser.value("window.asked = []; (function (f) { window.fetch = function (u) {"
                      " window.asked.push(String(u)); return f.apply(this, arguments); }; })(window.fetch)")
        # Add camera: the form with the cursor in its name.
        browser.value("document.getElementById('add').click()")
        self.assertTrue(browser.until("document.activeElement === " + form + ".elements.namedItem('name')"))
        browser.shot("add-1-form")
        # An empty name and an odd height: refused at their fields, before any check.
        fill({"name": "", "input": url, "user": "op", "password": "right one", "width": "320", "height": "181"})
        browser.value(form + ".querySelector('button.save').click()")
        self.assertEqual(field_error("name"), ["true", "Give the source a name."])
        self.assertEqual(field_error("height"), ["true", "Width and height must be even numbers."])
        self.assertEqual(browser.value("window.asked.filter(function (u) { return u.indexOf('check') >= 0; })"), [])
        browser.shot("add-2-refused-before-the-check")
        # A camera that takes the connection and never answers: the check's
        # Cancel gives the form back at once, with nothing offered to save.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        self.addCleanup(silent.close)
        fill({"name": "Camera", "height": "180", "input": "rtsp://127.0.0.1:%d/cam" % silent.getsockname()[1]})
        browser.value(form + ".querySelector('button.save').click()")
        self.assertTrue(browser.until("!%s.querySelector('.progress').hidden" % form))
        browser.value(form + ".querySelector('button.cancel').click()")
        self.assertEqual(browser.value("(function (f) { return [f.querySelector('.progress').hidden,"
                                       " f.querySelector('button.save').disabled, f.querySelector('button.anyway')"
                                       ".hidden, f.querySelector('.checkwords').textContent]; })(%s)" % form),
                         [True, False, True, "Check cancelled: change what is needed and save again."])
        fill({"input": url})
        # A wrong password: marked at its field, and no Save anyway.
        fill({"name": "Camera", "height": "180", "password": "wrong one"})
        browser.value(form + ".querySelector('button.save').click()")
        self.assertEqual(browser.until("(function (e) { return e[0] === 'true' && e; })(" +
                                       "(function (f) { var i = f.elements.namedItem('password');"
                                       " return [i.getAttribute('aria-invalid'), f.querySelector("
                                       "'.fielderror.password').textContent]; })(%s))" % form),
                         ["true", "The camera refused the user name or password."])
        self.assertTrue(browser.value(form + ".querySelector('button.anyway').hidden"))
        self.assertNotIn("Camera", in_file())
        browser.shot("add-3-wrong-password")
        # The right one: the check's progress, not in the error colour, then
        # what it found beside its snapshot, the confirmation and the tile in view.
        fill({"password": "right one"})
        browser.value(form + ".querySelector('button.save').click()")
        progress = browser.until("(function (p) { return p && !p.hidden && [p.textContent,"
                                 " getComputedStyle(p).color]; })(%s.querySelector('.progress'))" % form, 10)
        self.assertRegex(progress[0], r"^Checking the camera: (\d+ s left|finishing)\u2026Cancel check$")
        self.assertEqual(progress[1], browser.value("getComputedStyle(document.body).color"))
        browser.shot("add-4-checking")
        self.assertRegex(browser.until("document.getElementById('said').textContent", 20),
                         r"^Added: Camera starting \(found H\.264 320x180 \d+(\.\d+)? fps, AAC stereo\)$")
        self.assertEqual(in_file()["Camera"]["args"], ["--width", "320", "--height", "180"])
        in_view = tile("Camera", "if (!t) return false; var b = t.getBoundingClientRect();"
                                 " return b.top >= 0 && b.bottom <= innerHeight + 1 && t.classList.contains('marked');")
        self.assertTrue(browser.until(in_view, 10), browser.value(tile(
            "Camera", "return t && [t.getBoundingClientRect().top, t.getBoundingClientRect().bottom, innerHeight,"
                      " t.className];")))
        self.assertIn("H.264 320x180", browser.value(tile("Camera", "return t.querySelector('details.more')"
                                                                    ".textContent;")))
        browser.shot("add-5-added")
        running = tile("Camera", "return t && t.querySelector('.state').textContent === 'Running' &&"
                                 " !t.querySelector('.signal');")
        self.assertTrue(browser.until(running, 30))
        browser.shot("add-6-running")

        # Edit at the tile: a new size, confirmed; restarting until the new
        # run's picture, which the form then shows (not the first check's).
        browser.value(tile("Camera", "t.querySelector('button.edit').click();"))
        self.assertTrue(browser.until(form + " && " + form + ".getAttribute('data-name') === 'Camera'"))
        fill({"width": "640", "height": "360"})
        browser.value(form + ".querySelector('button.save').click()")
        self.assertEqual(browser.until("document.getElementById('said').textContent === 'Saved: Camera restarting'"
                                       " && document.getElementById('said').textContent", 10),
                         "Saved: Camera restarting")
        self.assertEqual(in_file()["Camera"]["args"], ["--width", "640", "--height", "360"])
        self.assertTrue(browser.until(tile("Camera", "return t.querySelector('.state').textContent ==="
                                                     " 'Restarting';"), 5))
        browser.shot("edit-1-restarting")
        self.assertTrue(browser.until(running, 30))
        browser.value(tile("Camera", "t.querySelector('button.edit').click();"))
        shown = browser.until("(function (i) { return i && i.complete && i.naturalWidth > 0 &&"
                              " i.getAttribute('src'); })(%s.querySelector('img.snapshot'))" % form)
        self.assertRegex(shown, r"^picture\?name=Camera&n=\d+$")
        self.assertEqual(browser.value(form + ".elements.namedItem('width').value"), "640")
        browser.shot("edit-2-form-with-the-new-picture")
        browser.value(form + ".querySelector('button.close').click()")

        # The camera stops: within 5 s its tile says NO SIGNAL, in red.
        media_check.camera_process(url).kill()
        lost = time.monotonic()
        self.assertTrue(browser.until(tile("Camera", "var s = t.querySelector('.signal');"
                                                     " return s && s.textContent === 'NO SIGNAL' &&"
                                                     " t.classList.contains('down');"), 5),
                        browser.value(tile("Camera", "return [t.className, t.textContent];")))
        self.assertLess(time.monotonic() - lost, 5.5)
        # Since when, and why in words: what the tool's code means, then
        # what a check of the camera found.
        self.assertRegex(browser.value(tile("Camera", "return t.querySelector('.state').textContent;")),
                         r"^Down \d+ s$")
        self.assertIn(browser.value(tile("Camera", "return t.querySelector('.why').textContent;")),
                      ("The camera could not be reached.",
                       "Nothing accepts connections at that address and port (refused, or no route)."))
        self.assertTrue(browser.until(tile("Camera", "return t.querySelector('.why').textContent === 'Nothing"
                                                     " accepts connections at that address and port (refused, or"
                                                     " no route).';"), 20))
        self.assertEqual(browser.value("document.getElementById('attention').textContent"), "1 down")
        browser.shot("lost-1-down")

        # Checked again now, the camera refuses connections: Save anyway is
        # offered, as the camera may be back later.
        browser.value(tile("Camera", "t.querySelector('button.edit').click();"))
        self.assertTrue(browser.until(form + " && " + form + ".getAttribute('data-name') === 'Camera'"))
        fill({"password": "right one"})
        browser.value(form + ".querySelector('button.save').click()")
        self.assertTrue(browser.until("!%s.querySelector('button.anyway').hidden" % form, 20))
        self.assertEqual(browser.value(form + ".querySelector('.checkwords').textContent"),
                         "Nothing accepts connections at that address and port (refused, or no route).")
        browser.shot("lost-2-save-anyway")

        # Remove asks: Cancel keeps it, Remove removes it.
        browser.value(form + ".querySelector('button.remove').click()")
        self.assertTrue(browser.value("!%s.querySelector('.confirm').hidden && document.activeElement === "
                                      "%s.querySelector('button.keep')" % (form, form)))
        browser.shot("remove-1-asked")
        browser.value(form + ".querySelector('button.keep').click()")
        self.assertTrue(browser.value(form + ".querySelector('.confirm').hidden"))
        self.assertIn("Camera", in_file())
        browser.value(form + ".querySelector('button.remove').click()")
        browser.value(form + ".querySelector('button.sure').click()")
        self.assertTrue(browser.until("document.getElementById('said').textContent === 'Camera removed'", 10))
        self.assertTrue(browser.until(tile("Camera", "return t === null;"), 10))
        self.assertNotIn("Camera", in_file())
        browser.shot("remove-2-removed")
