"""Drives the built tool as its controlling program would: arguments and
environment in, stdin held open until a stop, every stdout line checked to be
one whole JSON object, exit code out.

Configuration comes from the environment that ctest sets:
  QOR_TOOL            the tool's executable
  QOR_SUPERVISOR      the supervisor's executable (native Linux builds)
  QOR_WINE            "1" when the tool is a Windows build, run under Wine
  QOR_FAKE_DECODER    the stand-in decoder built for the same platform
  QOR_STANDIN_DIR     directory holding the stand-in NDI runtime
  QOR_NOEXPORT_DIR    directory holding the stand-in built without its entry point
  QOR_BRIDGE          (Windows) the bridge that runs Linux ffmpeg under Wine
  QOR_CONSOLE_EVENT   (Windows) the helper that sends the tool Ctrl-C on its console
"""
import json
import os
import queue
import re
import signal
import subprocess
import tempfile
import threading
import time

import jsonschema

TOOL = os.environ.get("QOR_TOOL", "")
SUPERVISOR = os.environ.get("QOR_SUPERVISOR", "")
WINE = os.environ.get("QOR_WINE") == "1"
FAKE_DECODER = os.environ.get("QOR_FAKE_DECODER", "")
STANDIN_DIR = os.environ.get("QOR_STANDIN_DIR", "")
NOEXPORT_DIR = os.environ.get("QOR_NOEXPORT_DIR", "")
BRIDGE = os.environ.get("QOR_BRIDGE", "")
CONSOLE_EVENT = os.environ.get("QOR_CONSOLE_EVENT", "")

NEWLINE = b"\r\n" if WINE else b"\n"
RUNTIME_FILE = "Processing.NDI.Lib.x64.dll" if WINE else "libndi.so.6"


def tool_path(path):
    """A Linux path as the tool sees it (Wine reaches Linux paths through Z:)."""
    if WINE and path.startswith("/"):
        return "Z:" + path.replace("/", "\\")
    return path


def scratch_dir():
    return tempfile.mkdtemp(prefix="qor-test-")


