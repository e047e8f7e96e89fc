"""What the supervisor's tests share: the Linux supervisor's, the Windows
one's under Wine, and the fleet's. The stand-in sources, the sources file as
an editor saves it, every line the supervisor writes checked, raw HTTP to its
status address, and (Linux) one run of the supervisor."""
import json
import os
import signal
import socket
import subprocess
import threading
import time
import uuid

from harness import FAKE_DECODER, NEWLINE, STANDIN_DIR, SUPERVISOR, TOOL, parse_line, scratch_dir, tool_path

SMALL = ["--ffmpeg", tool_path(FAKE_DECODER), "--width", "64", "--height", "36"]
# A source that sends pictures and audio for as long as a test runs.
STEADY = dict(frames=100000, rate=30, blocks=100000, arate=100, hold=1)


def token():
    return "sup" + uuid.uuid4().hex


def check_line(raw):
    """One supervisor line as an object. Fails unless it is JSON ended by the
    platform's newline with "source" first: either restart, stopped or
    stalled, or a line of the tool as the tool wrote it."""
    assert raw.endswith(NEWLINE) and raw.count(b"\n") == 1 and b"\r" not in raw[:-len(NEWLINE)], raw
    value = json.loads(raw[:-len(NEWLINE)].decode("utf-8"))
    assert isinstance(value, dict) and list(value)[:1] == ["source"], raw
    assert isinstance(value["source"], str), raw
    rest = dict(list(value.items())[1:])
    if rest.get("event") == "restart":
        assert list(rest) == ["event", "code", "after"], raw
        assert type(rest["code"]) is int and type(rest["after"]) is float, raw
    elif rest.get("event") == "stopped":
        assert list(rest) == ["event", "code"] and type(rest["code"]) is int, raw
    elif rest.get("event") == "stalled":
        assert list(rest) == ["event", "seconds"] and type(rest["seconds"]) is float, raw
    else:
        # Written back as the supervisor writes it, the tool's line must pass
        # every check a line straight from the tool passes.
        parse_line(json.dumps(rest, separators=(",", ":"), ensure_ascii=False).encode() + NEWLINE)
    return value


def write_sources(path, sources, tool, top=None, text=None, ensure_ascii=True):
    """The sources file written beside itself and renamed over, as an editor
    saves it: the tool and the sources (with top, more top-level members), or
    exactly text."""
    with open(path + ".new", "w", encoding="utf-8") as f:
        f.write(text if text is not None else
                json.dumps(dict({"tool": tool, "sources": sources}, **(top or {})), ensure_ascii=ensure_ascii))
    os.replace(path + ".new", path)


def script(path, text):
    """An executable shell script; its path."""
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hold_every_slot(port):
    """Eight idle connections from each of four loopback addresses: every one of
    the server's slots. The caller closes them."""
    held = []
    for source in ("127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"):
        for _ in range(8):
            s = socket.socket()
            s.bind((source, 0))
            s.connect(("127.0.0.1", port))
            held.append(s)
    return held


def ask(port, request, timeout=10):
    """The whole answer to one raw request (bytes) as (status code, headers text, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), head.decode("latin-1"), body


def get(port, path, host=None, method="GET", headers=""):
    """ask() for path, with more header lines (each ended by CR LF) where given."""
    host = host or "127.0.0.1:%d" % port
    return ask(port, ("%s %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\n\r\n"
                      % (method, path, host, headers)).encode())


class Supervisor:
    """One run of the supervisor over the given sources (with top, more
    top-level members of the file; with status, --status status; with env,
    more environment)."""

    def __init__(self, sources, tool=TOOL, top=None, status=None, env=None, options=()):
        self.dir = scratch_dir()
        self.path = os.path.join(self.dir, "sources.json")
        self.tool = tool
        self.rewrite(sources, top)
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=STANDIN_DIR, **(env or {}))
        env.pop("FFMPEG_BIN", None)
        # A process group of its own, as at a terminal, so that a test can
        # signal the whole group the way a Ctrl-C does.
        args = (["--status", status] if status else []) + list(options)
        self.proc = subprocess.Popen([SUPERVISOR] + args + [self.path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                     start_new_session=True)
        self.raw = []  # (time received, line)
        self.stderr = b""
        self.changed = threading.Condition()
        self._threads = [threading.Thread(target=self._read_stdout, daemon=True),
                         threading.Thread(target=self._read_stderr, daemon=True)]
        for t in self._threads:
            t.start()

    def rewrite(self, sources, top=None, text=None):
        """SOURCES.json written anew (text: exactly that)."""
        write_sources(self.path, sources, self.tool, top, text)

    def _read_stdout(self):
        for line in self.proc.stdout:
            with self.changed:
                self.raw.append((time.monotonic(), line))
                self.changed.notify_all()

    def _read_stderr(self):
        for line in self.proc.stderr:
            with self.changed:
                self.stderr += line
                self.changed.notify_all()

    def lines(self):
        """Every line so far as (time received, object), each checked."""
        with self.changed:
            raw = list(self.raw)
        return [(at, check_line(line)) for at, line in raw]

    def of(self, name):
        return [(at, ev) for at, ev in self.lines() if ev["source"] == name]

    def wait_for(self, what, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.changed:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise AssertionError("waited %.0f s for %s; lines: %s; stderr: %r"
                                         % (timeout, what, [ev for _, ev in self.lines()], self.stderr))
                self.changed.wait(min(left, 0.5))

    def terminate(self, ctrl_c=False):
        """SIGTERM to the supervisor, or with ctrl_c SIGINT to its process group
        as a terminal's Ctrl-C sends it; returns the exit code and how many
        lines came before the signal."""
        with self.changed:
            before = len(self.raw)
        if ctrl_c:
            os.killpg(self.proc.pid, signal.SIGINT)
        else:
            self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=30)
        for t in self._threads:
            t.join(10)
        return code, before

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            # As a service manager stops it, so that it removes its pictures'
            # folder; killed, its tools see their stdin close and stop.
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for t, pipe in zip(self._threads, (self.proc.stdout, self.proc.stderr)):
            t.join(10)
            if not t.is_alive():
                pipe.close()
