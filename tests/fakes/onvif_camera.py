#!/usr/bin/env python3
"""A fake ONVIF camera for the tests of qor-ndi-supervise --find-cameras.

It answers WS-Discovery Probes (multicast and unicast, UDP 3702) and, over
HTTP, the device and media calls with answers of the shapes real cameras send:
namespace prefixes that change from answer to answer, SOAP 1.2 or 1.1. It
checks the WS-UsernameToken digest and its Created time against its own clock
(which a test may set hours off), or asks for HTTP Digest with a 401, and
refuses a wrong password the way cameras do (HTTP 400 with a NotAuthorized
fault); or asks HTTP Digest for every call, its clock included, and checks
the UsernameToken's date as well. It can name its services and streams by
another host than the one asked, send an oversized or a malformed answer to
GetProfiles, and trickle or flood the head of every answer.

Its PTZ service (GetConfigurationOptions, GetNode, GetPresets, SetPreset,
GotoPreset, ContinuousMove, Stop, AbsoluteMove) keeps a motion state and
presets, records every call it gets in ptz_calls, answers faults with HTTP 500,
and can be made slow, silent, deaf to Stop or to a move's Timeout, or short of
zoom, absolute moves or the generic spaces. A call takes effect when it
arrives; ptz_delay and ptz_hang hold back only the answer.

Run as a program it prints one line, "ready <http port>", once it listens;
tests may also use FakeCamera in their own process.
"""
import argparse
import base64
import datetime
import hashlib
import http.server
import os
import random
import re
import socket
import struct
import sys
import threading
import time
import uuid
import xml.etree.ElementTree as ET

SOAP12 = "http://www.w3.org/2003/05/soap-envelope"
SOAP11 = "http://schemas.xmlsoap.org/soap/envelope/"
NS = {
    "wsa": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "wsd": "http://schemas.xmlsoap.org/ws/2005/04/discovery",
    "dn": "http://www.onvif.org/ver10/network/wsdl",
    "tds": "http://www.onvif.org/ver10/device/wsdl",
    "trt": "http://www.onvif.org/ver10/media/wsdl",
    "tt": "http://www.onvif.org/ver10/schema",
    "ter": "http://www.onvif.org/ver10/error",
    "tptz": "http://www.onvif.org/ver20/ptz/wsdl",
}
GROUP = "239.255.255.250"


def local(tag):
    return tag.rsplit("}", 1)[-1]


def find(node, name):
    for e in node.iter():
        if local(e.tag) == name:
            return e
    return None


class Prefixes:
    """Prefixes for one answer: the same namespaces bound to other names each
    time, as cameras of different makes (and some of one make) do."""

    CHOICES = {
        "env": ["s", "SOAP-ENV", "env", "soap", "e"],
        "tds": ["tds", "ns1", "dev", "d0"],
        "trt": ["trt", "ns2", "media", "m1"],
        "tt": ["tt", "ns3", "sch", "onvif"],
        "wsa": ["wsa", "a", "wsa5", "add"],
        "wsd": ["wsd", "d", "dis", "wsdd"],
        "ter": ["ter", "err", "ns9"],
        "tptz": ["tptz", "ptz", "ns4", "p0"],
    }

    def __init__(self, rng):
        taken = set()
        self.p = {}
        for key, options in self.CHOICES.items():
            pick = [o for o in options if o not in taken]
            self.p[key] = rng.choice(pick)
            taken.add(self.p[key])

    def __getitem__(self, key):
        return self.p[key]

    def xmlns(self, soap_ns):
        out = [f'xmlns:{self["env"]}="{soap_ns}"']
        for key in ("tds", "trt", "tt", "wsa", "wsd", "ter", "tptz"):
            out.append(f'xmlns:{self[key]}="{NS[key]}"')
        return " ".join(out)


TPTZ = "http://www.onvif.org/ver10/tptz/"
# Space kinds as GetConfigurationOptions and GetNode list them, in schema order.
SPACE_ELEMENTS = (("AbsolutePanTiltPositionSpace", "abs_pt"), ("AbsoluteZoomPositionSpace", "abs_z"),
                  ("ContinuousPanTiltVelocitySpace", "vel_pt"), ("ContinuousZoomVelocitySpace", "vel_z"),
                  ("PanTiltSpeedSpace", "speed_pt"), ("ZoomSpeedSpace", "speed_z"))
PRESET_NAME = re.compile(r"[A-Za-z0-9_.-]{1,64}")
DURATION = re.compile(r"P(?:(\d+(?:\.\d*)?)D)?(?:T(?:(\d+(?:\.\d*)?)H)?(?:(\d+(?:\.\d*)?)M)?(?:(\d+(?:\.\d*)?)S)?)?")


def child(node, name):
    for e in node:
        if local(e.tag) == name:
            return e
    return None


