"""Whole runs of the tool against the stand-in decoder and the stand-in NDI
runtime: every event pattern and exit code of a run."""
import os
import shlex
import signal
import struct
import subprocess
import time
import unittest
import uuid

from harness import (CONSOLE_EVENT, FAKE_DECODER, NOEXPORT_DIR, NEWLINE, RUNTIME_FILE, STANDIN_DIR, TOOL,
                     WINE, Tool, check_newest_in_order, check_pattern, fake_picture, fake_url, fnv1a64,
                     linux_pids_running, parse_line, read_record, scratch_dir, tool_path, unquote, wait_gone)

USAGE = (b"usage: qor-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] [--no-audio] "
         b"[--width 1920] [--height 1080] [--fps 30] [--monitor <file>] [--ptz]")


def fake_args(url, *extra):
    return ["--input", url, "--ffmpeg", tool_path(FAKE_DECODER)] + list(extra)


class Usage(unittest.TestCase):
    def test_bad_arguments_print_only_the_usage_line(self):
        for args in ([], ["--input"], ["--input", "x", "--width", "719"], ["--help"],
                     ["--input", "x", "--fps", "99999999999"]):
            with Tool(args) as t:
                code, events = t.finish()
            self.assertEqual(code, 64, args)
            self.assertEqual(events, [], args)
            self.assertEqual(t.stderr, USAGE + NEWLINE, args)


class RuntimeFailures(unittest.TestCase):
    def run_failing(self, env=None, runtime_dir=None):
        d = scratch_dir()
        record = os.path.join(d, "decoder.rec")
        with Tool(fake_args(fake_url(hold=1, record=tool_path(record))), env=env,
                  runtime_dir=runtime_dir) as t:
            code, events = t.finish()
        check_pattern(self, events)
        self.assertFalse(os.path.exists(record), "a decoder was started")
        return code, events

    def test_runtime_missing(self):
        code, events = self.run_failing(runtime_dir=scratch_dir())
        self.assertEqual(code, 2)
        self.assertEqual(events, [{"event": "error", "code": "ndi_runtime",
                                   "message": "NDI runtime not found (%s)" % RUNTIME_FILE}])

    def test_runtime_without_entry_point(self):
        code, events = self.run_failing(runtime_dir=NOEXPORT_DIR)
        self.assertEqual(code, 2)
        self.assertEqual(events[0]["message"], "NDI runtime incompatible (NDIlib_v6_load missing)")

    def test_runtime_refusing_the_processor(self):
        code, events = self.run_failing(env={"QOR_STANDIN_INIT_FAIL": "1"})
        self.assertEqual(code, 2)
        self.assertEqual(events[0]["message"], "NDI initialization failed (unsupported CPU?)")

    def test_sender_creation_failing(self):
        code, events = self.run_failing(env={"QOR_STANDIN_CREATE_FAIL": "1"})
        self.assertEqual(code, 2)
        self.assertEqual(events, [{"event": "error", "code": "ndi_sender",
                                   "message": "NDI sender creation failed"}])


class SpawnFailures(unittest.TestCase):
    def test_missing_decoder_fails_at_once(self):
        path = tool_path(os.path.join(scratch_dir(), "no such ffmpeg"))
        with Tool(["--input", "rtsp://h/s", "--ffmpeg", path]) as t:
            code, events = t.finish(timeout=10)
        self.assertEqual(code, 3)
        self.assertEqual(events, [{"event": "error", "code": "ffmpeg_spawn", "message": "cannot start " + path}])

    def test_any_path_gives_a_valid_json_line(self):
        # The path reaches the event through the escaping: whatever its bytes,
        # the line parses and gives back the text (a byte that is not UTF-8 reads
        # as the Latin-1 character of its value; long texts are cut).
        cases = [
            ("q\"uote \\ back\\", "q\"uote \\ back\\"),
            ("tab\tnl\x01", "tab\tnl\x01"),
            ("B\u00fchne", "B\u00fchne"),
            ("x" * 600, "x" * 505),
        ]
        cases.append(("\u65e5\u672c \U0001f3a5", "\u65e5\u672c \U0001f3a5"))
        cases.append((b"y" * 503 + "\u00e9\u00e9".encode(), "y" * 503 + "\u00e9"))
        if not WINE:  # Wine takes arguments as text: bytes that are not UTF-8 cannot reach the tool
            cases.append((b"bad \xff\xe9 \xe2\x80 end", "bad \u00ff\u00e9 \u00e2\u0080 end"))
        for path, expected in cases:
            arg = path if isinstance(path, bytes) else path.encode()
            # Wine converts the arguments from the locale's character set.
            with Tool([b"--input", b"rtsp://h/s", b"--ffmpeg", arg], env={"LC_ALL": "C.UTF-8"}) as t:
                code, events = t.finish(timeout=10)
            self.assertEqual(code, 3, path)
            self.assertEqual(events, [{"event": "error", "code": "ffmpeg_spawn",
                                       "message": "cannot start " + expected}], path)


