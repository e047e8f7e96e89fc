"""qor-ndi-supervise.exe under Wine, with the Windows tool, the stand-in decoder
and the stand-in NDI runtime: its tools bound to it by a job in console mode,
and the whole life of the Windows service under Wine's Service Control Manager.
Windows builds only."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest
import urllib.error
import urllib.request

from harness import (FAKE_DECODER, STANDIN_DIR, SUPERVISOR, TOOL, fake_url, linux_pids_running, scratch_dir,
                     tool_path, wait_gone)
from supervise_harness import SMALL, STEADY, check_line, free_port, get, hold_every_slot, token, write_sources

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from onvif_camera import FakeCamera  # noqa: E402


def sources_file(sources, folder=None, tool=TOOL):
    path = os.path.join(folder or scratch_dir(), "sources.json")
    write_sources(path, sources, tool_path(tool))
    return path


class ConsoleSupervisor:
    """The supervisor in console mode; what it writes is not looked at unless
    read is given, then its lines are read into self.lines as they come."""

    def __init__(self, path, read=False, status=None, stderr=subprocess.DEVNULL, options=(), env=None):
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=tool_path(STANDIN_DIR), **(env or {}))
        env.pop("FFMPEG_BIN", None)
        self.proc = subprocess.Popen(["wine", SUPERVISOR] + (["--status", status] if status else []) +
                                     list(options) + [tool_path(path)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE if read else subprocess.DEVNULL,
                                     stderr=stderr, env=env)
        self.lines = []
        if read:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append(check_line(raw))

    def decisions(self, name):
        return [(ev["event"], ev["code"]) for ev in list(self.lines)
                if ev["source"] == name and ev["event"] in ("restart", "stopped")]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Console(unittest.TestCase):
    def test_no_tool_or_decoder_outlives_a_killed_supervisor(self):
        # A decoder that waits long before it connects: its tool waits for it
        # (up to 60 s) and does not stop by its stdin in the meantime, so only
        # the job can end both at once.
        mark = token()
        path = sources_file([{"name": "Late", "input": fake_url(vdelay=100000, adelay=100000, token=mark),
                              "args": SMALL}])
        with ConsoleSupervisor(path) as sup:
            # The tool and its decoder, each a Wine process carrying the mark.
            deadline = time.monotonic() + 60
            while len(linux_pids_running(mark)) < 2 and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertGreaterEqual(len(linux_pids_running(mark)), 2)
            sup.proc.kill()
            sup.proc.wait()
        self.assertTrue(wait_gone(mark, 5.0), "a tool or decoder outlived the supervisor")

    def test_an_end_not_asked_for_and_a_start_refused_for_a_passing_reason_are_tried_again(self):
        # The stand-in decoder as the tool: it ends at once with 0, as a tool
        # that someone else stopped. The other source's command line is over
        # the system's limit, a refusal that is not the program's.
        args = ["-i", "fake://x?noconnect=1", "-vf", "scale=64:32", "-f", "rawvideo", "tcp://127.0.0.1:9"]
        path = sources_file([{"name": "Zero", "input": "rtsp://h/a", "args": args},
                             {"name": "Long", "input": "rtsp://h/b", "args": args + ["x" * 40000]}],
                            tool=FAKE_DECODER)
        with ConsoleSupervisor(path, read=True) as sup:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and (len(sup.decisions("Zero")) < 2 or len(sup.decisions("Long")) < 2):
                time.sleep(0.2)
            self.assertEqual(sup.decisions("Zero")[:2], [("restart", 0)] * 2, sup.lines)
            self.assertEqual(sup.decisions("Long")[:2], [("restart", 127)] * 2, sup.lines)


    def test_a_receivers_joystick_moves_the_onvif_camera_and_its_release_stops_it(self):
        cam = FakeCamera(host="127.0.0.1")
        self.addCleanup(cam.close)
        metadata = os.path.join(scratch_dir(), "metadata")
        open(metadata, "wb").close()
        path = sources_file([{"name": "Cam", "input": fake_url(**STEADY, token=token()), "args": SMALL,
                              "user": "admin", "password": "secret", "ptz": True,
                              "onvif": {"device": "http://127.0.0.1:%d/onvif/device_service" % cam.port,
                                        "profile": "prof1"}}])

        def send(pan, tilt):
            with open(metadata, "ab") as f:
                f.write(b'<ntk_ptz_pan_tilt_speed pan_speed="%f" tilt_speed="%f"/>\n' % (pan, tilt))

        def ptz_calls(action):
            with cam.lock:
                return [c for c in cam.ptz_calls if c["action"] == action]

        def wait_until(what, predicate, timeout):
            deadline = time.monotonic() + timeout
            while not predicate():
                self.assertLess(time.monotonic(), deadline, "waited for " + what)
                time.sleep(0.05)

        env = {"QOR_STANDIN_METADATA_FILE": tool_path(metadata), "QOR_STANDIN_CONNECTIONS": "1"}
        with ConsoleSupervisor(path, read=True, env=env) as sup:
            wait_until("the started line", lambda: any(ev["event"] == "started" for ev in list(sup.lines)), 60)
            send(0.5, 0.25)
            wait_until("the move", lambda: [c for c in ptz_calls("ContinuousMove")
                                            if c["velocity"] and c["velocity"].get("pan") == 0.5], 20)
            self.assertTrue(cam.moving())
            send(0, 0)
            wait_until("the stop", lambda: ptz_calls("Stop"), 20)
            self.assertFalse(cam.moving())
            self.assertEqual(cam.refusals, 0)

    def test_a_tools_stderr_names_its_source_and_the_status_address_holds_against_slow_foreign_and_crowding_clients(self):
        port = free_port()
        err = os.path.join(scratch_dir(), "stderr")
        path = sources_file([{"name": "Chatty", "input": "rtsp://h/a", "args": ["--bogus"]}])

        def status(headers=""):
            try:
                return get(port, "/status.json", headers=headers)[:2]
            except (OSError, IndexError) as e:
                return repr(e), ""

        # A password file of its own, never written: the page stays open
        # whatever password another test leaves in the prefix's default one.
        no_password = tool_path(os.path.join(scratch_dir(), "password"))
        with open(err, "wb") as f, ConsoleSupervisor(path, status="127.0.0.1:%d" % port, stderr=f,
                                                     options=["--password-file", no_password]) as sup:
            deadline = time.monotonic() + 60
            while status()[0] != 200 and time.monotonic() < deadline:
                time.sleep(0.2)
            code, head = status()
            self.assertEqual(code, 200)
            self.assertIn("Cross-Origin-Resource-Policy: same-origin", head)
            self.assertEqual(status("Sec-Fetch-Site: cross-site\r\n")[0], 403)
            self.assertEqual(status("Origin: null\r\n")[0], 403)
            # Forty clients from one address trickle their heads: the others are answered.
            slow = []
            for _ in range(40):
                s = socket.socket()
                s.bind(("127.0.0.2", 0))
                s.connect(("127.0.0.1", port))
                s.sendall(b"G")
                slow.append(s)
            time.sleep(1.0)  # the server sheds all but eight of them
            answers = [status()[0] for _ in range(10)]
            for s in slow:
                s.close()
            # Eight idle connections from each of four addresses hold every
            # slot: a fifth address (this one's) is answered at once all the same.
            time.sleep(2.5)  # the trickling ones above cut off and gone
            held = hold_every_slot(port)
            time.sleep(0.3)
            started = time.monotonic()
            try:
                metrics = get(port, "/metrics")[0]
            except (OSError, IndexError) as e:
                metrics = repr(e)
            took = time.monotonic() - started
            for s in held:
                s.close()
            deadline = time.monotonic() + 30
            while b"Chatty: usage: qor-ndi-send" not in open(err, "rb").read() and time.monotonic() < deadline:
                time.sleep(0.2)
        self.assertEqual(answers, [200] * 10)
        self.assertEqual(metrics, 200)
        self.assertLess(took, 1.0)
        self.assertIn(b"qor-ndi-supervise: Chatty: usage: qor-ndi-send", open(err, "rb").read())

    def test_a_password_set_from_a_pipe_and_a_login_against_the_console_supervisor(self):
        folder = scratch_dir()
        password = os.path.join(folder, "password")
        for text, want in ((b"too short\r\n", 64), (b"correct horse battery\r\n", 0)):
            run = subprocess.run(["wine", SUPERVISOR, "--set-password", "--password-file", tool_path(password)],
                                 input=text, capture_output=True, timeout=120)
            self.assertEqual(run.returncode, want, run.stderr)
        with open(password) as f:
            self.assertTrue(f.read().startswith("$argon2id$v=19$m=19456,t=2,p=1$"))
        self.assertEqual(os.listdir(folder), ["password"])
        port = free_port()
        path = sources_file([], folder)
        with ConsoleSupervisor(path, options=["--status", "127.0.0.1:%d" % port,
                                              "--password-file", tool_path(password)]):
            def login(secret):
                request = urllib.request.Request(
                    "http://127.0.0.1:%d/api/login" % port, json.dumps({"password": secret}).encode(),
                    {"Content-Type": "application/json", "Origin": "http://127.0.0.1:%d" % port})
                try:
                    with urllib.request.urlopen(request, timeout=30) as r:
                        return r.status, r.headers.get("Set-Cookie", "")
                except urllib.error.HTTPError as e:
                    return e.code, e.headers.get("Set-Cookie", "")
                except OSError:
                    return None, ""

            deadline = time.monotonic() + 60
            while (answer := login("not the password"))[0] is None and time.monotonic() < deadline:
                time.sleep(0.3)
            self.assertEqual(answer, (403, ""))
            code, cookie = login("correct horse battery")
            self.assertEqual(code, 204)
            self.assertRegex(cookie, r"^qor_session=[0-9a-f]{64}; HttpOnly; SameSite=Strict; Path=/$")
            request = urllib.request.Request("http://127.0.0.1:%d/status.json" % port,
                                             headers={"Cookie": cookie.split(";")[0]})
            with urllib.request.urlopen(request, timeout=30) as r:
                self.assertEqual(json.load(r), {"sources": []})

            # A source added from the page (switched off: no tool runs): the
            # file written beside itself and renamed over, the old one kept.
            def api(method, path, body=None, headers=None):
                request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path),
                                                 json.dumps(body).encode() if body is not None else None,
                                                 dict({"Cookie": cookie.split(";")[0]}, **(headers or {})),
                                                 method=method)
                with urllib.request.urlopen(request, timeout=30) as r:
                    return json.load(r)

            csrf = api("GET", "/api/session")["csrf"]
            with open(path, "rb") as f:
                before = f.read()
            version = api("GET", "/api/sources")["version"]
            listed = api("PUT", "/api/sources", {"version": version, "source": {
                "name": "Spare", "input": "rtsp://10.0.0.9/main", "user": "op", "password": "s3cret", "enabled": False}},
                {"X-CSRF-Token": csrf, "Origin": "http://127.0.0.1:%d" % port, "Content-Type": "application/json"})
            self.assertEqual([(s["name"], s["password"], s["enabled"]) for s in listed["sources"]],
                             [("Spare", True, False)])
            with open(path) as f:
                self.assertEqual(json.load(f)["sources"], [{"name": "Spare", "input": "rtsp://10.0.0.9/main",
                                                            "user": "op", "password": "s3cret", "enabled": False}])
            with open(path + ".bak", "rb") as f:
                self.assertEqual(f.read(), before)
            self.assertEqual(sorted(os.listdir(folder)), sorted(["password", os.path.basename(path),
                                                                 os.path.basename(path) + ".bak"]))

            # A camera asked by address from the page (multicast is not
            # tried here: Wine's sockets are the host's, and the namespace
            # tests on Linux search).
            cam = FakeCamera(host="127.0.0.1")
            try:
                change = {"X-CSRF-Token": csrf, "Origin": "http://127.0.0.1:%d" % port,
                          "Content-Type": "application/json"}
                search = api("POST", "/api/cameras", {"addresses": ["127.0.0.1:%d" % cam.port], "user": "admin",
                                                      "password": "secret"}, change)
                deadline = time.monotonic() + 60
                while (found := api("GET", "/api/cameras?id=" + search["id"])) == {"state": "running"}:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.3)
                self.assertEqual([(c["model"], [p["token"] for p in c["profiles"]]) for c in found["cameras"]],
                                 [("FC-1", ["prof1", "prof2"])], found)
            finally:
                cam.close()


SERVICE = "qor-ndi-supervise"
# The known-folder ProgramData of the prefix (a service's %ProgramData% is another under Wine).
DATA = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "drive_c", "ProgramData",
                    "qor-ndi-send")


def wine(*args, timeout=60):
    return subprocess.run(["wine"] + list(args), stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


def service_query():
    """(state, win32 exit code, service exit code) from sc.exe, or None without the service."""
    run = wine("sc.exe", "query", SERVICE)
    if run.returncode != 0:
        return None
    text = run.stdout.decode("utf-8", "replace")
    field = lambda name: int(re.search(name + r"\s*:\s*(\d+)", text).group(1))
    return field("STATE"), field("WIN32_EXIT_CODE"), field("SERVICE_EXIT_CODE")


def log_events():
    try:
        with open(os.path.join(DATA, "supervise.log"), "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        return []
    # A line being written is left for the next look.
    return [check_line(l + b"\n") for l in raw.split(b"\n")[:-1]]


def of(events, name, kind=None):
    return [ev for ev in events if ev["source"] == name and (kind is None or ev["event"] == kind)]


def wait_until(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("waited %.0f s for %s; log: %r; messages: %r"
                                 % (timeout, what, log_events(), messages()))
        time.sleep(0.2)


def messages():
    try:
        with open(os.path.join(DATA, "messages.log"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


class Service(unittest.TestCase):
    def setUp(self):
        # A service left by an interrupted run would start with every boot of the prefix.
        wine(SUPERVISOR, "--uninstall", timeout=120)
        for name in os.listdir(DATA) if os.path.isdir(DATA) else []:
            if name.startswith(("supervise.log", "messages.log", "sources.json", "password")):
                os.remove(os.path.join(DATA, name))

    def tearDown(self):
        if service_query() is not None:
            wine(SUPERVISOR, "--uninstall", timeout=120)

    def test_install_start_stall_reload_stop_and_uninstall(self):
        # The service's environment is the system's, not the test's: the tool
        # finds the stand-in runtime beside itself.
        folder = scratch_dir()
        tool = os.path.join(folder, os.path.basename(TOOL))
        shutil.copy(TOOL, tool)
        shutil.copy(os.path.join(STANDIN_DIR, "Processing.NDI.Lib.x64.dll"), folder)
        marks = {name: token() for name in ("Steady", "Frozen", "Added")}
        steady = {"name": "Steady", "input": fake_url(**STEADY, token=marks["Steady"]), "args": SMALL}
        # A second of pictures, then connections held open with nothing on them.
        frozen = {"name": "Frozen", "input": fake_url(frames=30, rate=30, blocks=100, arate=100, hold=1,
                                                      token=marks["Frozen"]), "args": SMALL, "stall": 3}
        # Its name beyond any old code page reaches its tool unchanged.
        added = {"name": "Zuschauerraum Süd ✓", "input": fake_url(**STEADY, token=marks["Added"]), "args": SMALL}

        def write(sources):
            write_sources(path, sources, tool_path(tool), ensure_ascii=False)

        path = os.path.join(folder, "sources.json")
        write([steady, frozen])
        port = free_port()
        run = wine(SUPERVISOR, "--install", "--status", "127.0.0.1:%d" % port, tool_path(path))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(service_query(), (1, 1077, 0))  # stopped, never started
        # The service runs a copy of the list in its own folder, the one to change from now on.
        with open(path, "rb") as f, open(os.path.join(DATA, "sources.json"), "rb") as g:
            self.assertEqual(g.read(), f.read())
        path = os.path.join(DATA, "sources.json")

        run = wine("net.exe", "start", SERVICE)
        self.assertEqual(run.returncode, 0, (run.stdout, messages()))
        # RUNNING once the sources are started: Wine's net.exe may return while
        # the service still says START_PENDING (its wait hint is 10 s).
        wait_until("the service running", lambda: service_query()[0] == 4, 30)
        wait_until("Frozen stalled and started again",
                   lambda: len(of(log_events(), "Frozen", "stalled")) >= 1
                   and len(of(log_events(), "Frozen", "started")) >= 2, 60)
        with urllib.request.urlopen("http://127.0.0.1:%d/status.json" % port, timeout=10) as r:
            status = json.load(r)
        self.assertEqual([s["name"] for s in status["sources"]], ["Steady", "Frozen"])
        self.assertEqual(status["sources"][0]["state"], "running")
        with urllib.request.urlopen("http://127.0.0.1:%d/" % port, timeout=10) as r:
            self.assertTrue(r.headers["Content-Type"].startswith("text/html"))

        # A reload adds a source, removes one and leaves the running one's tool
        # alone. Frozen goes, so that no run of it can be starting while the
        # stop below comes.
        steady_pids = sorted(linux_pids_running(marks["Steady"]))
        self.assertTrue(steady_pids)
        write([steady, added])
        run = wine(SUPERVISOR, "--reload")
        self.assertEqual(run.returncode, 0, run.stderr)
        wait_until("Added started", lambda: of(log_events(), added["name"], "started"), 60)
        self.assertEqual(of(log_events(), added["name"], "started")[0]["name"], added["name"])
        self.assertEqual(sorted(linux_pids_running(marks["Steady"])), steady_pids)
        self.assertEqual(len(of(log_events(), "Steady", "started")), 1)
        self.assertTrue(wait_gone(marks["Frozen"], 30.0), "the removed source's tool still runs")

        # A password set at the console, then a source added from the page:
        # the service's account writes its list and runs the source.
        run = subprocess.run(["wine", SUPERVISOR, "--set-password"], input=b"correct horse battery\r\n",
                             capture_output=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        origin = {"Origin": "http://127.0.0.1:%d" % port, "Content-Type": "application/json"}

        def api(method, where, body=None, headers=None):
            request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, where),
                                             json.dumps(body).encode() if body is not None else None,
                                             headers or {}, method=method)
            with urllib.request.urlopen(request, timeout=30) as r:
                return r.headers.get("Set-Cookie", ""), r.read()

        cookie = {"Cookie": api("POST", "/api/login", {"password": "correct horse battery"}, origin)[0].split(";")[0]}
        csrf = json.loads(api("GET", "/api/session", None, cookie)[1])["csrf"]
        version = json.loads(api("GET", "/api/sources", None, cookie)[1])["version"]
        # Switched off: the page cannot name the stand-in decoder, and the
        # service's environment has no other.
        paged = {"name": "Paged", "input": "rtsp://10.0.0.9/main", "user": "op", "password": "s3cret",
                 "enabled": False}
        api("PUT", "/api/sources", {"version": version, "source": paged}, dict(cookie, **origin, **{"X-CSRF-Token": csrf}))
        with open(path, encoding="utf-8") as f:
            self.assertEqual([s["name"] for s in json.load(f)["sources"]], ["Steady", added["name"], "Paged"])
        wait_until("Paged off", lambda: [s["state"] for s in json.loads(api("GET", "/status.json", None, cookie)[1])
                                         ["sources"] if s["name"] == "Paged"] == ["off"], 30)

        # The stop: every tool by its stdin, each exit line in the log.
        before = len(log_events())
        run = wine("net.exe", "stop", SERVICE)
        self.assertEqual(run.returncode, 0, run.stdout)
        # Wine's net.exe returns while the service still reports STOP_PENDING.
        wait_until("the service stopped", lambda: service_query()[0] == 1, 60)
        self.assertEqual(service_query(), (1, 0, 0))
        events = log_events()
        after = events[before:]
        self.assertEqual([ev for ev in after if ev["event"] in ("restart", "stopped", "started")], [])
        for name in ("Steady", added["name"]):
            self.assertEqual(of(after, name, "exit"),
                             [{"source": name, "event": "exit", "ffmpeg": 0, "requested": True}])
        for name, mark in marks.items():
            self.assertTrue(wait_gone(mark, 5.0), "%s's tool or decoder outlived the service" % name)
        self.assertNotIn(b"killed", messages())

        # Not running: nothing to reload. Removed: nothing left.
        self.assertEqual(wine(SUPERVISOR, "--reload").returncode, 1)
        run = wine(SUPERVISOR, "--uninstall", timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIsNone(service_query())
        self.assertEqual(wine(SUPERVISOR, "--uninstall").returncode, 1)
        self.assertTrue(os.path.exists(os.path.join(DATA, "supervise.log")))


if __name__ == "__main__":
    unittest.main()