def child_text(node, name):
    e = child(node, name)
    return None if e is None else (e.text or "").strip()


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def seconds(duration):
    """An xs:duration in days, hours, minutes and seconds, or None."""
    m = DURATION.fullmatch(duration.strip()) if duration is not None else None
    if not m or not any(m.groups()):
        return None
    d, h, mi, sec = (float(g) if g else 0.0 for g in m.groups())
    return ((d * 24 + h) * 60 + mi) * 60 + sec


class PtzFault(Exception):
    def __init__(self, subcode, reason, code="Sender", inner=None):
        super().__init__(reason)
        self.subcode, self.reason, self.code, self.inner = subcode, reason, code, inner


class FakeCamera:
    def __init__(self, host="127.0.0.1", port=0, udp_host=None, user="admin", password="secret",
                 clock_offset=0.0, soap11=False, http_digest=None, no_get_services=False,
                 oversized=False, malformed=False, xaddr_host=None, name="Fake Camera", profiles=2,
                 digest_all=False, head=None, stream=None, ptz_ignore_timeout=False, ptz_timeout_fault=False,
                 ptz_no_stop=False, ptz_delay=0.0, ptz_hang=False, ptz_no_zoom=False, ptz_no_absolute=False,
                 ptz_generic=True, ptz_max_presets=10):
        self.host, self.user, self.password = host, user, password
        self.clock_offset = clock_offset
        self.soap_ns = SOAP11 if soap11 else SOAP12
        self.http_digest = http_digest  # None, "MD5" or "SHA-256"
        self.digest_all = digest_all  # Digest for GetSystemDateAndTime too, and the token checked as well
        self.head = head  # None, "trickle" (a byte a second) or "flood" (a header line without end)
        self.stream = stream  # the stream address of every profile, in place of its own
        self.no_get_services = no_get_services
        self.oversized, self.malformed = oversized, malformed
        self.name = name
        self.profile_count = profiles
        self.endpoint = "urn:uuid:" + str(uuid.uuid4())
        self.rng = random.Random()
        self.refusals = 0
        self.calls = []
        self.lock = threading.Lock()
        self.digest_nonce = uuid.uuid4().hex
        self.ptz_ignore_timeout = ptz_ignore_timeout  # a move goes on past its Timeout
        self.ptz_timeout_fault = ptz_timeout_fault  # a ContinuousMove with a Timeout faults
        self.ptz_no_stop = ptz_no_stop  # Stop faults and does nothing
        self.ptz_delay = ptz_delay  # seconds every PTZ answer waits
        self.ptz_hang = ptz_hang  # PTZ calls are never answered
        self.ptz_no_zoom, self.ptz_no_absolute = ptz_no_zoom, ptz_no_absolute
        self.ptz_generic = ptz_generic  # False: only spaces in degrees and millimetres
        self.ptz_max_presets = ptz_max_presets
        self.ptz_calls = []
        self.preset_list = [["PresetToken_1", "Gate"]]
        self.next_preset = 2
        self.pan_tilt_until = self.zoom_until = None  # monotonic end of each axis's motion, or None
        self.closed = threading.Event()
        camera = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                if camera.head:
                    camera.bad_head(self.wfile)
                    self.close_connection = True
                    return
                result = camera.answer(self.path, dict(self.headers), body)
                if result is None:
                    self.close_connection = True
                    return
                status, headers, answer = result
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(answer)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(answer)
                self.close_connection = True

        self.httpd = http.server.ThreadingHTTPServer((host, port), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.xaddr_host = xaddr_host or host
        self.udp = None
        if udp_host is not None:
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.udp.bind((udp_host, 3702))
            if udp_host in ("", "0.0.0.0"):
                mreq = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(host))
                self.udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        self.threads = [threading.Thread(target=self.httpd.serve_forever, daemon=True)]
        if self.udp:
            self.threads.append(threading.Thread(target=self.discovery, daemon=True))
        for t in self.threads:
            t.start()

    def close(self):
        self.closed.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        if self.udp:
            self.udp.close()

    def bad_head(self, out):
        """The start of an answer whose head never ends: a byte a second, or
        a header line as fast as it is taken, until the client gives up."""
        try:
            out.write(b"HTTP/1.1 200 OK\r\nX-Pad: ")
            for _ in range(120 if self.head == "trickle" else 100 << 4):
                if self.head == "trickle":
                    out.write(b"x")
                    out.flush()
                    time.sleep(1)
                else:
                    out.write(b"x" * (64 << 10))
        except OSError:
            pass

    # --- its clock
    def now(self):
        return datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=self.clock_offset)

    # --- WS-Discovery
    def discovery(self):
        while True:
            try:
                data, src = self.udp.recvfrom(65536)
            except OSError:
                return
            try:
                req = ET.fromstring(data)
            except ET.ParseError:
                continue
            probe = find(req, "Probe")
            msg_id = find(req, "MessageID")
            if probe is None or msg_id is None:
                continue
            types = find(probe, "Types")
            if types is not None and types.text and "NetworkVideoTransmitter" not in types.text:
                continue
            p = Prefixes(self.rng)
            scopes = " ".join([
                "onvif://www.onvif.org/type/video_encoder",
                "onvif://www.onvif.org/Profile/Streaming",
                "onvif://www.onvif.org/name/" + self.name.replace(" ", "%20"),
                "onvif://www.onvif.org/hardware/FC-1",
                "onvif://www.onvif.org/mfr/Fakery",
                "onvif://www.onvif.org/location/Studio%20B",
            ])
            answer = (
                f'<?xml version="1.0" encoding="UTF-8"?><{p["env"]}:Envelope {p.xmlns(self.soap_ns)} '
                f'xmlns:dn="{NS["dn"]}"><{p["env"]}:Header>'
                f'<{p["wsa"]}:MessageID>urn:uuid:{uuid.uuid4()}</{p["wsa"]}:MessageID>'
                f'<{p["wsa"]}:RelatesTo>{msg_id.text}</{p["wsa"]}:RelatesTo>'
                f'<{p["wsa"]}:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</{p["wsa"]}:To>'
                f'<{p["wsa"]}:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</{p["wsa"]}:Action>'
                f'</{p["env"]}:Header><{p["env"]}:Body><{p["wsd"]}:ProbeMatches><{p["wsd"]}:ProbeMatch>'
                f'<{p["wsa"]}:EndpointReference><{p["wsa"]}:Address>{self.endpoint}</{p["wsa"]}:Address>'
                f'</{p["wsa"]}:EndpointReference><{p["wsd"]}:Types>dn:NetworkVideoTransmitter</{p["wsd"]}:Types>'
                f'<{p["wsd"]}:Scopes>{scopes}</{p["wsd"]}:Scopes>'
                f'<{p["wsd"]}:XAddrs>http://{self.xaddr_host}:{self.port}/onvif/device_service</{p["wsd"]}:XAddrs>'
                f'<{p["wsd"]}:MetadataVersion>1</{p["wsd"]}:MetadataVersion>'
                f'</{p["wsd"]}:ProbeMatch></{p["wsd"]}:ProbeMatches></{p["env"]}:Body></{p["env"]}:Envelope>'
            )
            # A camera waits up to 0.5 s at random before answering a multicast Probe.
            if src[0] != self.host:
                time.sleep(self.rng.uniform(0, 0.5))
            try:
                self.udp.sendto(answer.encode(), src)
            except OSError:
                pass

    # --- the calls
    def envelope(self, p, body):
        return (f'<?xml version="1.0" encoding="UTF-8"?>\n<{p["env"]}:Envelope {p.xmlns(self.soap_ns)}>'
                f'<{p["env"]}:Body>{body}</{p["env"]}:Body></{p["env"]}:Envelope>').encode()

    def fault(self, p, subcode, reason, code="Sender", inner=None):
        e, ter = p["env"], p["ter"]
        if self.soap_ns == SOAP11:
            body = (f'<{e}:Fault><faultcode>{e}:{"Client" if code == "Sender" else "Server"}</faultcode>'
                    f'<faultstring>{reason}</faultstring><detail><{ter}:{inner or subcode}/></detail></{e}:Fault>')
        else:
            nested = f'<{e}:Subcode><{e}:Value>{ter}:{inner}</{e}:Value></{e}:Subcode>' if inner else ""
            body = (f'<{e}:Fault><{e}:Code><{e}:Value>{e}:{code}</{e}:Value><{e}:Subcode>'
                    f'<{e}:Value>{ter}:{subcode}</{e}:Value>{nested}</{e}:Subcode></{e}:Code>'
                    f'<{e}:Reason><{e}:Text xml:lang="en">{reason}</{e}:Text></{e}:Reason></{e}:Fault>')
        return self.envelope(p, body)

    def check_token(self, req):
        """True when the request's UsernameToken holds the user, a digest of
        the password and a Created time near this camera's clock."""
        token = find(req, "UsernameToken")
        if token is None:
            return False
        user, pw, nonce, created = (find(token, n) for n in ("Username", "Password", "Nonce", "Created"))
        if None in (user, pw, nonce, created) or user.text != self.user:
            return False
        raw_nonce = base64.b64decode(nonce.text or "")
        expect = base64.b64encode(hashlib.sha1(raw_nonce + created.text.encode() + self.password.encode())
                                  .digest()).decode()
        if pw.text != expect:
            return False
        try:
            when = datetime.datetime.fromisoformat(created.text.strip().replace("Z", "+00:00"))
        except ValueError:
            return False
        if abs((when - self.now()).total_seconds()) > 60:
            return False
        return True

    def check_http_digest(self, headers):
        auth = headers.get("Authorization", "")
        if not auth.startswith("Digest "):
            return False
        fields = dict((m[0], m[1] if m[1] else m[2])
                      for m in re.findall(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|([^,\s]*))', auth[7:]))
        h = (lambda s: hashlib.sha256(s.encode()).hexdigest()) if self.http_digest == "SHA-256" else \
            (lambda s: hashlib.md5(s.encode()).hexdigest())
        if fields.get("username") != self.user or fields.get("nonce") != self.digest_nonce:
            return False
        ha1 = h(f'{self.user}:fake:{self.password}')
        ha2 = h(f'POST:{fields.get("uri", "")}')
        expect = h(f'{ha1}:{self.digest_nonce}:{fields.get("nc")}:{fields.get("cnonce")}:auth:{ha2}')
        return fields.get("response") == expect and fields.get("qop") == "auth"

    def answer(self, path, headers, body):
        """(status, headers, body), or None for a PTZ call left unanswered
        until the camera closes."""
        at = time.monotonic()
        p = Prefixes(self.rng)
        ctype = [("Content-Type", ("application/soap+xml" if self.soap_ns == SOAP12 else "text/xml")
                  + "; charset=utf-8")]
        try:
            req = ET.fromstring(body)
        except ET.ParseError:
            return 400, ctype, self.fault(p, "WellFormed", "Not well formed")
        req_body = find(req, "Body")
        action = local(req_body[0].tag) if req_body is not None and len(req_body) else ""
        with self.lock:
            self.calls.append(action)
        op = req_body[0] if action else None
        if op is None or not op.tag.startswith("{%s}" % NS["tptz"]):
            return self.serve(p, ctype, headers, req, action, None)
        rec = self.ptz_record(action, op, at)
        with self.lock:
            self.ptz_calls.append(rec)
        status, hdrs, out = self.serve(p, ctype, headers, req, action, op)
        if self.ptz_hang:
            self.closed.wait()
            return None
        if self.ptz_delay:
            self.closed.wait(self.ptz_delay)
        with self.lock:
            rec["status"] = status
        return status, hdrs, out

    def serve(self, p, ctype, headers, req, action, op):
        if action != "GetSystemDateAndTime" or self.digest_all:
            if self.http_digest:
                if not self.check_http_digest(headers):
                    if headers.get("Authorization"):
                        with self.lock:
                            self.refusals += 1
                    return 401, [("WWW-Authenticate", 'Basic realm="fake"'),
                                 ("WWW-Authenticate", f'Digest realm="fake", qop="auth", '
                                  f'nonce="{self.digest_nonce}", algorithm={self.http_digest}')], b""
            if self.digest_all and action != "GetSystemDateAndTime" and not self.check_token(req):
                with self.lock:
                    self.refusals += 1
                return 400, ctype, self.fault(p, "NotAuthorized", "Sender not Authorized")
            if not self.http_digest and not self.check_token(req):
                with self.lock:
                    self.refusals += 1
                return 400, ctype, self.fault(p, "NotAuthorized", "Sender not Authorized")
        if op is not None:
            method = getattr(self, "ptz_" + action, None)
            try:
                if method is None:
                    raise PtzFault("ActionNotSupported", "Optional Action Not Implemented", "Receiver")
                with self.lock:
                    return 200, ctype, self.envelope(p, method(p, op))
            except PtzFault as f:
                return 500, ctype, self.fault(p, f.subcode, f.reason, f.code, f.inner)
        method = getattr(self, "do_" + action, None)
        if method is None or (action == "GetServices" and self.no_get_services):
            return 400, ctype, self.fault(p, "ActionNotSupported", "Optional Action Not Implemented")
        return 200, ctype, method(p, req)

    def base(self):
        return f"http://{self.xaddr_host}:{self.port}"

    def do_GetSystemDateAndTime(self, p, req):
        t, tt = self.now(), p["tt"]
        return self.envelope(p, (
            f'<{p["tds"]}:GetSystemDateAndTimeResponse><{p["tds"]}:SystemDateAndTime>'
            f'<{tt}:DateTimeType>NTP</{tt}:DateTimeType><{tt}:DaylightSavings>false</{tt}:DaylightSavings>'
            f'<{tt}:TimeZone><{tt}:TZ>UTC0</{tt}:TZ></{tt}:TimeZone><{tt}:UTCDateTime>'
            f'<{tt}:Time><{tt}:Hour>{t.hour}</{tt}:Hour><{tt}:Minute>{t.minute}</{tt}:Minute>'
            f'<{tt}:Second>{t.second}</{tt}:Second></{tt}:Time>'
            f'<{tt}:Date><{tt}:Year>{t.year}</{tt}:Year><{tt}:Month>{t.month}</{tt}:Month>'
            f'<{tt}:Day>{t.day}</{tt}:Day></{tt}:Date></{tt}:UTCDateTime>'
            f'</{p["tds"]}:SystemDateAndTime></{p["tds"]}:GetSystemDateAndTimeResponse>'))

    def do_GetDeviceInformation(self, p, req):
        d = p["tds"]
        return self.envelope(p, (
            f'<{d}:GetDeviceInformationResponse><{d}:Manufacturer>Fakery &amp; Sons</{d}:Manufacturer>'
            f'<{d}:Model>FC-1</{d}:Model><{d}:FirmwareVersion>1.0</{d}:FirmwareVersion>'
            f'<{d}:SerialNumber>0001</{d}:SerialNumber><{d}:HardwareId>1</{d}:HardwareId>'
            f'</{d}:GetDeviceInformationResponse>'))

    def do_GetServices(self, p, req):
        d = p["tds"]
        out = ""
        for ns, path in ((NS["tds"], "device_service"), (NS["trt"], "media_service"), (NS["tptz"], "ptz_service")):
            out += (f'<{d}:Service><{d}:Namespace>{ns}</{d}:Namespace><{d}:XAddr>{self.base()}/onvif/{path}'
                    f'</{d}:XAddr><{d}:Version><{p["tt"]}:Major>2</{p["tt"]}:Major>'
                    f'<{p["tt"]}:Minor>60</{p["tt"]}:Minor></{d}:Version></{d}:Service>')
        return self.envelope(p, f'<{d}:GetServicesResponse>{out}</{d}:GetServicesResponse>')

    def do_GetCapabilities(self, p, req):
        d, tt = p["tds"], p["tt"]
        return self.envelope(p, (
            f'<{d}:GetCapabilitiesResponse><{d}:Capabilities>'
            f'<{tt}:Device><{tt}:XAddr>{self.base()}/onvif/device_service</{tt}:XAddr></{tt}:Device>'
            f'<{tt}:Media><{tt}:XAddr>{self.base()}/onvif/media_service</{tt}:XAddr></{tt}:Media>'
            f'<{tt}:PTZ><{tt}:XAddr>{self.base()}/onvif/ptz_service</{tt}:XAddr></{tt}:PTZ>'
            f'</{d}:Capabilities></{d}:GetCapabilitiesResponse>'))

    def profiles(self):
        sizes = [(1920, 1080, 25), (640, 360, 15), (1280, 720, 30)]
        return [(f"Profile_{i + 1}", f"prof{i + 1}", *sizes[i % 3]) for i in range(self.profile_count)]

    def profile_xml(self, p, element, i, name, token, w, h, fps):
        m, tt = p["trt"], p["tt"]
        ptz = self.ptz_configuration(tt) if i == 0 else ""
        return (f'<{m}:{element} token="{token}" fixed="true"><{tt}:Name>{name}</{tt}:Name>'
                f'<{tt}:VideoSourceConfiguration token="vsc"><{tt}:Name>VS</{tt}:Name>'
                f'<{tt}:SourceToken>vs0</{tt}:SourceToken></{tt}:VideoSourceConfiguration>'
                f'<{tt}:VideoEncoderConfiguration token="enc{i}"><{tt}:Name>E</{tt}:Name>'
                f'<{tt}:Encoding>H264</{tt}:Encoding><{tt}:Resolution><{tt}:Width>{w}</{tt}:Width>'
                f'<{tt}:Height>{h}</{tt}:Height></{tt}:Resolution><{tt}:RateControl>'
                f'<{tt}:FrameRateLimit>{fps}</{tt}:FrameRateLimit><{tt}:BitrateLimit>4096</{tt}:BitrateLimit>'
                f'</{tt}:RateControl></{tt}:VideoEncoderConfiguration>{ptz}</{m}:{element}>')

    def do_GetProfiles(self, p, req):
        m, tt = p["trt"], p["tt"]
        if self.malformed:
            return self.envelope(p, f'<{m}:GetProfilesResponse><{m}:Profiles token="x"><{tt}:Name>')[:-40]
        out = "".join(self.profile_xml(p, "Profiles", i, *prof) for i, prof in enumerate(self.profiles()))
        if self.oversized:
            out += f'<{tt}:Padding>' + "x" * (2 << 20) + f'</{tt}:Padding>'
        return self.envelope(p, f'<{m}:GetProfilesResponse>{out}</{m}:GetProfilesResponse>')

    def do_GetProfile(self, p, req):
        token = find(req, "ProfileToken")
        for i, prof in enumerate(self.profiles()):
            if token is not None and prof[1] == token.text:
                m = p["trt"]
                return self.envelope(p, f'<{m}:GetProfileResponse>{self.profile_xml(p, "Profile", i, *prof)}'
                                        f'</{m}:GetProfileResponse>')
        return self.fault(p, "NoProfile", "No such profile")

    def media_uri(self, p, req, response, scheme, port, suffix):
        token = find(req, "ProfileToken")
        m, tt = p["trt"], p["tt"]
        return self.envelope(p, (
            f'<{m}:{response}><{m}:MediaUri><{tt}:Uri>{scheme}://{self.xaddr_host}:{port}/'
            f'{token.text if token is not None else ""}{suffix}</{tt}:Uri>'
            f'<{tt}:InvalidAfterConnect>false</{tt}:InvalidAfterConnect>'
            f'<{tt}:InvalidAfterReboot>false</{tt}:InvalidAfterReboot><{tt}:Timeout>PT0S</{tt}:Timeout>'
            f'</{m}:MediaUri></{m}:{response}>'))

    def do_GetStreamUri(self, p, req):
        if self.stream:
            m, tt = p["trt"], p["tt"]
            return self.envelope(p, f'<{m}:GetStreamUriResponse><{m}:MediaUri><{tt}:Uri>{self.stream}</{tt}:Uri>'
                                    f'</{m}:MediaUri></{m}:GetStreamUriResponse>')
        return self.media_uri(p, req, "GetStreamUriResponse", "rtsp", 554, "/live")

    def do_GetSnapshotUri(self, p, req):
        return self.media_uri(p, req, "GetSnapshotUriResponse", "http", self.port, "/snapshot.jpg")

    # --- PTZ
    def ptz_record(self, action, op, at):
        def vector(name):
            v = child(op, name)
            if v is None:
                return None
            out = {"pan_tilt_space": None, "zoom_space": None}
            pt, z = child(v, "PanTilt"), child(v, "Zoom")
            if pt is not None:
                out.update(pan=number(pt.get("x")), tilt=number(pt.get("y")), pan_tilt_space=pt.get("space"))
            if z is not None:
                out.update(zoom=number(z.get("x")), zoom_space=z.get("space"))
            return out
        stop = action == "Stop"
        return {"action": action, "at": at, "profile": child_text(op, "ProfileToken"),
                "velocity": vector("Velocity"), "position": vector("Position"), "speed": vector("Speed"),
                "timeout": child_text(op, "Timeout"), "preset_name": child_text(op, "PresetName"),
                "preset_token": child_text(op, "PresetToken"),
                "stop_pan_tilt": child_text(op, "PanTilt") if stop else None,
                "stop_zoom": child_text(op, "Zoom") if stop else None, "status": None}

    def ptz_actions(self):
        with self.lock:
            return [r["action"] for r in self.ptz_calls]

    def presets(self):
        with self.lock:
            return [tuple(x) for x in self.preset_list]

    def moving(self):
        with self.lock:
            return self.moving_now()

    def moving_now(self):
        now = time.monotonic()
        return any(u is not None and now < u for u in (self.pan_tilt_until, self.zoom_until))

    def ptz_spaces(self):
        """kind -> (URI, x range, y range or None)."""
        if self.ptz_generic:
            s = {"abs_pt": (TPTZ + "PanTiltSpaces/PositionGenericSpace", (-1, 1), (-1, 1)),
                 "abs_z": (TPTZ + "ZoomSpaces/PositionGenericSpace", (0, 1), None),
                 "vel_pt": (TPTZ + "PanTiltSpaces/VelocityGenericSpace", (-1, 1), (-1, 1)),
                 "vel_z": (TPTZ + "ZoomSpaces/VelocityGenericSpace", (-1, 1), None),
                 "speed_pt": (TPTZ + "PanTiltSpaces/GenericSpeedSpace", (0, 1), None),
                 "speed_z": (TPTZ + "ZoomSpaces/ZoomGenericSpeedSpace", (0, 1), None)}
        else:
            s = {"abs_pt": (TPTZ + "PanTiltSpaces/PositionSpaceDegrees", (0, 360), (0, 180)),
                 "abs_z": (TPTZ + "ZoomSpaces/PositionSpaceMillimeter", (0, 100), None),
                 "vel_pt": (TPTZ + "PanTiltSpaces/VelocitySpaceDegrees", (-90, 90), (-45, 45)),
                 "vel_z": (TPTZ + "ZoomSpaces/VelocitySpaceMillimeter", (-10, 10), None),
                 "speed_pt": (TPTZ + "PanTiltSpaces/SpeedSpaceDegrees", (0, 90), None),
                 "speed_z": (TPTZ + "ZoomSpaces/SpeedSpaceMillimeter", (0, 10), None)}
        drop = (["abs_z", "vel_z", "speed_z"] if self.ptz_no_zoom else []) + \
            (["abs_pt", "abs_z"] if self.ptz_no_absolute else [])
        return {k: v for k, v in s.items() if k not in drop}

    def spaces_xml(self, tt):
        def rng(name, r):
            return f'<{tt}:{name}><{tt}:Min>{r[0]:g}</{tt}:Min><{tt}:Max>{r[1]:g}</{tt}:Max></{tt}:{name}>'
        out, s = "", self.ptz_spaces()
        for element, kind in SPACE_ELEMENTS:
            if kind in s:
                uri, x, y = s[kind]
                out += (f'<{tt}:{element}><{tt}:URI>{uri}</{tt}:URI>{rng("XRange", x)}'
                        f'{rng("YRange", y) if y else ""}</{tt}:{element}>')
        return out

    def ptz_configuration(self, tt):
        out = (f'<{tt}:PTZConfiguration token="ptz0"><{tt}:Name>PTZ</{tt}:Name><{tt}:UseCount>1</{tt}:UseCount>'
               f'<{tt}:NodeToken>node0</{tt}:NodeToken>')
        s = self.ptz_spaces()
        for element, kind in (("DefaultAbsolutePantTiltPositionSpace", "abs_pt"),
                              ("DefaultAbsoluteZoomPositionSpace", "abs_z"),
                              ("DefaultContinuousPanTiltVelocitySpace", "vel_pt"),
                              ("DefaultContinuousZoomVelocitySpace", "vel_z")):
            if kind in s:
                out += f'<{tt}:{element}>{s[kind][0]}</{tt}:{element}>'
        return out + f'<{tt}:DefaultPTZTimeout>PT5S</{tt}:DefaultPTZTimeout></{tt}:PTZConfiguration>'

    def ptz_profile(self, op):
        token = child_text(op, "ProfileToken")
        tokens = [prof[1] for prof in self.profiles()]
        if token not in tokens:
            raise PtzFault("InvalidArgVal", "No such profile", inner="NoProfile")
        if token != tokens[0]:
            raise PtzFault("InvalidArgVal", "Profile has no PTZ configuration", inner="NoPTZProfile")

    def ptz_check(self, op, name, kinds, bad, required=False):
        """Faults unless the vector under name fits the spaces of kinds (pan-tilt, zoom)."""
        v = child(op, name)
        if v is None:
            if required:
                raise PtzFault("InvalidArgVal", f"{name} missing", inner=bad)
            return {}
        s, out = self.ptz_spaces(), {}
        for axis, kind, attrs in (("PanTilt", kinds[0], ("x", "y")), ("Zoom", kinds[1], ("x",))):
            e = child(v, axis)
            if e is None:
                continue
            if kind not in s:
                raise PtzFault("InvalidArgVal", f"No {axis} space for {name}", inner=bad)
            uri, *ranges = s[kind]
            if e.get("space") not in (None, uri):
                raise PtzFault("InvalidArgVal", "Space not supported", inner="SpaceNotSupported")
            values = [number(e.get(a)) for a in attrs]
            for val, r in zip(values, [ranges[0], ranges[1] or ranges[0]]):
                if val is None or not r[0] - 1e-6 <= val <= r[1] + 1e-6:
                    raise PtzFault("InvalidArgVal", f"{axis} {name} out of range", inner=bad)
            out[axis] = values
        return out

    def ptz_GetConfigurationOptions(self, p, op):
        if child_text(op, "ConfigurationToken") != "ptz0":
            raise PtzFault("InvalidArgVal", "No such configuration", inner="NoConfig")
        t, tt = p["tptz"], p["tt"]
        return (f'<{t}:GetConfigurationOptionsResponse><{t}:PTZConfigurationOptions><{tt}:Spaces>'
                f'{self.spaces_xml(tt)}</{tt}:Spaces><{tt}:PTZTimeout><{tt}:Min>PT1S</{tt}:Min>'
                f'<{tt}:Max>PT60S</{tt}:Max></{tt}:PTZTimeout></{t}:PTZConfigurationOptions>'
                f'</{t}:GetConfigurationOptionsResponse>')

    def ptz_GetNode(self, p, op):
        if child_text(op, "NodeToken") != "node0":
            raise PtzFault("InvalidArgVal", "No such node", inner="NoEntity")
        t, tt = p["tptz"], p["tt"]
        return (f'<{t}:GetNodeResponse><{t}:PTZNode token="node0"><{tt}:Name>PTZ Node</{tt}:Name>'
                f'<{tt}:SupportedPTZSpaces>{self.spaces_xml(tt)}</{tt}:SupportedPTZSpaces>'
                f'<{tt}:MaximumNumberOfPresets>{self.ptz_max_presets}</{tt}:MaximumNumberOfPresets>'
                f'<{tt}:HomeSupported>false</{tt}:HomeSupported></{t}:PTZNode></{t}:GetNodeResponse>')

    def ptz_GetPresets(self, p, op):
        self.ptz_profile(op)
        t, tt = p["tptz"], p["tt"]
        out = "".join(f'<{t}:Preset token="{token}"><{tt}:Name>{name}</{tt}:Name></{t}:Preset>'
                      for token, name in self.preset_list)
        return f'<{t}:GetPresetsResponse>{out}</{t}:GetPresetsResponse>'

    def ptz_SetPreset(self, p, op):
        self.ptz_profile(op)
        token, name = child_text(op, "PresetToken"), child_text(op, "PresetName")
        preset = next((x for x in self.preset_list if x[0] == token), None) if token else None
        if token and preset is None:
            raise PtzFault("InvalidArgVal", "No such preset", inner="NoToken")
        if name is not None and not PRESET_NAME.fullmatch(name):
            raise PtzFault("InvalidArgVal", "Invalid preset name", inner="InvalidPresetName")
        if self.moving_now():
            raise PtzFault("Action", "Preset cannot be set while PTZ unit is moving", "Receiver", "MovingPTZ")
        if preset is None:
            if len(self.preset_list) >= self.ptz_max_presets:
                raise PtzFault("Action", "Too many presets", "Receiver", "TooManyPresets")
            preset = [f"PresetToken_{self.next_preset}", name or f"Preset_{self.next_preset}"]
            self.next_preset += 1
            self.preset_list.append(preset)
        elif name is not None:
            preset[1] = name
        t = p["tptz"]
        return f'<{t}:SetPresetResponse><{t}:PresetToken>{preset[0]}</{t}:PresetToken></{t}:SetPresetResponse>'

    def ptz_GotoPreset(self, p, op):
        self.ptz_profile(op)
        if child_text(op, "PresetToken") not in [x[0] for x in self.preset_list]:
            raise PtzFault("InvalidArgVal", "No such preset", inner="NoToken")
        self.ptz_check(op, "Speed", ("speed_pt", "speed_z"), "InvalidSpeed")
        self.pan_tilt_until = self.zoom_until = None
        return f'<{p["tptz"]}:GotoPresetResponse/>'

    def ptz_ContinuousMove(self, p, op):
        self.ptz_profile(op)
        timeout = child_text(op, "Timeout")
        if timeout is not None and self.ptz_timeout_fault:
            raise PtzFault("InvalidArgVal", "Timeout not supported", inner="TimeoutNotSupported")
        secs = seconds(timeout) if timeout is not None else None
        if timeout is not None and secs is None:
            raise PtzFault("InvalidArgVal", "Invalid timeout", inner="TimeoutNotSupported")
        v = self.ptz_check(op, "Velocity", ("vel_pt", "vel_z"), "InvalidVelocity", required=True)
        until = time.monotonic() + secs if secs is not None and not self.ptz_ignore_timeout else float("inf")
        self.pan_tilt_until = until if any(v.get("PanTilt", [])) else None
        self.zoom_until = until if any(v.get("Zoom", [])) else None
        return f'<{p["tptz"]}:ContinuousMoveResponse/>'

    def ptz_Stop(self, p, op):
        self.ptz_profile(op)
        if self.ptz_no_stop:
            raise PtzFault("ActionNotSupported", "Stop not supported", "Receiver")
        if child_text(op, "PanTilt") in (None, "true", "1"):
            self.pan_tilt_until = None
        if child_text(op, "Zoom") in (None, "true", "1"):
            self.zoom_until = None
        return f'<{p["tptz"]}:StopResponse/>'

    def ptz_AbsoluteMove(self, p, op):
        self.ptz_profile(op)
        if self.ptz_no_absolute:
            raise PtzFault("ActionNotSupported", "Absolute moves not supported", "Receiver")
        self.ptz_check(op, "Position", ("abs_pt", "abs_z"), "InvalidPosition", required=True)
        self.ptz_check(op, "Speed", ("speed_pt", "speed_z"), "InvalidSpeed")
        self.pan_tilt_until = self.zoom_until = None
        return f'<{p["tptz"]}:AbsoluteMoveResponse/>'


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--udp-host", default=None, help="address to take Probes on (\"\": every one, with multicast)")
    ap.add_argument("--user", default="admin")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--clock-offset", type=float, default=0.0)
    ap.add_argument("--soap11", action="store_true")
    ap.add_argument("--http-digest", choices=["MD5", "SHA-256"])
    ap.add_argument("--no-get-services", action="store_true")
    ap.add_argument("--oversized", action="store_true")
    ap.add_argument("--malformed", action="store_true")
    ap.add_argument("--xaddr-host")
    ap.add_argument("--digest-all", action="store_true")
    ap.add_argument("--head", choices=["trickle", "flood"])
    ap.add_argument("--ptz-ignore-timeout", action="store_true")
    ap.add_argument("--ptz-timeout-fault", action="store_true")
    ap.add_argument("--ptz-no-stop", action="store_true")
    ap.add_argument("--ptz-delay", type=float, default=0.0)
    ap.add_argument("--ptz-hang", action="store_true")
    ap.add_argument("--ptz-no-zoom", action="store_true")
    ap.add_argument("--ptz-no-absolute", action="store_true")
    ap.add_argument("--ptz-not-generic", dest="ptz_generic", action="store_false")
    ap.add_argument("--ptz-max-presets", type=int, default=10)
    a = ap.parse_args()
    cam = FakeCamera(a.host, a.port, a.udp_host, a.user, a.password, a.clock_offset, a.soap11, a.http_digest,
                     a.no_get_services, a.oversized, a.malformed, a.xaddr_host, digest_all=a.digest_all,
                     head=a.head, ptz_ignore_timeout=a.ptz_ignore_timeout, ptz_timeout_fault=a.ptz_timeout_fault,
                     ptz_no_stop=a.ptz_no_stop, ptz_delay=a.ptz_delay, ptz_hang=a.ptz_hang,
                     ptz_no_zoom=a.ptz_no_zoom, ptz_no_absolute=a.ptz_no_absolute, ptz_generic=a.ptz_generic,
                     ptz_max_presets=a.ptz_max_presets)
    print("ready", cam.port, flush=True)
    try:
        sys.stdin.read()
    finally:
        cam.close()


if __name__ == "__main__":
    main()