class Runs(unittest.TestCase):
    def test_normal_stop(self):
        d = scratch_dir()
        record = os.path.join(d, "ndi.rec")
        url = fake_url(frames=100000, rate=30, blocks=100000, arate=100, hold=1)
        with Tool(fake_args(url, "--name", "Stage A", "--width", "320", "--height", "180"), record=record) as t:
            started = t.next_event(10)
            self.assertEqual(started["event"], "started")
            self.assertEqual(started["name"], "Stage A")
            self.assertEqual((started["width"], started["height"], started["audio"]), (320, 180, True))
            first = t.next_event(5)
            self.assertEqual(first["event"], "status")
            self.assertEqual(first["connections"], 0)
            self.assertTrue(first["audio"])
            second = t.next_event(5)
            # Paced at 30/s by the stand-in decoder; a loaded machine may bunch them.
            self.assertTrue(5.0 <= second["fps"] <= 60.0, second)
            time.sleep(0.5)
            t.close_stdin()
            code, events = t.finish(timeout=10)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        last = events[-2]
        self.assertEqual(last["event"], "status")
        self.assertLessEqual(last["fps"], 10.0, "the last line counts only the cut-short interval")
        rec = read_record(record)
        names = [unquote(kv["name"]) for ev, kv in rec if ev == "send_create"]
        self.assertEqual(names, [b"Stage A"])
        self.assertIn("send_destroy", [ev for ev, _ in rec])
        video = [kv for ev, kv in rec if ev == "video"]
        audio = [kv for ev, kv in rec if ev == "audio"]
        self.assertGreater(len(video), 20)
        self.assertGreater(len(audio), 60)
        self.assertEqual({(v["xres"], v["yres"], v["rate_n"], v["rate_d"], v["stride"]) for v in video},
                         {("320", "180", "30", "1", "320")})
        self.assertEqual({(a["rate"], a["channels"], a["samples"], a["stride"]) for a in audio},
                         {("48000", "2", "480", "1920")})

    def test_every_byte_of_pictures_and_audio_arrives_in_order(self):
        # Small pictures written in odd-sized pieces must still arrive whole and
        # in order (the burst outruns the recording runtime, so older ones give
        # way to the newest, which is always sent); audio block by block, each
        # exactly once.
        d = scratch_dir()
        record = os.path.join(d, "ndi.rec")
        url = fake_url(frames=40, blocks=25, chunk=77, hold=1)
        last = fnv1a64(fake_picture(39, 64, 36))
        with Tool(fake_args(url, "--width", "64", "--height", "36", "--fps", "25"), record=record) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                rec = read_record(record)
                if (any(ev == "video" and kv["fnv"] == last for ev, kv in rec) and
                        sum(ev == "audio" for ev, _ in rec) >= 25):
                    break
                time.sleep(0.05)
            t.close_stdin()
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        rec = read_record(record)
        video = [kv for ev, kv in rec if ev == "video"]
        check_newest_in_order(self, [v["fnv"] for v in video], 40, 64, 36)
        self.assertTrue(all(v["rate_n"] == "25" for v in video))
        audio = [kv for ev, kv in rec if ev == "audio"]
        self.assertEqual(len(audio), 25)
        bits = lambda f: "0x%08X" % struct.unpack("<I", struct.pack("<f", f))[0]
        for b, a in enumerate(audio):
            k = b * 480
            self.assertEqual((a["p0_first"], a["p0_last"]), (bits(k), bits(k + 479)))
            self.assertEqual((a["p1_first"], a["p1_last"]), (bits(-float(k)), bits(-float(k + 479))))

    def test_decoder_ending_with_its_own_code(self):
        with Tool(fake_args(fake_url(frames=10, blocks=10, exit=1))) as t:
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(code, 1)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 1, "requested": False})

    def test_decoder_closing_mid_picture(self):
        d = scratch_dir()
        record = os.path.join(d, "ndi.rec")
        with Tool(fake_args(fake_url(frames=5, cut=1), "--no-audio", "--width", "64", "--height", "36"),
                  record=record) as t:
            code, events = t.finish(timeout=15)
        self.assertEqual(code, 1)
        self.assertEqual(events[0]["audio"], False)
        # The pump stops at the decoder's end, so it may not get to every whole
        # picture, and older ones may give way to newer ones; what it sends is
        # whole pictures in order, never the cut one.
        video = [kv["fnv"] for ev, kv in read_record(record) if ev == "video"]
        expected = [fnv1a64(fake_picture(i, 64, 36)) for i in range(5)]
        self.assertEqual(video, [f for f in expected if f in video])

    def test_status_reports_half_the_pictures_counted(self):
        # Twice the fps, summed over the lines, is every picture the runtime
        # recorded; 59 split over the intervals leaves one line with a half.
        record = os.path.join(scratch_dir(), "ndi.rec")
        with Tool(fake_args(fake_url(frames=59, rate=20, hold=1), "--no-audio", "--width", "64", "--height", "36"),
                  record=record) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            fps = [t.next_event(5)["fps"]]
            while not (fps[-1] == 0.0 and sum(fps) > 0) and len(fps) < 10:
                fps.append(t.next_event(5)["fps"])
            t.close_stdin()
            code, events = t.finish(timeout=10)
        self.assertEqual(code, 0)
        sent = sum(ev == "video" for ev, _ in read_record(record))
        self.assertGreaterEqual(sent, 30)
        self.assertEqual(fps[-1], 0.0, fps)
        self.assertEqual(sum(f * 2 for f in fps), sent, fps)

    def test_receiver_count_is_reported(self):
        with Tool(fake_args(fake_url(hold=1), "--no-audio"), env={"QOR_STANDIN_CONNECTIONS": "3"}) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            status = t.next_event(5)
            self.assertEqual(status["connections"], 3)
            self.assertEqual(status["audio"], False)

    def test_stdin_content_is_ignored(self):
        with Tool(fake_args(fake_url(hold=1), "--no-audio")) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            t.write_stdin(b"quit\nstop\n\x1a\x04\x00exit\n")
            self.assertEqual(t.next_event(5)["event"], "status")
            self.assertEqual(t.next_event(5)["event"], "status")
            t.close_stdin()
            code, events = t.finish(timeout=10)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})

    def test_picture_buffer_that_cannot_be_had_ends_the_run(self):
        # The largest size the options take: no system allocates its picture.
        # The run must not go on as a black source; it ends as one that ended
        # without a request. (The sanitizers must return the failure, not stop.)
        env = {k: (os.environ.get(k, "") + ":allocator_may_return_null=1").lstrip(":")
               for k in ("ASAN_OPTIONS", "TSAN_OPTIONS")}
        size = "2147483646"
        with Tool(fake_args(fake_url(hold=1), "--width", size, "--height", size), env=env) as t:
            code, events = t.finish(timeout=20)
        check_pattern(self, events)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": False})
        self.assertEqual(code, 1)

    def test_non_blocking_stdin_is_waited_on_until_its_writer_closes(self):
        # A parent may hand over its pipe with O_NONBLOCK set: reads that find
        # nothing yet are no end of input.
        reader, writer = os.pipe()
        os.set_blocking(reader, False)
        try:
            with Tool(fake_args(fake_url(hold=1), "--no-audio"), stdin=reader) as t:
                os.close(reader)
                reader = None
                self.assertEqual(t.next_event(10)["event"], "started")
                self.assertEqual(t.next_event(5)["event"], "status")
                self.assertIsNone(t.proc.poll())
                os.close(writer)
                writer = None
                code, events = t.finish(timeout=10)
        finally:
            for fd in (reader, writer):
                if fd is not None:
                    os.close(fd)
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})

    def test_controller_closing_stdout_does_not_kill_the_tool(self):
        d = scratch_dir()
        record = os.path.join(d, "decoder.rec")
        with Tool(fake_args(fake_url(hold=1, record=tool_path(record)), "--no-audio"), close_stdout=True) as t:
            time.sleep(4.5)  # started and two status lines go nowhere
            self.assertIsNone(t.proc.poll(), "the tool died writing to a closed stdout")
            t.close_stdin()
            code, _ = t.finish(timeout=10)
        self.assertEqual(code, 0)
        self.assertTrue(os.path.exists(record))


