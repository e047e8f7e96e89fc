"""qor-ndi-supervise --find-cameras against the project's fake ONVIF camera
(tests/fakes/onvif_camera.py): by address, with the right and a wrong password,
with the camera's clock hours off, through HTTP Digest and SOAP 1.1, past
oversized and malformed answers, and by multicast in a network namespace of
its own. Debian's onvif-util, a client nobody here wrote, checks the fake."""
import json
import os
import random
import shutil
import subprocess
import sys
import time
import unittest
import uuid

from harness import NEWLINE, SUPERVISOR, WINE

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from onvif_camera import FakeCamera  # noqa: E402

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes", "onvif_camera.py")
REFUSED = "refused the user name or password"


def loopback_address():
    """An address of its own in 127/8 for each fake: its unicast Probe port
    (UDP 3702) is then never another test's."""
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(1, 254), random.randint(2, 254))


def find_cameras(args, password=None, prefix=()):
    """Runs the command; its exit code and its lines, each one JSON object."""
    cmd = list(prefix) + (["wine", SUPERVISOR] if WINE else [SUPERVISOR]) + ["--find-cameras"] + list(args)
    done = subprocess.run(cmd, input=(password + "\n").encode() if password is not None else b"",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    out = done.stdout
    assert out == b"" or out.endswith(NEWLINE), out
    lines = [json.loads(raw) for raw in out.split(NEWLINE)[:-1]] if out else []
    return done.returncode, lines, done.stderr.decode(errors="replace")


class ByAddress(unittest.TestCase):
    def camera(self, **kw):
        host = loopback_address()
        cam = FakeCamera(host=host, udp_host=host, **kw)
        self.addCleanup(cam.close)
        return cam, "%s:%d" % (host, cam.port)

    def test_profiles_and_streams_with_the_password_on_a_clock_hours_off(self):
        cam, address = self.camera(clock_offset=10 * 3600)
        code, lines, err = find_cameras(["--user", "admin", address], password="secret")
        self.assertEqual(code, 0, err)
        self.assertEqual(len(lines), 1, lines)
        line = lines[0]
        self.assertNotIn("error", line)
        # Endpoint and scopes from the unicast Probe; maker and model from the
        # device (its "&" came escaped in XML).
        self.assertEqual(line["endpoint"], cam.endpoint)
        self.assertEqual((line["name"], line["maker"], line["model"], line["location"]),
                         ("Fake Camera", "Fakery & Sons", "FC-1", "Studio B"))
        self.assertEqual(line["address"], "http://%s/onvif/device_service" % address)
        self.assertLess(abs(line["clock_offset"] - 36000), 5)
        self.assertEqual(line["ptz_service"], "http://%s/onvif/ptz_service" % address)
        host = address.split(":")[0]
        self.assertEqual(line["profiles"], [
            {"name": "Profile_1", "token": "prof1", "encoding": "H264", "width": 1920, "height": 1080, "rate": 25,
             "stream": "rtsp://%s:554/prof1/live" % host, "snapshot": "http://%s/prof1/snapshot.jpg" % address,
             "ptz": True, "ptz_configuration": "ptz0"},
            {"name": "Profile_2", "token": "prof2", "encoding": "H264", "width": 640, "height": 360, "rate": 15,
             "stream": "rtsp://%s:554/prof2/live" % host, "snapshot": "http://%s/prof2/snapshot.jpg" % address,
             "ptz": False},
        ])
        self.assertEqual(cam.refusals, 0)

    def test_a_wrong_password_is_refused_and_never_tried_again(self):
        # Once over WS-Security (HTTP 400 with NotAuthorized), once over HTTP
        # Digest after its 401: each camera sees one failed log-in, no more.
        # A camera that asks Digest even for its clock sees it there, once.
        cam, address = self.camera()
        digest_cam, digest_address = self.camera(http_digest="MD5")
        all_cam, all_address = self.camera(http_digest="MD5", digest_all=True)
        code, lines, err = find_cameras(["--user", "admin", address, digest_address, all_address], password="wrong")
        self.assertEqual(code, 0, err)
        by_address = {line["address"]: line for line in lines}
        self.assertEqual(len(by_address), 3, lines)
        for a in (address, digest_address, all_address):
            line = by_address["http://%s/onvif/device_service" % a]
            self.assertEqual(line["error"], REFUSED)
            self.assertEqual(line["profiles"], [])
        self.assertEqual((cam.refusals, digest_cam.refusals, all_cam.refusals), (1, 1, 1))

    def test_digest_for_every_call_with_the_date_checked_on_a_clock_hours_off(self):
        # The clock is asked with Digest too, so the tokens are dated on it.
        cam, address = self.camera(http_digest="SHA-256", digest_all=True, clock_offset=-7 * 3600)
        code, lines, err = find_cameras(["--user", "admin", address], password="secret")
        self.assertEqual(code, 0, err)
        self.assertEqual(len(lines), 1, lines)
        self.assertNotIn("error", lines[0])
        self.assertLess(abs(lines[0]["clock_offset"] + 7 * 3600), 5)
        self.assertEqual([p["token"] for p in lines[0]["profiles"]], ["prof1", "prof2"])
        self.assertEqual(cam.refusals, 0)

    def test_services_named_by_a_host_that_does_not_reach_the_camera_are_asked_where_it_answered(self):
        # One names an address on no network of ours (never tried), the other
        # one here that nothing answers at: a port forward, a container, NAT.
        far, far_address = self.camera(xaddr_host="198.51.100.7")
        dead, dead_address = self.camera(xaddr_host=loopback_address())
        code, lines, err = find_cameras(["--user", "admin", far_address, dead_address], password="secret")
        self.assertEqual(code, 0, err)
        by_address = {line["address"]: line for line in lines}
        self.assertEqual(len(by_address), 2, lines)
        for address in (far_address, dead_address):
            line = by_address["http://%s/onvif/device_service" % address]
            self.assertNotIn("error", line)
            host = address.split(":")[0]
            self.assertEqual(line["ptz_service"], "http://%s/onvif/ptz_service" % address)
            self.assertEqual([(p["stream"], p["snapshot"]) for p in line["profiles"]],
                             [("rtsp://%s:554/%s/live" % (host, t), "http://%s/%s/snapshot.jpg" % (address, t))
                              for t in ("prof1", "prof2")])

    def test_http_digest_soap_1_1_and_no_get_services(self):
        cam, address = self.camera(http_digest="SHA-256", soap11=True, no_get_services=True)
        code, lines, err = find_cameras(["--user", "admin", address], password="secret")
        self.assertEqual(code, 0, err)
        self.assertEqual(len(lines), 1, lines)
        self.assertNotIn("error", lines[0])
        self.assertEqual([p["token"] for p in lines[0]["profiles"]], ["prof1", "prof2"])
        self.assertIn("GetCapabilities", cam.calls)

    def test_an_oversized_or_malformed_answer_is_refused_without_harm(self):
        big, big_address = self.camera(oversized=True)
        bad, bad_address = self.camera(malformed=True)
        good, good_address = self.camera()
        code, lines, err = find_cameras(["--user", "admin", big_address, bad_address, good_address],
                                        password="secret")
        self.assertEqual(code, 0, err)
        by_address = {line["address"]: line for line in lines}
        self.assertEqual(len(by_address), 3, lines)
        big_line = by_address["http://%s/onvif/device_service" % big_address]
        bad_line = by_address["http://%s/onvif/device_service" % bad_address]
        good_line = by_address["http://%s/onvif/device_service" % good_address]
        # Each message names the call and the address it went to.
        for line, address, why in ((big_line, big_address, "the answer is larger than 1 MiB"),
                                   (bad_line, bad_address, "the answer is not XML")):
            self.assertTrue(line["error"].startswith("GetProfiles at http://%s/onvif/media_service: %s"
                                                     % (address, why)), line["error"])
        self.assertEqual(big_line["profiles"] + bad_line["profiles"], [])
        self.assertNotIn("error", good_line)
        self.assertEqual(len(good_line["profiles"]), 2)

    def test_an_answer_head_that_trickles_or_never_ends_is_cut_off(self):
        _, slow_address = self.camera(head="trickle")
        _, flood_address = self.camera(head="flood")
        started = time.monotonic()
        code, lines, err = find_cameras(["--user", "admin", slow_address, flood_address], password="secret")
        took = time.monotonic() - started
        self.assertEqual(code, 0, err)
        by_address = {line["address"]: line for line in lines}
        for address, why in ((slow_address, "no whole answer within 5 s"),
                             (flood_address, "the answer's header is larger than 64 KiB")):
            url = "http://%s/onvif/device_service" % address
            self.assertEqual(by_address[url]["error"], "GetSystemDateAndTime at %s: %s" % (url, why))
        # The trickle would hold the call for 120 s; one call is 5 s at most.
        self.assertLess(took, 60)

    def test_usage(self):
        for args in (["--wait"], ["--wait", "x"], ["--bogus"], ["host:99999"]):
            code, lines, _ = find_cameras(args)
            self.assertEqual((code, lines), (64, []), args)


class Namespace:
    """A network namespace whose loopback carries multicast: lo up, with
    multicast, and a route for 224.0.0.0/4."""

    def __init__(self):
        self.name = "qor-onvif-" + uuid.uuid4().hex[:8]
        subprocess.run(["ip", "netns", "add", self.name], check=True, capture_output=True)
        try:
            for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                        ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
                subprocess.run(["ip", "netns", "exec", self.name] + cmd, check=True, capture_output=True)
        except subprocess.CalledProcessError:
            self.close()
            raise

    def prefix(self):
        return ["ip", "netns", "exec", self.name]

    def start_camera(self, *args):
        """The fake inside the namespace, taking Probes on every address."""
        proc = subprocess.Popen(self.prefix() + [sys.executable, "-B", FAKE, "--udp-host", ""] + list(args),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = proc.stdout.readline().split()
        assert line[:1] == [b"ready"], line
        return proc, int(line[1])

    def close(self):
        subprocess.run(["ip", "netns", "delete", self.name], capture_output=True)


def namespace_or_skip(test):
    if WINE:
        test.skipTest("Wine's programs see the host's interfaces; a namespace of our own needs Linux programs")
    if os.geteuid() != 0:
        test.skipTest("multicast on loopback needs a network namespace, which only root may make")
    try:
        ns = Namespace()
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        test.skipTest("no network namespace here: %s" % e)
    test.addCleanup(ns.close)
    return ns


def stop(proc):
    proc.stdin.close()
    proc.wait(timeout=10)
    proc.stdout.close()


class Multicast(unittest.TestCase):
    def test_found_by_multicast_at_the_address_it_answered_from(self):
        # The camera names itself by an address it kept from another network:
        # it is asked, and its streams reported, at the one it answered from.
        ns = namespace_or_skip(self)
        proc, port = ns.start_camera("--xaddr-host", "192.0.2.77")
        self.addCleanup(stop, proc)
        code, lines, err = find_cameras(["--wait", "2", "--user", "admin"], password="secret", prefix=ns.prefix())
        self.assertEqual(code, 0, err)
        self.assertEqual(len(lines), 1, lines)
        line = lines[0]
        self.assertTrue(line["endpoint"].startswith("urn:uuid:"), line)
        self.assertEqual(line["address"], "http://127.0.0.1:%d/onvif/device_service" % port)
        self.assertNotIn("error", line)
        self.assertEqual([p["stream"] for p in line["profiles"]],
                         ["rtsp://127.0.0.1:554/prof1/live", "rtsp://127.0.0.1:554/prof2/live"])

    def test_no_multicast_interface_is_exit_1(self):
        ns = namespace_or_skip(self)
        subprocess.run(ns.prefix() + ["ip", "link", "set", "lo", "multicast", "off"], check=True)
        code, lines, err = find_cameras(["--wait", "1"], prefix=ns.prefix())
        self.assertEqual((code, lines), (1, []), err)


class OnvifUtil(unittest.TestCase):
    """The fake, checked by a client nobody here wrote: Debian's onvif-util
    finds it by multicast and reads its stream address."""

    def test_onvif_util_finds_the_fake_and_reads_its_stream(self):
        ns = namespace_or_skip(self)
        self.assertIsNotNone(shutil.which("onvif-util"), "onvif-util (onvif-tools) is missing: scripts/setup-debian.sh")
        proc, port = ns.start_camera("--port", "80")
        self.addCleanup(stop, proc)
        found = subprocess.run(ns.prefix() + ["onvif-util", "-a"], capture_output=True, timeout=60)
        self.assertIn(b"127.0.0.1", found.stdout + found.stderr)
        session = subprocess.run(ns.prefix() + ["onvif-util", "-u", "admin", "-p", "secret", "127.0.0.1"],
                                 input=b"get rtsp\nquit\n", capture_output=True, timeout=60)
        self.assertIn(b"rtsp://127.0.0.1:554/prof1/live", session.stdout + session.stderr)
