"""A switcher moves the camera: what receivers send reaches the tool through
the stand-in runtime's metadata file, the tool writes its ptz lines, and the
supervisor turns those of a source with "ptz" into the PTZ calls of the
project's fake ONVIF camera on 127.0.0.1. A held joystick moves and renews,
its release stops; presets round-trip as ndi-N and touch no other; every way a
run ends stops a camera that ignores its Timeout; a wrong password is sent
once; a camera that never answers holds up neither the loop nor the exit."""
import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from harness import SUPERVISOR, WINE, fake_url, linux_pids_running, scratch_dir  # noqa: E402
from onvif_camera import FakeCamera  # noqa: E402
from supervise_harness import SMALL, STEADY, Supervisor, free_port, get, token  # noqa: E402

GENERIC_VELOCITY = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace"


def emulated():
    """The supervisor is not this machine's own (ARM64 under qemu), or is sanitized: slower."""
    try:
        with open(SUPERVISOR, "rb") as f:
            head = f.read(20)
        return os.environ.get("QOR_SANITIZED") == "1" or head[18] != 62  # EM_X86_64
    except (OSError, IndexError):
        return True


SLACK = 4.0 if emulated() else 1.0


def wait_until(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("waited %.1f s for %s" % (timeout, what))
        time.sleep(0.02)
    return time.monotonic()


def calls(cam, action):
    with cam.lock:
        return [c for c in cam.ptz_calls if c["action"] == action]


def speed(pan, tilt):
    return '<ntk_ptz_pan_tilt_speed pan_speed="%f" tilt_speed="%f"/>' % (pan, tilt)


@unittest.skipIf(WINE, "the supervisor runs natively; the tool's lines under Wine are ptz_test's")
class PtzFromReceivers(unittest.TestCase):
    def setUp(self):
        self.dir = scratch_dir()
        self.metadata = os.path.join(self.dir, "metadata")
        self.connections = os.path.join(self.dir, "connections")
        open(self.metadata, "wb").close()
        with open(self.connections, "w") as f:
            f.write("1")

    def camera(self, **kw):
        cam = FakeCamera(host="127.0.0.1", **kw)
        self.addCleanup(cam.close)
        return cam

    def source(self, cam, name="Cam", password="secret", ptz=True, mark=None, **url):
        return {"name": name, "input": fake_url(**(url or STEADY), token=mark or token()), "args": SMALL,
                "user": "admin", "password": password, "ptz": ptz,
                "onvif": {"device": "http://127.0.0.1:%d/onvif/device_service" % cam.port, "profile": "prof1"}}

    def supervisor(self, sources, **kw):
        env = {"QOR_STANDIN_METADATA_FILE": self.metadata, "QOR_STANDIN_CONNECTIONS_FILE": self.connections}
        sup = Supervisor(sources, env=env, **kw)
        self.addCleanup(sup.__exit__)
        return sup

    def send(self, *texts):
        with open(self.metadata, "ab") as f:
            f.write("".join(t + "\n" for t in texts).encode())

    def forget(self):
        """The lines sent so far blanked where they stand: the running tool has
        read them, and a tool started after this must not take them again."""
        with open(self.metadata, "r+b") as f:
            text = f.read()
            f.seek(0)
            f.write(b"".join(b" " * len(line) + b"\n" for line in text.split(b"\n")[:-1]))

    @staticmethod
    def is_tool(pid):
        """The tool, not its decoder (under qemu the emulator comes first)."""
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return any(os.path.basename(a) == b"qor-ndi-send" for a in f.read().split(b"\0")[:2])

    def started(self, sup, name, count=1):
        sup.wait_for("%s started %d times" % (name, count),
                     lambda: sum(1 for _, ev in sup.of(name) if ev["event"] == "started") >= count, 30 * SLACK)

    def move_and_see_it(self, cam, pan=0.5):
        self.send(speed(pan, 0))
        wait_until("the camera moving", cam.moving, 3 * SLACK)
        self.forget()

    def test_a_joystick_moves_and_stops_the_camera_and_presets_round_trip(self):
        cam = self.camera()
        port = free_port()
        sup = self.supervisor([self.source(cam)], status="127.0.0.1:%d" % port)
        self.started(sup, "Cam")
        sent = time.monotonic()
        self.send(speed(0.5, 0.25))
        first = lambda: [c for c in calls(cam, "ContinuousMove") if c["velocity"] and c["velocity"].get("pan") == 0.5]
        seen = wait_until("the move", lambda: first(), 5 * SLACK)
        # The first command also asks the camera what it can do.
        self.assertLess(seen - sent, 0.5 * SLACK + 0.5)
        move = first()[0]
        self.assertEqual((move["velocity"]["tilt"], move["velocity"]["pan_tilt_space"], move["timeout"]),
                         (0.25, GENERIC_VELOCITY, "PT1S"))
        self.assertEqual(move["velocity"]["zoom"], 0.0)  # all three, every time
        # Held: renewed every half Timeout.
        time.sleep(1.6)
        self.assertGreaterEqual(len(first()), 3)
        released = time.monotonic()
        self.send(speed(0, 0))
        stopped = wait_until("the Stop", lambda: calls(cam, "Stop"), 2 * SLACK)
        self.assertLess(stopped - released, 1.0 * SLACK)
        zero = [c for c in calls(cam, "ContinuousMove") if c["velocity"].get("pan") == 0 and c["velocity"].get("tilt") == 0]
        self.assertTrue(zero, "the zero speed goes before the Stop")
        self.assertFalse(cam.moving())

        # Presets: stored twice at one index (one ndi-3, overwritten), recalled;
        # an index never stored sends nothing; "Gate" stays as it is.
        self.send('<ntk_ptz_store_preset index="3"/>')
        wait_until("the preset", lambda: calls(cam, "SetPreset"), 3 * SLACK)
        self.send('<ntk_ptz_store_preset index="3"/>')
        wait_until("the preset again", lambda: len(calls(cam, "SetPreset")) == 2, 3 * SLACK)
        self.send('<ntk_ptz_recall_preset index="3" speed="0.5"/>')
        wait_until("the recall", lambda: calls(cam, "GotoPreset"), 3 * SLACK)
        self.send('<ntk_ptz_recall_preset index="9" speed="1"/>')
        wait_until("the presets asked for the unknown index", lambda: len(calls(cam, "GetPresets")) == 4, 3 * SLACK)
        time.sleep(0.5)
        presets = cam.presets()
        self.assertEqual(len(presets), 2, presets)
        self.assertEqual(presets[0], ("PresetToken_1", "Gate"))
        token_3 = presets[1][0]
        self.assertEqual(presets[1][1], "ndi-3")
        stores = calls(cam, "SetPreset")
        self.assertEqual([(c["preset_name"], c["preset_token"]) for c in stores], [("ndi-3", None), ("ndi-3", token_3)])
        gotos = calls(cam, "GotoPreset")
        self.assertEqual([c["preset_token"] for c in gotos], [token_3])
        self.assertIsNotNone(gotos[0]["speed"])

        code, _, body = get(port, "/status.json")
        self.assertEqual(code, 200)
        row = json.loads(body)["sources"][0]
        self.assertEqual(row["ptz"]["state"], "ready", row)
        self.assertEqual((row["ptz"]["last"]["command"], row["ptz"]["last"]["result"]), ("recall_preset", "no_preset"))
        code, _, metrics = get(port, "/metrics")
        self.assertIn(b'qor_ndi_source_ptz_commands_total{source="Cam",command="store_preset",result="ok"} 2\n',
                      metrics)

    def test_every_end_of_a_run_stops_a_camera_that_ignores_its_timeout(self):
        cam = self.camera(ptz_ignore_timeout=True)
        mark = token()
        sup = self.supervisor([self.source(cam, mark=mark)])
        self.started(sup, "Cam")

        def stopped_within(what, seconds):
            wait_until("the camera stopped after " + what, lambda: not cam.moving(), seconds * SLACK)

        # No receiver left: the next status line (every 2 s) says so.
        self.move_and_see_it(cam)
        with open(self.connections, "w") as f:
            f.write("0")
        stopped_within("0 connections", 4.5)
        with open(self.connections, "w") as f:
            f.write("1")

        # The tool killed.
        self.move_and_see_it(cam, 0.4)
        tools = [p for p in linux_pids_running(mark) if self.is_tool(p)]
        self.assertEqual(len(tools), 1)
        os.kill(tools[0], signal.SIGKILL)
        stopped_within("SIGKILL of the tool", 2)
        self.started(sup, "Cam", 2)

        def reload(sources):
            sup.rewrite(sources)
            sup.proc.send_signal(signal.SIGHUP)

        # "ptz" switched off, then the source removed, by reloads.
        self.move_and_see_it(cam, 0.3)
        reload([self.source(cam, ptz=False, mark=mark)])
        stopped_within("ptz false", 2)
        # Back on before that run has ended: one start, with --ptz.
        reload([self.source(cam, mark=mark)])
        self.started(sup, "Cam", 3)
        self.move_and_see_it(cam, 0.2)
        reload([])
        stopped_within("the removal", 2)
        reload([self.source(cam, mark=mark)])
        self.started(sup, "Cam", 4)

        # A receiver gone while others stay: 30 s without a new speed.
        self.move_and_see_it(cam, 0.6)
        last = time.monotonic()
        time.sleep(25)
        self.assertTrue(cam.moving(), "renewed while held")
        wait_until("the stop after 30 s", lambda: not cam.moving(), 10 * SLACK)
        self.assertGreater(time.monotonic() - last, 29)

        # The supervisor stopped.
        self.move_and_see_it(cam, 0.7)
        code, _ = sup.terminate()
        self.assertEqual(code, 0)
        stopped_within("SIGTERM of the supervisor", 2)

    def test_a_wrong_password_is_sent_once(self):
        cam = self.camera()
        port = free_port()
        sup = self.supervisor([self.source(cam, password="wrong")], status="127.0.0.1:%d" % port)
        self.started(sup, "Cam")
        for pan in (0.5, 0.4, 0.3):
            self.send(speed(pan, 0))
            time.sleep(0.3)
        sup.wait_for("the hold", lambda: b"PTZ held" in sup.stderr, 10 * SLACK)
        time.sleep(1)
        self.assertEqual(cam.refusals, 1)
        self.assertFalse(calls(cam, "ContinuousMove"))
        code, _, body = get(port, "/status.json")
        self.assertEqual(json.loads(body)["sources"][0]["ptz"]["state"], "held")
        self.assertNotIn(b"wrong", sup.stderr)

    def test_a_camera_that_never_answers_holds_up_neither_the_loop_nor_the_exit(self):
        cam = self.camera(ptz_hang=True)
        port = free_port()
        flaky = {"name": "Flaky", "input": fake_url(frames=30, rate=30, exit=1, token=token()),
                 "args": SMALL + ["--no-audio"]}
        sup = self.supervisor([self.source(cam), flaky], status="127.0.0.1:%d" % port)
        self.started(sup, "Cam")
        for pan in (0.5, 0.4, 0.3, 0.2, 0.0):
            self.send(speed(pan, 0))
            time.sleep(0.2)
        # While the camera holds every call: the status answers, and the other
        # source is started again after its wait.
        for _ in range(3):
            asked = time.monotonic()
            code, _, _ = get(port, "/status.json")
            self.assertEqual(code, 200)
            self.assertLess(time.monotonic() - asked, 1.0 * SLACK)
            time.sleep(0.5)
        self.started(sup, "Flaky", 3)
        restarts = [ev for _, ev in sup.of("Flaky") if ev["event"] == "restart"]
        self.assertEqual([ev["after"] for ev in restarts[:2]], [1.0, 2.0])
        begun = time.monotonic()
        code, _ = sup.terminate()
        self.assertEqual(code, 0)
        # The tools' own stop, and 3 s at most for the cameras' last stops.
        self.assertLess(time.monotonic() - begun, 8 * SLACK)


if __name__ == "__main__":
    unittest.main()
