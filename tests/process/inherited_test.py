"""What the caller hands the tool along with its arguments: an ignored SIGCHLD,
a current directory that others may have written to, standard streams that are
closed, non-blocking or never read."""
import os
import shutil
import signal
import threading
import time
import unittest

from harness import (FAKE_DECODER, RUNTIME_FILE, NOEXPORT_DIR, STANDIN_DIR, WINE, Tool, check_pattern,
                     fake_url, parse_line, read_record, scratch_dir, tool_path)


class IgnoredChildSignal(unittest.TestCase):
    @unittest.skipIf(WINE, "a POSIX signal disposition")
    def test_decoder_exit_code_survives_an_ignored_sigchld(self):
        # The disposition is inherited through exec: ignored while the tool is
        # started, then set back here so that this process can still wait for it.
        url = fake_url(frames=3, blocks=3, exit=7)
        old = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        try:
            t = Tool(["--input", url, "--ffmpeg", FAKE_DECODER, "--width", "64", "--height", "36"])
        finally:
            signal.signal(signal.SIGCHLD, old)
        with t:
            code, events = t.finish(timeout=15)
        check_pattern(self, events)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 7, "requested": False})
        self.assertEqual(code, 1)


@unittest.skipUnless(WINE, "the Windows search for libraries and programs")
class PlantedInTheCurrentDirectory(unittest.TestCase):
    def test_current_directory_is_not_searched_but_path_is(self):
        # The current directory holds a runtime (the copy without the entry
        # point, which would fail the run as incompatible) and an ffmpeg.exe (the
        # stand-in decoder, which would write a record), also reachable through a
        # relative PATH entry. The runtime is found on PATH instead; no ffmpeg.exe
        # is in an absolute PATH entry, so the start fails.
        planted = scratch_dir()
        shutil.copy(os.path.join(NOEXPORT_DIR, RUNTIME_FILE), planted)
        shutil.copy(FAKE_DECODER, os.path.join(planted, "ffmpeg.exe"))
        record = os.path.join(scratch_dir(), "decoder.rec")
        # Wine puts WINEPATH in front of the Windows PATH.
        env = {"WINEPATH": ".;" + tool_path(STANDIN_DIR)}
        here = os.getcwd()
        os.chdir(planted)
        try:
            with Tool(["--input", fake_url(hold=1, record=tool_path(record))], env=env, runtime_dir=False) as t:
                code, events = t.finish(timeout=20)
            self.assertEqual(events, [{"event": "error", "code": "ffmpeg_spawn", "message": "cannot start ffmpeg"}])
            self.assertEqual(code, 3)
            self.assertFalse(os.path.exists(record), "the planted ffmpeg.exe ran")

            # An ffmpeg.exe on PATH is still found.
            on_path = scratch_dir()
            shutil.copy(FAKE_DECODER, os.path.join(on_path, "ffmpeg.exe"))
            env = {"WINEPATH": tool_path(STANDIN_DIR) + ";" + tool_path(on_path)}
            with Tool(["--input", fake_url(frames=2, exit=5), "--no-audio", "--width", "64", "--height", "36"],
                      env=env, runtime_dir=False) as t:
                code, events = t.finish(timeout=20)
            check_pattern(self, events)
            self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 5, "requested": False})
            self.assertEqual(code, 1)
        finally:
            os.chdir(here)


# Lines the test itself puts into the tool's stdout pipe to fill it: exactly
# one pipe page each, so that the pipe is full when a write of one fails.
FILLER = b"#" * 4095 + b"\n"


def fill_pipe(w):
    """Fills the pipe through the test's own write end. O_NONBLOCK belongs to the
    open pipe, which the tool shares: it sees a non-blocking stdout meanwhile."""
    was_blocking = os.get_blocking(w)
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, FILLER)
    except BlockingIOError:
        pass
    finally:
        os.set_blocking(w, was_blocking)


class PipeReader:
    """Reads the tool's stdout pipe on a thread while `reading` is set; keeps
    the tool's lines (the filler dropped) with the time each arrived."""

    def __init__(self, r):
        self.r = r
        self.reading = threading.Event()
        self.reading.set()
        self.lines = []
        self._rest = b""
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            self.reading.wait()
            data = os.read(self.r, 65536)
            if not data:
                break
            self._rest += data
            *whole, self._rest = self._rest.split(b"\n")
            self.lines += [(time.monotonic(), l + b"\n") for l in whole if l + b"\n" != FILLER]

    def events(self):
        return [parse_line(l) for _, l in self.lines]

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return len(self.lines) >= count

    def finish(self):
        """All lines once every write end is closed; a torn last line fails."""
        self.reading.set()
        self._thread.join(10)
        os.close(self.r)
        self.assert_no_rest()
        return self.events()

    def assert_no_rest(self):
        assert self._rest == b"", "torn line: %r" % self._rest


