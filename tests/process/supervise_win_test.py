"""qor-ndi-supervise.exe under Wine, with the Windows tool, the stand-in decoder
and the stand-in NDI runtime: its tools bound to it by a job in console mode.
Windows builds only."""
import json
import os
import subprocess
import threading
import time
import unittest
import uuid

from harness import (FAKE_DECODER, NEWLINE, STANDIN_DIR, SUPERVISOR, TOOL, fake_url, linux_pids_running,
                     parse_line, scratch_dir, tool_path, wait_gone)

SMALL = ["--ffmpeg", tool_path(FAKE_DECODER), "--width", "64", "--height", "36"]
STEADY = dict(frames=100000, rate=30, blocks=100000, arate=100, hold=1)


def token():
    return "supwin" + uuid.uuid4().hex


def check_line(raw):
    """One supervisor line as an object: JSON ended by CR LF with "source"
    first, and a tool's own line as the tool wrote it."""
    assert raw.endswith(NEWLINE) and raw.count(b"\n") == 1, raw
    value = json.loads(raw[:-len(NEWLINE)].decode("utf-8"))
    assert isinstance(value, dict) and list(value)[:1] == ["source"], raw
    rest = dict(list(value.items())[1:])
    if rest.get("event") not in ("restart", "stopped", "stalled"):
        parse_line(json.dumps(rest, separators=(",", ":"), ensure_ascii=False).encode() + NEWLINE)
    return value


def sources_file(sources, folder=None):
    path = os.path.join(folder or scratch_dir(), "sources.json")
    with open(path + ".new", "w") as f:
        json.dump({"tool": tool_path(TOOL), "sources": sources}, f)
    os.replace(path + ".new", path)
    return path


class ConsoleSupervisor:
    """The supervisor in console mode, its stdout read on a thread."""

    def __init__(self, path):
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=tool_path(STANDIN_DIR))
        env.pop("FFMPEG_BIN", None)
        self.proc = subprocess.Popen(["wine", SUPERVISOR, tool_path(path)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.raw = []
        self.changed = threading.Condition()
        self._out = threading.Thread(target=self._read, daemon=True)
        self._out.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.raw.append(line)
                self.changed.notify_all()

    def events(self):
        with self.changed:
            return [check_line(l) for l in self.raw]

    def wait_for(self, what, predicate, timeout):
        deadline = time.monotonic() + timeout
        with self.changed:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise AssertionError("waited %.0f s for %s; lines: %r" % (timeout, what, self.raw))
                self.changed.wait(min(left, 0.5))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._out.join(10)


class Console(unittest.TestCase):
    def test_no_tool_or_decoder_outlives_a_killed_supervisor(self):
        # A decoder that never connects: its tool waits for it (up to 60 s)
        # and does not stop by its stdin in the meantime, so only the job can
        # end it at once.
        mark = token()
        path = sources_file([{"name": "Mute", "input": fake_url(noconnect=1, token=mark), "args": SMALL}])
        with ConsoleSupervisor(path) as sup:
            # The tool and its decoder, each a Wine process carrying the mark.
            deadline = time.monotonic() + 60
            while len(linux_pids_running(mark)) < 2 and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertGreaterEqual(len(linux_pids_running(mark)), 2)
            sup.proc.kill()
            sup.proc.wait()
        self.assertTrue(wait_gone(mark, 5.0), "a tool or decoder outlived the supervisor")


if __name__ == "__main__":
    unittest.main()