@unittest.skipIf(WINE, "POSIX signals")
class StopSignals(unittest.TestCase):
    """SIGINT, SIGTERM and SIGHUP request the stop that the end of stdin does."""

    def decoders(self, t, token):
        # Not the tool, nor a child of it that has yet to run the decoder (its
        # command line is still the tool's, which holds the token too).
        def program(pid):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    return os.path.basename(f.read().split(b"\0")[0])
            except OSError:
                return b""
        tool = program(t.proc.pid)
        return [p for p in linux_pids_running(token) if p != t.proc.pid and program(p) not in (tool, b"")]

    def test_each_signal_stops_the_run_as_the_end_of_stdin_does(self):
        # SIGINT goes to the whole process group, as a terminal's Ctrl-C does:
        # the decoder has a group of its own and is ended by the tool (exit 0),
        # not by the signal. The SIGTERM run is started with SIGHUP ignored, as
        # nohup does: that signal stays ignored and the run goes on.
        ignore_hup = {"preexec_fn": lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)}
        for signum, whole_group in ((signal.SIGTERM, False), (signal.SIGHUP, False), (signal.SIGINT, True)):
            token = "sig" + uuid.uuid4().hex
            url = fake_url(frames=100000, rate=30, hold=1, token=token)
            with Tool(fake_args(url, "--no-audio", "--width", "64", "--height", "36"), own_group=True,
                      popen=ignore_hup if signum == signal.SIGTERM else None) as t:
                self.assertEqual(t.next_event(10)["event"], "started", signum)
                self.assertEqual(len(self.decoders(t, token)), 1, signum)
                if signum == signal.SIGTERM:
                    t.proc.send_signal(signal.SIGHUP)
                    self.assertEqual(t.next_event(5)["event"], "status")
                    self.assertEqual(t.next_event(5)["event"], "status")
                if whole_group:
                    os.killpg(t.proc.pid, signum)
                else:
                    t.proc.send_signal(signum)
                code, events = t.finish(timeout=10)
            check_pattern(self, events)
            self.assertEqual(code, 0, signum)
            self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True}, signum)
            self.assertTrue(wait_gone(token, 2.0), (signum, linux_pids_running(token)))

    def test_an_ignored_blocked_signal_does_not_make_a_failure_a_requested_stop(self):
        # Started with SIGHUP ignored and blocked (both are inherited across
        # exec): a SIGHUP is no stop, and a decoder that then fails on its own
        # is a failure (exit 1) that a controller starts again.
        def ignore_and_block_hup():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP})
        url = fake_url(frames=60, rate=30, exit=1)
        with Tool(fake_args(url, "--no-audio", "--width", "64", "--height", "36"),
                  popen={"preexec_fn": ignore_and_block_hup}) as t:
            self.assertEqual(t.next_event(10)["event"], "started")
            t.proc.send_signal(signal.SIGHUP)
            code, events = t.finish(timeout=20)
        check_pattern(self, events)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 1, "requested": False})
        self.assertEqual(code, 1)

    def test_second_sigint_during_an_early_stop_ends_the_tool_at_once(self):
        # The first stop comes before the decoder connects, so the run would
        # wait out the 30 s accept limit; the second ends it without a line.
        token = "sig" + uuid.uuid4().hex
        url = fake_url(vdelay=600000, hold=1, token=token)
        with Tool(fake_args(url, "--no-audio"), own_group=True) as t:
            deadline = time.monotonic() + 10
            while not self.decoders(t, token) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(self.decoders(t, token), "no decoder started")
            os.killpg(t.proc.pid, signal.SIGINT)
            # The first stop is taken once the tool has ended the decoder.
            deadline = time.monotonic() + 10
            while self.decoders(t, token) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(self.decoders(t, token), [])
            self.assertIsNone(t.proc.poll(), "the first SIGINT ended the tool")
            os.killpg(t.proc.pid, signal.SIGINT)
            code, events = t.finish(timeout=20)
        self.assertEqual(code, -signal.SIGINT)
        self.assertEqual(events, [])
        self.assertTrue(wait_gone(token, 2.0), linux_pids_running(token))