class StdoutFullFromTheStart(unittest.TestCase):
    def test_stdout_full_from_the_start_holds_neither_the_pictures_nor_the_stop(self):
        # Nobody reads, and the pipe is full before the tool starts: the
        # pictures flow while started waits for room, and once it has waited
        # in vain, no later line (exit included) waits again. On Windows a
        # write into the full pipe blocks: each line is waited for, not its
        # write.
        r, w = os.pipe()
        fill_pipe(w)
        record = os.path.join(scratch_dir(), "ndi.rec")
        try:
            url = fake_url(frames=100000, rate=30, hold=1)
            with Tool(["--input", url, "--ffmpeg", tool_path(FAKE_DECODER), "--no-audio", "--width", "64", "--height", "36"],
                      record=record, env={"QOR_STANDIN_NO_CHECKSUM": "1"}, popen={"stdout": w}) as t:
                time.sleep(4)
                sent = sum(ev == "video" for ev, _ in read_record(record))
                t.close_stdin()
                stopped = time.monotonic()
                code, _ = t.finish(timeout=40)
                took = time.monotonic() - stopped
        finally:
            os.close(w)
            os.close(r)
        self.assertGreater(sent, 30, "pictures in the first 4 s of a 30 a second source")
        self.assertEqual(code, 0)
        # started gives up 10 s after the start, 6 s after the stop; a second
        # full wait for exit would take 16 s.
        self.assertLess(took, 12)


@unittest.skipIf(WINE, "POSIX descriptors")
class StandardStreams(unittest.TestCase):
    def test_closed_stdout_gets_no_line_into_a_file_the_runtime_opens(self):
        # Started with descriptor 1 closed, the stand-in runtime's record file
        # would take its number and receive the event lines.
        record = os.path.join(scratch_dir(), "ndi.rec")
        url = fake_url(frames=100000, rate=30, hold=1)
        with Tool(["--input", url, "--ffmpeg", FAKE_DECODER, "--no-audio", "--width", "64", "--height", "36"],
                  record=record, popen={"stdout": None, "preexec_fn": lambda: os.close(1)}) as t:
            time.sleep(3)  # started and a status line, written to wherever descriptor 1 leads
            t.close_stdin()
            code, _ = t.finish(timeout=20)
        with open(record, "rb") as f:
            data = f.read()
        self.assertFalse(b'"event"' in data, "event lines in the runtime's record file")
        self.assertIn(b"video ", data)
        self.assertEqual(code, 0)

    def test_non_blocking_stdout_nearly_full_loses_no_line(self):
        # The parent made its pipe non-blocking and it is full when the tool
        # starts, and again when the tool is stopped: `started` and `exit` wait
        # for the reader instead of being lost.
        r, w = os.pipe()
        fill_pipe(w)
        os.set_blocking(w, False)
        reader = None
        try:
            url = fake_url(frames=100000, rate=30, hold=1)
            with Tool(["--input", url, "--ffmpeg", FAKE_DECODER, "--no-audio", "--width", "64", "--height", "36"],
                      popen={"stdout": w}) as t:
                time.sleep(1.5)
                reader = PipeReader(r)
                self.assertTrue(reader.wait_for(3, 15), reader.lines)  # started, two status lines
                reader.reading.clear()
                time.sleep(0.2)
                fill_pipe(w)
                t.close_stdin()
                time.sleep(1.5)
                reader.reading.set()
                code, _ = t.finish(timeout=20)
        finally:
            os.close(w)
        events = reader.finish()
        check_pattern(self, events)
        self.assertEqual(events[-1], {"event": "exit", "ffmpeg": 0, "requested": True})
        self.assertGreaterEqual(len(events), 4)
        self.assertEqual(code, 0)

    def test_stdout_nobody_reads_neither_holds_the_stop_nor_inflates_fps(self):
        # The reader stops reading and the pipe fills: the pictures go on, status
        # lines that find no room are dropped with their counts, and a stop ends
        # the run within the bound for the exit line (10 s).
        r, w = os.pipe()
        reader = None
        try:
            url = fake_url(frames=100000, rate=30, hold=1)
            with Tool(["--input", url, "--ffmpeg", FAKE_DECODER, "--no-audio", "--width", "64", "--height", "36"],
                      popen={"stdout": w}) as t:
                reader = PipeReader(r)
                self.assertTrue(reader.wait_for(2, 15), reader.lines)
                reader.reading.clear()
                time.sleep(0.2)
                fill_pipe(w)
                time.sleep(5)  # two intervals end with the pipe full
                reader.reading.set()
                seen = len(reader.lines)
                self.assertTrue(reader.wait_for(seen + 2, 10), reader.lines)
                # Every line counts its own 2 s of a 30 pictures/s source (a
                # loaded machine may bunch them); the 5 s held up would be 75.
                for _, line in reader.lines[seen:]:
                    self.assertLessEqual(parse_line(line)["fps"], 60.0, line)
                reader.reading.clear()
                time.sleep(0.2)
                fill_pipe(w)
                t.close_stdin()
                stopped = time.monotonic()
                code, _ = t.finish(timeout=30)
                self.assertLess(time.monotonic() - stopped, 20)
        finally:
            os.close(w)
        events = reader.finish()
        self.assertEqual(events[0]["event"], "started")
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