class Tool:
    """One run of the tool. Lines are read on a thread; events() parses them."""

    def __init__(self, args, env=None, runtime_dir=None, record=None, close_stdout=False,
                 stdin=subprocess.PIPE, own_group=False, popen=None):
        full_env = dict(os.environ)
        for key in ("NDI_RUNTIME_DIR_V6", "FFMPEG_BIN"):
            full_env.pop(key, None)
        if runtime_dir is None:
            runtime_dir = STANDIN_DIR
        if runtime_dir is not False:
            full_env["NDI_RUNTIME_DIR_V6"] = tool_path(runtime_dir)
        if record:
            full_env["QOR_STANDIN_RECORD"] = tool_path(record)
        full_env.update(env or {})
        cmd = (["wine", TOOL] if WINE else [TOOL]) + list(args)
        self.started_at = time.monotonic()
        # own_group: a process group that a test may signal as a whole, the way
        # a terminal signals its foreground group. popen overrides the streams
        # (a test's own stdout pipe: the tool's lines are then the test's to
        # read) or adds start-up steps.
        streams = dict(stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        streams.update(popen or {})
        self.proc = subprocess.Popen(cmd, env=full_env, process_group=0 if own_group else None, **streams)
        if close_stdout:
            # A controller that has stopped listening: every line hits a closed pipe.
            self.proc.stdout.close()
            self.proc.stdout = open(os.devnull, "rb")
        self.lines = queue.Queue()
        self.pipe_timeout = 10  # how long to wait for the end of output once the tool has ended
        self.raw = []
        self.stderr = b""
        self._out = threading.Thread(target=self._read_stdout, daemon=True)
        self._out.start()
        self._err = threading.Thread(target=self._read_stderr, daemon=True)
        self._err.start()

    def _read_stdout(self):
        if self.proc.stdout:
            for line in iter(self.proc.stdout.readline, b""):
                self.raw.append(line)
                self.lines.put((time.monotonic(), line))
        self.lines.put((time.monotonic(), None))

    def _read_stderr(self):
        self.stderr = self.proc.stderr.read()

    def next_event(self, timeout):
        """The next event as a dict, or None at the end of output. Fails on a
        line that is not exactly one JSON object ended by the platform's newline."""
        try:
            at, line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no event within %.1f s" % timeout)
        if line is None:
            self.lines.put((at, None))
            return None
        return parse_line(line)

    def close_stdin(self):
        if self.proc.stdin is None:  # a descriptor the test handed in and closes itself
            return
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def write_stdin(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def finish(self, timeout=30):
        """Waits for the end; returns (exit code, all events)."""
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("tool did not end within %d s" % timeout)
        self._close_pipes()
        events = [parse_line(l) for l in self.raw]
        return code, events

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def _close_pipes(self):
        # Under Wine a helper process (conhost) of a killed tool may keep the
        # pipes open a while; a pipe still being read is left to the daemon
        # thread, since closing it under a blocked reader would hang.
        self._out.join(self.pipe_timeout)
        self._err.join(self.pipe_timeout)
        if not self._out.is_alive() and self.proc.stdout:
            self.proc.stdout.close()
        if not self._err.is_alive():
            self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close_stdin()
        self.kill()
        self._close_pipes()


def parse_line(line):
    assert line.endswith(NEWLINE), "line without its newline: %r" % line
    body = line[: -len(NEWLINE)]
    assert b"\r" not in body and b"\n" not in body, "stray line break in %r" % line
    # Strict: the bytes must be UTF-8 and the text one JSON object, nothing else
    # (no member twice, no NaN or Infinity).
    value = json.loads(body.decode("utf-8"), object_pairs_hook=_unique_members,
                       parse_constant=_no_constant)
    assert isinstance(value, dict), line
    check_event(value, body)
    return value


# Every line must satisfy the published schema, and also what a schema cannot
# say: the members in the templates' order, fps with exactly one decimal, and
# every other number written as an integer.
EVENT_SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                                 "events.schema.json")
with open(EVENT_SCHEMA_FILE, "rb") as _f:
    _schema = json.load(_f)
jsonschema.Draft202012Validator.check_schema(_schema)
EVENT_SCHEMA = jsonschema.Draft202012Validator(_schema)
MEMBER_ORDER = {
    "started": ["event", "name", "width", "height", "audio", "ndi"],
    "status": ["event", "connections", "fps", "audio"],
    "status_monitored": ["event", "connections", "fps", "audio", "level", "tally"],
    "exit": ["event", "ffmpeg", "requested"],
    "error": ["event", "code", "message"],
}
# A ptz line's values, in their order, by command; the optional ones are there
# only for a manual mode.
PTZ_MEMBERS = {
    "pan_tilt_speed": ["pan_speed", "tilt_speed"], "pan_tilt": ["pan", "tilt"], "zoom_speed": ["zoom_speed"],
    "zoom": ["zoom"], "store_preset": ["index"], "recall_preset": ["index", "speed"],
    "focus": ["mode", "distance"], "focus_speed": ["speed"], "white_balance": ["mode", "red", "blue"],
    "exposure": ["mode", "value"],
}


def check_event(value, body):
    """Fails unless value, parsed from the line body (bytes), is an event as the tool writes it."""
    errors = ["%s: %s" % ("/".join(map(str, e.absolute_path)) or "line", e.message)
              for e in EVENT_SCHEMA.iter_errors(value)]
    assert not errors, "%r breaks events.schema.json: %s" % (body, "; ".join(errors))
    if value["event"] == "ptz":
        order = ["event", "command"] + [k for k in PTZ_MEMBERS[value["command"]] if k in value]
        assert list(value) == order, "members out of order: %r" % body
        return
    kind = "status_monitored" if "tally" in value else value["event"]
    assert list(value) == MEMBER_ORDER[kind], "members out of order: %r" % body
    if "tally" in value:
        assert list(value["tally"]) == ["program", "preview"], "tally members out of order: %r" % body
    for key, v in value.items():
        assert key == "fps" or not isinstance(v, float), "%s is not an integer in %r" % (key, body)
    if "fps" in value:
        assert re.search(rb'"fps":[0-9]+\.[0-9][,}]', body), "fps without exactly one decimal: %r" % body
    if value.get("level") is not None:
        assert re.search(rb'"level":\[-?[0-9]+\.[0-9],-?[0-9]+\.[0-9]\]', body), \
            "level values without exactly one decimal: %r" % body


def _unique_members(pairs):
    keys = [k for k, _ in pairs]
    assert len(set(keys)) == len(keys), "a member given twice: %r" % keys
    return dict(pairs)


def _no_constant(name):
    raise AssertionError("%s is not JSON" % name)


def check_pattern(test, events):
    """The lines of a run: one error alone, or started, status (and ptz) lines, exit."""
    test.assertTrue(events, "no event at all")
    if events[0]["event"] == "error":
        test.assertEqual(len(events), 1, events)
        return
    test.assertEqual(events[0]["event"], "started", events)
    test.assertEqual(events[-1]["event"], "exit", events)
    for ev in events[1:-1]:
        test.assertIn(ev["event"], ("status", "ptz"), events)


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def linux_pids_running(marker):
    """Linux processes whose command line contains marker (Wine programs too)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if marker.encode() in cmdline and pid_alive(int(entry)):
            found.append(int(entry))
    return found


def wait_gone(marker, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not linux_pids_running(marker):
            return True
        time.sleep(0.05)
    return not linux_pids_running(marker)


def read_record(path):
    """The stand-in runtime's record: a list of (event, {key: value})."""
    out = []
    try:
        with open(path, "rb") as f:
            data = f.read().decode("ascii")
    except FileNotFoundError:
        return out
    # Read while the runtime still writes, the last line may be unfinished.
    for line in data.split("\n")[:-1]:
        line = line.rstrip("\r")
        if not line:
            continue
        ev, *kv = line.split(" ")
        out.append((ev, dict(x.split("=", 1) for x in kv)))
    return out


def stop_while_the_runtime_holds(test, args, env, record, call):
    """A run whose stand-in runtime holds a call far longer than a stop may
    take: once the call is in its record, stdin closes, and the tool must end
    within the stop's budget (10 s) with the exit line of a stop asked for.
    Returns the run's events."""
    with Tool(args, env=env, record=record) as t:
        test.assertEqual(t.next_event(10)["event"], "started")
        deadline = time.monotonic() + 10
        while not any(ev == call for ev, _ in read_record(record)) and time.monotonic() < deadline:
            time.sleep(0.05)
        t.close_stdin()
        stopped = time.monotonic()
        code, events = t.finish(timeout=40)
        took = time.monotonic() - stopped
    test.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
    test.assertEqual(code, 0)
    test.assertLess(took, 20)
    return events


def unquote(text):
    """A percent-encoded record text as bytes."""
    if text == "(null)":
        return None
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "%":
            out.append(int(text[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(ord(text[i]))
            i += 1
    return bytes(out)


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def fake_picture(index, width, height):
    """The stand-in decoder's picture number index."""
    size = width * height * 3 // 2
    return bytes(((index + j) & 0xFF) for j in range(size))


def check_newest_in_order(test, fnvs, pictures, width, height):
    """Pictures relayed where an older one gives way to a newer one that arrived
    during a send: each is one of the stand-in decoder's first `pictures`, whole,
    in the order written, none twice, and the last one written among them."""
    index = {fnv1a64(fake_picture(i, width, height)): i for i in range(pictures)}
    got = [index.get(f) for f in fnvs]
    test.assertNotIn(None, got, "a picture the decoder never wrote")
    test.assertEqual(got, sorted(set(got)), "pictures out of order or twice")
    test.assertEqual(got[-1:], [pictures - 1], "the newest picture was not sent")


def fake_url(**keys):
    return "fake://cam?" + "&".join("%s=%s" % (k, v) for k, v in keys.items())