@unittest.skipUnless(WINE, "the Windows console's control events")
class ConsoleEvents(unittest.TestCase):
    """Ctrl-C on the tool's console, sent by a helper on the same console. Wine
    delivers console events between processes only on a console that sits on a
    terminal, so the helper runs under script(1); Ctrl-Break it does not deliver."""

    def run_on_console(self, mode, url):
        out = os.path.join(scratch_dir(), "out")
        env = {k: v for k, v in os.environ.items() if k != "FFMPEG_BIN"}
        env["NDI_RUNTIME_DIR_V6"] = tool_path(STANDIN_DIR)
        cmd = ["wine", CONSOLE_EVENT, tool_path(out), mode, tool_path(TOOL), "--input", url,
               "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64", "--height", "36"]
        subprocess.run(["script", "-qec", shlex.join(cmd), "/dev/null"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, env=env, timeout=120, check=True)
        with open(out + ".code") as f:
            code = int(f.read())
        with open(out, "rb") as f:
            events = [parse_line(line) for line in f.read().splitlines(keepends=True)]
        return code, events

    def test_ctrl_c_stops_the_run_and_a_second_ends_the_tool(self):
        # The decoder has no share in the console: the tool ends it (0).
        token = "ctrlc" + uuid.uuid4().hex
        code, events = self.run_on_console("started", fake_url(frames=100000, rate=30, hold=1, token=token))
        check_pattern(self, events)
        self.assertEqual(code, 0)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        self.assertTrue(wait_gone(token, 5.0), linux_pids_running(token))

        # Both before the decoder connects: the second comes while the first
        # stop waits out the accept limit.
        token = "ctrlc" + uuid.uuid4().hex
        code, events = self.run_on_console("twice", fake_url(vdelay=600000, hold=1, token=token))
        self.assertEqual(code, 0xC000013A)  # STATUS_CONTROL_C_EXIT
        self.assertEqual(events, [])
        self.assertTrue(wait_gone(token, 5.0), linux_pids_running(token))


class ConnectTimeouts(unittest.TestCase):
    """Each waits out the accept limits: 30 s per channel."""

    def test_decoder_exiting_without_connecting_video_only(self):
        with Tool(fake_args(fake_url(noconnect=1, exit=7), "--no-audio")) as t:
            code, events = t.finish(timeout=45)
            elapsed = time.monotonic() - t.started_at
        self.assertEqual(code, 3)
        self.assertEqual(events, [{"event": "error", "code": "ffmpeg_connect",
                                   "message": "ffmpeg did not deliver the program (exit 7)"}])
        self.assertGreater(elapsed, 29)

    def test_decoder_exiting_without_connecting_with_audio(self):
        with Tool(fake_args(fake_url(noconnect=1, exit=7))) as t:
            code, events = t.finish(timeout=80)
            elapsed = time.monotonic() - t.started_at
        self.assertEqual(code, 3)
        self.assertEqual(events[0]["message"], "ffmpeg did not deliver the program (exit 7)")
        self.assertGreater(elapsed, 59)

    def test_video_but_never_audio(self):
        with Tool(fake_args(fake_url(frames=10, noaudio=1, hold=1))) as t:
            code, events = t.finish(timeout=80)
        self.assertEqual(code, 3)
        self.assertEqual(events, [{"event": "error", "code": "ffmpeg_connect",
                                   "message": "ffmpeg did not deliver the program (exit 0)"}])

    def test_stdin_closed_before_the_decoder_connects(self):
        with Tool(fake_args(fake_url(vdelay=3000, hold=1))) as t:
            t.close_stdin()
            code, events = t.finish(timeout=80)
        self.assertEqual(code, 3)
        self.assertEqual(events[0]["message"], "ffmpeg did not deliver the program (exit 0)")


if __name__ == "__main__":
    unittest.main()
