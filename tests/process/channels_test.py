"""Who may feed the channels, and what can hold a run open: foreign local
connections, a decoder that is a wrapper script, a process the decoder started
that outlives it, many inherited descriptors. Linux: they read /proc and run
shell scripts."""
import json
import os
import socket
import stat
import subprocess
import threading
import time
import unittest
import uuid

from harness import (FAKE_DECODER, STANDIN_DIR, WINE, Tool, check_newest_in_order, check_pattern, fake_picture,
                     fake_url, fnv1a64, linux_pids_running, parse_line, read_record, scratch_dir, wait_gone)

W, H = 64, 36


def fake_args(decoder, url, *extra):
    return ["--input", url, "--ffmpeg", decoder, "--width", str(W), "--height", str(H)] + list(extra)


def script(directory, name, body):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


def listening_ports(pid):
    """The TCP ports process pid listens on: its sockets' inodes (from
    /proc/<pid>/fd) matched against the LISTEN rows of /proc/net/tcp, so that
    other tools running on the machine are never taken for this one."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        return []
    ports = []
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                ports.append(int(fields[1].split(":")[1], 16))
    return ports


def peer_gone(sock, timeout):
    """True when the other side closed sock (end of stream or reset) within timeout."""
    sock.settimeout(timeout)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def check_relayed(test, record, pictures, blocks):
    """Only the stand-in decoder's pictures (the newest of them at least), and
    exactly its audio blocks, in order."""
    rec = read_record(record)
    video = [kv["fnv"] for ev, kv in rec if ev == "video"]
    check_newest_in_order(test, video, pictures, W, H)
    audio = [kv for ev, kv in rec if ev == "audio"]
    test.assertEqual(len(audio), blocks)
    test.assertEqual([a["p0_first"] for a in audio[:2]], ["0x00000000", "0x43F00000"])  # samples 0 and 480


def wait_for_record(record, pictures, blocks, timeout=20):
    """Until the last picture and every audio block have been sent."""
    last = fnv1a64(fake_picture(pictures - 1, W, H))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        rec = read_record(record)
        if (any(ev == "video" and kv["fnv"] == last for ev, kv in rec) and
                sum(ev == "audio" for ev, _ in rec) >= blocks):
            return
        time.sleep(0.05)


@unittest.skipIf(WINE, "Linux: finds the ports in /proc, runs shell scripts")
class ForeignConnections(unittest.TestCase):
    def test_a_foreign_connector_that_comes_first_never_takes_a_channel(self):
        # The decoder waits behind a gate until a local process has found all
        # four of the tool's ports (pictures, sound and their times) and
        # connected to each, sent bytes that would pass for a picture and an
        # audio block, and kept its connections open. The tool closes them all
        # and relays the decoder's media, and only those.
        d = scratch_dir()
        gate = os.path.join(d, "gate")
        decoder = script(d, "gated-decoder",
                         'while [ ! -e "%s" ]; do sleep 0.02; done\nexec "%s" "$@"\n' % (gate, FAKE_DECODER))
        record = os.path.join(d, "ndi.rec")
        pictures, blocks = 20, 30
        url = fake_url(frames=pictures, blocks=blocks, hold=1)
        foreign = []
        try:
            with Tool(fake_args(decoder, url), record=record) as t:
                deadline = time.monotonic() + 10
                ports = []
                while len(ports) < 4 and time.monotonic() < deadline:
                    ports = listening_ports(t.proc.pid)
                    time.sleep(0.01)
                self.assertEqual(len(ports), 4, "the tool's four listeners")
                for port in ports:
                    s = socket.create_connection(("127.0.0.1", port))
                    s.sendall(b"\xee" * (W * H * 3 // 2 * 2))
                    foreign.append(s)
                open(gate, "w").close()
                self.assertEqual(t.next_event(30)["event"], "started")
                for s in foreign:
                    self.assertTrue(peer_gone(s, 10), "a foreign connection was kept")
                wait_for_record(record, pictures, blocks)
                t.close_stdin()
                code, events = t.finish(timeout=15)
        finally:
            for s in foreign:
                s.close()
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        check_relayed(self, record, pictures, blocks)


@unittest.skipIf(WINE, "Linux: runs shell scripts")
class WrapperDecoder(unittest.TestCase):
    def test_a_wrapper_scripts_child_feeds_the_channels_and_cannot_hold_the_run(self):
        # The decoder is a shell script that runs the real one as its child
        # (no exec): the child's connections are accepted. Stopping the run
        # kills the script only; its child lives on, holding both connections
        # open and silent, and the run still ends at once.
        d = scratch_dir()
        token = "wrap" + uuid.uuid4().hex
        decoder = script(d, "wrapper-decoder", '"%s" "$@"\nexit $?\n' % FAKE_DECODER)
        record = os.path.join(d, "ndi.rec")
        pictures, blocks = 10, 12
        url = fake_url(frames=pictures, blocks=blocks, hold=1, token=token)
        try:
            with Tool(fake_args(decoder, url), record=record) as t:
                self.assertEqual(t.next_event(30)["event"], "started")
                wait_for_record(record, pictures, blocks)
                t.close_stdin()
                code, events = t.finish(timeout=10)
            self.assertTrue(linux_pids_running(token), "the script's child should have outlived it")
        finally:
            for pid in linux_pids_running(token):
                os.kill(pid, 9)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        check_relayed(self, record, pictures, blocks)
        self.assertTrue(wait_gone(token, 5))


@unittest.skipIf(WINE, "Linux descriptors")
class InheritedDescriptors(unittest.TestCase):
    def test_a_tool_started_with_1100_inherited_descriptors_runs(self):
        # A controller that leaks descriptors: the tool starts with 3 to 1102
        # open, so its listeners are numbered beyond what select can wait on.
        launch = ("import os, sys\n"
                  "null = os.open(os.devnull, os.O_RDONLY)\n"
                  "for fd in range(3, 1103):\n"
                  "    if fd != null: os.dup2(null, fd)\n"
                  "os.execv(sys.argv[1], sys.argv[1:])\n")
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=STANDIN_DIR)
        env.pop("FFMPEG_BIN", None)
        args = fake_args(FAKE_DECODER, fake_url(frames=5, blocks=5, hold=1))
        proc = subprocess.Popen(["/usr/bin/python3", "-c", launch, os.environ["QOR_TOOL"]] + args,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        try:
            first = parse_line(proc.stdout.readline())
            self.assertEqual(first["event"], "started", first)
            self.assertGreater(len(os.listdir("/proc/%d/fd" % proc.pid)), 1100)
            proc.stdin.close()
            out = proc.stdout.read()
            proc.wait(timeout=15)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        events = [first] + [parse_line(l) for l in out.splitlines(keepends=True)]
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})


if __name__ == "__main__":
    unittest.main()
